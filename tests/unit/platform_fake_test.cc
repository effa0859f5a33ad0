// The fake back-end's own promises, which the other unit tests build on: simulated time
// and timers, windows and the messages they got, started programs, process end, debug
// lines and the counted faults of the link.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_env.h"
#include "tests/unit/platform_test_util.h"

namespace {

class Recorder : public vplat::LoopHandler {
  public:
    void OnLoopTimer(uint32_t nTimerId) override {
        m_events.push_back("T" + std::to_string(nTimerId));
    }
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        m_events.push_back("M" + std::to_string(nMsg) + ":" + std::to_string(wParam));
        return static_cast<intptr_t>(wParam) + lParam;
    }
    std::vector<std::string> m_events;  // what was delivered, in order
};

class FakeEnvTest : public ::testing::Test {
  protected:
    FakeEnvTest() : m_env(m_root.Path()) { m_env.SetLoopHandler(&m_handler); }
    vtest::TempRoot m_root;
    vplat::FakeEnv m_env;
    Recorder m_handler;
};

TEST_F(FakeEnvTest, TimersFireInTimeOrderWhileTimeAdvances) {
    m_env.StartTimer(1, 1000);
    m_env.StartTimer(21, 2500);
    EXPECT_EQ(1000u, m_env.TimerPeriod(1));
    EXPECT_EQ(0u, m_env.TimerPeriod(99));
    m_env.AdvanceMs(999);
    EXPECT_TRUE(m_handler.m_events.empty());
    m_env.AdvanceMs(4001);
    EXPECT_EQ((std::vector<std::string>{"T1", "T1", "T21", "T1", "T1", "T1", "T21"}),
              m_handler.m_events);
    EXPECT_EQ(5000u, m_env.MonotonicMs());
    m_env.StopTimer(1);
    EXPECT_EQ(0u, m_env.TimerPeriod(1));
    m_handler.m_events.clear();
    m_env.AdvanceMs(10000);
    EXPECT_EQ((std::vector<std::string>{"T21", "T21", "T21", "T21"}), m_handler.m_events);
}

TEST_F(FakeEnvTest, ClockFollowsTimeAndSleepsDoNotFireTimers) {
    const int64_t t0 = vplat::Time64FromLocal(2026, 5, 1, 23, 59, 59);
    m_env.SetTime64(t0);
    m_env.StartTimer(5, 100);
    m_env.SleepMs(1500);
    EXPECT_TRUE(m_handler.m_events.empty());
    EXPECT_EQ(t0 + 1, m_env.Time64());
    EXPECT_EQ(500, m_env.GetLocalTimeNow().nMilliseconds);
    EXPECT_EQ(2, m_env.GetLocalTimeNow().nDay) << "midnight passed";
    // A tick sees the clock at its own time.
    int64_t nSeen = 0;
    struct Probe : vplat::LoopHandler {
        vplat::FakeEnv* pEnv;
        int64_t* pSeen;
        std::vector<std::string> ticks;
        void OnLoopTimer(uint32_t nId) override {
            ticks.push_back(std::to_string(nId) + "@" + std::to_string(pEnv->MonotonicMs()));
            if (nId == 6 && *pSeen == 0) *pSeen = static_cast<int64_t>(pEnv->MonotonicMs());
        }
        intptr_t OnLoopMessage(uint32_t, uintptr_t, intptr_t) override { return 0; }
    } probe;
    probe.pEnv = &m_env;
    probe.pSeen = &nSeen;
    m_env.SetLoopHandler(&probe);
    m_env.StartTimer(6, 250);
    m_env.AdvanceMs(1000);
    EXPECT_EQ(1750, nSeen);
    // Timer 5 fell due during the sleep: one tick when time moves on, then its period.
    ASSERT_GE(probe.ticks.size(), 3u);
    EXPECT_EQ("5@1500", probe.ticks[0]);
    EXPECT_EQ("5@1600", probe.ticks[1]);
}

