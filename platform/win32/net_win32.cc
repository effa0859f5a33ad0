// HostEnv's events on Win32 (kernel events) and the TCP socket calls of the manager link on
// Winsock 2. A socket waited on together with events is watched with WSAEventSelect
// (FD_READ | FD_CLOSE) and WaitForMultipleObjects; what EnumNetworkEvents reports is the
// socket's state (bytes queued, the peer's close seen once and remembered), so a second
// look answers as the first did. Winsock holds FD_CLOSE back until the queued bytes are
// read, so EnumNetworkEvents takes the queued bytes into the watch (SockRecv hands them
// out first) and then sees whether the stream has ended behind them. Time-outs are
// divided by the time scale.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env_wrapper.h"
#include "platform/host_sockets.h"
#include "platform/win32/event_win32.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }

// Winsock is started once per process and left running until it ends.
bool StartWinsock() {
    static const bool s_bStarted = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return s_bStarted;
}

constexpr size_t kMaxTaken = 1u << 20;  // bytes EnumNetworkEvents takes ahead at most

// What is known of a watched socket.
struct SockWatch {
    WSAEVENT hEvent = WSA_INVALID_EVENT;  // signalled by FD_READ / FD_CLOSE while selected
    bool bSelected = false;               // WSAEventSelect is in force
    bool bClosed = false;                 // the peer's close (or a reset) was seen
    std::string szTaken;                  // bytes read ahead, not yet given to SockRecv
};

std::mutex g_watchMutex;                // guards g_watches
std::map<SOCKET, SockWatch> g_watches;  // watched sockets of the process

// Collects the recorded network events into the watch (the caller holds the lock).
void CollectLocked(SOCKET s, SockWatch* pWatch) {
    if (!pWatch->bSelected) return;
    WSANETWORKEVENTS ne{};
    if (WSAEnumNetworkEvents(s, pWatch->hEvent, &ne) == 0 && (ne.lNetworkEvents & FD_CLOSE) != 0) {
        pWatch->bClosed = true;
    }
}

// The watch of s with its event selected; WSA_INVALID_EVENT when that fails.
WSAEVENT SelectedEvent(SOCKET s, bool* pbClosed) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    SockWatch& w = g_watches[s];
    if (w.hEvent == WSA_INVALID_EVENT) w.hEvent = WSACreateEvent();
    if (w.hEvent == WSA_INVALID_EVENT) return WSA_INVALID_EVENT;
    if (!w.bSelected) {
        if (WSAEventSelect(s, w.hEvent, FD_READ | FD_CLOSE) != 0) return WSA_INVALID_EVENT;
        w.bSelected = true;
    }
    CollectLocked(s, &w);
    if (pbClosed != nullptr) *pbClosed = w.bClosed;
    return w.hEvent;
}

// Ends the event selection (a socket cannot be made blocking under it); what was recorded
// so far is kept.
void Deselect(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    auto it = g_watches.find(s);
    if (it == g_watches.end() || !it->second.bSelected) return;
    CollectLocked(s, &it->second);
    WSAEventSelect(s, it->second.hEvent, 0);
    it->second.bSelected = false;
}

void Forget(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    auto it = g_watches.find(s);
    if (it == g_watches.end()) return;
    if (it->second.hEvent != WSA_INVALID_EVENT) WSACloseEvent(it->second.hEvent);
    g_watches.erase(it);
}

void MarkClosed(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    g_watches[s].bClosed = true;
}

bool HasTaken(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    auto it = g_watches.find(s);
    return it != g_watches.end() && !it->second.szTaken.empty();
}

// Copies up to nSize bytes read ahead into pBuf; how many.
int GiveTaken(SOCKET s, void* pBuf, int nSize) {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    auto it = g_watches.find(s);
    if (it == g_watches.end() || it->second.szTaken.empty()) return 0;
    std::string& szTaken = it->second.szTaken;
    const size_t n =
        szTaken.size() < static_cast<size_t>(nSize) ? szTaken.size() : static_cast<size_t>(nSize);
    std::memcpy(pBuf, szTaken.data(), n);
    szTaken.erase(0, n);
    return static_cast<int>(n);
}

