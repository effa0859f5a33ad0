// CWinSock: the socket operations of the manager link, each taking the socket and
// returning a plain result, with the station's options (abortive close, no Nagle delay,
// a connect bounded by a time-out, send/receive time-outs, buffer sizes).
#pragma once

#include <cstdint>

#include "platform/platform.h"

using SOCKET_T = vplat::SocketHandle;
constexpr SOCKET_T INVALID_SOCKET_T = vplat::kNoSocket;

class CWinSock {
public:
    static bool StartWinsock();
    static bool CleanupWinsock();
    static SOCKET_T CreateTcpSocket(uint16_t nLocalPort);
    static int ConnectTo(SOCKET_T s, uint32_t nAddr, uint16_t nPort);
    static int WaitSocket(SOCKET_T s, int nMask, uint32_t nTimeoutMs);
    static bool SetBlocking(SOCKET_T s, bool bBlocking);
    static bool SetRecvTimeout(SOCKET_T s, uint32_t nMs);
    static bool SetBufferSizes(SOCKET_T s, int nSendSize, int nRecvSize);
    static SOCKET_T ConnectTcp(uint32_t nAddr, uint16_t nPort, uint32_t nConnectTimeoutMs,
                               uint32_t nIoTimeoutMs, bool bBlockingAfter, int nSendBuf,
                               int nRecvBuf);
    static int RecvData(SOCKET_T s, uint8_t* pBuf, int nCapacity);
    static int SendData(SOCKET_T s, const uint8_t* pBytes, int nCount);
    static SOCKET_T CloseSocket(SOCKET_T s);
    static uint32_t GetLocalAddress(uint32_t* pOut = nullptr);
};
