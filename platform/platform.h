// The station's operating-system services behind one interface. The core of Velmora
// (dialog, link, transfers, reports, modem) calls only what is declared here; each
// back-end (posix/, later win32/; fake/ for unit tests) implements it. OS handles and
// error numbers never leave the back-end. Like LevelDB's Env: one process-wide
// instance, replaceable by a test before anything else runs.
//
// Paths given to this layer are station paths in Windows form ("D:/QN64-ABRIX/Data/x.ini",
// "d:/System_Log/2026/..", or names relative to the current directory). The back-end maps
// them to its own file system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vplat {

// Calendar time in the station's local zone (the fields of a SYSTEMTIME).
struct LocalTime {
    int nYear = 0;          // full year, e.g. 2026
    int nMonth = 0;         // 1-12
    int nDay = 0;           // 1-31
    int nDayOfWeek = 0;     // 0 = Sunday
    int nHour = 0;          // 0-23
    int nMinute = 0;        // 0-59
    int nSecond = 0;        // 0-59
    int nMilliseconds = 0;  // 0-999
};

// A window found by its title. Empty title = no window (a null HWND).
struct WindowHandle {
    std::string szTitle;  // exact title of the window
    bool IsNull() const { return szTitle.empty(); }
};

// Window messages the station uses (Win32 numbers, kept for the wire of the window bus).
constexpr uint32_t kMsgDestroy = 2;      // WM_DESTROY
constexpr uint32_t kMsgClose = 0x0010;   // WM_CLOSE
constexpr uint32_t kMsgCommand = 0x0111; // WM_COMMAND (wParam low word = control id, high = BN_CLICKED 0)
constexpr uint32_t kMsgUser = 0x0400;    // WM_USER

// A socket of the manager link; kNoSocket when there is none.
using SocketHandle = int64_t;
constexpr SocketHandle kNoSocket = -1;

// Readiness bits of WaitSocket (the select sets).
constexpr int kSockReadable = 1;
constexpr int kSockWritable = 2;
constexpr int kSockError = 4;

// Network events reported by EnumNetworkEvents (the FD_ bits of Winsock).
constexpr int kNetRead = 0x01;
constexpr int kNetClose = 0x20;

// An event object (eventfd on POSIX). Auto-reset events clear when a wait returns them.
class Event {
public:
    virtual ~Event() = default;
    virtual void Set() = 0;    // signal; any thread
    virtual void Reset() = 0;  // clear; any thread
};

// A named file mapping opened or created by name.
struct MappedView {
    void* pView = nullptr;  // start of the mapped bytes; null when not open
    size_t nSize = 0;       // bytes mapped
    int64_t nHandle = -1;   // back-end's own handle; the core never looks at it
};

// Receives what the message loop delivers, one call at a time, on the loop's thread.
class LoopHandler {
public:
    virtual ~LoopHandler() = default;
    virtual void OnLoopTimer(uint32_t nTimerId) = 0;
    // A window message sent or posted to the process's own window. The result goes
    // back to a synchronous sender.
    virtual intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) = 0;
};

// What tells one file's content from another's without reading it: its size, its last
// write time and the number the file system knows it by (device and inode on POSIX,
// volume serial and file index on Windows). A file written in place, grown, or replaced
// under the same name differs in at least one field.
struct FileIdentity {
    int64_t nSize = -1;         // bytes
    int64_t nWriteTimeNs = 0;   // last write, nanoseconds since the back-end's epoch
    uint64_t nVolume = 0;       // device / volume serial
    uint64_t nIndex = 0;        // inode / file index
    bool operator==(const FileIdentity& o) const {
        return nSize == o.nSize && nWriteTimeNs == o.nWriteTimeNs && nVolume == o.nVolume &&
               nIndex == o.nIndex;
    }
    bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// What a station path names (GetPathKind).
enum class PathKind { kMissing, kFile, kDirectory, kOther };

// Serial port (the CDMA modem).
struct SerialHandle {
    int64_t nHandle = -1;
    bool IsOpen() const { return nHandle >= 0; }
};

class Env {
public:
    virtual ~Env() = default;

    // The process-wide instance (the POSIX back-end unless a test installed another).
    static Env* Default();
    // Installs env as the process-wide instance; only before any other thread runs.
    // Returns the previous one. Ownership stays with the caller.
    static Env* Install(Env* env);

