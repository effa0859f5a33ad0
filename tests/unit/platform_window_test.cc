// Windows by title on the build's real back-end (Unix-domain sockets on POSIX, real windows
// on Win32), one contract for both: a loop thread holds the window as a station program's
// dialog thread does, with or without the dialog shown on it (the parameter), and a second
// back-end of the same process finds it, sends, posts, queries and clicks as another
// program would. Timers at a time scale and tasks handed over from other threads, a hung
// receiver (with a short send cap injected, so that nothing waits seconds), messages from
// outside and the tools' reading of the controls.
#include <atomic>
#include <future>
#include <map>
#include <mutex>

#include "platform/host_env.h"
#include "platform/window_bus.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

constexpr uint32_t kMsgHang = 0x0400 + 99;   // the receiver blocks on this one until released
constexpr uint32_t kMsgSysCommand = 0x0112;  // the system menu's entries (about: 0x10)

struct Got {
    uint32_t nMsg;     // 0 for a timer tick
    uintptr_t wParam;  // the timer's id for a tick
    intptr_t lParam;
};

// Records every delivery and whether one came on another thread than the loop's.
class Receiver : public vplat::LoopHandler {
  public:
    void OnLoopTimer(uint32_t nId) override { Note({0, nId, 0}); }
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        if (nMsg == kMsgHang) WaitFor([this] { return m_bReleased.load(); });
        Note({nMsg, wParam, lParam});
        return static_cast<intptr_t>(wParam) * 1000 + lParam;
    }
    std::vector<Got> Deliveries() {  // in arrival order
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got;
    }
    // Deliveries of a message, or (nMsg 0) ticks of the timer nTimer.
    size_t CountOf(uint32_t nMsg, uintptr_t nTimer = 0) {
        const auto got = Deliveries();
        return static_cast<size_t>(std::count_if(got.begin(), got.end(), [&](const Got& g) {
            return g.nMsg == nMsg && (nMsg != 0 || g.wParam == nTimer);
        }));
    }
    std::thread::id m_loopThread;             // set on the loop thread before it runs
    std::atomic<bool> m_bWrongThread{false};  // a delivery came on another thread
    std::atomic<bool> m_bReleased{false};     // lets a hung kMsgHang go on

  private:
    void Note(const Got& g) {
        if (std::this_thread::get_id() != m_loopThread) m_bWrongThread = true;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_got.push_back(g);
    }
    std::mutex m_mutex;      // guards m_got
    std::vector<Got> m_got;  // deliveries in arrival order
};

// The real back-end rooted at szRoot, its periods, sleeps and time-outs divided by
// dTimeScale, a window message waiting at most nSendCapMs.
std::unique_ptr<vplat::Env> HostEnvWith(const std::string& szRoot, double dTimeScale,
                                        uint32_t nSendCapMs = 5000) {
    vplat::HostOptions opts = vplat::RootedHostOptions(szRoot);
    opts.dTimeScale = dTimeScale;
    opts.nSendCapMs = nSendCapMs;
    return std::make_unique<vplat::HostEnv>(opts);
}

// A query's "<id> <text>" lines by id; none when the ids do not rise line by line.
std::map<int, std::string> ParseControls(const std::string& szQuery) {
    std::istringstream in(szQuery);
    std::map<int, std::string> lines;
    for (std::string szLine; std::getline(in, szLine);) {
        const size_t nBlank = szLine.find(' ');
        const int nId = std::stoi(szLine.substr(0, nBlank));
        if (!lines.empty() && nId <= lines.rbegin()->first) return {};
        lines[nId] = nBlank == std::string::npos ? "" : szLine.substr(nBlank + 1);
    }
    return lines;
}

