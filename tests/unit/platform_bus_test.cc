// Windows by title on the POSIX back-end: two station back-ends on one root, one holding a
// window and running its loop, the other finding it and sending, posting, querying and
// clicking; absent and stale windows; a receiver that hangs costs a sender at most 5 s.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>

#include "platform/env_wrapper.h"
#include "platform/window_bus.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

constexpr uint32_t kMsgHang = 0x0400 + 99;  // the test receiver blocks on this one

class Receiver : public vplat::LoopHandler {
  public:
    void OnLoopTimer(uint32_t) override {}
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        if (nMsg == kMsgHang) m_release.get_future().wait();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_got.push_back({nMsg, wParam, lParam});
        return static_cast<intptr_t>(wParam) * 1000 + lParam;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got.size();
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
    std::promise<void> m_release;  // lets a hung kMsgHang go on

  private:
    std::mutex m_mutex;      // guards m_got
    std::vector<Got> m_got;  // messages in arrival order
};

class WindowBusTest : public ::testing::Test {
  protected:
    static constexpr const char* kTitle = "Harwent Console v1.0";

    WindowBusTest()
        : m_pOwner(vplat::NewHostEnv(m_root.Path())), m_pCaller(vplat::NewHostEnv(m_root.Path())) {}
    ~WindowBusTest() override {
        try {
            m_receiver.m_release.set_value();  // a hung handler must not keep the loop
        } catch (const std::future_error&) {
        }
        StopLoop();
    }

    void StartLoop() {
        m_loop = std::thread([this] { m_pOwner->RunLoop(&m_receiver); });
    }
    void StopLoop() {
        if (!m_loop.joinable()) return;
        m_pOwner->QuitLoop();
        m_loop.join();
    }
    std::string SocketFile(const std::string& szEscaped) {
        return m_root.Host(".windows/" + szEscaped);
    }

    TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pOwner;   // holds the window
    std::unique_ptr<vplat::Env> m_pCaller;  // another program of the station
    Receiver m_receiver;
    std::thread m_loop;
};

TEST_F(WindowBusTest, StaleSocketFilesCountAsAbsentAndAreReplaced) {
    // A socket whose listener died without removing its file.
    std::filesystem::create_directories(m_root.Host(".windows"));
    const std::string szPath = SocketFile("Morwick");
    const int nFd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", szPath.c_str());
    ASSERT_EQ(0, bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    close(nFd);
    ASSERT_TRUE(std::filesystem::exists(szPath));
    EXPECT_TRUE(m_pCaller->FindWindowTitle("Morwick").IsNull());
    EXPECT_FALSE(std::filesystem::exists(szPath)) << "the stale file is removed";

    // A leftover that is not even a socket; a new owner takes the title over.
    WriteHostFile(szPath, "junk");
    ASSERT_TRUE(m_pOwner->OpenOwnWindow("Morwick"));
    EXPECT_FALSE(m_pCaller->FindWindowTitle("Morwick").IsNull());
}

TEST_F(WindowBusTest, TitleIsEscapedAndHeldByOneWindow) {
    ASSERT_TRUE(m_pOwner->OpenOwnWindow(kTitle));
    EXPECT_TRUE(std::filesystem::exists(SocketFile("Harwent%20Console%20v1.0")));
    EXPECT_FALSE(m_pCaller->OpenOwnWindow(kTitle)) << "a live window holds the title";
    EXPECT_EQ(kTitle, m_pCaller->FindWindowTitle(kTitle).szTitle);
    EXPECT_TRUE(m_pCaller->FindWindowTitle("Harwent Console").IsNull()) << "titles match exactly";
    m_pOwner.reset();
    EXPECT_TRUE(m_pCaller->FindWindowTitle(kTitle).IsNull()) << "closing the back-end closes it";
}

TEST_F(WindowBusTest, SendWaitsForTheHandlersResultOnTheLoopThread) {
    ASSERT_TRUE(m_pOwner->OpenOwnWindow(kTitle));
    StartLoop();
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(kTitle);
    ASSERT_FALSE(h.IsNull());
    EXPECT_EQ(101 * 1000 + 7, m_pCaller->SendWindowMessage(h, vplat::kMsgUser + 15, 101, 7));
    EXPECT_EQ(-3, m_pCaller->SendWindowMessage(h, vplat::kMsgUser + 15, 0, -3));
    ASSERT_EQ(2u, m_receiver.Count());
    EXPECT_EQ(vplat::kMsgUser + 15, m_receiver.Received()[0].nMsg);
}

TEST_F(WindowBusTest, PostArrivesWithoutWaitingForTheHandler) {
    ASSERT_TRUE(m_pOwner->OpenOwnWindow(kTitle));
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(kTitle);
    // The loop does not run yet: the post is taken all the same and delivered later.
    EXPECT_TRUE(m_pCaller->PostWindowMessage(h, vplat::kMsgUser + 17, 3, 4));
    EXPECT_EQ(0u, m_receiver.Count());
    StartLoop();
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Count() == 1; }));
    EXPECT_EQ(3u, m_receiver.Received()[0].wParam);
    EXPECT_EQ(4, m_receiver.Received()[0].lParam);
}

