// The link thread against a small Manager PC inside the test, over loopback, with the
// station's counters. Its waits without a socket and the send time-out run on the fake
// clock (held while the test looks at the link down); the test's own waits are bounded
// polls of the observable state.
#include "status/station_stats.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

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
        m_pEnv->WaitOnFakeClock(true);
    }
    void StartThread(bool bAccept = true) {
        Link().m_nIndex = 0;
        Link().m_hThread = std::thread(LinkThreadProc, m_pDlg.get(), 0);
        if (!bAccept) return;
        ASSERT_TRUE(m_server.Accept());
        ASSERT_TRUE(WaitFor([&] { return Link().m_nLinkState.load() == 1; }));
    }
    // The thread sits in its nth reconnect wait (held).
    bool Parked(int n) {
        return WaitFor([&] { return m_pEnv->IdleWaits() == n; });
    }
    // Lifts the hold, takes the new connection and its short status report, holds again.
    void Reconnected() {
        m_pEnv->HoldIdleWaits(false);
        ASSERT_TRUE(m_server.Accept());
        const SentFrame f = RecvFrame();
        EXPECT_EQ(f.Opcode(), 59);
        EXPECT_EQ(f.bytes.size(), 60u);
        m_pEnv->HoldIdleWaits(true);
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
    uint64_t Stat(StatCounter n) { return m_pDlg->m_stats.Get(n); }
    bool WaitStat(StatCounter n, uint64_t nValue) {
        return WaitFor([&] { return Stat(n) == nValue; });
    }
    bool WaitLine(const std::string& sz, int n = 1) {
        return WaitFor([&] { return CountDebugContaining(sz) == n; });
    }

    LoopbackServer m_server;
};

// Received frames are dispatched and sent ones counted, with the drops. A peer close is
// then one break; while the link is down a frame is refused (nothing is kept for the next
// connection); 3 s later it connects again and 300 ms after that the short status goes.
TEST_F(LinkThreadTest, ReceivesAndSendsCountingFramesBytesAndDropsThenAPeerCloseIsOneBreak) {
    StartThread();
    EXPECT_EQ(CountDebugContaining("fnCallTCP[Tcp Client] = 0"), 0);  // the first connect is quiet
    const std::vector<uint8_t> good = MakeFrame("71", Bytes("1"));
    std::vector<uint8_t> burst;
    for (const auto& f : {good, MakeFrame("71", Bytes("1"), "ABCDE", 0, /*bBadCrc=*/true),
                          MakeFrame("71", Bytes("1"), "ZZZZZ"), good})
        burst.insert(burst.end(), f.begin(), f.end());
    m_server.Send(burst);
    ASSERT_TRUE(WaitStat(kStatBytesIn, burst.size()));
    ASSERT_TRUE(WaitStat(kStatFramesIn, 4));
    EXPECT_EQ(Stat(kStatCrcErrors), 1u);
    EXPECT_EQ(Stat(kStatForeignId), 1u);
    EXPECT_TRUE(WaitFor([&] { return m_pDlg->m_nRecvFrames.load() == 2; }));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    m_pEnv->LimitSendBytes(20);  // a socket that takes 20 bytes a call still sends it whole
    ASSERT_EQ(QueueReport(57, "2026/12/06 23:59:59"), 1);
    const SentFrame f = RecvFrame();
    EXPECT_EQ(f.bytes.size(), 55u);
    EXPECT_EQ(f.Opcode(), 57);
    ASSERT_TRUE(WaitStat(kStatBytesOut, 55));
    EXPECT_EQ(Stat(kStatFramesOut), 1u);
    EXPECT_EQ(Link().m_nSentFrames.load(), 1);
    m_pEnv->LimitSendBytes(0);
    m_pEnv->TraceSockets();
    m_pEnv->HoldIdleWaits(true);
    for (auto* pInFlight : {&m_pSession->m_nVolPacketInFlight, &m_pSession->m_nImagePacketInFlight,
                            &m_pSession->m_nLogPacketInFlight})
        *pInFlight = 5;
    m_server.Drop();
    ASSERT_TRUE(Parked(1));
    EXPECT_EQ(Link().m_nDisconnects.load(), 1);
    EXPECT_EQ(Stat(kStatDisconnects), 1u);
    EXPECT_EQ(CountDebugContaining("TCP 통신단절 [Thread- RECV Socket CLOSE...] = 0"), 1);
    EXPECT_EQ(QueueReport(59, ""), 0);
    EXPECT_EQ(Stat(kStatQueueRefused), 1u);
    Reconnected();
    ASSERT_TRUE(WaitStat(kStatBytesOut, 55 + 60));
    EXPECT_EQ(Stat(kStatFramesOut), 2u);
    EXPECT_EQ(Stat(kStatReconnects), 1u);
    EXPECT_EQ(CountDebugContaining("fnCallTCP[Tcp Client] = 0"), 1);
    EXPECT_EQ(m_pEnv->SocketTrace(), "+3000 >3300 ");
    // No reply on the new connection answers a packet sent on the old one.
    EXPECT_EQ(m_pSession->m_nVolPacketInFlight.load(), -1);
    EXPECT_EQ(m_pSession->m_nImagePacketInFlight.load(), -1);
    EXPECT_EQ(m_pSession->m_nLogPacketInFlight.load(), -1);
}

