// The POSIX back-end of the platform interface: station paths mapped under a root
// directory, the message loop and timers on the monotonic clock, windows as Unix-domain
// sockets, eventfd events, BSD sockets, termios serial ports, mmap'ed named mappings,
// posix_spawn for programs and an ncurses view of the dialog. The methods are spread
// over the *_posix.cc files of this folder by subject.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace vplat {

class PosixLoop;
class WindowBusServer;
class TerminalView;

// How a PosixEnv was set up.
struct PosixOptions {
    std::string szRoot;       // station root (host directory, no trailing '/')
    std::string szStartDir;   // host directory the current directory starts at
    bool bHeadless = false;   // never show the terminal view
    double dTimeScale = 1.0;  // periods, sleeps and time-outs divided by this (>= 1)
    bool bDebug = false;      // DebugOutput writes to stderr
    bool bRealChdir = false;  // SetCurrentDir also changes the process's directory
};

class PosixEnv final : public Env {
  public:
    explicit PosixEnv(const PosixOptions& opts);
    ~PosixEnv() override;
    PosixEnv(const PosixEnv&) = delete;
    PosixEnv& operator=(const PosixEnv&) = delete;

    const PosixOptions& Options() const { return m_opts; }
    // Host path of the socket that stands for the window with this title.
    std::string WindowSocketPath(const std::string& szTitle) const;
    // Lines "<id> <text>\n" of the control model, ordered by id.
    std::string DescribeControls();
    // Hands a message to the loop as if it had been posted to the own window.
    void PostToOwnLoop(uint32_t nMsg, uintptr_t wParam, intptr_t lParam);

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
    // Debug line about a failed call: "<what> <path>: <strerror>".
    void DebugFailure(const char* szWhat, const std::string& szPath, int nErr);
    // Host directory that stands for the current directory.
    std::string CurrentHostDir();

    PosixOptions m_opts;                         // set-up, fixed after construction
    std::atomic<int64_t> m_nClockOffsetSec{0};   // station clock minus machine clock
    std::atomic<bool> m_bMachineClock{false};    // SetLocalClock moves the machine clock
    std::mutex m_cwdMutex;                       // guards m_szCwd
    std::string m_szCwd;                         // host path of the current directory
    std::mutex m_controlMutex;                   // guards m_controls
    std::map<int, std::string> m_controls;       // dialog control model, id -> text
    std::unique_ptr<PosixLoop> m_pLoop;          // message loop and timers
    std::unique_ptr<WindowBusServer> m_pWindow;  // own window, once opened
    std::mutex m_windowMutex;                    // guards m_pWindow, m_szOwnWindowPath
    std::string m_szOwnWindowPath;               // socket path of the own window
    std::unique_ptr<TerminalView> m_pView;       // terminal view, once shown
};

// Sets the hook that EndProcess runs before the process ends (the terminal view's endwin).
void SetEndProcessHook(void (*pfnHook)());

}  // namespace vplat
