// The POSIX message loop and clock: timers with a time scale, stopping that holds, timers
// and tasks from other threads, quitting, and the scaled monotonic clock and time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/env_wrapper.h"
#include "platform/posix/posix_env.h"
#include "tests/unit/platform_test_util.h"

namespace {

class TickCounter : public vplat::LoopHandler {
  public:
    TickCounter() = default;
    void OnLoopTimer(uint32_t nId) override {
        int nNow;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            nNow = ++m_ticks[nId];
            m_order.push_back("T" + std::to_string(nId));
        }
        if (m_fnOnTick) m_fnOnTick(nId, nNow);
    }
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t, intptr_t) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_order.push_back("M" + std::to_string(nMsg));
        return 0;
    }
    int Ticks(uint32_t nId) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ticks[nId];
    }
    std::vector<std::string> Order() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_order;
    }
    std::function<void(uint32_t, int)> m_fnOnTick;  // called on each tick (loop thread)

  private:
    std::mutex m_mutex;                // guards the counters
    std::map<uint32_t, int> m_ticks;   // ticks per timer id
    std::vector<std::string> m_order;  // deliveries in order
};

class LoopTest : public ::testing::Test {
  protected:
    // A time scale of 1000: the station's 10 s tick comes every 10 ms.
    LoopTest() : m_env(Options()), m_counter() {}
    vplat::PosixOptions Options() {
        vplat::PosixOptions opts;
        opts.szRoot = m_root.Path();
        opts.szStartDir = m_root.Path();
        opts.bHeadless = true;
        opts.dTimeScale = 1000;
        return opts;
    }
    vtest::TempRoot m_root;
    vplat::PosixEnv m_env;
    TickCounter m_counter;
};

TEST_F(LoopTest, ScaledTimerFiresUntilTheLoopQuits) {
    m_counter.m_fnOnTick = [this](uint32_t, int nTicks) {
        if (nTicks == 3) m_env.QuitLoop();
    };
    m_env.StartTimer(21, 10000);
    m_env.RunLoop(&m_counter);
    EXPECT_EQ(3, m_counter.Ticks(21));
}

TEST_F(LoopTest, StoppedTimerDeliversNoMoreTicks) {
    // Timer 7 stops itself on its third tick; timer 8 keeps the loop going for a while.
    m_counter.m_fnOnTick = [this](uint32_t nId, int nTicks) {
        if (nId == 7 && nTicks == 3) m_env.StopTimer(7);
        if (nId == 8 && nTicks == 30) m_env.QuitLoop();
    };
    m_env.StartTimer(7, 1000);
    m_env.StartTimer(8, 2000);
    m_env.RunLoop(&m_counter);
    EXPECT_EQ(3, m_counter.Ticks(7));
}

TEST_F(LoopTest, TimersAndTasksComeFromAnyThread) {
    std::atomic<int> nStopSeen{-1};
    std::thread loop([this] { m_env.RunLoop(&m_counter); });
    std::thread other([&] {
        m_env.StartTimer(1, 1000);
        m_env.StartTimer(2, 1000);
        ASSERT_TRUE(vtest::WaitFor([&] { return m_counter.Ticks(1) >= 3; }));
        m_env.StopTimer(1);
        nStopSeen = m_counter.Ticks(1);
        ASSERT_TRUE(vtest::WaitFor([&] { return m_counter.Ticks(2) >= m_counter.Ticks(1) + 20; }));
        for (int i = 0; i < 50; ++i)
            m_env.PostTask([this, i] { m_counter.OnLoopMessage(i, 0, 0); });
        m_env.PostTask([this] { m_env.QuitLoop(); });
    });
    other.join();
    loop.join();
    // A tick that was already being delivered when StopTimer returned may still end; no
    // later one starts.
    EXPECT_LE(m_counter.Ticks(1), nStopSeen.load() + 1);
    std::vector<std::string> tasks;
    for (const std::string& s : m_counter.Order()) {
        if (s[0] == 'M') tasks.push_back(s);
    }
    ASSERT_EQ(50u, tasks.size());
    for (int i = 0; i < 50; ++i) EXPECT_EQ("M" + std::to_string(i), tasks[i]) << "posted order";
}

TEST_F(LoopTest, QuitBeforeRunEndsTheNextRunAtOnce) {
    m_env.QuitLoop();
    m_env.RunLoop(&m_counter);
    // The loop runs again afterwards.
    m_env.PostTask([this] { m_env.QuitLoop(); });
    m_env.RunLoop(&m_counter);
    SUCCEED();
}

TEST_F(LoopTest, RearmingChangesThePeriod) {
    m_counter.m_fnOnTick = [this](uint32_t nId, int nTicks) {
        if (nId == 3 && nTicks == 1) m_env.StartTimer(3, 60000000);  // far away from now on
        if (nId == 4 && nTicks == 20) m_env.QuitLoop();
    };
    m_env.StartTimer(3, 1000);
    m_env.StartTimer(4, 1000);
    m_env.RunLoop(&m_counter);
    EXPECT_EQ(1, m_counter.Ticks(3));
}

TEST_F(LoopTest, ClockAndTimeOutsFollowTheScale) {
    EXPECT_EQ(10u, m_env.ScaleMs(10000));
    EXPECT_EQ(1u, m_env.ScaleMs(1)) << "never 0 for a non-zero wait";
    EXPECT_EQ(0u, m_env.ScaleMs(0));
    const uint64_t nBefore = m_env.MonotonicMs();
    m_env.SleepMs(5000);  // 5 ms of real time
    EXPECT_GE(m_env.MonotonicMs() - nBefore, 5000u) << "monotonic time is scaled time";
}

TEST(PosixClockTest, SetLocalClockKeepsAnOffsetWithoutTouchingTheMachine) {
    vtest::TempRoot root;
    auto pEnv = vplat::NewHostEnv(root.Path());
    const int64_t nReal = pEnv->Time64();
    vplat::LocalTime t = vplat::LocalTimeFromTime64(nReal - 86400 * 400);
    ASSERT_TRUE(pEnv->SetLocalClock(t));
    const int64_t nShift = pEnv->Time64() - nReal;
    EXPECT_GE(nShift, -86400 * 400 - 5);
    EXPECT_LE(nShift, -86400 * 400 + 5);
    EXPECT_EQ(t.nYear, pEnv->GetLocalTimeNow().nYear);
    // Another back-end (the machine clock) did not move.
    auto pOther = vplat::NewHostEnv(root.Path());
    EXPECT_LE(std::abs(pOther->Time64() - nReal), 5);
    t.nMonth = 13;
    t.nDay = 40;
    EXPECT_TRUE(pEnv->SetLocalClock(t)) << "mktime normalises, as _mktime64 does";
}

}  // namespace