// A frame error is not a break: the received bytes are thrown away, so is what was queued
// for that connection (the answer to a time query in the same read), and the link comes
// back at once; a second error without a frame in between waits the usual period. A peer
// close keeps a partial frame, completed on the next connection.
TEST_F(LinkThreadTest, FrameErrorsEmptyTheBufferAndTheQueueButAPeerCloseKeepsAPartialFrame) {
    const std::string szFrameError = "TCP 통신단절 [Thread- 통신 Frame ERROR...] = 0";
    StartThread();
    m_pEnv->HoldIdleWaits(true);
    const std::vector<uint8_t> good = MakeFrame("71", Bytes("1"));
    const std::vector<uint8_t> half(good.begin(), good.begin() + 20);
    const std::vector<uint8_t> junk = Bytes("this is not a manager frame at all");
    std::vector<uint8_t> query = MakeFrame("57", {});
    query.insert(query.end(), junk.begin(), junk.end());
    const std::vector<uint8_t> status = MakeFrame("59", {});
    m_server.Send(half);
    ASSERT_TRUE(WaitFor([&] { return Link().m_nRecvEvents.load() >= 1; }));
    m_server.Send(junk);
    ASSERT_TRUE(m_server.PeerClosed());
    ASSERT_TRUE(WaitLine(szFrameError));
    ASSERT_TRUE(m_server.Accept()) << "at once, not after a wait";
    EXPECT_EQ(RecvFrame().Opcode(), 59);
    m_server.Send(junk);  // again, no frame in between
    ASSERT_TRUE(Parked(1));
    EXPECT_EQ(CountDebugContaining(szFrameError), 2);
    Reconnected();
    m_server.Send(query);
    ASSERT_TRUE(m_server.PeerClosed());
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(RecvFrame().Opcode(), 59) << "the short status of the new connection comes first";
    m_server.Send(status);
    EXPECT_EQ(RecvFrame().Opcode(), 59) << "and the old time report never follows";
    m_server.Send(half);
    // Bytes in are counted as they are read (the receive count only after the replies).
    ASSERT_TRUE(WaitStat(kStatBytesIn, 2 * half.size() + 2 * junk.size() + query.size() +
                                           status.size()));
    m_server.Drop();
    ASSERT_TRUE(Parked(2));
    Reconnected();
    m_server.Send(std::vector<uint8_t>(good.begin() + 20, good.end()));
    ASSERT_TRUE(WaitStat(kStatFramesIn, 3));  // 57, 59, 71
    EXPECT_TRUE(WaitFor([&] { return Control(IDC_RECV_BOX) == "71-1"; }));
    EXPECT_EQ(Stat(kStatBytesIn),
              good.size() + half.size() + 2 * junk.size() + query.size() + status.size());
    EXPECT_EQ(Stat(kStatFrameErrors), 3u);
    EXPECT_EQ(Stat(kStatDisconnects), 1u) << "the peer close only";
    EXPECT_EQ(Stat(kStatReconnects), 4u);
    // With part of a frame held, a receive asks only for the space left behind it.
    EXPECT_EQ(m_pEnv->LargestReceiveAsked(), kRecvBufSize);
}

