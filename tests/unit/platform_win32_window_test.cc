// The window side of the Win32 back-end against real windows: a loop thread that holds a
// window (and, where it matters, the dialog of template 102) and a second back-end of the
// same process that finds it, sends, posts, queries and clicks as another program would.
// Timers and tasks handed over from other threads, a hung receiver, messages from outside
// (WM_DESTROY, WM_CLOSE) and the controls' own notices, control texts that reach the real
// controls in UTF-16.
#include <windows.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "platform/env_wrapper.h"
#include "platform/window_bus.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

constexpr uint32_t kMsgHang = 0x0400 + 99;  // the test receiver blocks on this one

class Receiver : public vplat::LoopHandler {
  public:
    void OnLoopTimer(uint32_t nId) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ticks.push_back(nId);
        if (GetCurrentThreadId() != m_nLoopThread) m_bWrongThread = true;
    }
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        if (nMsg == kMsgHang) m_release.get_future().wait();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_got.push_back({nMsg, wParam, lParam});
        if (GetCurrentThreadId() != m_nLoopThread) m_bWrongThread = true;
        return static_cast<intptr_t>(wParam) * 1000 + lParam;
    }
    struct Got {
        uint32_t nMsg;
        uintptr_t wParam;
        intptr_t lParam;
    };
    std::vector<Got> Received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got;
    }
    size_t Ticks(uint32_t nId) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count(m_ticks.begin(), m_ticks.end(), nId));
    }
    bool WrongThread() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bWrongThread;
    }
    std::atomic<DWORD> m_nLoopThread{0};  // the thread that runs the loop
    std::promise<void> m_release;         // lets a hung kMsgHang go on

  private:
    std::mutex m_mutex;             // guards the members below
    std::vector<Got> m_got;         // messages in arrival order
    std::vector<uint32_t> m_ticks;  // timer ticks in arrival order
    bool m_bWrongThread = false;    // a delivery came on another thread than the loop's
};

// A back-end whose windows and loop live on a thread of their own, as the dialog thread of
// a station program, and a second back-end on the test's thread that plays the others.
class Win32WindowTest : public ::testing::Test {
  protected:
    Win32WindowTest()
        : m_szTitle("Velmora window test " + std::to_string(GetCurrentProcessId())),
          m_pOwner(vplat::NewHostEnv(m_root.Path())),
          m_pCaller(vplat::NewHostEnv(m_root.Path())) {}
    ~Win32WindowTest() override {
        try {
            m_receiver.m_release.set_value();  // a hung handler must not keep the loop
        } catch (const std::future_error&) {
        }
        StopLoop();
    }

    // Runs setup on the loop thread, then the loop; returns once setup is done.
    void StartLoop(const std::function<void()>& setup) {
        auto pReady = std::make_shared<std::promise<void>>();
        m_loop = std::thread([this, setup, pReady] {
            m_receiver.m_nLoopThread = GetCurrentThreadId();
            setup();
            pReady->set_value();
            m_pOwner->RunLoop(&m_receiver);
            m_pOwner.reset();  // its windows go on the thread they belong to
        });
        pReady->get_future().wait();
    }
    void StartWindow() {
        StartLoop([this] { ASSERT_TRUE(m_pOwner->OpenOwnWindow(m_szTitle.c_str())); });
    }
    void StartDialog() {
        StartLoop([this] {
            ASSERT_TRUE(m_pOwner->OpenOwnWindow(m_szTitle.c_str()));
            m_pOwner->ShowDialogView(m_szTitle.c_str());
        });
    }
    // Ends the loop from inside, so that no call of this thread is still in the back-end
    // when the loop thread destroys it.
    void StopLoop() {
        if (!m_loop.joinable()) return;
        vplat::Env* pOwner = m_pOwner.get();
        pOwner->PostTask([pOwner] { pOwner->QuitLoop(); });
        m_loop.join();
    }
    // Posts a task and waits until the loop ran it: everything handed over before is done.
    void Settle() {
        std::promise<void> done;
        m_pOwner->PostTask([&] { done.set_value(); });
        done.get_future().wait();
    }
    size_t CountOf(uint32_t nMsg) {
        size_t n = 0;
        for (const auto& g : m_receiver.Received()) n += g.nMsg == nMsg ? 1 : 0;
        return n;
    }
    // The line of control nId in a query, without its id.
    static std::string Line(const std::string& szQuery, int nId) {
        const std::string szKey = std::to_string(nId) + " ";
        size_t nPos = 0;
        while (nPos < szQuery.size()) {
            const size_t nEnd = szQuery.find('\n', nPos);
            const std::string szLine = szQuery.substr(nPos, nEnd - nPos);
            if (szLine.compare(0, szKey.size(), szKey) == 0) return szLine.substr(szKey.size());
            if (nEnd == std::string::npos) break;
            nPos = nEnd + 1;
        }
        return "<none>";
    }

