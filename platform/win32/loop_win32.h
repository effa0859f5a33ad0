// The message loop of the Win32 back-end: a GetMessage / DispatchMessage pump on the
// thread that runs it, a hidden top-level window of its own (the carrier) that holds the
// process's window title until the dialog takes it over and receives the loop's private
// messages, window timers (SetTimer / KillTimer on the dialog once it exists, else on the
// carrier) and a queue of work items. Calls from other threads are handed to the loop's
// thread by a message posted to the carrier. The carrier, the dialog and the loop must
// all belong to one thread: the one that calls OpenOwnWindow, ShowDialogView and
// RunLoop. No Windows header here: windows are void* (HWND), messages plain integers.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/host_env.h"

namespace vplat {

// The back-end's private messages (in the WM_APP range, never handed to the program).
constexpr uint32_t kMsgLoopWake = 0xBF00;         // to the carrier: work or timer changes wait
constexpr uint32_t kMsgControlsChanged = 0xBF01;  // to the dialog: control texts changed

class Win32Loop final : public HostLoop {
  public:
    explicit Win32Loop(HostEnv* pEnv);
    ~Win32Loop() override;  // destroys the carrier (on its thread; elsewhere left to the process)

    // Delivers window messages, timers and work.
    void Run(LoopHandler* pHandler) override;
    void Quit() override;
    void StopTimer(uint32_t nId) override;
    void Post(Work fn) override;
    // Arms (or re-arms) timer nId with a real period in milliseconds. Any thread.
    void StartTimer(uint32_t nId, uint32_t nPeriodMs);

    // Gives the carrier a title (creating the carrier on the calling thread first); an
    // empty title takes it away. False when the window cannot be made.
    bool SetCarrierTitle(const std::string& szTitle);
    // Keeps hMutex (a HANDLE: the named mutex that claims the window's title across
    // processes) until the next claim or the loop's end; the previous one is released.
    void HoldTitleClaim(void* hMutex);
    // The carrier's title ("" when there is no carrier or it has none).
    std::string CarrierTitle() const;
    void* Carrier() const { return m_hCarrier.load(); }
    // True on the thread the loop's windows belong to.
    bool OnWindowThread() const;
    // Moves the timers to hWnd (the dialog, which then also gets the dialog keys), or back
    // to the carrier when null. Loop thread.
    void SetTimerWindow(void* hWnd);

    // For the window procedures of the loop's windows: handles the loop's own messages
    // (its wake-up, timer ticks) and answers true; false for any other message.
    bool HandleOwnMessage(void* hWnd, uint32_t nMsg, uintptr_t wParam, intptr_t lParam);
    // Hands a window message of the own window to the handler; 0 when there is none.
    intptr_t Deliver(uint32_t nMsg, uintptr_t wParam, intptr_t lParam);
    // Whether a message that reached one of the loop's windows belongs to the program
    // (sent or posted by a program, a button or the user), as opposed to the window
    // manager's own traffic. bDialog: the window is a dialog, whose first user messages
    // are the dialog manager's.
    static bool IsProgramMessage(uint32_t nMsg, bool bDialog);

  private:
    // Creates the carrier on the calling thread when there is none. False on failure.
    bool EnsureCarrier();
    // Posts the wake-up to the carrier unless one is on its way. Caller holds m_mutex.
    void WakeLocked();
    // Runs the queued work and applies the queued timer changes. Loop thread.
    void Drain();
    // Records timer nId's real period (0: stopped). True when the caller is on the window
    // thread and changes the window timer itself; else the change is handed to that thread.
    bool NoteTimer(uint32_t nId, uint32_t nPeriodMs);
    // SetTimer / KillTimer on the current timer window. Loop thread.
    void ArmOnWindow(uint32_t nId, uint32_t nPeriodMs);
    void DisarmOnWindow(uint32_t nId);

    HostEnv* m_pEnv;                              // debug output
    std::atomic<void*> m_hCarrier{nullptr};       // HWND of the carrier, once made
    unsigned long m_nWindowThread = 0;            // thread id of the carrier (set before it)
    void* m_hTimerWindow = nullptr;               // HWND the timers are set on (window thread)
    void* m_hDialog = nullptr;                    // HWND of the dialog, if any (window thread)
    void* m_hTitleClaim = nullptr;                // HANDLE of the title's named mutex
    mutable std::mutex m_mutex;                   // guards the members below up to m_bWakePosted
    std::deque<Work> m_queue;                     // work in arrival order
    std::map<uint32_t, uint32_t> m_timers;        // armed timers: id -> real period (ms)
    std::set<uint32_t> m_timerTodo;               // timers whose window timer is not up to date
    bool m_bWakePosted = false;                   // a wake-up is in the carrier's queue
    std::atomic<bool> m_bQuit{false};             // Quit called, Run not yet returned
    std::atomic<unsigned long> m_nLoopThread{0};  // thread id inside Run, 0 when none
    LoopHandler* m_pHandler = nullptr;            // handler of the running loop (loop thread)
};

}  // namespace vplat
