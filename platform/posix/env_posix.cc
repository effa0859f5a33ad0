// PosixEnv's set-up (options from the command line and the environment, the process-wide
// instance), its clock, debug output, process end, control model, message loop and the
// window calls that sit on the window bus.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/env_wrapper.h"
#include "platform/posix/loop_posix.h"
#include "platform/posix/posix_env.h"
#include "platform/posix/view_posix.h"
#include "platform/posix/window_bus_posix.h"

extern "C" void __lsan_do_leak_check() __attribute__((weak));  // LeakSanitizer runtime, when linked

namespace vplat {

namespace {

std::atomic<PosixEnv*> g_pHost{nullptr};        // process-wide instance
std::atomic<void (*)()> g_pfnEndHook{nullptr};  // run by EndProcess

std::string CurrentDirectory() {
    char szBuf[4096];
    if (getcwd(szBuf, sizeof(szBuf)) == nullptr) return ".";
    return szBuf;
}

std::string WithoutTrailingSlash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// An absolute host path without a trailing '/'.
std::string Absolute(const std::string& szDir) {
    if (!szDir.empty() && szDir[0] == '/') return WithoutTrailingSlash(szDir);
    return WithoutTrailingSlash(CurrentDirectory() + "/" + szDir);
}

// VELMORA_TIME_SCALE as a number >= 1; false when it is set to anything else.
bool ParseTimeScale(const char* szValue, double* pScale) {
    *pScale = 1.0;
    if (szValue == nullptr || *szValue == '\0') return true;
    char* pEnd = nullptr;
    const double d = std::strtod(szValue, &pEnd);
    if (pEnd == szValue || *pEnd != '\0' || !std::isfinite(d) || d < 1.0) return false;
    *pScale = d;
    return true;
}

PosixOptions OptionsFromEnvironment() {
    PosixOptions opts;
    const char* szRoot = std::getenv("VELMORA_ROOT");
    opts.szRoot = Absolute(szRoot != nullptr && *szRoot != '\0' ? szRoot : CurrentDirectory());
    opts.szStartDir = CurrentDirectory();
    if (!ParseTimeScale(std::getenv("VELMORA_TIME_SCALE"), &opts.dTimeScale)) {
        opts.dTimeScale = 1.0;
    }
    opts.bDebug = std::getenv("VELMORA_DEBUG") != nullptr;
    opts.bRealChdir = true;
    return opts;
}

}  // namespace

namespace internal {

Env* HostDefaultEnv() {
    PosixEnv* p = g_pHost.load(std::memory_order_acquire);
    if (p != nullptr) return p;
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        PosixEnv* pNew = new PosixEnv(OptionsFromEnvironment());  // lives until the process ends
        PosixEnv* pExpected = nullptr;
        if (!g_pHost.compare_exchange_strong(pExpected, pNew)) delete pNew;
    });
    return g_pHost.load(std::memory_order_acquire);
}

}  // namespace internal

std::unique_ptr<Env> NewHostEnv(const std::string& szRoot) {
    PosixOptions opts;
    opts.szRoot = WithoutTrailingSlash(szRoot);
    opts.szStartDir = opts.szRoot + "/d";
    opts.bHeadless = true;
    return std::make_unique<PosixEnv>(opts);
}