unsigned long QueuedBytes(SOCKET s) {
    u_long nQueued = 0;
    if (ioctlsocket(s, FIONREAD, &nQueued) != 0) return 0;
    return nQueued;
}

// True when select reports s readable right now.
bool ReadableNow(SOCKET s) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval tv{0, 0};
    return select(0, &readSet, nullptr, nullptr, &tv) == 1;
}

DWORD WaitTimeout(Env* pEnv, uint32_t nMs, uint32_t nInfinite) {
    if (nMs == nInfinite) return INFINITE;
    const uint32_t nScaled = pEnv->ScaleMs(nMs);
    return nScaled >= INFINITE ? INFINITE - 1 : nScaled;
}

bool SetTimeoutOption(SOCKET s, int nOption, uint32_t nMs) {
    const DWORD nValue = nMs;
    return setsockopt(s, SOL_SOCKET, nOption, reinterpret_cast<const char*>(&nValue),
                      sizeof(nValue)) == 0;
}

}  // namespace

std::unique_ptr<Event> HostEnv::NewEvent(bool bManualReset) {
    HANDLE h = CreateEventA(nullptr, bManualReset ? TRUE : FALSE, FALSE, nullptr);
    if (h == nullptr) {
        DebugFailure("CreateEventA", "", GetLastError());
        return nullptr;
    }
    return std::make_unique<Win32Event>(h);
}

int HostEnv::WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                                 uint32_t nTimeoutMs) {
    std::vector<HANDLE> handles;
    std::vector<int> indexes;  // event index of each handle
    for (int i = 0; i < nEvents && handles.size() < MAXIMUM_WAIT_OBJECTS - 1; ++i) {
        auto* pEvent = static_cast<Win32Event*>(ppEvents[i]);
        if (pEvent == nullptr) continue;
        handles.push_back(pEvent->Handle());
        indexes.push_back(i);
    }
    if (s != kNoSocket) {
        bool bClosed = false;
        const WSAEVENT hSock = SelectedEvent(Sock(s), &bClosed);
        if (hSock == WSA_INVALID_EVENT) {
            DebugFailure("WSAEventSelect", "", static_cast<unsigned long>(WSAGetLastError()));
            return nEvents;  // the caller learns more from EnumNetworkEvents
        }
        // Bytes already queued or a close already seen count at once, as a poll would.
        if (bClosed || HasTaken(Sock(s)) || QueuedBytes(Sock(s)) > 0) {
            if (!handles.empty()) {
                const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                       handles.data(), FALSE, 0);
                if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + handles.size()) {
                    return indexes[r - WAIT_OBJECT_0];
                }
            }
            return nEvents;
        }
        handles.push_back(hSock);
    }
    if (handles.empty()) {
        Sleep(WaitTimeout(this, nTimeoutMs, 0xFFFFFFFFu));
        return -1;
    }
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                           FALSE, WaitTimeout(this, nTimeoutMs, 0xFFFFFFFFu));
    if (r == WAIT_TIMEOUT) return -1;
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + handles.size()) {
        const size_t nAt = r - WAIT_OBJECT_0;
        return nAt < indexes.size() ? indexes[nAt] : nEvents;
    }
    DebugFailure("WaitForMultipleObjects", "events", GetLastError());
    return -1;
}

