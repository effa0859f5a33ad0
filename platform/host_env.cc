// HostEnv's set-up (options from the command line and the environment, the process-wide
// instance, rooted instances), the station clock kept as an offset or moved on the
// machine, the time scale of sleeps and time-outs, the debug line, the control model and
// the calls that only hand over to the back-end's message loop.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/env_wrapper.h"
#include "platform/host_env.h"

namespace vplat {

namespace {

std::atomic<HostEnv*> g_pHost{nullptr};  // process-wide instance

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

HostOptions OptionsFromEnvironment() {
    HostOptions opts;
    const char* szRoot = std::getenv("VELMORA_ROOT");
    opts.szRoot = hostos::AbsolutePath(szRoot != nullptr && *szRoot != '\0'
                                           ? szRoot
                                           : hostos::CurrentDirectory());
    opts.szStartDir = hostos::CurrentDirectory();
    if (!ParseTimeScale(std::getenv("VELMORA_TIME_SCALE"), &opts.dTimeScale)) {
        opts.dTimeScale = 1.0;
    }
    opts.bDebug = std::getenv("VELMORA_DEBUG") != nullptr;
    opts.bProcessDir = true;
    return opts;
}

bool Fail(std::string* pError, const std::string& szWhy) {
    if (pError != nullptr) *pError = szWhy;
    return false;
}

}  // namespace

namespace internal {

Env* HostDefaultEnv() {
    HostEnv* p = g_pHost.load(std::memory_order_acquire);
    if (p != nullptr) return p;
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        HostEnv* pNew = new HostEnv(OptionsFromEnvironment());  // lives until the process ends
        HostEnv* pExpected = nullptr;
        if (!g_pHost.compare_exchange_strong(pExpected, pNew)) delete pNew;
    });
    return g_pHost.load(std::memory_order_acquire);
}

}  // namespace internal

HostOptions RootedHostOptions(const std::string& szRoot) {
    HostOptions opts;
    opts.szRoot = hostos::AbsolutePath(szRoot);
    opts.szStartDir = opts.szRoot + "/d";
    opts.bHeadless = true;
    return opts;
}

std::unique_ptr<Env> NewHostEnv(const std::string& szRoot) {
    return std::make_unique<HostEnv>(RootedHostOptions(szRoot));
}

bool InitPlatform(int argc, char** argv, std::vector<std::string>* pRest, std::string* pError) {
    HostOptions opts = OptionsFromEnvironment();
    if (!ParseTimeScale(std::getenv("VELMORA_TIME_SCALE"), &opts.dTimeScale)) {
        return Fail(pError, "VELMORA_TIME_SCALE must be a number of at least 1");
    }
    for (int i = 1; i < argc; ++i) {
        const std::string szArg = argv[i] != nullptr ? argv[i] : "";
        if (szArg == "--headless") {
            opts.bHeadless = true;
        } else if (szArg == "--root" || szArg.rfind("--root=", 0) == 0) {
            std::string szDir;
            if (szArg != "--root") {
                szDir = szArg.substr(7);
            } else if (i + 1 < argc && argv[i + 1] != nullptr) {
                szDir = argv[++i];
            }
            if (szDir.empty()) return Fail(pError, "--root needs a directory");
            opts.szRoot = hostos::AbsolutePath(szDir);
        } else if (pRest != nullptr) {
            pRest->push_back(szArg);
        }
    }
    if (!hostos::CheckStationRoot(opts.szRoot, pError)) return false;
    // Replaces the instance made from the environment; the old one may still be referenced
    // by a caller that looked it up early, so it is kept.
    g_pHost.store(new HostEnv(opts), std::memory_order_release);
    return true;
}

std::string StationRoot() {
    return static_cast<HostEnv*>(internal::HostDefaultEnv())->Options().szRoot;
}

HostOptions HostEnv::Checked(HostOptions opts) {
    if (opts.dTimeScale < 1.0 || !std::isfinite(opts.dTimeScale)) opts.dTimeScale = 1.0;
    if (opts.szStartDir.empty()) opts.szStartDir = opts.szRoot;
    return opts;
}