class WindowTest : public ::testing::TestWithParam<bool> {
  protected:
    ~WindowTest() override {
        m_receiver.m_bReleased = true;  // a hung handler must not keep the loop
        StopLoop();
        vplat::Env::Install(m_pPrevious);
    }
    // Runs setup, opens the window (and shows the dialog on it when the parameter says so)
    // and runs the loop, all on a thread of their own; returns once the window is open.
    void StartLoop(const std::function<void()>& setup = [] {}) {
        auto pReady = std::make_shared<std::promise<void>>();
        m_loop = std::thread([this, setup, pReady, bDialog = GetParam()] {
            m_receiver.m_loopThread = std::this_thread::get_id();
            setup();
            EXPECT_TRUE(m_pOwner->OpenOwnWindow(m_szTitle.c_str()));
            if (bDialog) m_pOwner->ShowDialogView(m_szTitle.c_str());
            pReady->set_value();
            m_pOwner->RunLoop(&m_receiver);
            m_pOwner.reset();  // its windows go on the thread they belong to
        });
        pReady->get_future().wait();
    }
    // Ends the loop from inside, so that no call of this thread is still in the back-end
    // when the loop thread destroys it.
    void StopLoop() {
        if (!m_loop.joinable()) return;
        vplat::Env* pOwner = m_pOwner.get();
        pOwner->PostTask([pOwner] { pOwner->QuitLoop(); });
        m_loop.join();
    }
    // Posts a task and waits until the loop ran it: all it was handed before is done.
    void Settle() {
        std::promise<void> done;
        m_pOwner->PostTask([&] { done.set_value(); });
        done.get_future().wait();
    }
    vplat::WindowHandle Window() { return m_pCaller->FindWindowTitle(m_szTitle.c_str()); }

    TempRoot m_root;
    // Unique on the desktop (tests may run side by side), with a blank and a dot.
    std::string m_szTitle = "Velmora test " + fs::path(m_root.Path()).filename().string();
    // Holds the window and lives on the loop thread; its 10 s are 10 ms.
    std::unique_ptr<vplat::Env> m_pOwner = HostEnvWith(m_root.Path(), 1000);
    // Another program of the station, installed for the tools' calls.
    std::unique_ptr<vplat::Env> m_pCaller = vplat::NewHostEnv(m_root.Path());
    vplat::Env* m_pPrevious = vplat::Env::Install(m_pCaller.get());
    Receiver m_receiver;
    std::thread m_loop;
};