int HostEnv::EnumNetworkEvents(SocketHandle s) {
    if (s == kNoSocket) return 0;
    if (SelectedEvent(Sock(s), nullptr) == WSA_INVALID_EVENT) return 0;
    std::lock_guard<std::mutex> lock(g_watchMutex);
    SockWatch& w = g_watches[Sock(s)];
    // Take what is queued (never more than is there, so no recv blocks), then look behind
    // it: readable with nothing queued is the end of the stream.
    while (!w.bClosed && w.szTaken.size() < kMaxTaken) {
        const unsigned long nQueued = QueuedBytes(Sock(s));
        if (nQueued == 0) {
            if (ReadableNow(Sock(s)) && QueuedBytes(Sock(s)) == 0) w.bClosed = true;
            break;
        }
        char buf[16384];
        const size_t nRoom = kMaxTaken - w.szTaken.size();
        size_t nAsk = nQueued < sizeof(buf) ? nQueued : sizeof(buf);
        if (nAsk > nRoom) nAsk = nRoom;
        const int n = recv(Sock(s), buf, static_cast<int>(nAsk), 0);
        if (n > 0) {
            w.szTaken.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            w.bClosed = true;
        } else {
            break;
        }
    }
    int nEvents = (!w.szTaken.empty() || QueuedBytes(Sock(s)) > 0) ? kNetRead : 0;
    if (w.bClosed) nEvents |= kNetClose;
    return nEvents;
}

SocketHandle HostEnv::SockOpenTcp() {
    if (!StartWinsock()) {
        DebugOutput("WSAStartup failed");
        return kNoSocket;
    }
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        DebugFailure("socket", "", static_cast<unsigned long>(WSAGetLastError()));
        return kNoSocket;
    }
    // Programs started later must not hold the link open.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<SocketHandle>(s);
}

bool HostEnv::SockSetLingerOff(SocketHandle s) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return setsockopt(Sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                      sizeof(l)) == 0;
}

bool HostEnv::SockSetNoDelay(SocketHandle s) {
    const BOOL bOne = TRUE;
    return setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bOne),
                      sizeof(bOne)) == 0;
}

bool HostEnv::SockBind(SocketHandle s, uint16_t nPort) {
    sockaddr_in addr = hostsock::Ipv4Address<sockaddr_in>(AF_INET, INADDR_ANY, nPort);
    if (bind(Sock(s), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        DebugFailure("bind", std::to_string(nPort), static_cast<unsigned long>(WSAGetLastError()));
        return false;
    }
    return true;
}

namespace {
// The Winsock error of the calling thread's last failed connect or wait (SockLastFailure).
thread_local int t_nLastSockError = 0;
}  // namespace

int HostEnv::SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) {
    sockaddr_in addr = hostsock::Ipv4Address<sockaddr_in>(AF_INET, nAddr, nPort);
    if (connect(Sock(s), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return 1;
    const int nErr = WSAGetLastError();
    if (nErr == WSAEWOULDBLOCK || nErr == WSAEINPROGRESS || nErr == WSAEALREADY ||
        nErr == WSAEINTR) {
        return 1;  // under way
    }
    t_nLastSockError = nErr;
    return 0;
}

const char* HostEnv::SockLastFailure() {
    static const hosttext::SockErrorCodes kCodes = {
        WSAECONNREFUSED, WSAETIMEDOUT, {WSAENETUNREACH, WSAEHOSTUNREACH, WSAENETDOWN, WSAEHOSTDOWN},
        {WSAEADDRNOTAVAIL, WSAEAFNOSUPPORT, WSAEINVAL}};
    return hosttext::SockFailureWords(t_nLastSockError, kCodes);
}

int HostEnv::SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) {
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    if ((nMask & kSockReadable) != 0) FD_SET(Sock(s), &readSet);
    if ((nMask & kSockWritable) != 0) FD_SET(Sock(s), &writeSet);
    FD_SET(Sock(s), &errorSet);  // a failed non-blocking connect shows here on Winsock
    const DWORD nTimeout = WaitTimeout(this, nTimeoutMs, 65535);
    timeval tv{};
    tv.tv_sec = static_cast<long>(nTimeout / 1000);
    tv.tv_usec = static_cast<long>((nTimeout % 1000) * 1000);
    const int nReady =
        select(0, &readSet, &writeSet, &errorSet, nTimeout == INFINITE ? nullptr : &tv);
    if (nReady == SOCKET_ERROR) {
        t_nLastSockError = WSAGetLastError();
        return kSockError;
    }
    if (nReady == 0) {
        t_nLastSockError = WSAETIMEDOUT;
        return 0;
    }
    if (FD_ISSET(Sock(s), &errorSet)) {
        int nSoError = 0;
        int nLen = sizeof(nSoError);
        getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nSoError), &nLen);
        t_nLastSockError = nSoError;
        return kSockError;
    }
    int nResult = 0;
    if (FD_ISSET(Sock(s), &writeSet)) {
        int nSoError = 0;
        int nLen = sizeof(nSoError);
        if (getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nSoError), &nLen) !=
                0 ||
            nSoError != 0) {
            t_nLastSockError = nSoError;
            return kSockError;
        }
        nResult |= kSockWritable;
    }
    if (FD_ISSET(Sock(s), &readSet)) nResult |= kSockReadable;
    return nResult;
}