    TempRoot m_root;
    std::string m_szTitle;                  // unique on the desktop: tests may run side by side
    std::unique_ptr<vplat::Env> m_pOwner;   // holds the window; lives on the loop thread
    std::unique_ptr<vplat::Env> m_pCaller;  // another program of the station
    Receiver m_receiver;
    std::thread m_loop;
};

TEST_F(Win32WindowTest, OwnWindowIsFoundByTitleAndHeldOnce) {
    StartWindow();
    EXPECT_EQ(m_szTitle, m_pCaller->FindWindowTitle(m_szTitle.c_str()).szTitle);
    EXPECT_TRUE(m_pCaller->FindWindowTitle("Velmora window test").IsNull())
        << "titles match exactly";
    EXPECT_FALSE(m_pCaller->OpenOwnWindow(m_szTitle.c_str())) << "a live window holds the title";
    StopLoop();
    EXPECT_TRUE(m_pCaller->FindWindowTitle(m_szTitle.c_str()).IsNull())
        << "closing the back-end closes its window";
    EXPECT_TRUE(m_pCaller->OpenOwnWindow(m_szTitle.c_str())) << "and frees the title";
}

TEST_F(Win32WindowTest, SendsGetTheHandlersResultOnTheLoopThread) {
    StartWindow();
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(m_szTitle.c_str());
    EXPECT_EQ(101 * 1000 + 7, m_pCaller->SendWindowMessage(h, vplat::kMsgUser + 15, 101, 7));
    EXPECT_TRUE(m_pCaller->PostWindowMessage(h, vplat::kMsgUser + 17, 3, 4));
    Settle();
    ASSERT_EQ(2u, m_receiver.Received().size());
    EXPECT_EQ(vplat::kMsgUser + 17, m_receiver.Received()[1].nMsg);
    EXPECT_EQ(4, m_receiver.Received()[1].lParam);
    EXPECT_FALSE(m_receiver.WrongThread());
    EXPECT_EQ(0, m_pCaller->SendWindowMessage(vplat::WindowHandle{"Nobody here"}, 0x500, 1, 1));
    EXPECT_FALSE(m_pCaller->PostWindowMessage(vplat::WindowHandle{"Nobody here"}, 0x500, 1, 1));
}

TEST_F(Win32WindowTest, HungReceiverCostsTheSenderAtMostTheCap) {
    StartWindow();
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(m_szTitle.c_str());
    EXPECT_EQ(0, m_pCaller->SendWindowMessage(h, kMsgHang, 1, 1)) << "no answer within 5 s";
    m_receiver.m_release.set_value();
    EXPECT_TRUE(WaitFor([&] { return m_pCaller->SendWindowMessage(h, 0x500, 2, 0) == 2000; }))
        << "the window works again";
}

TEST_F(Win32WindowTest, TimersAndTasksFromOtherThreadsRunOnTheLoopThread) {
    StartWindow();
    std::thread([&] {
        m_pOwner->StartTimer(7, 5);
        m_pOwner->StartTimer(8, 5);
    }).join();
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Ticks(7) >= 3 && m_receiver.Ticks(8) >= 3; }));
    std::thread([&] { m_pOwner->StopTimer(7); }).join();
    const size_t nAfterStop = m_receiver.Ticks(7);
    // Timer 8 goes on ticking; once it has ticked a few more times, 7 has had its chance.
    const size_t nEight = m_receiver.Ticks(8);
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Ticks(8) >= nEight + 3; }));
    Settle();
    EXPECT_EQ(nAfterStop, m_receiver.Ticks(7)) << "no tick after StopTimer returned";
    EXPECT_FALSE(m_receiver.WrongThread());

    std::vector<int> order;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                m_pOwner->PostTask([&order, t, i] { order.push_back(t * 100 + i); });
            }
        });
    }
    for (std::thread& p : posters) p.join();
    Settle();
    ASSERT_EQ(100u, order.size());
    for (int t = 0; t < 4; ++t) {
        int nLast = -1;
        for (const int n : order) {
            if (n / 100 != t) continue;
            EXPECT_GT(n, nLast) << "each thread's tasks in the order it posted them";
            nLast = n;
        }
    }
}

