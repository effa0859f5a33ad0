// The manager frame on the byte level: the station's CRC-32 (the standard table, but
// without the final inversion and over at most 65,535 bytes), the checksum field of an
// outgoing frame, and the cutting of one whole frame off the front of the received bytes.
// Everything here is pure computation on caller buffers; nothing is logged or shared.
//
// A file packet's checksum is computed on the link thread between the Manager PC's reply
// and the next packet, so its cost is part of every round trip: on x86-64 processors with
// carry-less multiplication (PCLMULQDQ, every one since 2010) whole 16-byte blocks are
// folded four at a time and the register is reduced by Barrett's method, the rest goes
// through the tables; the result is the same bit for bit.
#include "link/tcp_common.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_CRC_FOLD 1
#include <immintrin.h>
#endif

namespace {

// The 256-entry table of the reflected polynomial 0xEDB88320 (entry 1 is 0x77073096) in
// row 0, and in row k the register after row 0's byte and k more zero bytes: sixteen
// bytes are then folded in one step (slicing by sixteen) with the same result as one at a
// time.
constexpr size_t kCrcSlices = 16;
using CrcTables = std::array<std::array<uint32_t, 256>, kCrcSlices>;

constexpr CrcTables MakeCrcTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        for (size_t k = 1; k < kCrcSlices; ++k)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
    }
    return t;
}

constexpr CrcTables kCrcTables = MakeCrcTables();
static_assert(kCrcTables[0][1] == 0x77073096u, "CRC table");

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

#ifdef VELMORA_CRC_FOLD
constexpr uint32_t kFoldMin = 64;  // four blocks at least

__m128i Load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// One lane moved k's distance on and the next 16 bytes added.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold128(__m128i x, __m128i k,
                                                                __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), next),
                         _mm_clmulepi64_si128(x, k, 0x00));
}

// The register after nLength bytes (a multiple of 16, at least 64) from nReg: four 128-bit
// lanes folded 64 bytes at a time, folded into one, then 16 bytes at a time, reduced to 64
// and then to 32 bits. The constants are x^k mod P for the fold distances and Barrett's
// quotient, in the bit-reflected domain of the polynomial 0x1DB710641.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldCrc32(const uint8_t* p, uint32_t nLength,
                                                             uint32_t nReg) {
    alignas(16) static const uint64_t k1k2[2] = {0x0154442bd4u, 0x01c6e41596u};
    alignas(16) static const uint64_t k3k4[2] = {0x01751997d0u, 0x00ccaa009eu};
    alignas(16) static const uint64_t k5k0[2] = {0x0163cd6124u, 0};
    alignas(16) static const uint64_t kPoly[2] = {0x01db710641u, 0x01f7011641u};
    __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(nReg)));
    __m128i x2 = Load128(p + 16);
    __m128i x3 = Load128(p + 32);
    __m128i x4 = Load128(p + 48);
    p += 64;
    nLength -= 64;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    for (; nLength >= 64; nLength -= 64, p += 64) {
        x1 = Fold128(x1, k, Load128(p));
        x2 = Fold128(x2, k, Load128(p + 16));
        x3 = Fold128(x3, k, Load128(p + 32));
        x4 = Fold128(x4, k, Load128(p + 48));
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = Fold128(x1, k, x2);
    x1 = Fold128(x1, k, x3);
    x1 = Fold128(x1, k, x4);
    for (; nLength >= 16; nLength -= 16, p += 16) x1 = Fold128(x1, k, Load128(p));
    // 128 bits to 64.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00),
                       _mm_srli_si128(x1, 4));
    // Barrett's reduction to 32 bits.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kPoly));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), k, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, q), 1));
}

bool CanFold() {
    static const bool bCan = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return bCan;
}
#endif

}  // namespace

