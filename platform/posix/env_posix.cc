// HostEnv on POSIX: construction, the hooks of the shared set-up (current directory,
// absolute paths, the station root's check), the machine's clock (clock_gettime,
// clock_settime), the scaled monotonic clock, debug output to stderr, process end, the
// control model and the window calls that sit on the window bus.
#include <errno.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/posix/posix_env.h"
#include "platform/posix/view_posix.h"
#include "platform/posix/window_bus_posix.h"

extern "C" void __lsan_do_leak_check() __attribute__((weak));  // LeakSanitizer runtime, when linked

namespace vplat {

namespace {

std::atomic<void (*)()> g_pfnEndHook{nullptr};  // run by EndProcess

std::string WithoutTrailingSlash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

namespace hostos {

std::string CurrentDirectory() {
    char szBuf[4096];
    if (getcwd(szBuf, sizeof(szBuf)) == nullptr) return ".";
    return szBuf;
}

std::string AbsolutePath(const std::string& szDir) {
    if (!szDir.empty() && szDir[0] == '/') return WithoutTrailingSlash(szDir);
    return WithoutTrailingSlash(CurrentDirectory() + "/" + szDir);
}

bool CheckStationRoot(const std::string& szRoot, std::string* pError) {
    struct stat stRoot {};
    const char* szWhy = nullptr;
    if (access(szRoot.c_str(), F_OK) != 0) {
        szWhy = " does not exist";
    } else if (stat(szRoot.c_str(), &stRoot) != 0 || !S_ISDIR(stRoot.st_mode)) {
        szWhy = " is not a directory";
    }
    if (szWhy != nullptr && pError != nullptr) *pError = "station root " + szRoot + szWhy;
    return szWhy == nullptr;
}

}  // namespace hostos

void SetEndProcessHook(void (*pfnHook)()) { g_pfnEndHook.store(pfnHook); }

HostEnv::HostEnv(const HostOptions& opts)
    : m_opts(Checked(opts)),
      m_szCwd(m_opts.szStartDir),
      m_pLoop(std::make_unique<PosixLoop>(this)),
      m_pOs(std::make_unique<Os>()) {}

HostEnv::~HostEnv() {
    m_pOs.reset();  // stops the listener before the loop goes
    m_pLoop.reset();
}

HostEnv::Os::~Os() {
    pView.reset();
    pWindow.reset();
}

void HostEnv::DebugFailure(const char* szWhat, const std::string& szPath, unsigned long nErr) {
    DebugOutput(
        (std::string(szWhat) + " " + szPath + ": " + std::strerror(static_cast<int>(nErr))).c_str());
}

// ---- Clock ----------------------------------------------------------------------------

int64_t HostEnv::MachineTime(int* pnMilliseconds) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (pnMilliseconds != nullptr) *pnMilliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    return static_cast<int64_t>(ts.tv_sec);
}

bool HostEnv::SetMachineTime(int64_t nSeconds, int nMilliseconds) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(nSeconds);
    ts.tv_nsec = static_cast<long>(nMilliseconds) * 1000000L;
    if (clock_settime(CLOCK_REALTIME, &ts) == 0) return true;
    const int nErr = errno;
    DebugOutput((std::string("SetLocalClock: the machine clock was not set (") +
                 std::strerror(nErr) +
                 (nErr == EPERM ? "; setting the clock needs CAP_SYS_TIME or root" : "") +
                 "); the station's time is unchanged")
                    .c_str());
    return false;
}

uint64_t HostEnv::MonotonicMs() {
    const auto nUs = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    return static_cast<uint64_t>(static_cast<double>(nUs) * m_opts.dTimeScale / 1000.0);
}

// ---- Debug output and process end -------------------------------------------------------

void HostEnv::DebugOutput(const char* szText) {
    if (!m_opts.bDebug) return;
    const std::string szLine = DebugLine(szText);
    size_t nDone = 0;
    while (nDone < szLine.size()) {
        const ssize_t n = write(2, szLine.data() + nDone, szLine.size() - nDone);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) nDone += static_cast<size_t>(n);
    }
}

bool HostEnv::DebugWanted() { return m_opts.bDebug; }

