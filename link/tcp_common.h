// The manager frame: CRC-32 as the station computes it, the finishing of outgoing frames,
// and the cutting of whole frames out of the received byte stream.
//
// Layout (offsets): 0-1 0xAA 0xAA; 2-8 total length "%07d"; 9-10 "10"; 11-12 code "%02d";
// 13-19 data length "%07d"; 20-23 packet number "%04d"; 24-28 station ID; 29 '0';
// 30.. data; then CRC-32 (little-endian) over bytes 2 .. 29+n, and 0x55 0x55.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kFrameOverhead = 36;         // header 30 + CRC 4 + trailer 2
constexpr int kFrameHeader = 30;
constexpr int kFrameBufSize = 3030;        // one frame buffer of the session (3000 data + 30)
constexpr int kSendCopySize = 5000;        // the session's outgoing copy area
constexpr int kRecvBufSize = 10240;        // the link thread's receive buffer
constexpr int kLinkSendBufSize = 10240;    // the link thread's send buffer
constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kFrameEnd = 0x55;

// Non-inverted table CRC-32 (poly 0xEDB88320, register starts at 0xFFFFFFFF, no final
// XOR); only the low 16 bits of nCount are used.
uint32_t ComputeCrc32(const uint8_t* pBytes, uint32_t nCount);

// A decimal field of a frame read the way atoi reads it (leading blanks, a sign, digits
// up to the first non-digit or NUL), from at most nWidth bytes; 0 when it is no number.
int FrameDecimal(const uint8_t* pField, int nWidth);

class CTcpCommon {
public:
    // CRC of the nLength - 8 bytes from offset 2, stored little-endian at nLength - 6.
    static void PutFrameCrc(uint8_t* pFrame, int nLength);
    // Computed and stored CRC of a received frame; does not compare them.
    static void CheckFrameCrc(const uint8_t* pFrame, int nLength, uint32_t* pComputed,
                              uint32_t* pStored);
    // One whole frame from the front of pBuf: its length L (copied to pDest, *pnCapacity
    // = L), 0 when more bytes are needed, -1 when the front cannot be a frame (bad start,
    // length below 36 or not a number, longer than *pnCapacity or than nDestSize, no
    // trailer).
    static int ExtractFrame(uint8_t* pDest, size_t nDestSize, int* pnCapacity,
                            const uint8_t* pBuf, int nAvailable);
};