    // ---- Clock ----------------------------------------------------------------------
    // Local time now, with the offset that SetLocalClock may have set. Any thread.
    virtual LocalTime GetLocalTimeNow() = 0;
    // Seconds since 1970-01-01 UTC as the station believes it (offset applied). Any thread.
    virtual int64_t Time64() = 0;
    // Sets the station's local time. Changes the machine clock only when the back-end was
    // configured to (SetMachineClockAllowed); otherwise keeps an offset that every later
    // GetLocalTimeNow/Time64 applies. Timers are not disturbed. True on success.
    virtual bool SetLocalClock(const LocalTime& t) = 0;
    // Whether SetLocalClock may move the machine clock. Never while ClockOffsetForced().
    virtual void SetMachineClockAllowed(bool bAllowed) = 0;
    // Milliseconds of a monotonic clock (scaled time in tests). Any thread.
    virtual uint64_t MonotonicMs() = 0;
    // Sleeps the calling thread (divided by the time scale). Any thread.
    virtual void SleepMs(uint32_t nMs) = 0;
    // A period or time-out of the core as the back-end waits it (divided by the time scale,
    // at least 1 when nMs > 0).
    virtual uint32_t ScaleMs(uint32_t nMs) = 0;

    // ---- Files (Windows paths) ------------------------------------------------------
    // The host path behind a station path. Relative paths are resolved against the
    // current directory. Never fails; an unmappable path maps inside the station root.
    virtual std::string MapPath(const char* szWinPath) = 0;
    // The current directory in Windows form ("D:/QN64-ABRIX/Bin"). Writes at most
    // nSize - 1 characters and a NUL; returns the length written (0 on failure).
    virtual size_t GetCurrentDir(char* szBuf, size_t nSize) = 0;
    // Makes a station directory current. False (and a debug line) when it does not exist.
    virtual bool SetCurrentDir(const char* szWinPath) = 0;
    // Names of the directory entries matching a pattern such as "*.ABCDE" or
    // "d:/not_plate/*.ABCDE" (only '*' and '?' wildcards; letter case ignored), "." and
    // ".." excluded, in directory order. Empty when the directory is missing.
    virtual std::vector<std::string> FindFiles(const char* szWinPattern) = 0;
    virtual bool CopyFileTo(const char* szFrom, const char* szTo, bool bFailIfExists) = 0;
    // Deletes a file. On failure, when pszWhy is given, it receives the system's reason in
    // a few plain ASCII words ("Permission denied").
    virtual bool RemoveFile(const char* szWinPath, std::string* pszWhy = nullptr) = 0;
    // The identity of a file as it is now; false (and *pOut untouched) when it cannot be
    // read, for instance because the file is gone.
    virtual bool GetFileIdentity(const char* szWinPath, FileIdentity* pOut) = 0;
    // Creates one directory; false if it exists already or cannot be made.
    virtual bool MakeDirectory(const char* szWinPath) = 0;
    // fopen on the mapped path; null on failure.
    virtual FILE* OpenFile(const char* szWinPath, const char* szMode) = 0;
    // What the path names now (kOther: a device, a socket, ...). Any thread.
    virtual PathKind GetPathKind(const char* szWinPath) = 0;
    // Seconds since the file was last written, as the station's timers count them (real
    // seconds multiplied by the time scale); -1 when it cannot be read. Any thread.
    virtual int64_t FileAgeSeconds(const char* szWinPath) = 0;

    // ---- INI files (GetPrivateProfileStringA) ----------------------------------------
    // Copies the value of [section] key (both without regard to case, blanks around the
    // value trimmed) into szOut (at most nSize - 1 characters, NUL-terminated); szDefault
    // when the key or the file is missing. Returns the number of characters copied.
    virtual size_t ReadProfileString(const char* szSection, const char* szKey,
                                     const char* szDefault, char* szOut, size_t nSize,
                                     const char* szWinPath) = 0;

    // ---- Windows by title -----------------------------------------------------------
    // The window with exactly this title, or a null handle. Any thread.
    virtual WindowHandle FindWindowTitle(const char* szTitle) = 0;
    // Sends a message and waits for the handler's result, at most 5 s; 0 when the window
    // is gone or does not answer in time. Any thread.
    virtual intptr_t SendWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                       intptr_t lParam) = 0;
    // Posts a message without waiting. False when the window is gone.
    virtual bool PostWindowMessage(const WindowHandle& hWnd, uint32_t nMsg, uintptr_t wParam,
                                   intptr_t lParam) = 0;
    // Opens this process's window with a title: from now on messages sent or posted to it
    // reach the loop's handler. Control texts of the dialog (SetControlText) can be read
    // by other processes through it. False if the title is already held by a live window.
    virtual bool OpenOwnWindow(const char* szTitle) = 0;