// ---- Clock ----------------------------------------------------------------------------

LocalTime HostEnv::GetLocalTimeNow() {
    int nMilliseconds = 0;
    const int64_t nSeconds = MachineTime(&nMilliseconds);
    LocalTime t = LocalTimeFromTime64(nSeconds + m_nClockOffsetSec.load());
    t.nMilliseconds = nMilliseconds;
    return t;
}

int64_t HostEnv::Time64() { return MachineTime(nullptr) + m_nClockOffsetSec.load(); }

bool HostEnv::SetLocalClock(const LocalTime& t) {
    const int64_t nWant = Time64FromLocal(t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
    if (nWant == -1) {
        DebugOutput("SetLocalClock: not a valid local time");
        return false;
    }
    if (m_bMachineClock.load() && !ClockOffsetForced()) {
        if (!SetMachineTime(nWant, t.nMilliseconds)) return false;
        m_nClockOffsetSec.store(0);
        return true;
    }
    m_nClockOffsetSec.store(nWant - MachineTime(nullptr));
    return true;
}

void HostEnv::SetMachineClockAllowed(bool bAllowed) {
    m_bMachineClock.store(bAllowed && !ClockOffsetForced());
}

void HostEnv::SleepMs(uint32_t nMs) {
    const auto nUs = static_cast<int64_t>(static_cast<double>(nMs) * 1000.0 / m_opts.dTimeScale);
    std::this_thread::sleep_for(std::chrono::microseconds(nUs));
}

uint32_t HostEnv::ScaleMs(uint32_t nMs) {
    if (nMs == 0) return 0;
    const auto nScaled = static_cast<uint32_t>(static_cast<double>(nMs) / m_opts.dTimeScale);
    return nScaled == 0 ? 1 : nScaled;
}

std::string HostEnv::DebugLine(const char* szText) {
    const LocalTime t = GetLocalTimeNow();
    char szStamp[32];
    std::snprintf(szStamp, sizeof(szStamp), "%02d:%02d:%02d.%03d ", t.nHour, t.nMinute, t.nSecond,
                  t.nMilliseconds);
    std::string szLine = szStamp;
    szLine += szText != nullptr ? szText : "";
    if (szLine.back() != '\n') szLine += '\n';
    return szLine;
}

// ---- Control model and message loop -------------------------------------------------------

std::string HostEnv::GetControlText(int nId) {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    auto it = m_controls.find(nId);
    return it == m_controls.end() ? std::string() : it->second;
}

std::string HostEnv::DescribeControls() {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    return hosttext::ControlLines(m_controls);
}

void HostEnv::RunLoop(LoopHandler* pHandler) { m_pLoop->Run(pHandler); }

void HostEnv::QuitLoop() { m_pLoop->Quit(); }

void HostEnv::StopTimer(uint32_t nId) { m_pLoop->StopTimer(nId); }

void HostEnv::PostTask(std::function<void()> fn) {
    m_pLoop->Post([fn = std::move(fn)](LoopHandler*) { fn(); });
}

// ---- Serial reads and writes ----------------------------------------------------------------

// The argument rules of both directions: a closed port, no buffer or a negative size
// fail before the system is asked; nothing to move moves nothing.
int HostEnv::SerialMove(SerialHandle h, void* pBuf, int nSize, bool bWrite, int* pnError) {
    int nError = 0;
    if (pnError == nullptr) pnError = &nError;
    *pnError = !h.IsOpen() ? kSerialBadHandle
                           : (pBuf == nullptr || nSize < 0 ? kSerialBadArgument : 0);
    if (*pnError != 0) return -1;
    return nSize == 0 ? 0 : SerialTransfer(h, pBuf, nSize, bWrite, pnError);
}

int HostEnv::SerialRead(SerialHandle h, void* pBuf, int nSize, int* pnError) {
    return SerialMove(h, pBuf, nSize, false, pnError);
}

int HostEnv::SerialWrite(SerialHandle h, const void* pBuf, int nSize, int* pnError) {
    return SerialMove(h, const_cast<void*>(pBuf), nSize, true, pnError);
}

}  // namespace vplat