TEST_F(FakeEnvTest, SetLocalClockIsRecordedAndMovesTheClock) {
    EXPECT_FALSE(m_env.ClockWasSet());
    vplat::LocalTime t;
    t.nYear = 2027;
    t.nMonth = 2;
    t.nDay = 3;
    t.nHour = 4;
    t.nMinute = 5;
    t.nSecond = 6;
    ASSERT_TRUE(m_env.SetLocalClock(t));
    vplat::LocalTime seen;
    ASSERT_TRUE(m_env.ClockWasSet(&seen));
    EXPECT_EQ(2027, seen.nYear);
    EXPECT_EQ(vplat::Time64FromLocal(2027, 2, 3, 4, 5, 6), m_env.Time64());
}

TEST_F(FakeEnvTest, WindowsAnswerAndRecordWhatTheyGot) {
    EXPECT_TRUE(m_env.FindWindowTitle("Zentoral").IsNull());
    EXPECT_EQ(0, m_env.SendWindowMessage(vplat::WindowHandle{"Zentoral"}, 0x400 + 14, 1, 2));
    EXPECT_TRUE(m_env.Messages().empty()) << "nothing reaches an absent window";
    m_env.AddWindow("Zentoral", 7);
    const vplat::WindowHandle h = m_env.FindWindowTitle("Zentoral");
    ASSERT_FALSE(h.IsNull());
    m_env.AdvanceMs(250);
    EXPECT_EQ(7, m_env.SendWindowMessage(h, 0x400 + 14, 3, 4));
    EXPECT_TRUE(m_env.PostWindowMessage(h, 0x400 + 17, 5, 6));
    const std::vector<vplat::FakeMessage> msgs = m_env.Messages();
    ASSERT_EQ(2u, msgs.size());
    EXPECT_EQ("Zentoral", msgs[0].szTitle);
    EXPECT_EQ(0x400u + 14, msgs[0].nMsg);
    EXPECT_EQ(3u, msgs[0].wParam);
    EXPECT_EQ(4, msgs[0].lParam);
    EXPECT_FALSE(msgs[0].bPosted);
    EXPECT_TRUE(msgs[1].bPosted);
    EXPECT_EQ(250u, msgs[1].nAtMs);
    m_env.RemoveWindow("Zentoral");
    EXPECT_FALSE(m_env.PostWindowMessage(h, 2, 0, 0));
    m_env.ClearMessages();
    EXPECT_TRUE(m_env.Messages().empty());
}

TEST_F(FakeEnvTest, OwnWindowGetsSendsAtOnceAndPostsThroughTheLoop) {
    ASSERT_TRUE(m_env.OpenOwnWindow("Velmora"));
    const vplat::WindowHandle h = m_env.FindWindowTitle("Velmora");
    ASSERT_FALSE(h.IsNull());
    EXPECT_EQ(15, m_env.SendWindowMessage(h, 0x400 + 15, 10, 5));
    EXPECT_TRUE(m_env.PostWindowMessage(h, 0x10, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"M1039:10"}), m_handler.m_events);
    EXPECT_EQ(1u, m_env.RunPostedTasks());
    EXPECT_EQ((std::vector<std::string>{"M1039:10", "M16:0"}), m_handler.m_events);
}

TEST_F(FakeEnvTest, RunLoopRunsPostedTasksUntilQuit) {
    std::vector<int> order;
    std::thread poster([&] {
        m_env.PostTask([&] { order.push_back(1); });
        m_env.PostTask([&] {
            order.push_back(2);
            m_env.QuitLoop();
        });
    });
    m_env.RunLoop(&m_handler);
    poster.join();
    EXPECT_EQ((std::vector<int>{1, 2}), order);
}

