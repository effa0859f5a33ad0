// Win32Env's set-up (options from the command line and the environment, the process-wide
// instance, rooted instances for tests), its clock (GetSystemTimeAsFileTime with the
// station's offset, SetLocalTime when the machine clock may be moved), the scaled
// monotonic clock on QueryPerformanceCounter, debug output and process end.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/env_wrapper.h"
#include "platform/win32/loop_win32.h"
#include "platform/win32/path_win32.h"
#include "platform/win32/view_win32.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

std::atomic<Win32Env*> g_pHost{nullptr};  // process-wide instance

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns units

std::string CurrentDirectory() {
    char szBuf[MAX_PATH + 1] = {};
    const DWORD n = GetCurrentDirectoryA(sizeof(szBuf), szBuf);
    if (n == 0 || n >= sizeof(szBuf)) return ".";
    return win32path::ToSlashes(szBuf);
}

std::string WithoutTrailingSlash(std::string s) {
    // "C:/" keeps its slash: without it the name means "the current directory of C:".
    while (s.size() > 1 && s.back() == '/' && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return s;
}

// A full path in forward-slash form, without a trailing '/'.
std::string Absolute(const std::string& szDir) {
    char szBuf[MAX_PATH + 1] = {};
    const std::string szWin = win32path::ToBackslashes(szDir);
    const DWORD n = GetFullPathNameA(szWin.c_str(), sizeof(szBuf), szBuf, nullptr);
    if (n == 0 || n >= sizeof(szBuf)) return WithoutTrailingSlash(win32path::ToSlashes(szDir));
    return WithoutTrailingSlash(win32path::ToSlashes(szBuf));
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

Win32Options OptionsFromEnvironment() {
    Win32Options opts;
    const char* szRoot = std::getenv("VELMORA_ROOT");
    opts.szRoot = Absolute(szRoot != nullptr && *szRoot != '\0' ? szRoot : CurrentDirectory());
    if (!ParseTimeScale(std::getenv("VELMORA_TIME_SCALE"), &opts.dTimeScale)) {
        opts.dTimeScale = 1.0;
    }
    opts.bDebug = std::getenv("VELMORA_DEBUG") != nullptr;
    return opts;
}

bool IsDirectory(const std::string& szPath) {
    const DWORD nAttr = GetFileAttributesA(win32path::ToBackslashes(szPath).c_str());
    return nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Seconds since 1970 and the millisecond of the machine's clock, read once.
void MachineClock(int64_t* pnSeconds, int* pnMilliseconds) {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    const uint64_t n = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const uint64_t nSince = n > kFileTimeUnixEpoch ? n - kFileTimeUnixEpoch : 0;
    *pnSeconds = static_cast<int64_t>(nSince / 10000000ull);
    *pnMilliseconds = static_cast<int>((nSince / 10000ull) % 1000ull);
}

// SetLocalTime needs the system-time privilege switched on in the process token.
void EnableSystemTimePrivilege() {
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        return;
    }
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &tp.Privileges[0].Luid)) {
        AdjustTokenPrivileges(hToken, FALSE, &tp, 0, nullptr, nullptr);
    }
    CloseHandle(hToken);
}

}  // namespace

namespace internal {

Env* HostDefaultEnv() {
    Win32Env* p = g_pHost.load(std::memory_order_acquire);
    if (p != nullptr) return p;
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        Win32Env* pNew = new Win32Env(OptionsFromEnvironment());  // lives until the process ends
        Win32Env* pExpected = nullptr;
        if (!g_pHost.compare_exchange_strong(pExpected, pNew)) delete pNew;
    });
    return g_pHost.load(std::memory_order_acquire);
}

}  // namespace internal

std::unique_ptr<Env> NewHostEnv(const std::string& szRoot) {
    Win32Options opts;
    opts.szRoot = Absolute(szRoot);
    opts.bMapDrives = true;
    opts.szStartDir = opts.szRoot + "/d";
    opts.bHeadless = true;
    return std::make_unique<Win32Env>(opts);
}

bool InitPlatform(int argc, char** argv, std::vector<std::string>* pRest, std::string* pError) {
    Win32Options opts = OptionsFromEnvironment();
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
    if (!IsDirectory(opts.szRoot)) {
        if (pError != nullptr) *pError = "station root " + opts.szRoot + " does not exist";
        return false;
    }
    // Output bytes as the programs write them ("\n", not "\r\n"): tools that read it
    // (the tests, scripts) see what the Linux build prints.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Replaces the instance made from the environment; the old one may still be referenced
    // by a caller that looked it up early, so it is kept.
    g_pHost.store(new Win32Env(opts), std::memory_order_release);
    return true;
}

std::string StationRoot() {
    return static_cast<Win32Env*>(internal::HostDefaultEnv())->Options().szRoot;
}

Win32Env::Win32Env(const Win32Options& opts)
    : m_opts(opts), m_szCwd(opts.szStartDir), m_pLoop(std::make_unique<Win32Loop>(this)) {
    if (m_opts.dTimeScale < 1.0 || !std::isfinite(m_opts.dTimeScale)) m_opts.dTimeScale = 1.0;
    if (m_szCwd.empty()) m_szCwd = m_opts.szRoot;
    LARGE_INTEGER freq{};
    m_nPerfFrequency = QueryPerformanceFrequency(&freq) && freq.QuadPart > 0 ? freq.QuadPart : 0;
}

Win32Env::~Win32Env() {
    m_pDialog.reset();
    m_pLoop.reset();
}

