// The fake back-end for unit tests. Files, mappings, events and sockets go to a real
// back-end rooted at a temporary directory; the clock, sleeps, timers and the message
// loop, windows, started programs, debug output, control texts and process end are
// simulated so that a test sets and advances time, plays sibling windows and reads what
// the station sent them. Faults can be switched on for the manager link's socket (refused
// connect, short or failing sends, dropped link) and for the modem (silent port), counted
// the way SQLite's test_syscall counts: the Nth call fails, once or from then on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/env_wrapper.h"
#include "platform/platform.h"

namespace vplat {

// Thrown by FakeEnv::EndProcess in place of ending the test process.
struct FakeProcessEnd {
    int nStatus;  // the status the station ended with
};

// A message sent or posted to a window (FakeEnv::Messages).
struct FakeMessage {
    std::string szTitle;  // window title
    uint32_t nMsg;        // message number
    uintptr_t wParam;     // wParam
    intptr_t lParam;      // lParam
    bool bPosted;         // PostWindowMessage (else SendWindowMessage)
    uint64_t nAtMs;       // fake monotonic time of the call
};

// A program started through StartProgram.
struct FakeProgram {
    std::string szCommandLine;  // as given
    int nShow;                  // SW_ value
};

class FakeEnv final : public EnvWrapper {
  public:
    // Files "D:/x" live at szRoot/d/x (szRoot must exist). The clock starts at
    // 2026-01-01 00:00:00 local time and the monotonic clock at 0.
    explicit FakeEnv(const std::string& szRoot);
    ~FakeEnv() override;

    // Makes this the process-wide Env (and back).
    void Install();
    void Uninstall();

    // ---- Time ---------------------------------------------------------------------------
    void SetTime64(int64_t nTime);
    // Moves local and monotonic time forward; every timer that falls due on the way fires
    // (in time order, each tick at its own time) on the calling thread through the loop
    // handler, after the posted tasks that are waiting have run.
    void AdvanceMs(uint64_t nMs);
    void SetLoopHandler(LoopHandler* pHandler);
    // Runs the posted tasks waiting now, on the calling thread. Returns how many ran.
    size_t RunPostedTasks();
    // The armed period of timer nId as the core gave it; 0 when not armed.
    uint32_t TimerPeriod(uint32_t nId);
    // True when SetLocalClock was called (with the value it set).
    bool ClockWasSet(LocalTime* pSet = nullptr);

    // ---- Windows --------------------------------------------------------------------------
    // A sibling window; SendWindowMessage to it answers nResult.
    void AddWindow(const std::string& szTitle, intptr_t nResult = 0);
    void RemoveWindow(const std::string& szTitle);
    // Plays the sibling behind window szTitle: fn runs for every message sent to it (on
    // the sender's thread, outside the fake's lock, after the message is recorded) and
    // its result is the answer. fn may look at the station, add or remove windows.
    using WindowFn = std::function<intptr_t(uint32_t nMsg, uintptr_t wParam, intptr_t lParam)>;
    void SetWindowHandler(const std::string& szTitle, WindowFn fn);
    std::vector<FakeMessage> Messages();
    void ClearMessages();
    // The title OpenOwnWindow was given ("" before).
    std::string OwnWindowTitle();

    // ---- Programs, debug output ---------------------------------------------------------
    std::vector<FakeProgram> StartedPrograms();
    // StartProgram fails from now on (true) or succeeds again (false).
    void FailStartProgram(bool bFail);
    std::vector<std::string> DebugLines();
    void ClearDebugLines();

    // ---- Faults -------------------------------------------------------------------------
    // The nth SockSend from now answers -1; bPersist: and every later one.
    void FailSend(int nNth, bool bPersist);
    // Every SockSend takes at most nBytes (0 = no limit).
    void LimitSendBytes(int nBytes);
    // The modem takes and answers nothing: SerialWait only times out or stops, a write
    // takes no byte (the port's write time-out).
    void SetModemSilent(bool bSilent);
    // RemoveFile fails ("Permission denied") from now on (true) or works again (false):
    // a read-only violation directory, which root cannot have on the host.
    void FailRemoveFile(bool bFail);
    // The peer reads nBytes more and then nothing for nForMs of fake time (-1: never again;
    // nBytes -1 ends a stall): SockSend takes at most what is left, then answers 0 (would
    // block); a SockWait for writability moves the fake clock to the stall's end and goes
    // on when that comes within its time-out, or else moves it by the whole time-out and
    // answers 0: a Manager PC that stops reading, without the kernel's real wait.
    void StallSendsAfter(int nBytes, int64_t nForMs);

    // ---- Waits on the fake clock ----------------------------------------------------------
    // On: a WaitEventsOrSocket without a socket, with a time-out, on another thread than
    // the caller's (the test's own waits, such as CloseLinkNow's, stay real bounds) that
    // finds none of its events set moves the fake clock by the whole time-out at once and
    // answers -1 (the link thread's reconnect wait). Off (the default): real time.
    void WaitOnFakeClock(bool bOn);
    // While held, such a wait stays until its events end it or the hold is lifted (then it
    // moves the clock as above): the test looks at the station parked in that wait.
    void HoldIdleWaits(bool bHold);
    // Waits on the fake clock that found nothing ready so far (held or not).
    int IdleWaits();
    // Threads other than WaitOnFakeClock's caller inside a WaitEventsOrSocket now, on
    // either clock: the station's thread is back in its wait, so a wake-up it gets now
    // is consumed there and not left over for a later wait.
    int ThreadsWaiting();
    // From now on connects ('+' made, '-' failed) and sends ('>') are noted with the fake
    // time since this call: "-0 +3000 >3300 ".
    void TraceSockets();
    std::string SocketTrace();
    // The most bytes any SockRecv has asked for so far (the free space its caller offered).
    int LargestReceiveAsked();

