// PosixLoop: work queue and coalescing timers, delivered on the loop's thread.
#include "platform/posix/loop_posix.h"

#include <utility>

namespace vplat {

void PosixLoop::Run(LoopHandler* pHandler) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bRunning = true;
    m_loopThread = std::this_thread::get_id();
    m_pHandler = pHandler;
    while (!m_bQuit) {
        if (!m_queue.empty()) {
            Work fn = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            fn(pHandler);
            fn = nullptr;  // captured resources go before the lock is taken again
            lock.lock();
            continue;
        }
        const Clock::time_point now = Clock::now();
        auto itDue = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            if (itDue == m_timers.end() || it->second.due < itDue->second.due) itDue = it;
        }
        if (itDue != m_timers.end() && itDue->second.due <= now) {
            Timer& t = itDue->second;
            t.due += t.period;
            if (t.due <= now) t.due = now + t.period;  // late: one tick, no catch-up
            const uint32_t nId = itDue->first;
            lock.unlock();
            if (pHandler != nullptr) pHandler->OnLoopTimer(nId);
            lock.lock();
            continue;
        }
        if (itDue == m_timers.end()) {
            m_cv.wait(lock);
        } else {
            // A copy: StopTimer may erase the timer while this thread waits.
            const Clock::time_point due = itDue->second.due;
            m_cv.wait_until(lock, due);
        }
    }
    m_bQuit = false;
    m_bRunning = false;
    m_pHandler = nullptr;
    m_loopThread = std::thread::id();
}

void PosixLoop::Quit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
    m_cv.notify_all();
}

void PosixLoop::StartTimer(uint32_t nId, int64_t nPeriodUs) {
    if (nPeriodUs < 1) nPeriodUs = 1;
    std::lock_guard<std::mutex> lock(m_mutex);
    Timer& t = m_timers[nId];
    t.period = std::chrono::microseconds(nPeriodUs);
    t.due = Clock::now() + t.period;
    m_cv.notify_all();
}

void PosixLoop::StopTimer(uint32_t nId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.erase(nId);
    m_cv.notify_all();
}

void PosixLoop::Post(Work fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(fn));
    m_cv.notify_all();
}

bool PosixLoop::OnLoopThread() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bRunning && m_loopThread == std::this_thread::get_id();
}

}  // namespace vplat