void Win32Env::DebugFailure(const char* szWhat, const std::string& szPath, unsigned long nErr) {
    char szText[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, nErr, 0, szText, sizeof(szText) - 1, nullptr);
    std::string szMessage(szText, n < sizeof(szText) ? n : 0);
    while (!szMessage.empty() && (szMessage.back() == '\r' || szMessage.back() == '\n' ||
                                  szMessage.back() == ' ' || szMessage.back() == '.')) {
        szMessage.pop_back();
    }
    if (szMessage.empty()) szMessage = "error";
    DebugOutput(
        (std::string(szWhat) + " " + szPath + ": " + szMessage + " (" + std::to_string(nErr) + ")")
            .c_str());
}

// ---- Clock ----------------------------------------------------------------------------

LocalTime Win32Env::GetLocalTimeNow() {
    int64_t nSeconds = 0;
    int nMilliseconds = 0;
    MachineClock(&nSeconds, &nMilliseconds);
    LocalTime t = LocalTimeFromTime64(nSeconds + m_nClockOffsetSec.load());
    t.nMilliseconds = nMilliseconds;
    return t;
}

int64_t Win32Env::Time64() {
    int64_t nSeconds = 0;
    int nMilliseconds = 0;
    MachineClock(&nSeconds, &nMilliseconds);
    return nSeconds + m_nClockOffsetSec.load();
}

bool Win32Env::SetLocalClock(const LocalTime& t) {
    const int64_t nWant = Time64FromLocal(t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute, t.nSecond);
    if (nWant == -1) {
        DebugOutput("SetLocalClock: not a valid local time");
        return false;
    }
    if (m_bMachineClock.load() && !ClockOffsetForced()) {
        // The fields as _mktime64 normalised them, so that SetLocalTime gets a valid date.
        const LocalTime n = LocalTimeFromTime64(nWant);
        SYSTEMTIME st{};
        st.wYear = static_cast<WORD>(n.nYear);
        st.wMonth = static_cast<WORD>(n.nMonth);
        st.wDay = static_cast<WORD>(n.nDay);
        st.wHour = static_cast<WORD>(n.nHour);
        st.wMinute = static_cast<WORD>(n.nMinute);
        st.wSecond = static_cast<WORD>(n.nSecond);
        st.wMilliseconds =
            static_cast<WORD>(t.nMilliseconds >= 0 && t.nMilliseconds < 1000 ? t.nMilliseconds : 0);
        static std::once_flag s_privilege;
        std::call_once(s_privilege, EnableSystemTimePrivilege);
        if (!SetLocalTime(&st)) {
            const DWORD nErr = GetLastError();
            DebugFailure("SetLocalTime", "", nErr);
            if (nErr == ERROR_PRIVILEGE_NOT_HELD) {
                DebugOutput("SetLocalTime: the machine clock was not set: the account lacks "
                            "SeSystemtimePrivilege; the station's time is unchanged");
            }
            return false;
        }
        m_nClockOffsetSec.store(0);
        return true;
    }
    int64_t nSeconds = 0;
    int nMilliseconds = 0;
    MachineClock(&nSeconds, &nMilliseconds);
    m_nClockOffsetSec.store(nWant - nSeconds);
    return true;
}

void Win32Env::SetMachineClockAllowed(bool bAllowed) {
    m_bMachineClock.store(bAllowed && !ClockOffsetForced());
}

uint64_t Win32Env::MonotonicMs() {
    LARGE_INTEGER now{};
    if (m_nPerfFrequency <= 0 || !QueryPerformanceCounter(&now)) {
        return static_cast<uint64_t>(static_cast<double>(GetTickCount64()) * m_opts.dTimeScale);
    }
    const int64_t nTicks = now.QuadPart;
    const int64_t nWhole = nTicks / m_nPerfFrequency;  // whole seconds, exact
    const int64_t nPart = nTicks % m_nPerfFrequency;
    const double dMs = static_cast<double>(nWhole) * 1000.0 +
                       static_cast<double>(nPart) * 1000.0 / static_cast<double>(m_nPerfFrequency);
    return static_cast<uint64_t>(dMs * m_opts.dTimeScale);
}

void Win32Env::SleepMs(uint32_t nMs) {
    const auto nUs = static_cast<int64_t>(static_cast<double>(nMs) * 1000.0 / m_opts.dTimeScale);
    std::this_thread::sleep_for(std::chrono::microseconds(nUs));
}

uint32_t Win32Env::ScaleMs(uint32_t nMs) {
    if (nMs == 0) return 0;
    const auto nScaled = static_cast<uint32_t>(static_cast<double>(nMs) / m_opts.dTimeScale);
    return nScaled == 0 ? 1 : nScaled;
}

// ---- Debug output and process end -------------------------------------------------------

void Win32Env::DebugOutput(const char* szText) {
    OutputDebugStringA(szText != nullptr ? szText : "");
    if (!m_opts.bDebug) return;
    const LocalTime t = GetLocalTimeNow();
    char szStamp[32];
    std::snprintf(szStamp, sizeof(szStamp), "%02d:%02d:%02d.%03d ", t.nHour, t.nMinute, t.nSecond,
                  t.nMilliseconds);
    std::string szLine = szStamp;
    szLine += szText != nullptr ? szText : "";
    if (szLine.back() != '\n') szLine += '\n';
    // One write per line, so that lines of different threads do not mix.
    HANDLE hErr = GetStdHandle(STD_ERROR_HANDLE);
    if (hErr == nullptr || hErr == INVALID_HANDLE_VALUE) return;
    size_t nDone = 0;
    while (nDone < szLine.size()) {
        DWORD nWritten = 0;
        const DWORD nChunk = static_cast<DWORD>(szLine.size() - nDone);
        if (!WriteFile(hErr, szLine.data() + nDone, nChunk, &nWritten, nullptr) || nWritten == 0) {
            break;
        }
        nDone += nWritten;
    }
}

void Win32Env::EndProcess(int nStatus) {
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(nStatus));
}

}  // namespace vplat