    // ---- Message loop and timers ----------------------------------------------------
    // Runs the loop on the calling thread (the dialog thread) until QuitLoop; delivers
    // timers and window messages to the handler one at a time, and runs posted tasks.
    virtual void RunLoop(LoopHandler* pHandler) = 0;
    virtual void QuitLoop() = 0;
    // Arms (or re-arms) timer nId to fire every nPeriodMs (scaled). Any thread.
    virtual void StartTimer(uint32_t nId, uint32_t nPeriodMs) = 0;
    // Stops timer nId; no tick of it is delivered afterwards. Any thread.
    virtual void StopTimer(uint32_t nId) = 0;
    // Runs fn on the loop's thread, in order with timers and messages. Any thread.
    virtual void PostTask(std::function<void()> fn) = 0;

    // ---- Dialog controls ------------------------------------------------------------
    // Shows the dialog's controls in a terminal view (ncurses) while stdout is a terminal
    // and the program was not started headless; keys click the buttons and close the
    // dialog (delivered as window messages to the own window). No-op otherwise.
    virtual void ShowDialogView(const char* szCaption) = 0;
    // The dialog's control model (id -> UTF-8 text), readable by velmoractl. Any thread.
    virtual void SetControlText(int nId, const std::string& szText) = 0;
    virtual std::string GetControlText(int nId) = 0;

    // ---- Named file mappings --------------------------------------------------------
    // Opens an existing mapping for reading and writing. False when it does not exist.
    virtual bool OpenMapping(const char* szName, MappedView* pOut) = 0;
    // Creates (or opens, without changing its bytes) a mapping of nSize bytes.
    // *pbCreated tells whether it was new (zero-filled).
    virtual bool CreateMapping(const char* szName, size_t nSize, MappedView* pOut,
                               bool* pbCreated) = 0;
    virtual void CloseMapping(MappedView* pView) = 0;

    // ---- Processes ------------------------------------------------------------------
    // WinExec: starts "<dir>/<name>" given in Windows form, without a shell. nShow is
    // the SW_ value (recorded, not otherwise used on POSIX). False when it cannot start.
    virtual bool StartProgram(const char* szWinCommandLine, int nShow) = 0;
    // Ends the process at once with the status, after flushing the debug output.
    [[noreturn]] virtual void EndProcess(int nStatus) = 0;

    // ---- Debug output ---------------------------------------------------------------
    // OutputDebugStringA: a time-stamped line on stderr when VELMORA_DEBUG is set.
    virtual void DebugOutput(const char* szText) = 0;
    // False when DebugOutput would write nowhere: a caller may then skip formatting the line.
    virtual bool DebugWanted() { return true; }