bool HostEnv::SockSetBlocking(SocketHandle s, bool bBlocking) {
    if (bBlocking) Deselect(Sock(s));
    u_long nNonBlocking = bBlocking ? 0 : 1;
    return ioctlsocket(Sock(s), FIONBIO, &nNonBlocking) == 0;
}

bool HostEnv::SockSetSendTimeout(SocketHandle s, uint32_t nMs) {
    return SetTimeoutOption(Sock(s), SO_SNDTIMEO, ScaleMs(nMs));
}

bool HostEnv::SockSetRecvTimeout(SocketHandle s, uint32_t nMs) {
    return SetTimeoutOption(Sock(s), SO_RCVTIMEO, ScaleMs(nMs));
}

bool HostEnv::SockSetSendBuffer(SocketHandle s, int nBytes) {
    return setsockopt(Sock(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&nBytes),
                      sizeof(nBytes)) == 0;
}

bool HostEnv::SockSetRecvBuffer(SocketHandle s, int nBytes) {
    return setsockopt(Sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&nBytes),
                      sizeof(nBytes)) == 0;
}

// An orderly close by the peer (recv gives 0) also answers -1: the link learns of a close
// from EnumNetworkEvents (kNetClose) before it reads, so -1 here only ends a read loop.
int HostEnv::SockRecv(SocketHandle s, void* pBuf, int nSize) {
    if (pBuf == nullptr || nSize <= 0) return 0;
    const int nTaken = GiveTaken(Sock(s), pBuf, nSize);
    if (nTaken > 0) return nTaken;
    const int n = recv(Sock(s), static_cast<char*>(pBuf), nSize, 0);
    if (n > 0) return n;
    if (n == 0) {
        MarkClosed(Sock(s));
        return -1;
    }
    const int nErr = WSAGetLastError();
    if (nErr == WSAEWOULDBLOCK || nErr == WSAETIMEDOUT || nErr == WSAEINTR) return 0;
    return -1;
}

int HostEnv::SockSend(SocketHandle s, const void* pBuf, int nSize) {
    if (pBuf == nullptr || nSize <= 0) return 0;
    const int n = send(Sock(s), static_cast<const char*>(pBuf), nSize, 0);
    if (n >= 0) return n;
    const int nErr = WSAGetLastError();
    if (nErr == WSAEWOULDBLOCK || nErr == WSAETIMEDOUT || nErr == WSAEINTR) return 0;
    return -1;
}

bool HostEnv::SockClose(SocketHandle s) {
    if (s == kNoSocket) return false;
    Forget(Sock(s));
    return closesocket(Sock(s)) == 0;
}

uint32_t HostEnv::LocalIPv4() {
    if (!StartWinsock()) return 0;
    return hostsock::FirstLocalIPv4<addrinfo, sockaddr_in>(gethostname, getaddrinfo,
                                                           freeaddrinfo, AF_INET, SOCK_STREAM);
}

}  // namespace vplat