bool InitPlatform(int argc, char** argv, std::vector<std::string>* pRest, std::string* pError) {
    PosixOptions opts = OptionsFromEnvironment();
    if (!ParseTimeScale(std::getenv("VELMORA_TIME_SCALE"), &opts.dTimeScale)) {
        if (pError != nullptr) *pError = "VELMORA_TIME_SCALE must be a number of at least 1";
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string szArg = argv[i] != nullptr ? argv[i] : "";
        if (szArg == "--headless") {
            opts.bHeadless = true;
        } else if (szArg == "--root" || szArg.rfind("--root=", 0) == 0) {
            std::string szDir;
            if (szArg == "--root") {
                if (i + 1 >= argc || argv[i + 1] == nullptr) {
                    if (pError != nullptr) *pError = "--root needs a directory";
                    return false;
                }
                szDir = argv[++i];
            } else {
                szDir = szArg.substr(7);
            }
            if (szDir.empty()) {
                if (pError != nullptr) *pError = "--root needs a directory";
                return false;
            }
            opts.szRoot = Absolute(szDir);
        } else if (pRest != nullptr) {
            pRest->push_back(szArg);
        }
    }
    if (access(opts.szRoot.c_str(), F_OK) != 0) {
        if (pError != nullptr) *pError = "station root " + opts.szRoot + " does not exist";
        return false;
    }
    struct stat stRoot {};
    if (stat(opts.szRoot.c_str(), &stRoot) != 0 || !S_ISDIR(stRoot.st_mode)) {
        if (pError != nullptr) *pError = "station root " + opts.szRoot + " is not a directory";
        return false;
    }
    // Replaces the instance made from the environment; the old one may still be referenced
    // by a caller that looked it up early, so it is kept.
    g_pHost.store(new PosixEnv(opts), std::memory_order_release);
    return true;
}

std::string StationRoot() {
    return static_cast<PosixEnv*>(internal::HostDefaultEnv())->Options().szRoot;
}

void SetEndProcessHook(void (*pfnHook)()) { g_pfnEndHook.store(pfnHook); }

PosixEnv::PosixEnv(const PosixOptions& opts)
    : m_opts(opts), m_szCwd(opts.szStartDir), m_pLoop(std::make_unique<PosixLoop>()) {
    if (m_opts.dTimeScale < 1.0 || !std::isfinite(m_opts.dTimeScale)) m_opts.dTimeScale = 1.0;
    if (m_szCwd.empty()) m_szCwd = m_opts.szRoot;
}

PosixEnv::~PosixEnv() {
    m_pView.reset();
    m_pWindow.reset();  // stops the listener before the loop goes
}

void PosixEnv::DebugFailure(const char* szWhat, const std::string& szPath, int nErr) {
    DebugOutput((std::string(szWhat) + " " + szPath + ": " + std::strerror(nErr)).c_str());
}

// ---- Clock ----------------------------------------------------------------------------

LocalTime PosixEnv::GetLocalTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    LocalTime t = LocalTimeFromTime64(static_cast<int64_t>(ts.tv_sec) + m_nClockOffsetSec.load());
    t.nMilliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
}

int64_t PosixEnv::Time64() {
    return static_cast<int64_t>(time(nullptr)) + m_nClockOffsetSec.load();
}

bool PosixEnv::SetLocalClock(const LocalTime& t) {
    const int64_t nWant = Time64FromLocal(t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
    if (nWant == -1) {
        DebugOutput("SetLocalClock: not a valid local time");
        return false;
    }
    if (m_bMachineClock.load() && !ClockOffsetForced()) {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(nWant);
        ts.tv_nsec = static_cast<long>(t.nMilliseconds) * 1000000L;
        if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
            const int nErr = errno;
            DebugOutput((std::string("SetLocalClock: the machine clock was not set (") +
                         std::strerror(nErr) +
                         (nErr == EPERM ? "; setting the clock needs CAP_SYS_TIME or root" : "") +
                         "); the station's time is unchanged")
                            .c_str());
            return false;
        }
        m_nClockOffsetSec.store(0);
        return true;
    }
    m_nClockOffsetSec.store(nWant - static_cast<int64_t>(time(nullptr)));
    return true;
}

void PosixEnv::SetMachineClockAllowed(bool bAllowed) {
    m_bMachineClock.store(bAllowed && !ClockOffsetForced());
}

uint64_t PosixEnv::MonotonicMs() {
    const auto nUs = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    return static_cast<uint64_t>(static_cast<double>(nUs) * m_opts.dTimeScale / 1000.0);
}

