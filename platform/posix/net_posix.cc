// HostEnv's events on POSIX (eventfd) and the TCP socket calls of the manager link, with the
// Winsock conventions the core expects: readiness masks, FD_READ / FD_CLOSE bits, time-outs
// in milliseconds (65535 = none for SockWait) divided by the time scale.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/env_wrapper.h"
#include "platform/host_sockets.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/posix_env.h"

namespace vplat {

namespace {

int Fd(SocketHandle s) { return static_cast<int>(s); }

// The error of the calling thread's last failed connect or wait, for SockLastFailure.
thread_local int t_nLastSockError = 0;

// What the calling thread's last WaitEventsOrSocket saw on its socket, for the
// EnumNetworkEvents that follows it on the same thread (the link thread's turn): a
// received packet then costs one poll instead of two. Taken once; any other call, and
// any call after another wait or a close of that socket, polls afresh.
struct SocketSeen {
    int nFd = -1;
    short nRevents = 0;
};
thread_local SocketSeen t_seen;

// Poll timeout for a wait of the core: -1 for "no limit", else scaled milliseconds.
int PollTimeout(Env* pEnv, uint32_t nMs, uint32_t nInfinite) {
    if (nMs == nInfinite) return -1;
    const uint32_t nScaled = pEnv->ScaleMs(nMs);
    return nScaled > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(nScaled);
}

bool SetTimeoutOption(int nFd, int nOption, uint32_t nMs) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(nMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((nMs % 1000) * 1000);
    return setsockopt(nFd, SOL_SOCKET, nOption, &tv, sizeof(tv)) == 0;
}

}  // namespace

std::unique_ptr<Event> HostEnv::NewEvent(bool bManualReset) {
    const int nFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (nFd < 0) {
        DebugFailure("eventfd", "", errno);
        return nullptr;
    }
    return std::make_unique<PosixEvent>(nFd, bManualReset);
}

int HostEnv::WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                                 uint32_t nTimeoutMs) {
    using Clock = std::chrono::steady_clock;
    const int nTimeout = PollTimeout(this, nTimeoutMs, 0xFFFFFFFFu);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeout);
    // The link thread waits here for every packet: no allocation for the usual few events.
    constexpr int kFixedFds = 8;
    pollfd fixedFds[kFixedFds];
    std::vector<pollfd> moreFds;
    pollfd* pfds = fixedFds;
    if (nEvents < 0) nEvents = 0;
    if (nEvents + 1 > kFixedFds) {
        moreFds.resize(static_cast<size_t>(nEvents) + 1);
        pfds = moreFds.data();
    }
    t_seen.nFd = -1;
    for (;;) {
        nfds_t nFds = 0;
        for (int i = 0; i < nEvents; ++i) {
            auto* pEvent = static_cast<PosixEvent*>(ppEvents[i]);
            pfds[nFds++] = {pEvent != nullptr ? pEvent->Fd() : -1, POLLIN, 0};
        }
        if (s != kNoSocket) pfds[nFds++] = {Fd(s), POLLIN | POLLRDHUP, 0};
        int nWait = -1;
        if (nTimeout >= 0) {
            nWait = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count());
            if (nWait < 0) nWait = 0;
        }
        const int nReady = poll(pfds, nFds, nWait);
        if (nReady < 0) {
            if (errno == EINTR) continue;
            DebugFailure("poll", "events", errno);
            return -1;
        }
        if (nReady == 0) return -1;
        for (int i = 0; i < nEvents; ++i) {
            if ((pfds[i].revents & POLLIN) == 0) continue;
            auto* pEvent = static_cast<PosixEvent*>(ppEvents[i]);
            if (pEvent->TakeSignal()) return i;  // another waiter may have taken it: go on
        }
        if (s != kNoSocket && pfds[nFds - 1].revents != 0) {
            t_seen = SocketSeen{Fd(s), pfds[nFds - 1].revents};
            return nEvents;
        }
    }
}

int HostEnv::EnumNetworkEvents(SocketHandle s) {
    if (s == kNoSocket) return 0;
    pollfd pfd{Fd(s), POLLIN | POLLRDHUP, 0};
    const SocketSeen seen = t_seen;
    t_seen.nFd = -1;
    if (seen.nFd == pfd.fd) {
        pfd.revents = seen.nRevents;  // what the wait just saw: nothing was read since
    } else if (poll(&pfd, 1, 0) <= 0) {
        return 0;
    }
    int nEvents = 0;
    const bool bClosed = (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    if (bClosed) nEvents |= kNetClose;
    if ((pfd.revents & POLLIN) != 0) {
        // After a close POLLIN means only "end of stream"; it is a read only with data.
        int nQueued = 0;
        if (!bClosed || (ioctl(Fd(s), FIONREAD, &nQueued) == 0 && nQueued > 0)) nEvents |= kNetRead;
    }
    return nEvents;
}

SocketHandle HostEnv::SockOpenTcp() {
    const int nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) {
        DebugFailure("socket", "", errno);
        return kNoSocket;
    }
    return nFd;
}

bool HostEnv::SockSetLingerOff(SocketHandle s) {
    const linger l{1, 0};
    return setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof(l)) == 0;
}