// A failed send, or a Manager PC that reads nothing for longer than the send time-out
// (5 s), is one break: its frame is not counted, the queue goes with the connection, the
// pause rule counts it, and the link comes back with the short status. A stall of exactly
// the time-out only delays the frame: it arrives whole and is counted once.
TEST_F(LinkThreadTest, AFailedOrStalledSendIsOneBreakButALateFrameArrivesWhole) {
    const struct {
        int nFailSend;     // the nth send fails (0: none)
        int64_t nStallMs;  // after the first frame and 100 bytes the peer stalls (0: never)
        bool bBreaks;
    } kCases[] = {{2, 0, true}, {0, 5000, false}, {0, -1, true}};
    StartThread();
    m_pEnv->HoldIdleWaits(true);
    m_pSession->m_nSendKind = SEND_VOL;
    m_pSession->m_nVolLinkErrors = 10;
    m_pDlg->m_nProgramKind = 2;
    uint64_t nOut = 0, nBytesOut = 0;
    int nBreaks = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.nStallMs);
        const uint64_t nStartMs = m_pEnv->MonotonicMs();
        if (c.nFailSend > 0) m_pEnv->FailSend(c.nFailSend, false);
        if (c.nStallMs != 0) m_pEnv->StallSendsAfter(37 + 100, c.nStallMs);
        ASSERT_EQ(QueueReport(56, "x"), 1);
        EXPECT_EQ(RecvFrame().bytes.size(), 37u);
        ASSERT_TRUE(WaitStat(kStatFramesOut, nOut + 1));
        ASSERT_TRUE(WaitFor([&] { return m_pEnv->ThreadsWaiting() == 1; }));  // none left over
        ASSERT_EQ(QueueReport(56, "000001" + std::string(2988, 'x')), 1);     // the largest
        if (c.bBreaks) {
            ASSERT_TRUE(Parked(++nBreaks));
            EXPECT_EQ(Link().m_nDisconnects.load(), nBreaks);
            EXPECT_EQ(Stat(kStatDisconnects), static_cast<uint64_t>(nBreaks));
            EXPECT_EQ(Stat(kStatFramesOut), nOut + 1);
            EXPECT_EQ(Stat(kStatBytesOut), nBytesOut + 37);
            EXPECT_EQ(CountDebugContaining("TCP 통신단절 [Thread- Data 전송 ERROR...] = 0"),
                      nBreaks);
            EXPECT_TRUE(TakeFrames().empty());
            EXPECT_EQ(m_pEnv->MonotonicMs() - nStartMs, c.nStallMs < 0 ? 5000u : 0u);
            if (nBreaks == 1) {
                EXPECT_TRUE(m_server.PeerClosed());
                EXPECT_EQ(m_pSession->m_nPauseLimit.load(), 300);
                EXPECT_EQ(m_pSession->m_nVolLinkErrors.load(), 0);
                m_pSession->m_nSendKind = SEND_NONE;  // else the status waits for the file
            }
            m_pEnv->StallSendsAfter(-1, 0);
            Reconnected();
            nOut += 2;
            nBytesOut += 37 + 60;
        } else {
            const SentFrame f = RecvFrame();
            ASSERT_EQ(f.bytes.size(), static_cast<size_t>(kFrameBufSize));
            uint32_t nComputed = 0, nStored = 0;
            CTcpCommon::CheckFrameCrc(f.bytes.data(), kFrameBufSize, &nComputed, &nStored);
            EXPECT_EQ(nComputed, nStored);
            EXPECT_EQ(f.Digits(30, 6), 1);
            nOut += 2;
            nBytesOut += 37 + kFrameBufSize;
            EXPECT_EQ(m_pEnv->MonotonicMs() - nStartMs, 5000u);
        }
        ASSERT_TRUE(WaitStat(kStatBytesOut, nBytesOut));
        EXPECT_EQ(Stat(kStatFramesOut), nOut);
        EXPECT_EQ(Link().m_nDisconnects.load(), nBreaks);
    }
    EXPECT_EQ(Stat(kStatQueueDropped), 0u);
}