void PosixEnv::SleepMs(uint32_t nMs) {
    const auto nUs = static_cast<int64_t>(static_cast<double>(nMs) * 1000.0 / m_opts.dTimeScale);
    std::this_thread::sleep_for(std::chrono::microseconds(nUs));
}

uint32_t PosixEnv::ScaleMs(uint32_t nMs) {
    if (nMs == 0) return 0;
    const auto nScaled = static_cast<uint32_t>(static_cast<double>(nMs) / m_opts.dTimeScale);
    return nScaled == 0 ? 1 : nScaled;
}

// ---- Debug output and process end -------------------------------------------------------

void PosixEnv::DebugOutput(const char* szText) {
    if (!m_opts.bDebug) return;
    const LocalTime t = GetLocalTimeNow();
    char szStamp[32];
    std::snprintf(szStamp, sizeof(szStamp), "%02d:%02d:%02d.%03d ", t.nHour, t.nMinute, t.nSecond,
                  t.nMilliseconds);
    std::string szLine = szStamp;
    szLine += szText != nullptr ? szText : "";
    if (szLine.back() != '\n') szLine += '\n';
    size_t nDone = 0;
    while (nDone < szLine.size()) {
        const ssize_t n = write(2, szLine.data() + nDone, szLine.size() - nDone);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) nDone += static_cast<size_t>(n);
    }
}