    // ---- Env ------------------------------------------------------------------------------
    LocalTime GetLocalTimeNow() override;
    int64_t Time64() override;
    bool SetLocalClock(const LocalTime& t) override;
    void SetMachineClockAllowed(bool bAllowed) override;
    uint64_t MonotonicMs() override;
    void SleepMs(uint32_t nMs) override;
    uint32_t ScaleMs(uint32_t nMs) override;

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

    bool StartProgram(const char* szWinCommandLine, int nShow) override;
    [[noreturn]] void EndProcess(int nStatus) override;
    void DebugOutput(const char* szText) override;
    bool DebugWanted() override { return true; }  // every line is recorded

    int SockConnect(SocketHandle s, uint32_t nAddr, uint16_t nPort) override;
    int SockRecv(SocketHandle s, void* pBuf, int nSize) override;
    int SockSend(SocketHandle s, const void* pBuf, int nSize) override;
    int SockWait(SocketHandle s, int nMask, uint32_t nTimeoutMs) override;
    int WaitEventsOrSocket(Event* const* ppEvents, int nEvents, SocketHandle s,
                           uint32_t nTimeoutMs) override;
    int SerialWait(SerialHandle h, Event* pStop, uint32_t nTimeoutMs, int* pnQueued) override;
    int SerialWrite(SerialHandle h, const void* pBuf, int nSize, int* pnError) override;
    bool RemoveFile(const char* szWinPath, std::string* pszWhy = nullptr) override;

  private:
    // A counted fault: fires when the countdown reaches 0, then stays on when persistent.
    struct Fault {
        int nCountdown = 0;     // calls left before the failing one; 0 = off
        bool bPersist = false;  // keeps failing once it fired
        bool bFiring = false;   // fired and persistent
    };
    static bool Hit(Fault* pFault);
    // Fires the next due timer at or before nUntilMs; false when none is due.
    bool FireNextTimer(uint64_t nUntilMs);
    // Moves the clocks nMs forward without firing timers (m_mutex held).
    void MoveClockLocked(uint64_t nMs);
    // Notes c with the fake time since TraceSockets (m_mutex held).
    void NoteLocked(char c);

    std::unique_ptr<Env> m_pHost;  // real back-end rooted at the test's directory
    Env* m_pPrevious = nullptr;    // the Env before Install
    bool m_bInstalled = false;     // Install called without Uninstall

    std::mutex m_mutex;                 // guards everything below
    std::condition_variable m_loopCv;   // RunLoop's wake-up: tasks or quit
    int64_t m_nTime64 = 0;              // local clock, whole seconds
    uint64_t m_nMonoMs = 0;             // monotonic milliseconds
    uint32_t m_nSubSecondMs = 0;        // milliseconds into the current second
    bool m_bClockSet = false;           // SetLocalClock called
    LocalTime m_clockSet;               // the last value it set
    LoopHandler* m_pHandler = nullptr;  // receives timers and own messages
    struct TimerEntry {
        uint32_t nPeriodMs;  // period as given
        uint64_t nDueMs;     // monotonic time of the next tick
    };
    std::map<uint32_t, TimerEntry> m_timers;             // armed timers
    std::vector<std::function<void()>> m_tasks;          // posted, not yet run
    bool m_bQuit = false;                                // QuitLoop called
    std::map<std::string, intptr_t> m_windows;           // sibling windows and their results
    std::map<std::string, WindowFn> m_windowFns;         // siblings played by the test
    std::string m_szOwnTitle;                            // OpenOwnWindow's title
    std::vector<FakeMessage> m_messages;                 // sent and posted messages
    std::vector<FakeProgram> m_programs;                 // started programs
    bool m_bFailStart = false;                           // StartProgram fails
    std::vector<std::string> m_debugLines;               // DebugOutput lines
    std::map<int, std::string> m_controls;               // control model
    Fault m_sendFault;                                   // SockSend faults
    int m_nSendLimit = 0;                                // bytes per send, 0 = any
    bool m_bModemSilent = false;                         // the modem says nothing
    bool m_bFailRemove = false;                          // RemoveFile fails
    int64_t m_nStallLeft = -1;                           // bytes before the stall; -1 = none
    int64_t m_nStallForMs = -1;                          // its length; -1 = for good
    uint64_t m_nStallEndMs = 0;                          // fake time it ends (once begun)
    bool m_bFakeWaits = false;                           // WaitOnFakeClock
    std::thread::id m_realWaits;                         // the thread that called it
    bool m_bHoldWaits = false;                           // HoldIdleWaits
    int m_nIdleWaits = 0;                                // IdleWaits
    int m_nWaiting = 0;                                  // ThreadsWaiting
    bool m_bTrace = false;                               // TraceSockets called
    uint64_t m_nTraceStartMs = 0;                        // fake time of that call
    std::string m_szTrace;                               // SocketTrace
    int m_nLargestRecv = 0;                              // LargestReceiveAsked
};

}  // namespace vplat