// What the stalled peer stands in for, on the real back-end: a socket whose peer does not
// read takes no more (a send answers 0, not an error) until the peer reads again.
TEST_F(LinkThreadTest, AFullSocketWouldBlockUntilThePeerReads) {
    const vplat::SocketHandle s = m_pEnv->SockOpenTcp();
    ASSERT_EQ(m_pEnv->SockConnect(s, 0x7F000001, static_cast<uint16_t>(m_server.Port())), 1);
    ASSERT_TRUE(m_server.Accept());
    ASSERT_TRUE(m_pEnv->SockSetBlocking(s, false));
    const std::vector<uint8_t> chunk(65536, 'x');
    size_t nSent = 0;
    int n = 1;
    for (int k = 0; k < 10000 && n > 0; ++k) {
        n = m_pEnv->SockSend(s, chunk.data(), static_cast<int>(chunk.size()));
        nSent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(m_pEnv->SockWait(s, vplat::kSockWritable, 0), 0);
    EXPECT_EQ(m_server.Recv(nSent).size(), nSent);
    EXPECT_EQ(m_pEnv->SockWait(s, vplat::kSockWritable, 10000), vplat::kSockWritable);
    m_pEnv->SockClose(s);
}

TEST_F(LinkThreadTest, HangUpClosesWithoutCountingAndStopEndsTheThread) {
    StartThread();
    m_pEnv->HoldIdleWaits(true);
    ASSERT_TRUE(m_pDlg->CloseLinkNow(0, 5000));  // from another thread: closed on return
    EXPECT_EQ(Link().m_hSocket.load(), INVALID_SOCKET_T);
    ASSERT_TRUE(m_server.PeerClosed(0));
    ASSERT_TRUE(Parked(1));
    EXPECT_EQ(Link().m_nDisconnects.load(), 0);
    EXPECT_EQ(Stat(kStatDisconnects), 0u);
    EXPECT_EQ(CountDebugContaining("TCP 통신단절"), 0);
    Reconnected();
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

// The Manager PC cannot be reached: the link stays down (spinner, the port shown, frames
// refused) and the next attempt comes 3 s later; its status report 300 ms after it.
TEST_F(LinkThreadTest, AnUnreachableManagerLeavesTheLinkDownAndItIsCalledAgain3sLater) {
    m_pEnv->HoldIdleWaits(true);
    m_pEnv->TraceSockets();
    const int nPort = FreePort();
    Link().m_nManagerPort = nPort;
    StartThread(false);
    ASSERT_TRUE(Parked(1));
    EXPECT_EQ(CountDebug("manager link: connect to 127.0.0.1:" + std::to_string(nPort) +
                         " failed: refused"),
              1);
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
    EXPECT_EQ(m_pDlg->m_stats.GetGauge(kGaugeConnectAttempts), 1);
    const std::string szSpin = Control(IDC_SENT_FRAMES);
    EXPECT_TRUE(szSpin == "| |" || szSpin == "/ /" || szSpin == "= =") << szSpin;
    const std::string szOrder = "|/=";
    for (size_t k = 1; k <= 3; ++k) {  // each call shows the next phase
        m_pSession->ShowLinkSpinner(-1);
        EXPECT_EQ(Control(IDC_SENT_FRAMES)[0], szOrder[(szOrder.find(szSpin[0]) + k) % 3]);
    }
    EXPECT_EQ(Control(IDC_RECV_EVENTS), std::to_string(nPort));
    EXPECT_EQ(QueueReport(59, ""), 0);
    Link().m_nManagerPort = m_server.Port();  // read by the thread after the hold
    Reconnected();
    EXPECT_EQ(m_pDlg->m_stats.GetGauge(kGaugeConnectAttempts), 0);
    EXPECT_EQ(CountDebug("manager link: connected after 2 attempts"), 1);
    const std::string szTrace = m_pEnv->SocketTrace();  // the first connect may fail later
    EXPECT_EQ(szTrace.substr(1), "0 +3000 >3300 ") << szTrace;
}

}  // namespace
}  // namespace vtest