void PosixEnv::EndProcess(int nStatus) {
    void (*pfnHook)() = g_pfnEndHook.exchange(nullptr);
    if (pfnHook != nullptr) pfnHook();
    std::fflush(stdout);
    std::fflush(stderr);
    // Leak-checking builds: _exit skips the check that a normal exit runs, so run it here
    // (it ends the process with its own status when it finds a leak).
    if (__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
    _exit(nStatus);
}

// ---- Control model ----------------------------------------------------------------------

void PosixEnv::SetControlText(int nId, const std::string& szText) {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    m_controls[nId] = szText;
}

std::string PosixEnv::GetControlText(int nId) {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    auto it = m_controls.find(nId);
    return it == m_controls.end() ? std::string() : it->second;
}

std::string PosixEnv::DescribeControls() {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    std::string szOut;
    for (const auto& [nId, szText] : m_controls) {
        szOut += std::to_string(nId);
        szOut += ' ';
        for (const char c : szText) szOut += (c == '\n' || c == '\r') ? ' ' : c;
        szOut += '\n';
    }
    return szOut;
}

void PosixEnv::ShowDialogView(const char* szCaption) {
    if (m_opts.bHeadless || isatty(1) == 0 || m_pView) return;
    m_pView = std::make_unique<TerminalView>(this, szCaption != nullptr ? szCaption : "");
    m_pView->Start();
}

// ---- Message loop -------------------------------------------------------------------------

namespace {
volatile sig_atomic_t g_nTermFd = -1;  // write end of the termination pipe, for the handler

void OnTermSignal(int) {
    const int nFd = g_nTermFd;
    const char c = 1;
    if (nFd >= 0) {
        const ssize_t n = write(nFd, &c, 1);
        (void)n;
    }
}
}  // namespace

void PosixEnv::RunLoop(LoopHandler* pHandler) {
    // A termination request (systemctl stop, kill) closes the own window, as an outside
    // WM_CLOSE does, so the program ends through its own shutdown path.
    int nPipe[2] = {-1, -1};
    std::thread watcher;
    struct sigaction saOld {};
    bool bHandler = false;
    if (pipe2(nPipe, O_CLOEXEC) == 0) {
        g_nTermFd = nPipe[1];
        struct sigaction sa {};
        sa.sa_handler = OnTermSignal;
        sigemptyset(&sa.sa_mask);
        bHandler = sigaction(SIGTERM, &sa, &saOld) == 0;
        const int nRead = nPipe[0];
        watcher = std::thread([this, nRead] {
            char c = 0;
            while (read(nRead, &c, 1) == 1 && c == 1) PostToOwnLoop(kMsgClose, 0, 0);
        });
    } else {
        DebugFailure("pipe", "", errno);
    }
    m_pLoop->Run(pHandler);
    if (bHandler) sigaction(SIGTERM, &saOld, nullptr);
    if (watcher.joinable()) {
        g_nTermFd = -1;
        const char c = 0;  // ends the watcher
        const ssize_t n = write(nPipe[1], &c, 1);
        (void)n;
        watcher.join();
        close(nPipe[0]);
        close(nPipe[1]);
    }
}

void PosixEnv::QuitLoop() { m_pLoop->Quit(); }

void PosixEnv::StartTimer(uint32_t nId, uint32_t nPeriodMs) {
    const double dUs = static_cast<double>(nPeriodMs == 0 ? 10 : nPeriodMs) * 1000.0;
    m_pLoop->StartTimer(nId, static_cast<int64_t>(dUs / m_opts.dTimeScale));
}

void PosixEnv::StopTimer(uint32_t nId) { m_pLoop->StopTimer(nId); }

void PosixEnv::PostTask(std::function<void()> fn) {
    m_pLoop->Post([fn = std::move(fn)](LoopHandler*) { fn(); });
}

void PosixEnv::PostToOwnLoop(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    m_pLoop->Post([nMsg, wParam, lParam](LoopHandler* pHandler) {
        if (pHandler != nullptr) pHandler->OnLoopMessage(nMsg, wParam, lParam);
    });
}

// ---- Windows by title ---------------------------------------------------------------------

std::string PosixEnv::WindowSocketPath(const std::string& szTitle) const {
    return m_opts.szRoot + "/.windows/" + EscapeWindowTitle(szTitle);
}

WindowHandle PosixEnv::FindWindowTitle(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return {};
    const std::string szPath = WindowSocketPath(szTitle);
    int nFd = -1;
    switch (BusConnect(szPath, 1000, &nFd)) {
        case BusReach::kLive:
            close(nFd);
            return WindowHandle{szTitle};
        case BusReach::kStale:
            unlink(szPath.c_str());
            DebugOutput(("stale window socket removed: " + szPath).c_str());
            return {};
        case BusReach::kAbsent:
            break;
    }
    return {};
}

intptr_t PosixEnv::SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                     intptr_t lParam) {
    if (hWnd.IsNull()) return 0;
    // A send from the loop thread to its own window runs the handler directly, as on Windows.
    if (m_pLoop->OnLoopThread() && m_pLoop->Handler() != nullptr) {
        std::string szOwn;
        {
            std::lock_guard<std::mutex> lock(m_windowMutex);
            szOwn = m_szOwnWindowPath;
        }
        if (WindowSocketPath(hWnd.szTitle) == szOwn) {
            return m_pLoop->Handler()->OnLoopMessage(nMsg, wParam, lParam);
        }
    }
    const BusRequest req{
        kBusMagic, kBusSend, nMsg, 0, static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)};
    BusReply reply{};
    if (!BusTransact(WindowSocketPath(hWnd.szTitle), req, 5000, &reply, nullptr)) return 0;
    return static_cast<intptr_t>(reply.nResult);
}

bool PosixEnv::PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                 intptr_t lParam) {
    if (hWnd.IsNull()) return false;
    const BusRequest req{
        kBusMagic, kBusPost, nMsg, 0, static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)};
    return BusTransact(WindowSocketPath(hWnd.szTitle), req, 5000, nullptr, nullptr);
}

bool PosixEnv::OpenOwnWindow(const char* szTitle) {
    if (szTitle == nullptr || *szTitle == '\0') return false;
    std::lock_guard<std::mutex> lock(m_windowMutex);
    const std::string szPath = WindowSocketPath(szTitle);
    auto pServer = std::make_unique<WindowBusServer>(this, m_pLoop.get(), szPath);
    if (!pServer->Start()) return false;
    m_pWindow = std::move(pServer);
    m_szOwnWindowPath = szPath;
    return true;
}

}  // namespace vplat
