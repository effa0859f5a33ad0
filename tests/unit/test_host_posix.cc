// The unit tests' machine helpers on POSIX: a shell script as the probe program, BSD
// sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "tests/unit/test_host.h"

namespace vtest {
namespace host {

const char* BackendName() { return "posix"; }

bool InstallProbe(const std::string& szPath) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(szPath).parent_path(), ec);
    std::ofstream(szPath) << "#!/bin/sh\necho \"$PWD|$VELMORA_ROOT|$#|$1|$2\" > s.tmp\n"
                             "mv s.tmp started.txt\n";
    std::filesystem::permissions(szPath, std::filesystem::perms::owner_all, ec);
    return !ec;
}

Conn ListenLoopback(int* pnPort) {
    const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (nFd < 0 || ::bind(nFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(nFd, 4) != 0 || ::getsockname(nFd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        CloseConn(nFd);
        return kNoConn;
    }
    *pnPort = ntohs(a.sin_port);
    return nFd;
}

Conn AcceptWithin(Conn listener, int nMs) {
    const int nFd = ReadableWithin(listener, nMs) ? ::accept(static_cast<int>(listener), nullptr, nullptr) : -1;
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
    for (const char* p = static_cast<const char*>(pBuf); nSize > 0;) {
        const ssize_t n = ::send(static_cast<int>(c), p, nSize, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

void CloseConn(Conn c) {
    if (c >= 0) ::close(static_cast<int>(c));
}

}  // namespace host
}  // namespace vtest