TEST_F(WindowBusTest, ManySendersEachGetTheirOwnResult) {
    ASSERT_TRUE(m_pOwner->OpenOwnWindow(kTitle));
    StartLoop();
    std::atomic<int> nWrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 6; ++t) {
        senders.emplace_back([&, t] {
            auto pEnv = vplat::NewHostEnv(m_root.Path());
            for (int i = 0; i < 15; ++i) {
                const intptr_t r = pEnv->SendWindowMessage(vplat::WindowHandle{kTitle}, 0x500,
                                                           static_cast<uintptr_t>(t), i);
                if (r != t * 1000 + i) ++nWrong;
            }
        });
    }
    for (std::thread& s : senders) s.join();
    EXPECT_EQ(0, nWrong.load());
    EXPECT_EQ(90u, m_receiver.Count());
}

TEST_F(WindowBusTest, HungReceiverCostsTheSenderAtMostTheCap) {
    ASSERT_TRUE(m_pOwner->OpenOwnWindow(kTitle));
    StartLoop();
    const vplat::WindowHandle h = m_pCaller->FindWindowTitle(kTitle);
    EXPECT_EQ(0, m_pCaller->SendWindowMessage(h, kMsgHang, 1, 1)) << "no answer within 5 s";
    m_receiver.m_release.set_value();
    EXPECT_EQ(2000, m_pCaller->SendWindowMessage(h, 0x500, 2, 0)) << "the window works again";
}

TEST_F(WindowBusTest, ToolsQueryControlsAndClickButtons) {
    ASSERT_TRUE(m_pOwner->OpenOwnWindow("Velmora"));
    m_pOwner->SetControlText(1005, "51-1");
    m_pOwner->SetControlText(1001, "192.168.0.10");
    m_pOwner->SetControlText(1009, "icon:129");
    m_pOwner->SetControlText(1008, "two\nlines");
    StartLoop();
    vplat::Env* pPrevious = vplat::Env::Install(m_pCaller.get());
    std::string szText;
    EXPECT_TRUE(vplat::QueryControls("Velmora", &szText));
    EXPECT_EQ("1001 192.168.0.10\n1005 51-1\n1008 two lines\n1009 icon:129\n", szText);
    EXPECT_FALSE(vplat::QueryControls("Nobody", &szText));
    EXPECT_TRUE(vplat::ClickControl("Velmora", 1014));
    EXPECT_TRUE(vplat::CloseWindowTitle("Velmora"));
    EXPECT_FALSE(vplat::ClickControl("Nobody", 1014));
    vplat::Env::Install(pPrevious);
    ASSERT_TRUE(WaitFor([&] { return m_receiver.Count() == 2; }));
    EXPECT_EQ(vplat::kMsgCommand, m_receiver.Received()[0].nMsg);
    EXPECT_EQ(1014u, m_receiver.Received()[0].wParam);
    EXPECT_EQ(vplat::kMsgClose, m_receiver.Received()[1].nMsg);
}

}  // namespace
}  // namespace vtest