TEST_F(FakeEnvTest, ProgramsProcessEndAndDebugLines) {
    m_env.OpenWindowOnStart("Brisketon.exe", "Brisketon");
    EXPECT_TRUE(m_env.StartProgram("D:/QN64-ABRIX/Bin/Brisketon.exe", 1));
    EXPECT_FALSE(m_env.FindWindowTitle("Brisketon").IsNull());
    m_env.FailStartProgram(true);
    EXPECT_FALSE(m_env.StartProgram("D:/QN64-ABRIX/Bin/Quillamor.exe", 0));
    ASSERT_EQ(1u, m_env.StartedPrograms().size());
    EXPECT_EQ("D:/QN64-ABRIX/Bin/Brisketon.exe", m_env.StartedPrograms()[0].szCommandLine);
    EXPECT_EQ(1, m_env.StartedPrograms()[0].nShow);

    m_env.DebugOutput("MGR_PC: hello");
    EXPECT_EQ((std::vector<std::string>{"MGR_PC: hello"}), m_env.DebugLines());
    m_env.ClearDebugLines();
    EXPECT_TRUE(m_env.DebugLines().empty());

    try {
        m_env.EndProcess(1);
        FAIL() << "EndProcess returned";
    } catch (const vplat::FakeProcessEnd& e) {
        EXPECT_EQ(1, e.nStatus);
    }
}

TEST_F(FakeEnvTest, InstallMakesItTheProcessWideEnv) {
    vplat::Env* pBefore = vplat::env();
    m_env.Install();
    EXPECT_EQ(&m_env, vplat::env());
    m_env.SetControlText(1005, "51-1");
    EXPECT_EQ("51-1", vplat::env()->GetControlText(1005));
    m_env.Uninstall();
    EXPECT_EQ(pBefore, vplat::env());
}

TEST_F(FakeEnvTest, CountedFaultsFailTheNthCall) {
    vtest::LoopbackServer server;
    ASSERT_NE(0, server.Port());
    m_env.FailConnect(2, false);
    const vplat::SocketHandle s1 = m_env.SockOpenTcp();
    ASSERT_EQ(1, m_env.SockConnect(s1, 0x7F000001, server.Port()));
    const vplat::SocketHandle s2 = m_env.SockOpenTcp();
    EXPECT_EQ(0, m_env.SockConnect(s2, 0x7F000001, server.Port())) << "the 2nd connect fails";
    m_env.SockClose(s2);
    ASSERT_TRUE(server.Accept());

    m_env.FailSend(2, false);
    EXPECT_EQ(1, m_env.SockSend(s1, "a", 1));
    EXPECT_EQ(-1, m_env.SockSend(s1, "b", 1));
    EXPECT_EQ(1, m_env.SockSend(s1, "c", 1)) << "once, not persistent";
    m_env.LimitSendBytes(3);
    EXPECT_EQ(3, m_env.SockSend(s1, "defghi", 6));
    m_env.LimitSendBytes(0);
    EXPECT_EQ("acdef", server.Receive(5));

    m_env.DropLinkAfterSends(2);
    EXPECT_EQ(1, m_env.SockSend(s1, "g", 1));
    EXPECT_EQ(0, m_env.EnumNetworkEvents(s1) & vplat::kNetClose);
    EXPECT_EQ(1, m_env.SockSend(s1, "h", 1));
    EXPECT_NE(0, m_env.EnumNetworkEvents(s1) & vplat::kNetClose) << "the link dropped";
    EXPECT_EQ(-1, m_env.SockSend(s1, "i", 1));
    m_env.SockClose(s1);
}

TEST_F(FakeEnvTest, PersistentFaultKeepsFailing) {
    vtest::LoopbackServer server;
    m_env.FailConnect(1, true);
    for (int i = 0; i < 3; ++i) {
        const vplat::SocketHandle s = m_env.SockOpenTcp();
        EXPECT_EQ(0, m_env.SockConnect(s, 0x7F000001, server.Port())) << "call " << i + 1;
        m_env.SockClose(s);
    }
}

}  // namespace