uint32_t ComputeCrc32(const uint8_t* pBytes, uint32_t nCount) {
    uint32_t nReg = 0xFFFFFFFFu;
    uint32_t n = nCount & 0xFFFFu;  // the count is a 16-bit value
    if (pBytes == nullptr) return nReg;
#ifdef VELMORA_CRC_FOLD
    if (n >= kFoldMin && CanFold()) {
        const uint32_t nBlocks = n & ~15u;
        nReg = FoldCrc32(pBytes, nBlocks, nReg);
        pBytes += nBlocks;
        n -= nBlocks;
    }
#endif
    const auto& t = kCrcTables;
    for (; n >= 16; n -= 16, pBytes += 16) {
        const uint32_t a = nReg ^ ReadLe32(pBytes);
        const uint32_t b = ReadLe32(pBytes + 4);
        const uint32_t c = ReadLe32(pBytes + 8);
        const uint32_t d = ReadLe32(pBytes + 12);
        nReg = t[15][a & 0xFFu] ^ t[14][(a >> 8) & 0xFFu] ^ t[13][(a >> 16) & 0xFFu] ^
               t[12][a >> 24] ^ t[11][b & 0xFFu] ^ t[10][(b >> 8) & 0xFFu] ^
               t[9][(b >> 16) & 0xFFu] ^ t[8][b >> 24] ^ t[7][c & 0xFFu] ^
               t[6][(c >> 8) & 0xFFu] ^ t[5][(c >> 16) & 0xFFu] ^ t[4][c >> 24] ^
               t[3][d & 0xFFu] ^ t[2][(d >> 8) & 0xFFu] ^ t[1][(d >> 16) & 0xFFu] ^ t[0][d >> 24];
    }
    for (; n > 0; --n) nReg = (nReg >> 8) ^ t[0][(nReg ^ *pBytes++) & 0xFFu];
    return nReg;
}

int FrameDecimal(const uint8_t* pField, int nWidth) {
    // The field is copied into a zeroed text first, so it ends at the first NUL.
    char szText[16] = {};
    if (pField == nullptr || nWidth <= 0) return 0;
    if (nWidth > 15) nWidth = 15;
    std::memcpy(szText, pField, static_cast<size_t>(nWidth));
    const char* p = szText;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-') bNegative = (*p++ == '-');
    long long nValue = 0;  // at most 15 digits: cannot overflow
    while (*p >= '0' && *p <= '9') nValue = nValue * 10 + (*p++ - '0');
    if (bNegative) nValue = -nValue;
    if (nValue > 0x7FFFFFFF) return 0x7FFFFFFF;
    if (nValue < -0x7FFFFFFF) return -0x7FFFFFFF;
    return static_cast<int>(nValue);
}

void CTcpCommon::PutFrameCrc(uint8_t* pFrame, int nLength) {
    if (pFrame == nullptr || nLength < 8) return;
    const uint32_t nCrc = ComputeCrc32(pFrame + 2, static_cast<uint32_t>(nLength - 8));
    uint8_t* p = pFrame + nLength - 6;
    p[0] = static_cast<uint8_t>(nCrc);
    p[1] = static_cast<uint8_t>(nCrc >> 8);
    p[2] = static_cast<uint8_t>(nCrc >> 16);
    p[3] = static_cast<uint8_t>(nCrc >> 24);
}

void CTcpCommon::CheckFrameCrc(const uint8_t* pFrame, int nLength, uint32_t* pComputed,
                               uint32_t* pStored) {
    uint32_t nComputed = 0xFFFFFFFFu;
    uint32_t nStored = 0;  // a frame too short to hold a checksum never matches
    if (pFrame != nullptr && nLength >= 8) {
        nComputed = ComputeCrc32(pFrame + 2, static_cast<uint32_t>(nLength - 8));
        nStored = ReadLe32(pFrame + nLength - 6);
    }
    if (pComputed != nullptr) *pComputed = nComputed;
    if (pStored != nullptr) *pStored = nStored;
}

int CTcpCommon::ExtractFrame(uint8_t* pDest, size_t nDestSize, int* pnCapacity, const uint8_t* pBuf,
                             int nAvailable) {
    if (pBuf == nullptr || nAvailable < kFrameHeader) return 0;  // the header is not whole yet
    if (pBuf[0] != kFrameStart || pBuf[1] != kFrameStart) return -1;
    const int nLength = FrameDecimal(pBuf + 2, 7);
    // A length that cannot describe a frame, or a frame that the destination could never
    // hold, is an error at once: waiting for it would stall the link.
    if (nLength < kFrameOverhead) return -1;
    if (pDest == nullptr || static_cast<size_t>(nLength) > nDestSize) return -1;
    if (nAvailable < nLength) return 0;
    if (pnCapacity == nullptr || nLength > *pnCapacity) return -1;
    if (pBuf[nLength - 2] != kFrameEnd || pBuf[nLength - 1] != kFrameEnd) return -1;
    *pnCapacity = nLength;
    std::memcpy(pDest, pBuf, static_cast<size_t>(nLength));
    return nLength;
}
