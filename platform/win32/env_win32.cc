// HostEnv on Win32: construction, the hooks of the shared set-up (current directory, full
// paths, the station root's check), the machine's clock (GetSystemTimeAsFileTime,
// SetLocalTime), the scaled monotonic clock on QueryPerformanceCounter, debug output and
// process end.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/win32/view_win32.h"
#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns units

std::string WithoutTrailingSlash(std::string s) {
    // "C:/" keeps its slash: without it the name means "the current directory of C:".
    while (s.size() > 1 && s.back() == '/' && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return s;
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

namespace hostos {

std::string CurrentDirectory() {
    char szBuf[MAX_PATH + 1] = {};
    const DWORD n = GetCurrentDirectoryA(sizeof(szBuf), szBuf);
    if (n == 0 || n >= sizeof(szBuf)) return ".";
    return hosttext::ToSlashes(szBuf);
}

std::string AbsolutePath(const std::string& szDir) {
    char szBuf[MAX_PATH + 1] = {};
    const DWORD n = GetFullPathNameA(ToBackslashes(szDir).c_str(), sizeof(szBuf), szBuf, nullptr);
    if (n == 0 || n >= sizeof(szBuf)) return WithoutTrailingSlash(hosttext::ToSlashes(szDir.c_str()));
    return WithoutTrailingSlash(hosttext::ToSlashes(szBuf));
}

bool CheckStationRoot(const std::string& szRoot, std::string* pError) {
    const DWORD nAttr = GetFileAttributesA(ToBackslashes(szRoot).c_str());
    if (nAttr == INVALID_FILE_ATTRIBUTES || (nAttr & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        if (pError != nullptr) *pError = "station root " + szRoot + " does not exist";
        return false;
    }
    // Output bytes as the programs write them ("\n", not "\r\n"): tools that read it
    // (the tests, scripts) see what the Linux build prints.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}

}  // namespace hostos

HostEnv::HostEnv(const HostOptions& opts)
    : m_opts(Checked(opts)),
      m_szCwd(m_opts.szStartDir),
      m_pLoop(std::make_unique<Win32Loop>(this)),
      m_pOs(std::make_unique<Os>()) {
    LARGE_INTEGER freq{};
    m_pOs->nPerfFrequency = QueryPerformanceFrequency(&freq) && freq.QuadPart > 0 ? freq.QuadPart : 0;
}

HostEnv::~HostEnv() {
    m_pOs.reset();  // the dialog before the loop
    m_pLoop.reset();
}

HostEnv::Os::~Os() = default;

void HostEnv::DebugFailure(const char* szWhat, const std::string& szPath, unsigned long nErr) {
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

int64_t HostEnv::MachineTime(int* pnMilliseconds) {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    const uint64_t n = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const uint64_t nSince = n > kFileTimeUnixEpoch ? n - kFileTimeUnixEpoch : 0;
    if (pnMilliseconds != nullptr) *pnMilliseconds = static_cast<int>((nSince / 10000ull) % 1000ull);
    return static_cast<int64_t>(nSince / 10000000ull);
}

bool HostEnv::SetMachineTime(int64_t nSeconds, int nMilliseconds) {
    // The fields as _mktime64 normalised them, so that SetLocalTime gets a valid date.
    const LocalTime n = LocalTimeFromTime64(nSeconds);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(n.nYear);
    st.wMonth = static_cast<WORD>(n.nMonth);
    st.wDay = static_cast<WORD>(n.nDay);
    st.wHour = static_cast<WORD>(n.nHour);
    st.wMinute = static_cast<WORD>(n.nMinute);
    st.wSecond = static_cast<WORD>(n.nSecond);
    st.wMilliseconds =
        static_cast<WORD>(nMilliseconds >= 0 && nMilliseconds < 1000 ? nMilliseconds : 0);
    static std::once_flag s_privilege;
    std::call_once(s_privilege, EnableSystemTimePrivilege);
    if (SetLocalTime(&st)) return true;
    const DWORD nErr = GetLastError();
    DebugFailure("SetLocalTime", "", nErr);
    if (nErr == ERROR_PRIVILEGE_NOT_HELD) {
        DebugOutput("SetLocalTime: the machine clock was not set: the account lacks "
                    "SeSystemtimePrivilege; the station's time is unchanged");
    }
    return false;
}

uint64_t HostEnv::MonotonicMs() {
    LARGE_INTEGER now{};
    if (m_pOs->nPerfFrequency <= 0 || !QueryPerformanceCounter(&now)) {
        return static_cast<uint64_t>(static_cast<double>(GetTickCount64()) * m_opts.dTimeScale);
    }
    const int64_t nTicks = now.QuadPart;
    const int64_t nWhole = nTicks / m_pOs->nPerfFrequency;  // whole seconds, exact
    const int64_t nPart = nTicks % m_pOs->nPerfFrequency;
    const double dMs = static_cast<double>(nWhole) * 1000.0 +
                       static_cast<double>(nPart) * 1000.0 / static_cast<double>(m_pOs->nPerfFrequency);
    return static_cast<uint64_t>(dMs * m_opts.dTimeScale);
}

// ---- Debug output and process end -------------------------------------------------------

// A debug viewer may listen to OutputDebugString at any time: every line is formatted.
bool HostEnv::DebugWanted() { return true; }

void HostEnv::DebugOutput(const char* szText) {
    OutputDebugStringA(szText != nullptr ? szText : "");
    if (!m_opts.bDebug) return;
    const std::string szLine = DebugLine(szText);
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

void HostEnv::EndProcess(int nStatus) {
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(nStatus));
}

}  // namespace vplat