// A window's life: found by its exact title and held once; sends get the handler's result
// (from many senders at once too), posts arrive, all on the loop thread; a hung receiver
// costs a sender the cap and a poster nothing; closing the back-end frees the title.
TEST_P(WindowTest, FoundByTitleAnsweredOnTheLoopThreadEvenWhenHungAndFreedWithTheBackEnd) {
    StartLoop([this] {  // a quit before a run ends that run at once (or this hangs)
        m_pOwner->QuitLoop();
        m_pOwner->RunLoop(&m_receiver);
    });
    const vplat::WindowHandle h = Window(), nobody{"Nobody here"};
    EXPECT_EQ(m_szTitle, h.szTitle);
    EXPECT_TRUE(m_pCaller->FindWindowTitle("Velmora test").IsNull()) << "titles match exactly";
    EXPECT_FALSE(m_pCaller->OpenOwnWindow(m_szTitle.c_str())) << "a live window holds the title";
    EXPECT_EQ(101 * 1000 + 7, m_pCaller->SendWindowMessage(h, vplat::kMsgUser + 15, 101, 7));
    EXPECT_EQ(-3, m_pCaller->SendWindowMessage(h, vplat::kMsgUser + 15, 0, -3));
    EXPECT_TRUE(m_pCaller->PostWindowMessage(h, vplat::kMsgUser + 17, 3, 4));
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Deliveries().size() == 3; }));
    const Got last = m_receiver.Deliveries()[2];
    EXPECT_EQ(vplat::kMsgUser + 15, m_receiver.Deliveries()[0].nMsg);
    EXPECT_EQ(vplat::kMsgUser + 17, last.nMsg);
    EXPECT_EQ(3u, last.wParam);
    EXPECT_EQ(4, last.lParam);
    EXPECT_EQ(0, m_pCaller->SendWindowMessage(nobody, 0x500, 1, 1));
    EXPECT_FALSE(m_pCaller->PostWindowMessage(nobody, 0x500, 1, 1));
    std::atomic<int> nWrong{0};  // many senders at once, each with a back-end of its own
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            auto pEnv = vplat::NewHostEnv(m_root.Path());
            for (int i = 0; i < 10; ++i)
                nWrong += pEnv->SendWindowMessage(h, 0x500, uintptr_t(t), i) != t * 1000 + i;
        });
    }
    for (std::thread& s : senders) s.join();
    EXPECT_EQ(0, nWrong.load());
    EXPECT_EQ(40u, m_receiver.CountOf(0x500));
    EXPECT_FALSE(m_receiver.m_bWrongThread.load());

    const auto pImpatient = HostEnvWith(m_root.Path(), 1, 50);  // the station's 5 s, shortened
    EXPECT_EQ(0, pImpatient->SendWindowMessage(h, kMsgHang, 1, 1)) << "no answer within the cap";
    EXPECT_TRUE(m_pCaller->PostWindowMessage(h, vplat::kMsgUser + 17, 5, 6)) << "while it hangs";
    m_receiver.m_bReleased = true;
    EXPECT_TRUE(WaitFor([&] { return m_pCaller->SendWindowMessage(h, 0x500, 2, 0) == 2000; }))
        << "the window works again";
    EXPECT_TRUE(WaitFor([&] { return m_receiver.CountOf(vplat::kMsgUser + 17) == 2; }));
    StopLoop();
    EXPECT_TRUE(Window().IsNull()) << "closing the back-end closes its window";
    EXPECT_TRUE(m_pCaller->OpenOwnWindow(m_szTitle.c_str())) << "and frees the title";
}

TEST_P(WindowTest, TimersFollowTheScaleStopFromAnyThreadAndTasksKeepTheirOrder) {
    StartLoop([this] { m_pOwner->StartTimer(11, 5000); });  // before any window
    std::thread([&] {
        m_pOwner->StartTimer(8, 5000);
        m_pOwner->StartTimer(9, 5000);
    }).join();
    const auto Ticks = [&](uintptr_t nId) { return m_receiver.CountOf(0, nId); };
    ASSERT_TRUE(WaitFor([&] { return Ticks(11) >= 3 && Ticks(8) >= 3 && Ticks(9) >= 3; }));
    std::thread([&] { m_pOwner->StopTimer(11); }).join();  // handed over to the loop's thread
    m_pOwner->PostTask([&] { m_pOwner->StopTimer(9); });   // on the loop's own thread
    Settle();  // a tick that had started before a stop is counted now
    const size_t n11 = Ticks(11), n9 = Ticks(9), n8 = Ticks(8);
    // Timer 8 goes on ticking; once it has ticked a few more times, 11 and 9 had their chance.
    ASSERT_TRUE(WaitFor([&] { return Ticks(8) >= n8 + 3; }));
    Settle();
    EXPECT_EQ(n11, Ticks(11)) << "no tick after StopTimer returned";
    EXPECT_EQ(n9, Ticks(9));
    EXPECT_FALSE(m_receiver.m_bWrongThread.load());
    EXPECT_EQ(10u, m_pOwner->ScaleMs(10000));
    EXPECT_EQ(1u, m_pOwner->ScaleMs(1)) << "never 0 for a non-zero wait";

    std::vector<int> order;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                m_pOwner->PostTask([&order, t, i] { order.push_back(t * 100 + i); });
        });
    }
    for (std::thread& p : posters) p.join();
    Settle();
    ASSERT_EQ(100u, order.size());
    std::map<int, int> last;  // each thread's tasks in the order it posted them
    for (const int n : order) {
        EXPECT_GT(n % 100, last.count(n / 100) != 0 ? last[n / 100] : -1);
        last[n / 100] = n % 100;
    }
}

