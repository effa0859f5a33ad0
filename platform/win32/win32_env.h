// The Win32 back-end of the platform interface: station paths on the machine's real
// drives (or, for a rooted instance, under a directory of drive folders), the clock from
// GetLocalTime with an offset or SetLocalTime, Win32 events, Winsock 2 with event
// selection, overlapped serial I/O on COM ports, file mappings by name, WinExec, and the
// dialog as a real window with a Win32 message loop. No Windows header is included here:
// handles are kept as void* and DWORD error codes as unsigned long, so that a file of
// the core that happens to see this header never sees the Win32 macros.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace vplat {

class Win32Loop;
class Win32Dialog;

// How a Win32Env was set up.
struct Win32Options {
    std::string szRoot;       // station root: side files (window logs); drive folders when mapped
    bool bMapDrives = false;  // station paths map to szRoot/<drive letter>/<rest>
    std::string szStartDir;   // mapped: host directory the current directory starts at
    bool bHeadless = false;   // never show the dialog window
    double dTimeScale = 1.0;  // periods, sleeps and time-outs divided by this (>= 1)
    bool bDebug = false;      // DebugOutput also writes to stderr
};

// Where the methods live:
//   env_win32.cc       set-up (InitPlatform, StationRoot, NewHostEnv), clock, debug output,
//                      EndProcess
//   files_win32.cc     MapPath, current directory, FindFiles, copy / remove / make
//                      directory, OpenFile, ReadProfileString, named mappings
//   process_win32.cc   StartProgram
//   net_win32.cc       NewEvent, WaitEventsOrSocket, EnumNetworkEvents, Sock*, LocalIPv4
//   serial_win32.cc    Serial*
//   text_win32.cc      LocalTimeFromTime64, Time64FromLocal, Utf8ToCp949, Cp949ToUtf8
//   window_bus_win32.cc    FindWindowTitle, SendWindowMessage, PostWindowMessage,
//                          OpenOwnWindow
//   window_client_win32.cc QueryControls, ClickControl, CloseWindowTitle (window_bus.h)
//   loop_win32.cc      RunLoop, QuitLoop, StartTimer, StopTimer, PostTask (Win32Loop)
//   view_win32.cc      ShowDialogView, SetControlText, GetControlText, DescribeControls
//                      (Win32Dialog)
// The constructor makes the loop as std::make_unique<Win32Loop>(this) (loop_win32.h);
// the dialog window is made by ShowDialogView (view_win32.h).
class Win32Env final : public Env {
  public:
    explicit Win32Env(const Win32Options& opts);
    ~Win32Env() override;
    Win32Env(const Win32Env&) = delete;
    Win32Env& operator=(const Win32Env&) = delete;

    const Win32Options& Options() const { return m_opts; }
    // Lines "<id> <text>\n" of the control model, ordered by id.
    std::string DescribeControls();
    // Debug line about a failed call: "<what> <path>: <system message> (<code>)".
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
    // Mapped instances: the host directory that stands for the current directory.
    std::string CurrentHostDir();
    // The kernel object name of a named mapping (rooted instances keep theirs apart).
    std::string MappingObjectName(const char* szName) const;

    Win32Options m_opts;                        // set-up, fixed after construction
    std::atomic<int64_t> m_nClockOffsetSec{0};  // station clock minus machine clock
    std::atomic<bool> m_bMachineClock{false};   // SetLocalClock moves the machine clock
    int64_t m_nPerfFrequency = 0;               // QueryPerformanceCounter ticks per second
    std::mutex m_cwdMutex;                      // guards m_szCwd
    std::string m_szCwd;                        // mapped instances: host current directory
    std::mutex m_controlMutex;                  // guards m_controls
    std::map<int, std::string> m_controls;      // dialog control model, id -> UTF-8 text
    std::unique_ptr<Win32Loop> m_pLoop;         // message loop, timers, own window
    std::unique_ptr<Win32Dialog> m_pDialog;     // dialog window, once shown
};

}  // namespace vplat
