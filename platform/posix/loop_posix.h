// The message loop of the POSIX back-end: one queue of work items (posted tasks and
// window messages) and a set of periodic timers on the monotonic clock, delivered one at
// a time on the thread that runs the loop. Timers coalesce like WM_TIMER: a late timer
// fires once, never in a burst to catch up. While it runs, a termination request
// (SIGTERM: systemctl stop, kill) closes the own window, as an outside WM_CLOSE does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/host_env.h"

namespace vplat {

class PosixLoop final : public HostLoop {
  public:
    explicit PosixLoop(HostEnv* pEnv) : m_pEnv(pEnv) {}

    void Run(LoopHandler* pHandler) override;
    void Quit() override;
    void StopTimer(uint32_t nId) override;
    void Post(Work fn) override;
    // Arms timer nId with a period in real microseconds (at least 1). Any thread.
    void StartTimer(uint32_t nId, int64_t nPeriodUs);
    // Hands a message to the loop as if it had been posted to the own window.
    void PostToHandler(uint32_t nMsg, uintptr_t wParam, intptr_t lParam);
    // True on the thread inside Run.
    bool OnLoopThread();
    // The handler of the running loop (null when not running); for the loop thread only.
    LoopHandler* Handler() const { return m_pHandler; }

  private:
    // Delivers work and timers until Quit.
    void Deliver(LoopHandler* pHandler);

    using Clock = std::chrono::steady_clock;
    struct Timer {
        std::chrono::microseconds period;  // real period
        Clock::time_point due;             // next tick
    };

    HostEnv* m_pEnv;                     // debug output
    std::mutex m_mutex;                  // guards everything below but m_pHandler
    std::condition_variable m_cv;        // work, timers or quit changed
    std::deque<Work> m_queue;            // work in arrival order
    std::map<uint32_t, Timer> m_timers;  // armed timers by id
    bool m_bQuit = false;                // Quit called, Run not yet returned
    bool m_bRunning = false;             // a thread is inside Run
    std::thread::id m_loopThread;        // the thread inside Run
    LoopHandler* m_pHandler = nullptr;   // handler of the running loop (loop thread only)
};

}  // namespace vplat
