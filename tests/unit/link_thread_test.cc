// The link thread against a small Manager PC inside the test, over loopback: connecting,
// dispatching received frames, sending queued frames, reconnecting after a peer close, a
// frame error, a send failure and a hang-up (asked from another thread, and command 78
// closing the link before the dialer is told to end), keeping a partial frame across a
// close, and the thread's end; the reconnect period and the pause before the status
// report on the fake clock. Waits are bounded polls of the observable state, not timings.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

// The fake platform with the link thread's waits on its clock: a wait without a socket
// that finds nothing ready moves the fake clock by its whole time-out at once. Connects
// ('+' made, '-' failed) and sends ('>') are noted with the fake time since the start.
class FakeClockWaits final : public vplat::EnvWrapper {
  public:
    explicit FakeClockWaits(vplat::FakeEnv* pFake)
        : EnvWrapper(pFake), m_nStartMs(pFake->MonotonicMs()) {}
    int WaitEventsOrSocket(vplat::Event* const* ppEvents, int nEvents, vplat::SocketHandle s,
                           uint32_t nMs) override {
        if (s != vplat::kNoSocket) return Target()->WaitEventsOrSocket(ppEvents, nEvents, s, nMs);
        const int nWoke = Target()->WaitEventsOrSocket(ppEvents, nEvents, s, 0);
        if (nWoke == -1) Target()->SleepMs(nMs);
        return nWoke;
    }
    int SockConnect(vplat::SocketHandle s, uint32_t nAddr, uint16_t nPort) override {
        const int n = Target()->SockConnect(s, nAddr, nPort);
        Note(n == 1 ? '+' : '-');
        return n;
    }
    int SockSend(vplat::SocketHandle s, const void* pBuf, int nSize) override {
        Note('>');
        return Target()->SockSend(s, pBuf, nSize);
    }
    std::string Notes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_szNotes;
    }

  private:
    void Note(char c) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_szNotes += c + std::to_string(Target()->MonotonicMs() - m_nStartMs) + " ";
    }
    std::mutex m_mutex;
    uint64_t m_nStartMs;    // fake time of the start
    std::string m_szNotes;  // what happened when
};

class LinkThreadTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        WriteIni("[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\n");
        fs::create_directories(Host("d/System_Log"));
        MakeLinkedDialog("ABCDE", 0);
        Link().m_dwManagerIp = 0x7F000001;
        Link().m_nManagerPort = m_server.Port();
        Link().m_bRun = 1;
    }
    void StartThread() {
        Link().m_nIndex = 0;
        Link().m_hThread = std::thread(LinkThreadProc, m_pDlg.get(), 0);
        ASSERT_TRUE(m_server.Accept());
        ASSERT_TRUE(WaitFor([&] { return Link().m_nLinkState.load() == 1; }));
    }
    // Waits for a frame of the station and returns it.
    SentFrame RecvFrame() {
        std::vector<uint8_t> head = m_server.Recv(30);
        if (head.size() < 30) return SentFrame{head};
        const int n = FrameDecimal(head.data() + 2, 7);
        std::vector<uint8_t> rest = m_server.Recv(static_cast<size_t>(n - 30));
        head.insert(head.end(), rest.begin(), rest.end());
        return SentFrame{head};
    }

    LoopbackServer m_server;
};

TEST_F(LinkThreadTest, ReceivesDispatchesAndSends) {
    StartThread();
    EXPECT_EQ(CountDebugContaining("fnCallTCP[Tcp Client] = 0"), 0);  // the first connect is quiet
    m_server.Send(MakeFrame("71", Bytes("1")));
    ASSERT_TRUE(WaitFor([&] { return m_pDlg->m_nRecvFrames.load() == 1; }));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    ASSERT_EQ(QueueReport(57, "2026/12/06 23:59:59"), 1);
    const SentFrame f = RecvFrame();
    EXPECT_EQ(f.bytes.size(), 55u);
    EXPECT_EQ(f.Opcode(), 57);
    EXPECT_TRUE(WaitFor([&] { return Link().m_nSentFrames.load() == 1; }));
}

