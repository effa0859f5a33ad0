// The message loop of the POSIX back-end: one queue of work items (posted tasks and
// window messages) and a set of periodic timers on the monotonic clock, delivered one at
// a time on the thread that runs the loop. Timers coalesce like WM_TIMER: a late timer
// fires once, never in a burst to catch up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace vplat {

class PosixLoop final {
  public:
    // A work item; gets the loop's handler (null when Run was given none).
    using Work = std::function<void(LoopHandler*)>;

    PosixLoop() = default;
    PosixLoop(const PosixLoop&) = delete;
    PosixLoop& operator=(const PosixLoop&) = delete;

    // Delivers work and timers until Quit. A Quit that came before Run ends the next Run
    // at once.
    void Run(LoopHandler* pHandler);
    void Quit();
    // Arms timer nId with a period in real microseconds (at least 1). Any thread.
    void StartTimer(uint32_t nId, int64_t nPeriodUs);
    // Disarms timer nId; no tick of it starts afterwards. Any thread.
    void StopTimer(uint32_t nId);
    void Post(Work fn);
    // True on the thread inside Run.
    bool OnLoopThread();
    // The handler of the running loop (null when not running); for the loop thread only.
    LoopHandler* Handler() const { return m_pHandler; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        std::chrono::microseconds period;  // real period
        Clock::time_point due;             // next tick
    };

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