TEST_F(Win32WindowTest, TimersArmedBeforeTheDialogKeepTickingOnIt) {
    StartLoop([this] {
        m_pOwner->StartTimer(11, 5);  // before any window exists
        ASSERT_TRUE(m_pOwner->OpenOwnWindow(m_szTitle.c_str()));
        m_pOwner->ShowDialogView(m_szTitle.c_str());
    });
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Ticks(11) >= 3; }));
    m_pOwner->StopTimer(11);
    Settle();
    const size_t nTicks = m_receiver.Ticks(11);
    m_pOwner->StartTimer(12, 5);
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Ticks(12) >= 3; }));
    EXPECT_EQ(nTicks, m_receiver.Ticks(11));
}

TEST_F(Win32WindowTest, QuitBeforeRunEndsTheNextRunAtOnce) {
    m_pOwner->QuitLoop();
    m_pOwner->RunLoop(&m_receiver);  // returns: the test would hang otherwise
    SUCCEED();
}

TEST_F(Win32WindowTest, DestroyAndCloseFromOutsideReachTheProgramAndLeaveTheWindow) {
    StartDialog();
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(m_szTitle.c_str());
    m_pCaller->SendWindowMessage(h, vplat::kMsgDestroy, 0, 0);
    EXPECT_TRUE(vplat::CloseWindowTitle(m_szTitle));
    Settle();
    EXPECT_EQ(1u, CountOf(vplat::kMsgDestroy));
    EXPECT_EQ(1u, CountOf(vplat::kMsgClose));
    EXPECT_FALSE(m_pCaller->FindWindowTitle(m_szTitle.c_str()).IsNull())
        << "the program, not the window, decides what a close means";
}

TEST_F(Win32WindowTest, ControlTextsReachTheRealControlsAndToolsReadThem) {
    StartDialog();
    std::thread writer([&] {  // the link thread writes controls too
        m_pOwner->SetControlText(1005, "51-1");
        m_pOwner->SetControlText(1009, "icon:129");
        m_pOwner->SetControlText(1012, "관리PC로 전송중.....");
        m_pOwner->SetControlText(1017, "12");
        m_pOwner->SetControlText(1008, "two\nlines");
    });
    writer.join();
    Settle();
    std::string szText;
    ASSERT_TRUE(vplat::QueryControls(m_szTitle, &szText));
    EXPECT_EQ("51-1", Line(szText, 1005));
    EXPECT_EQ("icon:129", Line(szText, 1009));
    EXPECT_EQ("관리PC로 전송중.....", Line(szText, 1012));
    EXPECT_EQ("12", Line(szText, 1017));
    EXPECT_EQ("two lines", Line(szText, 1008)) << "one line per control";
    EXPECT_EQ("센터 전송", Line(szText, 1014)) << "the template's text until the program writes";
    EXPECT_EQ("<none>", Line(szText, -1)) << "labels are not controls";
    EXPECT_EQ("51-1", m_pOwner->GetControlText(1005));

    m_pOwner->SetControlText(1009, "icon:130");
    Settle();
    ASSERT_TRUE(vplat::QueryControls(m_szTitle, &szText));
    EXPECT_EQ("icon:130", Line(szText, 1009));
    EXPECT_FALSE(vplat::QueryControls("Nobody here", &szText));
    // Setting an edit's text makes the edit notify its dialog; that is no click.
    EXPECT_EQ(0u, CountOf(vplat::kMsgCommand));
}

TEST_F(Win32WindowTest, ClicksAndTheAboutEntryReachTheProgram) {
    StartDialog();
    EXPECT_TRUE(vplat::ClickControl(m_szTitle, 1014));
    EXPECT_FALSE(vplat::ClickControl("Nobody here", 1014));
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(m_szTitle.c_str());
    m_pCaller->SendWindowMessage(h, 0x0112, 0x10, 0);  // the system menu's about entry
    Settle();
    const auto got = m_receiver.Received();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(vplat::kMsgCommand, got[0].nMsg);
    EXPECT_EQ(1014u, got[0].wParam & 0xFFFF);
    EXPECT_EQ(0u, got[0].wParam >> 16) << "BN_CLICKED";
    EXPECT_EQ(0x0112u, got[1].nMsg);
    EXPECT_EQ(0x10u, got[1].wParam);
}

}  // namespace
}  // namespace vtest
