// The unit tests' machine helpers on Windows: a directory under GetTempPathA, Winsock
// sockets, Win32Env.
#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock 2, so that <windows.h> does not bring the old <winsock.h>:
#include <windows.h>

#include <cstdio>

#include "platform/win32/win32_env.h"
#include "tests/unit/test_host.h"

namespace vtest {
namespace host {

namespace {

SOCKET Sock(Conn c) { return static_cast<SOCKET>(c); }

bool StartWinsock() {
    static const bool s_bStarted = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return s_bStarted;
}

}  // namespace

const char* BackendName() { return "win32"; }

std::string MakeTempDir() {
    char szTemp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof(szTemp), szTemp);
    if (n == 0 || n >= sizeof(szTemp)) return "";
    std::string szBase = szTemp;
    for (char& c : szBase) {
        if (c == '\\') c = '/';
    }
    if (!szBase.empty() && szBase.back() != '/') szBase += '/';
    static unsigned s_nCounter = 0;
    for (int nTry = 0; nTry < 100; ++nTry) {
        char szName[64];
        std::snprintf(szName, sizeof(szName), "velmora-test-%lu-%u-%lu",
                      static_cast<unsigned long>(GetCurrentProcessId()), s_nCounter++,
                      static_cast<unsigned long>(GetTickCount64() & 0xFFFFFu));
        const std::string szPath = szBase + szName;
        if (CreateDirectoryA(szPath.c_str(), nullptr)) return szPath;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

Conn ListenLoopback(int* pnPort) {
    if (!StartWinsock()) return kNoConn;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoConn;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int n = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        ::closesocket(s);
        return kNoConn;
    }
    *pnPort = ntohs(a.sin_port);
    return static_cast<Conn>(s);
}

Conn AcceptWithin(Conn listener, int nMs) {
    if (!ReadableWithin(listener, nMs)) return kNoConn;
    const SOCKET s = ::accept(Sock(listener), nullptr, nullptr);
    return s != INVALID_SOCKET ? static_cast<Conn>(s) : kNoConn;
}

bool ReadableWithin(Conn c, int nMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(Sock(c), &readSet);
    timeval tv{nMs / 1000, (nMs % 1000) * 1000};
    return ::select(0, &readSet, nullptr, nullptr, &tv) == 1;
}

long ReceiveSome(Conn c, void* pBuf, size_t nSize) {
    const int nAsk = nSize > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(nSize);
    return ::recv(Sock(c), static_cast<char*>(pBuf), nAsk, 0);
}

bool SendAll(Conn c, const void* pBuf, size_t nSize) {
    const char* p = static_cast<const char*>(pBuf);
    while (nSize > 0) {
        const int nAsk = nSize > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(nSize);
        const int n = ::send(Sock(c), p, nAsk, 0);
        if (n <= 0) return false;
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

void CloseConn(Conn c) {
    if (c != kNoConn) ::closesocket(Sock(c));
}

int UnusedPort() {
    if (!StartWinsock()) return 0;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int n = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::closesocket(s);
    return ntohs(a.sin_port);
}

std::unique_ptr<vplat::Env> NewScaledHostEnv(const std::string& szRoot, double dTimeScale) {
    vplat::Win32Options opts;
    opts.szRoot = szRoot;
    opts.bMapDrives = true;
    opts.szStartDir = szRoot + "/d";
    opts.bHeadless = true;
    opts.dTimeScale = dTimeScale;
    return std::make_unique<vplat::Win32Env>(opts);
}

}  // namespace host
}  // namespace vtest
