// CWinSock: the socket steps of the manager link over the platform's socket calls. Each
// operation takes the socket and answers with a plain result; a socket that cannot be set
// up is closed at once and the caller gets INVALID_SOCKET_T. Time-outs are handed to the
// platform as the station states them (the platform applies its own time scale).
#include "link/win_sock.h"

namespace {
constexpr uint32_t kLoopbackAddr = 0x7F000001u;  // 127.0.0.1, host order
}  // namespace

bool CWinSock::StartWinsock() { return true; }

bool CWinSock::CleanupWinsock() { return true; }

SOCKET_T CWinSock::CreateTcpSocket(uint16_t nLocalPort) {
    vplat::Env* pEnv = vplat::env();
    SOCKET_T s = pEnv->SockOpenTcp();
    if (s == INVALID_SOCKET_T) return INVALID_SOCKET_T;
    // Abortive close and no Nagle delay; a socket without them is not used.
    if (!pEnv->SockSetLingerOff(s) || !pEnv->SockSetNoDelay(s) ||
        (nLocalPort != 0 && !pEnv->SockBind(s, nLocalPort))) {
        pEnv->SockClose(s);
        return INVALID_SOCKET_T;
    }
    return s;
}

int CWinSock::ConnectTo(SOCKET_T s, uint32_t nAddr, uint16_t nPort) {
    if (s == INVALID_SOCKET_T) return 0;
    if (nAddr == 0) nAddr = kLoopbackAddr;  // 0 stands for this machine
    return vplat::env()->SockConnect(s, nAddr, nPort) == 1 ? 1 : 0;
}

int CWinSock::WaitSocket(SOCKET_T s, int nMask, uint32_t nTimeoutMs) {
    if (s == INVALID_SOCKET_T) return 0;
    return vplat::env()->SockWait(s, nMask, nTimeoutMs) & 0xFFFF;
}

bool CWinSock::SetBlocking(SOCKET_T s, bool bBlocking) {
    return s != INVALID_SOCKET_T && vplat::env()->SockSetBlocking(s, bBlocking);
}

bool CWinSock::SetRecvTimeout(SOCKET_T s, uint32_t nMs) {
    return s != INVALID_SOCKET_T && vplat::env()->SockSetRecvTimeout(s, nMs);
}

bool CWinSock::SetBufferSizes(SOCKET_T s, int nSendSize, int nRecvSize) {
    if (s == INVALID_SOCKET_T) return false;
    vplat::Env* pEnv = vplat::env();
    if (!pEnv->SockSetSendBuffer(s, nSendSize)) return false;
    return pEnv->SockSetRecvBuffer(s, nRecvSize);
}

SOCKET_T CWinSock::ConnectTcp(uint32_t nAddr, uint16_t nPort, uint32_t nConnectTimeoutMs,
                              uint32_t nIoTimeoutMs, bool bBlockingAfter, int nSendBuf,
                              int nRecvBuf) {
    SOCKET_T s = CreateTcpSocket(0);
    if (s == INVALID_SOCKET_T) return INVALID_SOCKET_T;
    vplat::Env* pEnv = vplat::env();
    bool bOk = SetBlocking(s, false) && ConnectTo(s, nAddr, nPort) == 1 &&
               // Writable and not in the error set: a refused connect reports the error
               // bit at once, a silent peer runs into the time-out.
               WaitSocket(s, vplat::kSockWritable | vplat::kSockError, nConnectTimeoutMs) ==
                   vplat::kSockWritable &&
               pEnv->SockSetSendTimeout(s, nIoTimeoutMs) && SetRecvTimeout(s, nIoTimeoutMs) &&
               (!bBlockingAfter || SetBlocking(s, true)) && SetBufferSizes(s, nSendBuf, nRecvBuf);
    if (!bOk) {
        pEnv->SockClose(s);
        return INVALID_SOCKET_T;
    }
    return s;
}

int CWinSock::RecvData(SOCKET_T s, uint8_t* pBuf, int nCapacity) {
    if (s == INVALID_SOCKET_T || pBuf == nullptr) return -1;
    if (nCapacity <= 0) return 0;
    const int n = vplat::env()->SockRecv(s, pBuf, nCapacity);
    if (n < 0) return -1;
    return n > nCapacity ? nCapacity : n;
}

int CWinSock::SendData(SOCKET_T s, const uint8_t* pBytes, int nCount) {
    if (nCount < 1) return 0;
    if (s == INVALID_SOCKET_T || pBytes == nullptr) return -1;
    vplat::Env* pEnv = vplat::env();
    int nSent = 0;
    while (nSent < nCount) {
        const int n = pEnv->SockSend(s, pBytes + nSent, nCount - nSent);
        if (n < 0) return -1;
        if (n == 0) return nSent;  // would block: report what went out
        nSent += n < nCount - nSent ? n : nCount - nSent;
    }
    return nSent;
}

SOCKET_T CWinSock::CloseSocket(SOCKET_T s) {
    if (s == INVALID_SOCKET_T) return INVALID_SOCKET_T;
    return vplat::env()->SockClose(s) ? INVALID_SOCKET_T : s;
}

uint32_t CWinSock::GetLocalAddress(uint32_t* pOut) {
    const uint32_t nAddr = vplat::env()->LocalIPv4();
    if (pOut != nullptr) *pOut = nAddr;
    return nAddr;
}
