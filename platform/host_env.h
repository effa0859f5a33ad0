// The real back-end of the platform interface, declared once for every operating system.
// The methods that are the same everywhere (set-up from the command line and the
// environment, the station clock's offset, the time scale, the control model, listings
// with Windows wildcards, WinExec's reading of a command line, the serial argument rules)
// are written in the platform/host_*.cc files; the rest is written per system in the
// *_posix.cc or *_win32.cc files of platform/posix/ or platform/win32/, which CMake picks.
// The back-end's own state (HostEnv::Os) is defined in posix/posix_env.h or
// win32/win32_env.h. No system header is included here.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vplat {

// How a HostEnv is set up.
struct HostOptions {
    std::string szRoot;        // station root (host directory in forward-slash form)
    std::string szStartDir;    // host directory the current directory starts at
    bool bHeadless = false;    // never show the dialog (terminal view or window)
    double dTimeScale = 1.0;   // periods, sleeps and time-outs divided by this (>= 1)
    bool bDebug = false;       // DebugOutput writes to stderr
    // The process's own instance: the current directory is the process's (SetCurrentDir
    // changes it), and on Windows station paths are the machine's real drives. Otherwise
    // station paths map to szRoot/<drive letter>/<rest> with a current directory of its own.
    bool bProcessDir = false;
    uint32_t nSendCapMs = 5000;  // a synchronous window message waits at most this long
};

// The options of a separate instance rooted at szRoot (as NewHostEnv makes it): headless,
// current directory at szRoot's "d" folder, time scale 1.
HostOptions RootedHostOptions(const std::string& szRoot);

// The message loop of a back-end: work items and window messages delivered one at a time
// on the thread inside Run. Timers are armed on the back-end's own loop class.
class HostLoop {
  public:
    // A work item; gets the loop's handler (null when Run was given none).
    using Work = std::function<void(LoopHandler*)>;

    HostLoop() = default;
    virtual ~HostLoop() = default;
    HostLoop(const HostLoop&) = delete;
    HostLoop& operator=(const HostLoop&) = delete;

    // Delivers until Quit. A Quit that came before Run ends the next Run at once.
    virtual void Run(LoopHandler* pHandler) = 0;
    virtual void Quit() = 0;
    // Disarms timer nId; no tick of it is delivered afterwards. Any thread.
    virtual void StopTimer(uint32_t nId) = 0;
    virtual void Post(Work fn) = 0;
};

class HostEnv final : public Env {
  public:
    struct Os;  // the back-end's own state

    explicit HostEnv(const HostOptions& opts);
    ~HostEnv() override;
    HostEnv(const HostEnv&) = delete;
    HostEnv& operator=(const HostEnv&) = delete;

    const HostOptions& Options() const { return m_opts; }
    HostLoop* Loop() const { return m_pLoop.get(); }
    Os& OsState() { return *m_pOs; }
    // Lines "<id> <text>\n" of the control model, ordered by id.
    std::string DescribeControls();
    // Debug line about a failed call: "<what> <path>: <the system's words for nErr>".
    void DebugFailure(const char* szWhat, const std::string& szPath, unsigned long nErr);

    LocalTime GetLocalTimeNow() override;
    int64_t Time64() override;
    bool SetLocalClock(const LocalTime& t) override;
    void SetMachineClockAllowed(bool bAllowed) override;
    uint64_t MonotonicMs() override;
    void SleepMs(uint32_t nMs) override;
    uint32_t ScaleMs(uint32_t nMs) override;

    std::string MapPath(const char* szWinPath) override;
    size_t GetCurrentDir(char* szBuf, size_t nSize) override;
    bool SetCurrentDir(const char* szWinPath) override;
    std::vector<std::string> FindFiles(const char* szWinPattern) override;
    bool CopyFileTo(const char* szFrom, const char* szTo, bool bFailIfExists) override;
    bool RemoveFile(const char* szWinPath, std::string* pszWhy = nullptr) override;
    bool GetFileIdentity(const char* szWinPath, FileIdentity* pOut) override;
    bool MakeDirectory(const char* szWinPath) override;
    FILE* OpenFile(const char* szWinPath, const char* szMode) override;
    PathKind GetPathKind(const char* szWinPath) override;
    int64_t FileAgeSeconds(const char* szWinPath) override;
    size_t ReadProfileString(const char* szSection, const char* szKey, const char* szDefault,
                             char* szOut, size_t nSize, const char* szWinPath) override;

