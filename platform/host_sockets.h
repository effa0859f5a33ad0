// Berkeley-socket work that reads the same on every system, written once as templates that
// the back-ends instantiate with their own socket types and calls (net_posix.cc,
// net_win32.cc), so that no socket header is included here. Byte order is written out
// byte by byte, which is the same on every machine.
#pragma once

#include <cstdint>
#include <cstring>

namespace vplat {
namespace hostsock {

// An IPv4 socket address (the system's sockaddr_in) for nAddr:nPort, both in host order.
template <class SockAddrIn>
SockAddrIn Ipv4Address(int nInet, uint32_t nAddr, uint16_t nPort) {
    SockAddrIn a{};
    a.sin_family = static_cast<decltype(a.sin_family)>(nInet);
    const unsigned char port[2] = {static_cast<unsigned char>(nPort >> 8),
                                   static_cast<unsigned char>(nPort)};
    const unsigned char addr[4] = {
        static_cast<unsigned char>(nAddr >> 24), static_cast<unsigned char>(nAddr >> 16),
        static_cast<unsigned char>(nAddr >> 8), static_cast<unsigned char>(nAddr)};
    std::memcpy(&a.sin_port, port, sizeof(port));
    std::memcpy(&a.sin_addr, addr, sizeof(addr));
    return a;
}

// The first IPv4 address (host order) of this host's name as getaddrinfo resolves it; 0
// when the name or the lookup fails. The system's gethostname, getaddrinfo and freeaddrinfo
// are passed in, with its AF_INET and SOCK_STREAM.
template <class AddrInfo, class SockAddrIn, class HostNameFn, class ResolveFn, class FreeFn>
uint32_t FirstLocalIPv4(HostNameFn pfnHostName, ResolveFn pfnResolve, FreeFn pfnFree, int nInet,
                        int nStream) {
    char szHost[256] = {};
    if (pfnHostName(szHost, sizeof(szHost) - 1) != 0) return 0;
    AddrInfo hints{};
    hints.ai_family = nInet;
    hints.ai_socktype = nStream;
    AddrInfo* pList = nullptr;
    if (pfnResolve(szHost, nullptr, &hints, &pList) != 0 || pList == nullptr) return 0;
    uint32_t nAddr = 0;
    for (const AddrInfo* p = pList; p != nullptr; p = p->ai_next) {
        if (p->ai_family == nInet && p->ai_addr != nullptr) {
            unsigned char b[4];  // network order
            std::memcpy(b, &reinterpret_cast<const SockAddrIn*>(p->ai_addr)->sin_addr, sizeof(b));
            nAddr = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
            break;
        }
    }
    pfnFree(pList);
    return nAddr;
}

}  // namespace hostsock
}  // namespace vplat