bool HostEnv::SockSetNoDelay(SocketHandle s) {
    const int nOne = 1;
    return setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne)) == 0;
}

bool HostEnv::SockBind(SocketHandle s, uint16_t nPort) {
    sockaddr_in addr = hostsock::Ipv4Address<sockaddr_in>(AF_INET, INADDR_ANY, nPort);
    if (bind(Fd(s), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        DebugFailure("bind", std::to_string(nPort), errno);
        return false;
    }
    return true;
}

int HostEnv::SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) {
    sockaddr_in addr = hostsock::Ipv4Address<sockaddr_in>(AF_INET, nAddr, nPort);
    if (connect(Fd(s), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return 1;
    if (errno == EINPROGRESS || errno == EINTR || errno == EALREADY) return 1;  // under way
    t_nLastSockError = errno;
    return 0;
}

int HostEnv::SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) {
    pollfd pfd{Fd(s), 0, 0};
    if ((nMask & kSockReadable) != 0) pfd.events |= POLLIN;
    if ((nMask & kSockWritable) != 0) pfd.events |= POLLOUT;
    const int nTimeout = PollTimeout(this, nTimeoutMs, 65535);
    int nReady;
    while ((nReady = poll(&pfd, 1, nTimeout)) < 0 && errno == EINTR) {
    }
    if (nReady < 0) {
        t_nLastSockError = errno;
        return kSockError;
    }
    if (nReady == 0) {
        t_nLastSockError = ETIMEDOUT;
        return 0;
    }
    // A refused non-blocking connect shows as writable with POLLERR/POLLHUP: SO_ERROR tells.
    int nSoError = 0;
    socklen_t nLen = sizeof(nSoError);
    if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL | POLLOUT)) != 0) {
        if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &nSoError, &nLen) != 0) nSoError = errno;
    }
    int nResult = 0;
    if (nSoError != 0 || (pfd.revents & POLLNVAL) != 0) {
        t_nLastSockError = nSoError != 0 ? nSoError : EBADF;
        return kSockError;
    }
    if ((pfd.revents & (POLLIN | POLLHUP)) != 0 && (nMask & kSockReadable) != 0) {
        nResult |= kSockReadable;
    }
    if ((pfd.revents & POLLOUT) != 0 && (nMask & kSockWritable) != 0) nResult |= kSockWritable;
    if (nResult == 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0) nResult = kSockError;
    return nResult;
}

const char* HostEnv::SockLastFailure() {
    static const hosttext::SockErrorCodes kCodes = {
        ECONNREFUSED, ETIMEDOUT, {ENETUNREACH, EHOSTUNREACH, ENETDOWN, EHOSTDOWN},
        {EADDRNOTAVAIL, EAFNOSUPPORT, EINVAL}};
    return hosttext::SockFailureWords(t_nLastSockError, kCodes);
}

bool HostEnv::SockSetBlocking(SocketHandle s, bool bBlocking) {
    const int nFlags = fcntl(Fd(s), F_GETFL);
    if (nFlags < 0) return false;
    const int nNew = bBlocking ? (nFlags & ~O_NONBLOCK) : (nFlags | O_NONBLOCK);
    return fcntl(Fd(s), F_SETFL, nNew) == 0;
}

bool HostEnv::SockSetSendTimeout(SocketHandle s, uint32_t nMs) {
    return SetTimeoutOption(Fd(s), SO_SNDTIMEO, ScaleMs(nMs));
}

bool HostEnv::SockSetRecvTimeout(SocketHandle s, uint32_t nMs) {
    return SetTimeoutOption(Fd(s), SO_RCVTIMEO, ScaleMs(nMs));
}

bool HostEnv::SockSetSendBuffer(SocketHandle s, int nBytes) {
    return setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &nBytes, sizeof(nBytes)) == 0;
}

bool HostEnv::SockSetRecvBuffer(SocketHandle s, int nBytes) {
    return setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, &nBytes, sizeof(nBytes)) == 0;
}

// An orderly close by the peer (recv gives 0) also answers -1: the link learns of a close
// from EnumNetworkEvents (kNetClose) before it reads, so -1 here only ends a read loop.
int HostEnv::SockRecv(SocketHandle s, void* pBuf, int nSize) {
    if (pBuf == nullptr || nSize <= 0) return 0;
    for (;;) {
        const ssize_t n = recv(Fd(s), pBuf, static_cast<size_t>(nSize), 0);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

int HostEnv::SockSend(SocketHandle s, const void* pBuf, int nSize) {
    if (pBuf == nullptr || nSize <= 0) return 0;
    for (;;) {
        const ssize_t n = send(Fd(s), pBuf, static_cast<size_t>(nSize), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

bool HostEnv::SockClose(SocketHandle s) {
    if (s == kNoSocket) return false;
    if (t_seen.nFd == Fd(s)) t_seen.nFd = -1;
    return close(Fd(s)) == 0;
}

uint32_t HostEnv::LocalIPv4() {
    return hostsock::FirstLocalIPv4<addrinfo, sockaddr_in>(gethostname, getaddrinfo,
                                                           freeaddrinfo, AF_INET, SOCK_STREAM);
}

}  // namespace vplat