TEST_P(WindowTest, MessagesFromOutsideReachTheProgramAndTheToolsReadTheDialogsControls) {
    StartLoop();
    m_pCaller->SendWindowMessage(Window(), vplat::kMsgDestroy, 0, 0);
    EXPECT_TRUE(vplat::CloseWindowTitle(m_szTitle));
    EXPECT_TRUE(vplat::ClickControl(m_szTitle, 1014));
    EXPECT_FALSE(vplat::ClickControl("Nobody here", 1014));
    EXPECT_FALSE(vplat::CloseWindowTitle("Nobody here"));
    ASSERT_TRUE(WaitFor([&] { return m_receiver.CountOf(vplat::kMsgCommand) == 1; }));
    Settle();
    EXPECT_EQ(1u, m_receiver.CountOf(vplat::kMsgDestroy));
    EXPECT_EQ(1u, m_receiver.CountOf(vplat::kMsgClose));
    EXPECT_EQ(1014u, m_receiver.Deliveries().back().wParam & 0xFFFF);
    EXPECT_EQ(0u, m_receiver.Deliveries().back().wParam >> 16) << "BN_CLICKED";
    EXPECT_FALSE(Window().IsNull()) << "the program, not the window, decides what a close means";
    if (!GetParam()) return;  // the rest is the dialog's: its system menu and its controls
    m_pCaller->SendWindowMessage(Window(), kMsgSysCommand, 0x10, 0);
    EXPECT_EQ(1u, m_receiver.CountOf(kMsgSysCommand)) << "the about entry reaches the program";
    EXPECT_EQ(0x10u, m_receiver.Deliveries().back().wParam);

    const std::map<int, std::string> kWritten = {
        {1005, "51-1"}, {1001, "192.168.0.10"}, {1009, "icon:129"}, {1012, "관리PC로 전송중....."},
        {1017, "12"},   {1008, "two\nlines"}};
    std::thread([&] {  // the link thread writes controls too
        for (const auto& [nId, szText] : kWritten) m_pOwner->SetControlText(nId, szText);
    }).join();
    Settle();
    std::string szText;
    ASSERT_TRUE(vplat::QueryControls(m_szTitle, &szText));
    std::map<int, std::string> lines = ParseControls(szText);
    ASSERT_FALSE(lines.empty()) << "one line per control in id order: " << szText;
    for (const auto& [nId, szWant] : kWritten)
        EXPECT_EQ(nId == 1008 ? "two lines" : szWant, lines[nId]) << nId << ": one line each";
    if (std::string(host::BackendName()) == "win32") {
        EXPECT_EQ("센터 전송", lines[1014]) << "the template's text until the program writes";
        EXPECT_EQ(0u, lines.count(-1)) << "labels are not controls";
    } else {
        EXPECT_EQ(kWritten.size(), lines.size()) << "the control model, nothing else";
    }
    EXPECT_EQ("51-1", m_pOwner->GetControlText(1005));
    m_pOwner->SetControlText(1009, "icon:130");
    Settle();
    EXPECT_FALSE(vplat::QueryControls("Nobody here", &szText));
    ASSERT_TRUE(vplat::QueryControls(m_szTitle, &szText));
    EXPECT_EQ("icon:130", ParseControls(szText)[1009]);
    // Setting an edit's text makes the edit notify its dialog; that is no click.
    EXPECT_EQ(1u, m_receiver.CountOf(vplat::kMsgCommand));
}

INSTANTIATE_TEST_SUITE_P(Host, WindowTest, ::testing::Bool(), [](const auto& info) {
    return std::string(host::BackendName()) + (info.param ? "Dialog" : "Window");
});

}  // namespace
}  // namespace vtest
