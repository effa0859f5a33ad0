// Windows by title on POSIX: a window is a listening Unix-domain stream socket under
// ROOT/.windows/ named after the escaped title. A request is one fixed binary record;
// a synchronous send gets the handler's result back, a post gets an immediate receipt,
// a query gets the control model as text. WindowBusServer is the listening side of the
// process's own window; the Bus* functions are the calling side.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace vplat {

class HostEnv;
class PosixLoop;

constexpr uint32_t kBusMagic = 0x42574D56;  // "VMWB"
constexpr uint32_t kBusSend = 1;            // deliver, reply with the handler's result
constexpr uint32_t kBusPost = 2;            // reply with a receipt, then deliver
constexpr uint32_t kBusQuery = 3;           // reply with the control model
constexpr uint32_t kBusPing = 4;            // reply with a receipt only

struct BusRequest {
    uint32_t nMagic;     // kBusMagic
    uint32_t nKind;      // kBus*
    uint32_t nMsg;       // window message
    uint32_t nReserved;  // 0
    uint64_t nWParam;    // wParam
    int64_t nLParam;     // lParam
};

// A window message request of kind nKind.
inline BusRequest BusMessage(uint32_t nKind, uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    return BusRequest{kBusMagic, nKind, nMsg, 0, static_cast<uint64_t>(wParam),
                      static_cast<int64_t>(lParam)};
}

// How long a post or a query waits for the window's receipt or answer.
constexpr int kBusWaitMs = 5000;

struct BusReply {
    uint32_t nMagic;   // kBusMagic
    uint32_t nStatus;  // 1 = done
    int64_t nResult;   // handler result; for a query the length of the text that follows
};

// "%XX" for every byte outside [A-Za-z0-9._-].
std::string EscapeWindowTitle(const std::string& szTitle);

// Outcome of reaching a socket path.
enum class BusReach { kLive, kAbsent, kStale };
// Connects to the socket at szPath within nTimeoutMs; *pFd gets the connected socket
// (closed by the caller) when live.
BusReach BusConnect(const std::string& szPath, int nTimeoutMs, int* pFd);
// One request and its reply within nTimeoutMs in all; false on any failure. For a query,
// *pText receives the text (at most 1 MiB).
bool BusTransact(const std::string& szPath, const BusRequest& req, int nTimeoutMs, BusReply* pReply,
                 std::string* pText);

class WindowBusServer final {
  public:
    WindowBusServer(HostEnv* pEnv, PosixLoop* pLoop, std::string szPath);
    ~WindowBusServer();
    WindowBusServer(const WindowBusServer&) = delete;
    WindowBusServer& operator=(const WindowBusServer&) = delete;

    // Binds and listens (replacing a stale socket file) and starts the listener thread.
    // False when a live window holds the path or the socket cannot be made.
    bool Start();

  private:
    void Listen();
    // Handles one complete request on connection fd (takes ownership of fd).
    void Dispatch(int nFd, const BusRequest& req);

    HostEnv* m_pEnv;       // answers queries from the control model
    PosixLoop* m_pLoop;    // receives messages
    std::string m_szPath;  // socket file
    int m_nListenFd = -1;  // listening socket
    int m_nWakeFd = -1;    // eventfd that stops the listener
    std::thread m_thread;  // listener
};

}  // namespace vplat