    WindowHandle FindWindowTitle(const char* szTitle) override;
    intptr_t SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                               intptr_t lParam) override;
    bool PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                           intptr_t lParam) override;
    bool OpenOwnWindow(const char* szTitle) override;

    void RunLoop(LoopHandler* pHandler) override;
    void QuitLoop() override;
    void StartTimer(uint32_t nId, uint32_t nPeriodMs) override;
    void StopTimer(uint32_t nId) override;
    void PostTask(std::function<void()> fn) override;

    void ShowDialogView(const char* szCaption) override;
    void SetControlText(int nId, const std::string& szText) override;
    std::string GetControlText(int nId) override;

    bool OpenMapping(const char* szName, MappedView* pOut) override;
    bool CreateMapping(const char* szName, size_t nSize, MappedView* pOut,
                       bool* pbCreated) override;
    void CloseMapping(MappedView* pView) override;

    bool StartProgram(const char* szWinCommandLine, int nShow) override;
    [[noreturn]] void EndProcess(int nStatus) override;
    void DebugOutput(const char* szText) override;
    bool DebugWanted() override;

    std::unique_ptr<Event> NewEvent(bool bManualReset) override;
    int WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                           uint32_t nTimeoutMs) override;
    int EnumNetworkEvents(SocketHandle s) override;
    SocketHandle SockOpenTcp() override;
    bool SockSetLingerOff(SocketHandle s) override;
    bool SockSetNoDelay(SocketHandle s) override;
    bool SockBind(SocketHandle s, uint16_t nPort) override;
    int SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) override;
    int SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) override;
    bool SockSetBlocking(SocketHandle s, bool bBlocking) override;
    bool SockSetSendTimeout(SocketHandle s, uint32_t nMs) override;
    bool SockSetRecvTimeout(SocketHandle s, uint32_t nMs) override;
    bool SockSetSendBuffer(SocketHandle s, int nBytes) override;
    bool SockSetRecvBuffer(SocketHandle s, int nBytes) override;
    int SockRecv(SocketHandle s, void* pBuf, int nSize) override;
    int SockSend(SocketHandle s, const void* pBuf, int nSize) override;
    bool SockClose(SocketHandle s) override;
    uint32_t LocalIPv4() override;
    const char* SockLastFailure() override;

    bool SerialDeviceExists(const char* szDevice) override;
    SerialHandle SerialOpen(const char* szDevice, int nBaud) override;
    int SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) override;
    int SerialRead(SerialHandle h, void* pBuf, int nSize, int* pnError) override;
    int SerialWrite(SerialHandle h, const void* pBuf, int nSize, int* pnError) override;
    void SerialClose(SerialHandle h) override;

  private:
    // ---- Written once (host_env.cc, host_files.cc) ----
    // The options with the time scale at least 1 and a start directory.
    static HostOptions Checked(HostOptions opts);
    // Host directory that stands for the current directory.
    std::string CurrentHostDir();
    // Rooted instances: the host path of a station path s (forward slashes), or "" when s
    // is relative and the current directory lies outside the root (the back-end decides).
    std::string MapUnderRoot(const std::string& s);
    // Rooted instances: the current directory in Windows form, "" when outside the root.
    std::string WinDirUnderRoot();
    // "<hh:mm:ss.mmm> <text>\n", the debug output's line.
    std::string DebugLine(const char* szText);
    // WinExec's reading of a command line: the program's host path and its arguments (an
    // unquoted program path with blanks: ever longer prefixes until one is a file).
    // False for an empty line.
    bool ReadCommandLine(const char* szLine, std::string* pProgram,
                         std::vector<std::string>* pArgs);
    // A serial read or write: the argument rules, then SerialTransfer.
    int SerialMove(SerialHandle h, void* pBuf, int nSize, bool bWrite, int* pnError);

    // ---- Written per system ----
    // Seconds since 1970 of the machine's clock; *pnMilliseconds (may be null) the
    // millisecond within it.
    int64_t MachineTime(int* pnMilliseconds);
    // Moves the machine's clock to nSeconds (and the millisecond); false with a debug line.
    bool SetMachineTime(int64_t nSeconds, int nMilliseconds);
    // Makes a host directory the current one where the system keeps it (the process's own
    // directory); false with a debug line when it is no directory or cannot be entered.
    bool EnterHostDir(const std::string& szHostDir);
    // Every name in a host directory ("." and ".." included); empty when it cannot be read.
    std::vector<std::string> ListHostDirectory(const std::string& szHostDir);
    // Moves what a serial read or write with good arguments moves (nSize > 0). Bytes moved,
    // -1 with the system's error code in *pnError.
    int SerialTransfer(SerialHandle h, void* pBuf, int nSize, bool bWrite, int* pnError);
    // The system's error codes for a closed port and for a bad buffer or size.
    static const int kSerialBadHandle;
    static const int kSerialBadArgument;
    // Host paths compare without regard to letter case (Windows) or exactly (POSIX).
    static const bool kFoldCase;

    HostOptions m_opts;                         // set-up, fixed after construction
    std::atomic<int64_t> m_nClockOffsetSec{0};  // station clock minus machine clock
    std::atomic<bool> m_bMachineClock{false};   // SetLocalClock moves the machine clock
    std::mutex m_cwdMutex;                      // guards m_szCwd
    std::string m_szCwd;                        // host path of the current directory
    std::mutex m_controlMutex;                  // guards m_controls
    std::map<int, std::string> m_controls;      // dialog control model, id -> UTF-8 text
    std::unique_ptr<HostLoop> m_pLoop;          // message loop and timers
    std::unique_ptr<Os> m_pOs;                  // the back-end's own state
};

