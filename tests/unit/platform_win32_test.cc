// The unit tests' machine helpers on Windows: start_probe.exe (built beside the test
// program) as the probe program, Winsock 2 sockets as the Manager PC's side. What only the
// Win32 back-end does (a process's own drives) is in platform_contract_test.cc.
#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock 2, so that <windows.h> does not bring the old <winsock.h>:
#include <windows.h>

#include "tests/unit/test_host.h"

namespace vtest {
namespace host {

namespace {

SOCKET Sock(Conn c) { return static_cast<SOCKET>(c); }

}  // namespace

const char* BackendName() { return "win32"; }

bool InstallProbe(const std::string& szPath) {
    char szSelf[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, szSelf, sizeof(szSelf));
    const std::filesystem::path self(std::string(szSelf, n < sizeof(szSelf) ? n : 0));
    const std::string szProbe = (self.parent_path() / "start_probe.exe").string();
    return CopyFileA(szProbe.c_str(), szPath.c_str(), FALSE) != 0;
}

Conn ListenLoopback(int* pnPort) {
    static const bool s_bStarted = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const SOCKET s = s_bStarted ? ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int n = sizeof a;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(s, 4) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        CloseConn(static_cast<Conn>(s));
        return kNoConn;
    }
    *pnPort = ntohs(a.sin_port);
    return static_cast<Conn>(s);
}

Conn AcceptWithin(Conn listener, int nMs) {
    const SOCKET s =
        ReadableWithin(listener, nMs) ? ::accept(Sock(listener), nullptr, nullptr) : INVALID_SOCKET;
    return s != INVALID_SOCKET ? static_cast<Conn>(s) : kNoConn;
}

bool ReadableWithin(Conn c, int nMs) {
    WSAPOLLFD p{Sock(c), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, nMs) == 1;
}

// The tests' buffers are small: one Winsock call takes any of them whole (an int count).
long ReceiveSome(Conn c, void* pBuf, size_t nSize) {
    return ::recv(Sock(c), static_cast<char*>(pBuf), static_cast<int>(nSize), 0);
}

bool SendAll(Conn c, const void* pBuf, size_t nSize) {
    for (const char* p = static_cast<const char*>(pBuf); nSize > 0;) {
        const int n = ::send(Sock(c), p, static_cast<int>(nSize), 0);
        if (n <= 0) return false;
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

void CloseConn(Conn c) {
    if (c != kNoConn) ::closesocket(Sock(c));
}

}  // namespace host
}  // namespace vtest
