// The unit tests' machine helpers on POSIX: mkdtemp under /tmp, BSD sockets, PosixEnv.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/host_env.h"
#include "tests/unit/test_host.h"

namespace vtest {
namespace host {

const char* BackendName() { return "posix"; }

std::string MakeTempDir() {
    char szTemplate[] = "/tmp/velmora-test-XXXXXX";
    const char* p = mkdtemp(szTemplate);
    return p != nullptr ? p : "";
}

Conn ListenLoopback(int* pnPort) {
    const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) return kNoConn;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(nFd, 4) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        ::close(nFd);
        return kNoConn;
    }
    *pnPort = ntohs(a.sin_port);
    return nFd;
}

Conn AcceptWithin(Conn listener, int nMs) {
    if (!ReadableWithin(listener, nMs)) return kNoConn;
    const int nFd = ::accept(static_cast<int>(listener), nullptr, nullptr);
    return nFd >= 0 ? nFd : kNoConn;
}

bool ReadableWithin(Conn c, int nMs) {
    pollfd p{static_cast<int>(c), POLLIN, 0};
    return ::poll(&p, 1, nMs) == 1;
}

long ReceiveSome(Conn c, void* pBuf, size_t nSize) {
    return static_cast<long>(::recv(static_cast<int>(c), pBuf, nSize, 0));
}

bool SendAll(Conn c, const void* pBuf, size_t nSize) {
    const char* p = static_cast<const char*>(pBuf);
    while (nSize > 0) {
        const ssize_t n = ::send(static_cast<int>(c), p, nSize, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

void CloseConn(Conn c) {
    if (c != kNoConn) ::close(static_cast<int>(c));
}

int UnusedPort() {
    const int nFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(nFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(nFd, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(nFd);
    return ntohs(a.sin_port);
}

std::unique_ptr<vplat::Env> NewScaledHostEnv(const std::string& szRoot, double dTimeScale) {
    vplat::HostOptions opts = vplat::RootedHostOptions(szRoot);
    opts.dTimeScale = dTimeScale;
    return std::make_unique<vplat::HostEnv>(opts);
}

}  // namespace host
}  // namespace vtest
