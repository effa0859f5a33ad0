// What the unit tests need from the machine beyond the platform interface, with one
// implementation per back-end (test_host_posix.cc, test_host_win32.cc, picked by the
// build): a fresh temporary directory, a loopback TCP listener that plays the Manager PC,
// and an instance of the build's real back-end with its time scale set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace vtest {
namespace host {

// Name of the build's real back-end ("posix", "win32"), for test names.
const char* BackendName();

// A new, empty directory under the machine's temporary directory, in forward-slash form;
// "" when none can be made.
std::string MakeTempDir();

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
// A loopback port where nothing listens (bound once, then released).
int UnusedPort();

// The build's real back-end rooted at szRoot (as NewHostEnv), with its periods, sleeps and
// time-outs divided by dTimeScale.
std::unique_ptr<vplat::Env> NewScaledHostEnv(const std::string& szRoot, double dTimeScale);

}  // namespace host
}  // namespace vtest
