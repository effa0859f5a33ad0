// PosixLoop: work queue and coalescing timers, delivered on the loop's thread, and the
// termination request that closes the own window while the loop runs.
#include "platform/posix/loop_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <utility>

namespace vplat {

namespace {
volatile sig_atomic_t g_nTermFd = -1;  // write end of the termination pipe, for the handler

void OnTermSignal(int) {
    const int nFd = g_nTermFd;
    const char c = 1;
    if (nFd >= 0) {
        const ssize_t n = write(nFd, &c, 1);
        (void)n;
    }
}
}  // namespace

void PosixLoop::Run(LoopHandler* pHandler) {
    // A termination request closes the own window, so the program ends through its own
    // shutdown path.
    int nPipe[2] = {-1, -1};
    std::thread watcher;
    struct sigaction saOld {};
    bool bHandler = false;
    if (pipe2(nPipe, O_CLOEXEC) == 0) {
        g_nTermFd = nPipe[1];
        struct sigaction sa {};
        sa.sa_handler = OnTermSignal;
        sigemptyset(&sa.sa_mask);
        bHandler = sigaction(SIGTERM, &sa, &saOld) == 0;
        const int nRead = nPipe[0];
        watcher = std::thread([this, nRead] {
            char c = 0;
            while (read(nRead, &c, 1) == 1 && c == 1) PostToHandler(kMsgClose, 0, 0);
        });
    } else {
        m_pEnv->DebugFailure("pipe", "", errno);
    }
    Deliver(pHandler);
    if (bHandler) sigaction(SIGTERM, &saOld, nullptr);
    if (watcher.joinable()) {
        g_nTermFd = -1;
        const char c = 0;  // ends the watcher
        const ssize_t n = write(nPipe[1], &c, 1);
        (void)n;
        watcher.join();
        close(nPipe[0]);
        close(nPipe[1]);
    }
}

void PosixLoop::Deliver(LoopHandler* pHandler) {
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

void PosixLoop::PostToHandler(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    Post([nMsg, wParam, lParam](LoopHandler* pHandler) {
        if (pHandler != nullptr) pHandler->OnLoopMessage(nMsg, wParam, lParam);
    });
}

bool PosixLoop::OnLoopThread() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bRunning && m_loopThread == std::this_thread::get_id();
}

}  // namespace vplat
