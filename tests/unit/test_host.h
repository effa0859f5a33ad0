// What the unit tests need from the machine beyond the platform interface: a fresh
// temporary directory (written here once), the probe program, and a loopback TCP listener
// that plays the Manager PC, with one implementation per back-end (in platform_posix_test.cc
// and platform_win32_test.cc, picked by the build).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vtest {
namespace host {

// Name of the build's real back-end ("posix", "win32"), for test names.
const char* BackendName();

// A path's text as this system's file names compare: on Windows with forward slashes and
// in lower case, elsewhere unchanged.
inline std::string Folded(std::string s) {
    if (std::string(BackendName()) != "win32") return s;
    for (char& c : s) {
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// A new, empty directory under the machine's temporary directory, in forward-slash form;
// "" when none can be made.
inline std::string MakeTempDir() {
    static std::atomic<unsigned> s_nCounter{0};
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (int nTry = 0; nTry < 100 && !ec; ++nTry) {
        const auto nNow = std::chrono::steady_clock::now().time_since_epoch().count();
        const std::filesystem::path dir =
            base / ("velmora-test-" + std::to_string(nNow % 1000000007) + "-" +
                    std::to_string(s_nCounter++));
        if (std::filesystem::create_directory(dir, ec)) return dir.generic_string();
    }
    return "";
}

// Puts a program at szPath (a host path in an existing directory) that writes
// "<current directory>|<VELMORA_ROOT>|<argument count>|<first>|<second>\n" to started.txt
// in its current directory. False when it cannot.
bool InstallProbe(const std::string& szPath);

// A socket of the test side; kNoConn when there is none.
using Conn = int64_t;
constexpr Conn kNoConn = -1;

// A listener on 127.0.0.1 with a port chosen by the system (*pnPort).
Conn ListenLoopback(int* pnPort);
// The next connection on the listener, waiting at most nMs; kNoConn on time-out.
Conn AcceptWithin(Conn listener, int nMs);
// True when the socket has something to read (bytes or the peer's close) within nMs.
bool ReadableWithin(Conn c, int nMs);
// recv: bytes read, 0 when the peer closed, -1 on error.
long ReceiveSome(Conn c, void* pBuf, size_t nSize);
// Sends every byte; false on error.
bool SendAll(Conn c, const void* pBuf, size_t nSize);
void CloseConn(Conn c);
// A loopback port where nothing listens (taken once, then released).
inline int UnusedPort() {
    int nPort = 0;
    CloseConn(ListenLoopback(&nPort));
    return nPort;
}

}  // namespace host
}  // namespace vtest