// Pure text work shared by the back-ends (host_text.cc).
namespace hosttext {

char LowerAscii(char c);
char UpperAscii(char c);
// "X:" at the start.
bool IsDriveSpec(const std::string& s);
std::string ToSlashes(const char* szPath);
// "/a/./b/../c" -> "/a/c" (a leading '/', "" for the top itself); never climbs above the
// start ("/.." -> "").
std::string NormalizePath(const std::string& szPath);
// Windows wildcard match of a whole name: '*' any run, '?' one character, case ignored.
bool WildcardMatch(const std::string& szPattern, const std::string& szName);
// The drive letter (lower case) when szHost lies in szRoot/<letter> or below it, with the
// rest of the path ("" or "/a/b") in *pRest; 0 when it lies elsewhere. bFoldCase: the
// root's letter case is ignored, as a Windows file system ignores it.
char DriveOf(const std::string& szRoot, const std::string& szHost, std::string* pRest,
             bool bFoldCase);
// Words of a command line split at blanks; "..." keeps blanks and loses its quotes.
std::vector<std::string> SplitBlanks(const std::string& s);
// "%XX" for every byte outside [A-Za-z0-9._-] and the bytes of szAlsoKept.
std::string PercentEscape(const std::string& szText, const char* szAlsoKept);
// "COMn" with one to three digits, in any letter case.
bool IsComPortName(const std::string& s);
// Lines "<id> <text>\n" ordered by id, line breaks inside a text turned into blanks.
std::string ControlLines(const std::map<int, std::string>& controls);
// Length of the UTF-8 sequence that starts with byte c (1 for a stray byte).
size_t Utf8Length(unsigned char c);
// True when p (nLeft bytes) starts with a CP949 lead byte and a trail byte of 0x41 or more.
bool IsCp949Pair(const char* p, size_t nLeft);
// What SockLastFailure answers for a socket error code, given the system's codes.
struct SockErrorCodes {
    int nRefused;          // connection refused
    int nTimedOut;         // timed out
    int nNoRoute[4];       // network or host unreachable or down
    int nBadAddress[3];    // address not available, family not supported, invalid
};
const char* SockFailureWords(int nErr, const SockErrorCodes& codes);

}  // namespace hosttext

// What each back-end provides besides the HostEnv methods (written per system).
namespace hostos {

// The process's current directory in forward-slash form.
std::string CurrentDirectory();
// A full host path without a trailing '/'.
std::string AbsolutePath(const std::string& szDir);
// False with *pError when szRoot cannot be the station root ("does not exist", "is not a
// directory"); readies the process's standard streams otherwise.
bool CheckStationRoot(const std::string& szRoot, std::string* pError);
// True when the host path names a regular file.
bool IsRegularFile(const std::string& szHostPath);
// localtime and mktime of the C library of the system.
bool LocalTm(int64_t t, std::tm* pParts);
int64_t MakeTime64(std::tm* pParts);

}  // namespace hostos

}  // namespace vplat