TEST_F(LinkThreadTest, PeerCloseIsCountedAndFollowedByAReconnectWithStatus) {
    StartThread();
    m_server.Drop();
    ASSERT_TRUE(WaitFor([&] { return Link().m_nDisconnects.load() == 1; }));
    // The line follows the count on the link thread.
    EXPECT_TRUE(WaitFor([&] {
        return CountDebugContaining("TCP 통신단절 [Thread- RECV Socket CLOSE...] = 0") == 1;
    }));
    EXPECT_EQ(QueueReport(59, ""), 0);  // nothing is kept for the next connection
    ASSERT_TRUE(m_server.Accept());
    const SentFrame f = RecvFrame();  // the short status after a reconnect
    EXPECT_EQ(f.Opcode(), 59);
    EXPECT_EQ(f.bytes.size(), 60u);
    EXPECT_EQ(CountDebugContaining("fnCallTCP[Tcp Client] = 0"), 1);
}

TEST_F(LinkThreadTest, FrameErrorEmptiesTheBufferButAPeerCloseKeepsAPartialFrame) {
    StartThread();
    const std::vector<uint8_t> good = MakeFrame("71", Bytes("1"));
    const std::vector<uint8_t> half(good.begin(), good.begin() + 20);
    // Half a frame, then bytes that cannot be a frame: all of it is thrown away.
    m_server.Send(half);
    ASSERT_TRUE(WaitFor([&] { return Link().m_nRecvEvents.load() >= 1; }));
    m_server.Send(Bytes("this is not a manager frame at all"));
    ASSERT_TRUE(m_server.PeerClosed());
    ASSERT_TRUE(WaitFor([&] {
        return CountDebugContaining("TCP 통신단절 [Thread- 통신 Frame ERROR...] = 0") == 1;
    }));
    EXPECT_EQ(Link().m_nDisconnects.load(), 0);
    ASSERT_TRUE(m_server.Accept());
    RecvFrame();  // short status
    // Half a frame, then the peer closes: the half is kept and completed on the next link.
    const int nEvents = Link().m_nRecvEvents.load();
    m_server.Send(half);
    ASSERT_TRUE(WaitFor([&] { return Link().m_nRecvEvents.load() > nEvents; }));
    m_server.Drop();
    ASSERT_TRUE(m_server.Accept());
    RecvFrame();
    m_server.Send(std::vector<uint8_t>(good.begin() + 20, good.end()));
    ASSERT_TRUE(WaitFor([&] { return m_pDlg->m_nRecvFrames.load() == 1; }));
    EXPECT_EQ(Control(IDC_RECV_BOX), "71-1");
}

// Nothing queued for one connection goes out on a later one: the answer to a time query
// that arrived in the same read as a frame error is dropped with that connection.
TEST_F(LinkThreadTest, NothingQueuedBeforeAFrameErrorGoesOutOnTheNextConnection) {
    StartThread();
    std::vector<uint8_t> bytes = MakeFrame("57", {});
    const std::vector<uint8_t> junk = Bytes("this is not a manager frame at all");
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    m_server.Send(bytes);
    ASSERT_TRUE(m_server.PeerClosed());
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(RecvFrame().Opcode(), 59) << "the short status of the new connection comes first";
    m_server.Send(MakeFrame("59", {}));
    EXPECT_EQ(RecvFrame().Opcode(), 59) << "and the old time report never follows";
}

TEST_F(LinkThreadTest, SendFailureDropsTheQueueAndArmsThePause) {
    StartThread();
    m_pSession->m_nSendKind = SEND_VOL;
    m_pSession->m_nVolLinkErrors = 10;
    m_pDlg->m_nProgramKind = 2;
    m_pEnv->FailSend(1, false);
    ASSERT_EQ(QueueReport(56, "x"), 1);
    ASSERT_TRUE(WaitFor([&] { return Link().m_nDisconnects.load() == 1; }));
    EXPECT_TRUE(WaitFor([&] {
        return CountDebugContaining("TCP 통신단절 [Thread- Data 전송 ERROR...] = 0") == 1;
    }));
    EXPECT_TRUE(WaitFor([&] { return m_pSession->m_nPauseLimit.load() == 300; }));
    EXPECT_EQ(m_pSession->m_nVolLinkErrors.load(), 0);
    EXPECT_TRUE(m_server.PeerClosed());
    EXPECT_TRUE(TakeFrames().empty());
}

