// The window bus over Unix-domain sockets: escaping of titles, the calling side (connect,
// one request, its reply) and the listener of the process's own window, which hands
// messages to the message loop and answers queries from the control model itself.
#include "platform/posix/window_bus_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/loop_posix.h"
#include "platform/posix/posix_env.h"

namespace vplat {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxQueryText = 1 << 20;  // cap of a query answer
constexpr int kRequestWaitMs = 2000;       // a connection must deliver its request by then
constexpr size_t kMaxPendingConns = 32;    // connections still sending their request

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// A socket address for szPath; paths longer than sun_path go through /proc/self/fd of
// the directory, which *pDirFd then holds (closed by the caller, -1 when not used).
bool MakeUnixAddr(const std::string& szPath, sockaddr_un* pAddr, int* pDirFd) {
    *pDirFd = -1;
    std::memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sun_family = AF_UNIX;
    std::string szUse = szPath;
    if (szUse.size() >= sizeof(pAddr->sun_path)) {
        const size_t nSlash = szPath.rfind('/');
        if (nSlash == std::string::npos) return false;
        const std::string szDir = szPath.substr(0, nSlash == 0 ? 1 : nSlash);
        *pDirFd = open(szDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (*pDirFd < 0) return false;
        szUse = "/proc/self/fd/" + std::to_string(*pDirFd) + szPath.substr(nSlash);
        if (szUse.size() >= sizeof(pAddr->sun_path)) {
            close(*pDirFd);
            *pDirFd = -1;
            return false;
        }
    }
    std::memcpy(pAddr->sun_path, szUse.data(), szUse.size());
    return true;
}

bool WriteAll(int nFd, const void* pData, size_t nLen, Clock::time_point deadline) {
    const char* p = static_cast<const char*>(pData);
    while (nLen > 0) {
        const ssize_t n = send(nFd, p, nLen, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            nLen -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd pfd{nFd, POLLOUT, 0};
        const int nLeft = MsLeft(deadline);
        if (nLeft == 0 || poll(&pfd, 1, nLeft) <= 0) return false;
    }
    return true;
}

bool ReadAll(int nFd, void* pData, size_t nLen, Clock::time_point deadline) {
    char* p = static_cast<char*>(pData);
    while (nLen > 0) {
        const ssize_t n = recv(nFd, p, nLen, MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            nLen -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd pfd{nFd, POLLIN, 0};
        const int nLeft = MsLeft(deadline);
        if (nLeft == 0 || poll(&pfd, 1, nLeft) <= 0) return false;
    }
    return true;
}

bool SendReply(int nFd, int64_t nResult, const std::string* pText) {
    const BusReply reply{kBusMagic, 1, nResult};
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    if (!WriteAll(nFd, &reply, sizeof(reply), deadline)) return false;
    return pText == nullptr || WriteAll(nFd, pText->data(), pText->size(), deadline);
}

// Owns a connection that waits for its reply until the loop handled the message.
struct PendingReply {
    int nFd;
    explicit PendingReply(int fd) : nFd(fd) {}
    ~PendingReply() { close(nFd); }
    PendingReply(const PendingReply&) = delete;
    PendingReply& operator=(const PendingReply&) = delete;
};

}  // namespace

std::string EscapeWindowTitle(const std::string& szTitle) {
    std::string szOut = hosttext::PercentEscape(szTitle, "");
    // "." and ".." are not names a socket file can have.
    if (szOut == "." || szOut == "..") szOut = "%2E" + szOut.substr(1);
    return szOut;
}

BusReach BusConnect(const std::string& szPath, int nTimeoutMs, int* pFd) {
    *pFd = -1;
    sockaddr_un addr;
    int nDirFd = -1;
    if (!MakeUnixAddr(szPath, &addr, &nDirFd)) return BusReach::kAbsent;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    BusReach reach = BusReach::kAbsent;
    for (;;) {
        const int nFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (nFd < 0) break;
        if (connect(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            *pFd = nFd;
            reach = BusReach::kLive;
            break;
        }
        const int nErr = errno;
        close(nFd);
        if (nErr == ECONNREFUSED) {
            reach = BusReach::kStale;
            break;
        }
        // A full backlog answers EAGAIN; the listener drains it quickly.
        if ((nErr == EAGAIN || nErr == EINTR) && MsLeft(deadline) > 0) {
            usleep(5000);
            continue;
        }
        break;
    }
    if (nDirFd >= 0) close(nDirFd);
    return reach;
}

bool BusTransact(const std::string& szPath, const BusRequest& req, int nTimeoutMs, BusReply* pReply,
                 std::string* pText) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    int nFd = -1;
    if (BusConnect(szPath, nTimeoutMs, &nFd) != BusReach::kLive) return false;
    BusReply reply{};
    bool bOk = WriteAll(nFd, &req, sizeof(req), deadline) &&
               ReadAll(nFd, &reply, sizeof(reply), deadline) && reply.nMagic == kBusMagic;
    if (bOk && req.nKind == kBusQuery && pText != nullptr) {
        bOk = reply.nResult >= 0 && static_cast<uint64_t>(reply.nResult) <= kMaxQueryText;
        if (bOk) {
            pText->assign(static_cast<size_t>(reply.nResult), '\0');
            bOk = ReadAll(nFd, pText->data(), pText->size(), deadline);
        }
    }
    close(nFd);
    if (bOk && pReply != nullptr) *pReply = reply;
    return bOk;
}

WindowBusServer::WindowBusServer(HostEnv* pEnv, PosixLoop* pLoop, std::string szPath)
    : m_pEnv(pEnv), m_pLoop(pLoop), m_szPath(std::move(szPath)) {}

WindowBusServer::~WindowBusServer() {
    if (m_thread.joinable()) {
        const uint64_t nOne = 1;
        if (write(m_nWakeFd, &nOne, sizeof(nOne)) < 0) {
            // the eventfd cannot overflow with one write; nothing else to do
        }
        m_thread.join();
    }
    if (m_nListenFd >= 0) {
        close(m_nListenFd);
        unlink(m_szPath.c_str());
    }
    if (m_nWakeFd >= 0) close(m_nWakeFd);
}

bool WindowBusServer::Start() {
    const size_t nSlash = m_szPath.rfind('/');
    if (nSlash != std::string::npos) mkdir(m_szPath.substr(0, nSlash).c_str(), 0777);
    int nFd = -1;
    const BusReach reach = BusConnect(m_szPath, 1000, &nFd);
    if (reach == BusReach::kLive) {
        close(nFd);
        m_pEnv->DebugOutput(("window already open: " + m_szPath).c_str());
        return false;
    }
    // The socket is bound and listening under a name no title escapes to ('%' followed by
    // no hex pair) and only then renamed into place, so that whoever looks the window up
    // finds either nothing, a stale file, or a listener: never a bound socket that refuses
    // because it does not listen yet (which a lookup would take for stale and remove).
    const std::string szTemp = m_szPath + "%new" + std::to_string(getpid());
    unlink(szTemp.c_str());
    sockaddr_un addr;
    int nDirFd = -1;
    if (!MakeUnixAddr(szTemp, &addr, &nDirFd)) return false;
    m_nListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool bOk = m_nListenFd >= 0 &&
               bind(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
               listen(m_nListenFd, 64) == 0 && rename(szTemp.c_str(), m_szPath.c_str()) == 0;
    const int nErr = errno;
    if (!bOk) unlink(szTemp.c_str());
    if (nDirFd >= 0) close(nDirFd);
    if (bOk) {
        m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        bOk = m_nWakeFd >= 0;
    }
    if (!bOk) {
        m_pEnv->DebugOutput(("window socket " + m_szPath + ": " + std::strerror(nErr)).c_str());
        if (m_nListenFd >= 0) close(m_nListenFd);
        m_nListenFd = -1;
        return false;
    }
    m_thread = std::thread([this] { Listen(); });
    return true;
}

void WindowBusServer::Listen() {
    struct Conn {
        int nFd;                     // accepted connection
        size_t nHave;                // bytes of the request read
        BusRequest req;              // the request being read
        Clock::time_point deadline;  // dropped when not complete by then
    };
    std::vector<Conn> conns;
    std::vector<pollfd> pfds;
    for (;;) {
        pfds.clear();
        pfds.push_back({m_nWakeFd, POLLIN, 0});
        pfds.push_back({m_nListenFd, POLLIN, 0});
        int nTimeout = -1;
        for (const Conn& c : conns) {
            pfds.push_back({c.nFd, POLLIN, 0});
            const int nLeft = MsLeft(c.deadline);
            if (nTimeout < 0 || nLeft < nTimeout) nTimeout = nLeft;
        }
        const int nReady = poll(pfds.data(), pfds.size(), nTimeout);
        if (nReady < 0 && errno != EINTR) break;
        if (pfds[0].revents != 0) break;
        std::vector<Conn> keep;
        for (size_t i = 0; i < conns.size(); ++i) {
            Conn& c = conns[i];
            bool bDrop = false;
            if (pfds[i + 2].revents != 0) {
                char* pReq = reinterpret_cast<char*>(&c.req);
                const ssize_t n = recv(c.nFd, pReq + c.nHave, sizeof(c.req) - c.nHave, 0);
                if (n > 0) {
                    c.nHave += static_cast<size_t>(n);
                    if (c.nHave == sizeof(c.req)) {
                        Dispatch(c.nFd, c.req);
                        continue;  // Dispatch owns the fd now
                    }
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    bDrop = true;  // closed before a whole request (FindWindowTitle's probe)
                }
            }
            if (bDrop || MsLeft(c.deadline) == 0) {
                close(c.nFd);
                continue;
            }
            keep.push_back(c);
        }
        conns.swap(keep);
        if ((pfds[1].revents & POLLIN) != 0) {
            for (;;) {
                const int nFd =
                    accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (nFd < 0) break;
                if (conns.size() >= kMaxPendingConns) {
                    close(nFd);
                    continue;
                }
                conns.push_back(
                    {nFd, 0, {}, Clock::now() + std::chrono::milliseconds(kRequestWaitMs)});
            }
        }
    }
    for (const Conn& c : conns) close(c.nFd);
}

void WindowBusServer::Dispatch(int nFd, const BusRequest& req) {
    if (req.nMagic != kBusMagic) {
        close(nFd);
        return;
    }
    const uint32_t nMsg = req.nMsg;
    const uintptr_t wParam = static_cast<uintptr_t>(req.nWParam);
    const intptr_t lParam = static_cast<intptr_t>(req.nLParam);
    switch (req.nKind) {
        case kBusPing:
            SendReply(nFd, 0, nullptr);
            close(nFd);
            return;
        case kBusQuery: {
            std::string szText = m_pEnv->DescribeControls();
            if (szText.size() > kMaxQueryText) szText.resize(kMaxQueryText);
            SendReply(nFd, static_cast<int64_t>(szText.size()), &szText);
            close(nFd);
            return;
        }
        case kBusPost:
            SendReply(nFd, 0, nullptr);  // receipt first: the poster does not wait for the handler
            close(nFd);
            m_pLoop->PostToHandler(nMsg, wParam, lParam);
            return;
        case kBusSend: {
            auto pPending = std::make_shared<PendingReply>(nFd);
            m_pLoop->Post([pPending, nMsg, wParam, lParam](LoopHandler* pHandler) {
                const intptr_t nResult =
                    pHandler != nullptr ? pHandler->OnLoopMessage(nMsg, wParam, lParam) : 0;
                SendReply(pPending->nFd, static_cast<int64_t>(nResult), nullptr);
            });
            return;
        }
        default:
            close(nFd);
            return;
    }
}

}  // namespace vplat