    // ---- Events and sockets of the manager link ----------------------------------------
    virtual std::unique_ptr<Event> NewEvent(bool bManualReset) = 0;
    // Waits until one of the events is signalled or, when s is not kNoSocket, the socket
    // has a network event (readable or closed). Returns the index of the first signalled
    // event (an auto-reset event is cleared), nEvents for the socket, -1 on time-out.
    virtual int WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                                   uint32_t nTimeoutMs) = 0;
    // What happened on the socket since: kNetRead and/or kNetClose bits, 0 for nothing.
    virtual int EnumNetworkEvents(SocketHandle s) = 0;

    virtual SocketHandle SockOpenTcp() = 0;                       // kNoSocket on failure
    virtual bool SockSetLingerOff(SocketHandle s) = 0;            // SO_LINGER on, time 0
    virtual bool SockSetNoDelay(SocketHandle s) = 0;              // TCP_NODELAY 1
    virtual bool SockBind(SocketHandle s, uint16_t nPort) = 0;    // all local addresses
    // 1 when connected or under way, 0 on failure. nAddr in host order.
    virtual int SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) = 0;
    // Readiness mask for the sets in nMask; nTimeoutMs 65535 = no limit.
    virtual int SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) = 0;
    virtual bool SockSetBlocking(SocketHandle s, bool bBlocking) = 0;
    virtual bool SockSetSendTimeout(SocketHandle s, uint32_t nMs) = 0;
    virtual bool SockSetRecvTimeout(SocketHandle s, uint32_t nMs) = 0;
    virtual bool SockSetSendBuffer(SocketHandle s, int nBytes) = 0;
    virtual bool SockSetRecvBuffer(SocketHandle s, int nBytes) = 0;
    // Bytes read, 0 when nothing is there (would block), -1 on error.
    virtual int SockRecv(SocketHandle s, void* pBuf, int nSize) = 0;
    // Bytes taken by one send call, 0 when it would block, -1 on error.
    virtual int SockSend(SocketHandle s, const void* pBuf, int nSize) = 0;
    virtual bool SockClose(SocketHandle s) = 0;
    // First IPv4 address of this host (host order), 0 when the lookup fails.
    virtual uint32_t LocalIPv4() = 0;
    // Why the calling thread's last SockConnect or SockWait failed, in a few words:
    // "refused", "no route", "timed out", "bad address" or "error".
    virtual const char* SockLastFailure() = 0;

    // ---- Serial port ------------------------------------------------------------------
    // Whether the device SerialOpen would open exists (it is not opened).
    virtual bool SerialDeviceExists(const char* szDevice) = 0;
    // Opens a device (Windows "COM3" or a host device path) raw at nBaud. Invalid on failure.
    virtual SerialHandle SerialOpen(const char* szDevice, int nBaud) = 0;
    // Waits up to nTimeoutMs until characters arrived or pStop is signalled.
    // Returns 1 characters waiting (*pnQueued = count), 0 time-out, -1 stop, -2 port gone.
    virtual int SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) = 0;
    // Reads what is queued (at most nSize bytes) / writes nSize bytes. Bytes moved, -1 on
    // failure with the operating system's error code in *pnError (errno, GetLastError);
    // *pnError is 0 on success. pnError may be null.
    virtual int SerialRead(SerialHandle h, void* pBuf, int nSize, int* pnError) = 0;
    virtual int SerialWrite(SerialHandle h, const void* pBuf, int nSize, int* pnError) = 0;
    virtual void SerialClose(SerialHandle h) = 0;  // drops DTR, purges, closes
};

// Options common to every program of the station, taken from the command line and the
// environment: --root DIR (or VELMORA_ROOT; default: the current directory), --headless,
// VELMORA_TIME_SCALE (timers, sleeps and time-outs divided by it), VELMORA_DEBUG. Sets
// up the default back-end; the arguments it does not know are left in *pRest (argv[0]
// excluded). False with *pError on a bad option.
bool InitPlatform(int argc, char** argv, std::vector<std::string>* pRest, std::string* pError);
// The station root the default back-end works in (host path).
std::string StationRoot();
// The version of the station's programs ("1.0.0").
const char* VelmoraVersion();

// One station per root. LockStationRoot makes the calling process the station of its root
// (POSIX: an flock on ROOT/.velmora.lock, which dies with the process, so a lock left by
// a crash or SIGKILL is free again at once; Windows: the named mutex
// "Global\\VelmoraStation", one station per machine). kHeld when another process holds it
// (*pszWhy says which, when known), kFailed when the lock cannot be taken (a lock file
// that is not a regular file of ours, no permission). Call once, before anything else
// touches the root; the lock lasts until the process ends.
enum class RootLock { kTaken, kHeld, kFailed };
RootLock LockStationRoot(std::string* pszWhy);

// Sends state lines ("READY=1", "WATCHDOG=1", "STOPPING=1") to the service manager that
// started the program (systemd's NOTIFY_SOCKET datagram protocol). False, and nothing
// sent, when there is none (always on Windows). Any thread.
bool NotifyServiceManager(const char* szState);
// The watchdog period the service manager asked for (WATCHDOG_USEC for this process), in
// milliseconds; 0 when none.
uint64_t ServiceWatchdogMs();

// True when the environment setting VELMORA_CLOCK_OFFSET is set (to anything but "" or
// "0"): the station then keeps its time as an offset whatever its configuration says.
// Test harnesses, benchmarks and the demo always export it, so that no run on a
// developer's machine (tests run as root) can move that machine's clock.
bool ClockOffsetForced();

// Shorthand for the process-wide instance.
inline Env* env() { return Env::Default(); }

// Conversions between Time64 seconds and local calendar time in the process's zone
// (_localtime64 and _mktime64 with the daylight flag left to the library).
LocalTime LocalTimeFromTime64(int64_t t);
int64_t Time64FromLocal(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond);

// Text conversion at the boundaries where the station writes CP949 bytes.
// Characters that have no CP949 form become '?'.
std::string Utf8ToCp949(const std::string& szUtf8);
std::string Cp949ToUtf8(const std::string& szCp949);

}  // namespace vplat