TEST_F(LinkThreadTest, HangUpClosesWithoutCountingAndStopEndsTheThread) {
    StartThread();
    ASSERT_TRUE(m_pDlg->CloseLinkNow(0, 5000));  // from another thread: closed on return
    EXPECT_EQ(Link().m_hSocket.load(), INVALID_SOCKET_T);
    ASSERT_TRUE(m_server.PeerClosed(0));
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(Link().m_nDisconnects.load(), 0);
    EXPECT_EQ(CountDebugContaining("TCP 통신단절"), 0);
    EXPECT_EQ(RecvFrame().Opcode(), 59);
    Link().m_bRun = 0;
    Link().m_hStopEvent->Set();
    Link().m_hThread.join();
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
    EXPECT_EQ(CountDebugContaining("TCP 통신단절 [Thread TERMINATE...] = 0"), 1);
    EXPECT_TRUE(m_server.PeerClosed());
}

// Command 78 on a CDMA line runs on the link thread: the center has seen the connection
// closed when the dialer receives its first WM_DESTROY.
TEST_F(LinkThreadTest, CdmaHangUpClosesTheLinkBeforeTheDialerIsToldToEnd) {
    m_pDlg->m_nCenterCommKind = 1;
    std::atomic<int> nDestroys{0}, nClosedBefore{0};
    m_pEnv->AddWindow(sib::kBrisketon);
    m_pEnv->SetWindowHandler(sib::kBrisketon, [&](uint32_t nMsg, uintptr_t, intptr_t) {
        if (nMsg != vplat::kMsgDestroy || nDestroys++ > 0) return intptr_t{0};
        if (Link().m_hSocket.load() == INVALID_SOCKET_T && m_server.PeerClosed(0)) ++nClosedBefore;
        return intptr_t{0};
    });
    StartThread();
    m_server.Send(MakeFrame("78", {}));
    ASSERT_TRUE(WaitFor([&] { return nDestroys.load() == 2; }));
    EXPECT_EQ(nClosedBefore.load(), 1);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 0);
    EXPECT_EQ(Link().m_nDisconnects.load(), 0);
    ASSERT_TRUE(m_server.Accept());  // and back as after any break
    EXPECT_EQ(RecvFrame().Opcode(), 59);
}

TEST_F(LinkThreadTest, ReconnectThreeSecondsAfterAFailedConnectAndStatus300MsLater) {
    FakeClockWaits env(m_pEnv.get());
    vplat::Env::Install(&env);
    m_pEnv->FailConnect(1, false);
    Link().m_nIndex = 0;
    Link().m_hThread = std::thread(LinkThreadProc, m_pDlg.get(), 0);
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(RecvFrame().Opcode(), 59);
    EXPECT_EQ(env.Notes(), "-0 +3000 >3300 ");
    Link().m_bRun = 0;
    Link().m_hStopEvent->Set();
    Link().m_hThread.join();
    vplat::Env::Install(m_pEnv.get());
}

TEST_F(LinkThreadTest, UnreachableManagerLeavesTheLinkDown) {
    Link().m_nManagerPort = FreePort();
    Link().m_hThread = std::thread(LinkThreadProc, m_pDlg.get(), 0);
    ASSERT_TRUE(WaitFor([&] { return Link().m_nLinkState.load() == 2; }));
    const std::string szSpin = Control(IDC_SENT_FRAMES);
    EXPECT_TRUE(szSpin == "| |" || szSpin == "/ /" || szSpin == "= =") << szSpin;
    EXPECT_EQ(Control(IDC_RECV_EVENTS), std::to_string(Link().m_nManagerPort));
    EXPECT_EQ(QueueReport(59, ""), 0);
}

}  // namespace
}  // namespace vtest