void HostEnv::EndProcess(int nStatus) {
    void (*pfnHook)() = g_pfnEndHook.exchange(nullptr);
    if (pfnHook != nullptr) pfnHook();
    std::fflush(stdout);
    std::fflush(stderr);
    // Leak-checking builds: _exit skips the check that a normal exit runs, so run it here
    // (it ends the process with its own status when it finds a leak).
    if (__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
    _exit(nStatus);
}

// ---- Control model, terminal view, timers ---------------------------------------------------

void HostEnv::SetControlText(int nId, const std::string& szText) {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    m_controls[nId] = szText;
}

void HostEnv::ShowDialogView(const char* szCaption) {
    if (m_opts.bHeadless || isatty(1) == 0 || m_pOs->pView) return;
    m_pOs->pView = std::make_unique<TerminalView>(LoopOf(this), this, szCaption != nullptr ? szCaption : "");
    m_pOs->pView->Start();
}

void HostEnv::StartTimer(uint32_t nId, uint32_t nPeriodMs) {
    const double dUs = static_cast<double>(nPeriodMs == 0 ? 10 : nPeriodMs) * 1000.0;
    LoopOf(this)->StartTimer(nId, static_cast<int64_t>(dUs / m_opts.dTimeScale));
}

// ---- Windows by title ---------------------------------------------------------------------

std::string WindowSocketPath(const HostEnv& env, const std::string& szTitle) {
    return env.Options().szRoot + "/.windows/" + EscapeWindowTitle(szTitle);
}

WindowHandle HostEnv::FindWindowTitle(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return {};
    const std::string szPath = WindowSocketPath(*this, szTitle);
    int nFd = -1;
    struct stat before {};
    const bool bSeen = stat(szPath.c_str(), &before) == 0;
    switch (BusConnect(szPath, 1000, &nFd)) {
        case BusReach::kLive:
            close(nFd);
            return WindowHandle{szTitle};
        case BusReach::kStale: {
            // Only the file that refused goes: a window that has just put its own socket
            // in its place stays.
            struct stat now {};
            if (!bSeen || stat(szPath.c_str(), &now) != 0 || now.st_ino != before.st_ino ||
                now.st_dev != before.st_dev)
                return {};
            unlink(szPath.c_str());
            DebugOutput(("stale window socket removed: " + szPath).c_str());
            return {};
        }
        case BusReach::kAbsent:
            break;
    }
    return {};
}

intptr_t HostEnv::SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                    intptr_t lParam) {
    if (hWnd.IsNull()) return 0;
    // A send from the loop thread to its own window runs the handler directly, as on Windows.
    PosixLoop* pLoop = LoopOf(this);
    if (pLoop->OnLoopThread() && pLoop->Handler() != nullptr) {
        std::string szOwn;
        {
            std::lock_guard<std::mutex> lock(m_pOs->windowMutex);
            szOwn = m_pOs->szOwnWindowPath;
        }
        if (WindowSocketPath(*this, hWnd.szTitle) == szOwn) {
            return pLoop->Handler()->OnLoopMessage(nMsg, wParam, lParam);
        }
    }
    BusReply reply{};
    if (!BusTransact(WindowSocketPath(*this, hWnd.szTitle), BusMessage(kBusSend, nMsg, wParam, lParam),
                     static_cast<int>(m_opts.nSendCapMs), &reply, nullptr)) {
        return 0;
    }
    return static_cast<intptr_t>(reply.nResult);
}

bool HostEnv::PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                intptr_t lParam) {
    if (hWnd.IsNull()) return false;
    return BusTransact(WindowSocketPath(*this, hWnd.szTitle), BusMessage(kBusPost, nMsg, wParam, lParam),
                       kBusWaitMs, nullptr, nullptr);
}

bool HostEnv::OpenOwnWindow(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return false;
    std::lock_guard<std::mutex> lock(m_pOs->windowMutex);
    const std::string szPath = WindowSocketPath(*this, szTitle);
    auto pServer = std::make_unique<WindowBusServer>(this, LoopOf(this), szPath);
    if (!pServer->Start()) return false;
    m_pOs->pWindow = std::move(pServer);
    m_pOs->szOwnWindowPath = szPath;
    return true;
}

}  // namespace vplat
