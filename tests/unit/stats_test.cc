// The station's counters: every frame, byte, checksum and ID drop, frame error, link break
// and reconnect counted once by the link thread against a small Manager PC over loopback;
// queue refusals and overflow drops; files sent, moved aside, resent packets, refusals,
// images and logs counted by the transfers; counts from two threads at once; and the
// "VelmoraStats" mapping byte by byte as velmoractl reads it, a left-over mapping of an
// earlier run cleared, and mappings of another layout refused.
#include <thread>

#include "status/station_stats.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class StatsTest : public StationTest {
  protected:
    uint64_t Stat(StatCounter n) { return m_pDlg->m_stats.Get(n); }
};

class StatsLinkTest : public StatsTest {
  protected:
    void SetUp() override {
        StatsTest::SetUp();
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
    // The next frame of the station, whole.
    SentFrame RecvFrame() {
        std::vector<uint8_t> head = m_server.Recv(30);
        if (head.size() < 30) return SentFrame{head};
        std::vector<uint8_t> rest =
            m_server.Recv(static_cast<size_t>(FrameDecimal(head.data() + 2, 7) - 30));
        head.insert(head.end(), rest.begin(), rest.end());
        return SentFrame{head};
    }
    bool WaitStat(StatCounter n, uint64_t nValue) {
        return WaitFor([&] { return Stat(n) == nValue; });
    }
    // Offers frames as large as the report buffer holds (2,994 data bytes), numbered from 0 (the number in the first six data bytes),
    // one at a time, until the link thread no longer gets one off the queue: the socket
    // takes no more while the Manager PC does not read. The count offered (0: never full).
    int OfferUntilTheSocketIsFull() {
        for (int k = 0; k < 1000; ++k) {
            char szSeq[16];
            std::snprintf(szSeq, sizeof szSeq, "%06d", k);
            EXPECT_EQ(QueueReport(56, szSeq + std::string(2988, 'x')), 1);
            if (!WaitFor([&] { return Stat(kStatFramesOut) == static_cast<uint64_t>(k + 1); }, 500))
                return k + 1;
        }
        return 0;
    }

    LoopbackServer m_server;
};

TEST_F(StatsLinkTest, FramesBytesDropsErrorsBreaksAndReconnects) {
    StartThread();
    const std::vector<uint8_t> good = MakeFrame("71", Bytes("1"));
    const std::vector<uint8_t> badCrc = MakeFrame("71", Bytes("1"), "ABCDE", 0, true);
    const std::vector<uint8_t> foreign = MakeFrame("71", Bytes("1"), "ZZZZZ");
    std::vector<uint8_t> burst;
    for (const auto* f : {&good, &badCrc, &foreign, &good})
        burst.insert(burst.end(), f->begin(), f->end());
    m_server.Send(burst);
    ASSERT_TRUE(WaitStat(kStatBytesIn, burst.size()));
    ASSERT_TRUE(WaitStat(kStatFramesIn, 4));
    EXPECT_EQ(Stat(kStatCrcErrors), 1u);
    EXPECT_EQ(Stat(kStatForeignId), 1u);
    EXPECT_TRUE(WaitFor([&] { return m_pDlg->m_nRecvFrames.load() == 2; }));

    ASSERT_EQ(QueueReport(57, "2026/12/06 23:59:59"), 1);
    EXPECT_EQ(RecvFrame().bytes.size(), 55u);
    ASSERT_TRUE(WaitStat(kStatFramesOut, 1));
    EXPECT_EQ(Stat(kStatBytesOut), 55u);

    // The Manager PC closes: one break; a frame offered meanwhile is refused; the link
    // comes back with the short status report.
    m_server.Drop();
    ASSERT_TRUE(WaitStat(kStatDisconnects, 1));
    EXPECT_EQ(QueueReport(59, ""), 0);
    EXPECT_EQ(Stat(kStatQueueRefused), 1u);
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(RecvFrame().Opcode(), 59);
    ASSERT_TRUE(WaitStat(kStatFramesOut, 2));
    EXPECT_EQ(Stat(kStatBytesOut), 55u + 60u);
    EXPECT_EQ(Stat(kStatReconnects), 1u);

    // Bytes that cannot be a frame: a frame error, which is not a break.
    const std::vector<uint8_t> junk = Bytes("this is not a manager frame at all");
    m_server.Send(junk);
    ASSERT_TRUE(m_server.PeerClosed());
    ASSERT_TRUE(WaitStat(kStatFrameErrors, 1));
    EXPECT_EQ(Stat(kStatDisconnects), 1u);
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(RecvFrame().Opcode(), 59);
    EXPECT_TRUE(WaitStat(kStatReconnects, 2));
    EXPECT_TRUE(WaitStat(kStatBytesIn, burst.size() + junk.size()));
    EXPECT_EQ(Stat(kStatFramesIn), 4u);
}

TEST_F(StatsLinkTest, AFailedSendIsOneBreakAndItsFrameIsNotCounted) {
    StartThread();
    m_pEnv->FailSend(1, false);
    ASSERT_EQ(QueueReport(56, "x"), 1);
    ASSERT_TRUE(WaitStat(kStatDisconnects, 1));
    EXPECT_EQ(Stat(kStatFramesOut), 0u);
    EXPECT_EQ(Stat(kStatBytesOut), 0u);
    ASSERT_TRUE(m_server.Accept());
    EXPECT_EQ(RecvFrame().Opcode(), 59);
    EXPECT_TRUE(WaitStat(kStatFramesOut, 1));
}

TEST_F(StatsLinkTest, AFrameTheSocketTakesLateArrivesWholeAndIsCountedOnce) {
    StartThread();
    const int nOffered = OfferUntilTheSocketIsFull();
    ASSERT_GT(nOffered, 0) << "the socket never filled up";
    // The Manager PC reads again: every frame arrives whole, in order, once.
    const std::vector<uint8_t> got = m_server.Recv(static_cast<size_t>(nOffered) * kFrameBufSize, 20000);
    ASSERT_EQ(got.size(), static_cast<size_t>(nOffered) * kFrameBufSize);
    for (int k = 0; k < nOffered; ++k) {
        const SentFrame f{
            std::vector<uint8_t>(got.begin() + k * kFrameBufSize, got.begin() + (k + 1) * kFrameBufSize)};
        uint32_t nComputed = 0;
        uint32_t nStored = 0;
        CTcpCommon::CheckFrameCrc(f.bytes.data(), kFrameBufSize, &nComputed, &nStored);
        ASSERT_EQ(nComputed, nStored) << k;
        ASSERT_EQ(f.Digits(30, 6), k);
    }
    EXPECT_TRUE(WaitStat(kStatFramesOut, static_cast<uint64_t>(nOffered)));
    EXPECT_EQ(Stat(kStatBytesOut), static_cast<uint64_t>(nOffered) * kFrameBufSize);
    EXPECT_EQ(Stat(kStatQueueDropped), 0u);
    EXPECT_EQ(Stat(kStatDisconnects), 0u);
}

TEST_F(StatsLinkTest, AManagerThatNeverReadsBreaksTheLinkAfterTheSendTimeOut) {
    StartThread();
    const int nOffered = OfferUntilTheSocketIsFull();
    ASSERT_GT(nOffered, 0) << "the socket never filled up";
    ASSERT_TRUE(WaitFor([&] { return Stat(kStatDisconnects) == 1; }, 30000));
    EXPECT_TRUE(WaitFor([&] {
        return CountDebugContaining("TCP 통신단절 [Thread- Data 전송 ERROR...] = 0") == 1;
    }));
    EXPECT_EQ(Stat(kStatFramesOut), static_cast<uint64_t>(nOffered - 1));
}

TEST_F(StatsTest, QueueOverflowAndRefusals) {
    MakeLinkedDialog();
    for (int k = 0; k < 25; ++k) ASSERT_EQ(QueueReport(59, ""), 1);
    EXPECT_EQ(Stat(kStatQueueDropped), 6u);  // the queue keeps the 19 newest
    uint8_t big[kLinkSendBufSize + 1] = {};
    EXPECT_EQ(m_pDlg->QueueFrame(big, sizeof big, 0), 0);
    Link().m_nLinkState = 2;
    EXPECT_EQ(QueueReport(59, ""), 0);
    EXPECT_EQ(Stat(kStatQueueRefused), 2u);
    EXPECT_EQ(Stat(kStatQueueDropped), 6u);
}

class StatsTransferTest : public StatsTest {
  protected:
    void SetUp() override {
        StatsTest::SetUp();
        MakeTransferStation();
    }
    void VolReply(int nPacket, uint8_t nStatus) {
        m_pSession->OnVolReply(Reply(OP_VOL_FILE, nPacket, nStatus).data(), 0);
        TakeFrames();
    }
};

TEST_F(StatsTransferTest, FilesSentMovedResentAndRefused) {
    PutFile("d/ENF_IMG/1000.ABCDE", Pattern(5000));
    m_pSession->SendViolationFile();
    VolReply(0, PACKET_OK);
    VolReply(1, ERROR_RESEND);
    VolReply(1, PACKET_OK);
    EXPECT_EQ(Stat(kStatFilesSent), 0u);
    VolReply(2, PACKET_OK);
    EXPECT_EQ(Stat(kStatFilesSent), 1u);
    EXPECT_EQ(Stat(kStatResends), 1u);

    PutFile("d/ENF_IMG/1001.ABCDE", Pattern(5000));
    for (int nAttempt = 1; nAttempt <= 4; ++nAttempt) {
        m_pSession->SendViolationFile();
        TakeFrames();
        VolReply(0, ERROR_FILE);
    }
    EXPECT_TRUE(Exists("d/delete_img/1001.ABCDE"));
    EXPECT_EQ(Stat(kStatRefusals), 4u);
    EXPECT_EQ(Stat(kStatFilesMoved), 1u);
    EXPECT_EQ(Stat(kStatFilesSent), 1u);

    // An empty file is moved aside on its second tick.
    PutFile("d/ENF_IMG/1002.ABCDE", {});
    m_pSession->SendViolationFile();
    m_pSession->SendViolationFile();
    EXPECT_FALSE(Exists("d/ENF_IMG/1002.ABCDE"));
    EXPECT_EQ(Stat(kStatFilesMoved), 2u);
    EXPECT_EQ(Stat(kStatResends), 1u);
    EXPECT_EQ(Stat(kStatFramesOut), 0u);  // queued only: no link thread sends here
}

TEST_F(StatsTransferTest, ImagesAndLogsSentAndTheirResends) {
    PutFile("d/Capture_img/RoadImage.ABCDE", Pattern(7500, 3));
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    TakeFrames();
    for (int k = 0; k < 4; ++k) {
        if (k == 2) {
            m_pSession->OnImageReply(52, 0, Reply(52, k, ERROR_RESEND).data());
            TakeFrames();
        }
        EXPECT_EQ(Stat(kStatImagesSent), 0u) << k;
        m_pSession->OnImageReply(52, 0, Reply(52, k, PACKET_OK).data());
        TakeFrames();
    }
    EXPECT_EQ(Stat(kStatImagesSent), 1u);
    EXPECT_EQ(Stat(kStatResends), 1u);

    PutFile("d/System_Log/2024/20240305.ABCDE", std::vector<uint8_t>(6001, 'L'));
    m_pSession->SendRunningLog(0);
    TakeFrames();
    ASSERT_EQ(m_pSession->m_nLogTotalPacket, 4);
    for (int k = 0; k < 4; ++k) {
        if (k == 1) {
            m_pSession->OnLogReply(OP_RUN_LOG, 0, Reply(OP_RUN_LOG, k, ERROR_RESEND).data());
            TakeFrames();
        }
        m_pSession->OnLogReply(OP_RUN_LOG, 0, Reply(OP_RUN_LOG, k, PACKET_OK).data());
        TakeFrames();
    }
    EXPECT_EQ(Stat(kStatLogsSent), 1u);
    EXPECT_EQ(Stat(kStatResends), 2u);
    EXPECT_EQ(Stat(kStatFilesSent), 0u);
}

// The 64-bit value at nAt, little-endian.
uint64_t Le64(const uint8_t* p, size_t nAt) {
    uint64_t n = 0;
    for (size_t k = 0; k < 8; ++k) n |= static_cast<uint64_t>(p[nAt + k]) << (8 * k);
    return n;
}

TEST_F(StatsTest, PublishedMappingLayout) {
    m_pEnv->SetTime64(0x123456789LL);
    vplat::MappedView stale;
    bool bCreated = false;
    ASSERT_TRUE(m_pEnv->CreateMapping("VelmoraStats", kStatsMappingSize, &stale, &bCreated));
    std::memset(stale.pView, 0xFF, kStatsMappingSize);  // left by an earlier run
    m_pEnv->CloseMapping(&stale);

    CStationStats stats;
    stats.Add(kStatFilesSent, 2);
    ASSERT_TRUE(stats.Publish());
    stats.Add(kStatResends);  // after publishing: written through at once
    stats.Add(kStatBytesOut, 0x0102030405060708ULL);

    vplat::MappedView view;
    ASSERT_TRUE(m_pEnv->OpenMapping("VelmoraStats", &view));
    ASSERT_GE(view.nSize, kStatsMappingSize);
    const auto* p = static_cast<const uint8_t*>(view.pView);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 4), "VLTS");
    EXPECT_EQ(std::vector<uint8_t>(p + 4, p + 16),
              (std::vector<uint8_t>{2, 0, 0, 0, kStatCount, 0, 0, 0, kGaugeCount, 0, 0, 0}));
    EXPECT_EQ(Le64(p, 16), 0x123456789ULL);
    EXPECT_EQ(Le64(p, 24), 0u);
    // bytes_out is counter 3, files_sent 11, resends 13.
    EXPECT_EQ(std::vector<uint8_t>(p + 32 + 8 * 3, p + 32 + 8 * 4),
              (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    for (int k = 0; k < kStatCount; ++k) {
        const uint64_t nWant = k == 3 ? 0x0102030405060708ULL : k == 11 ? 2 : k == 13 ? 1 : 0;
        EXPECT_EQ(Le64(p, 32 + 8 * static_cast<size_t>(k)), nWant) << StatCounterName(k);
    }
    EXPECT_EQ(Le64(p, 32 + 8 * kStatCount), 0u);  // past the counters: cleared too
    // Gauges go both ways and are written through; the oldest age starts at -1 (none).
    EXPECT_EQ(Le64(p, kStatsGaugeOffset + 8 * kGaugeOldestAge), ~0ULL);
    stats.SetGauge(kGaugeBacklog, 7);
    stats.SetGauge(kGaugeBacklog, 3);
    EXPECT_EQ(Le64(p, kStatsGaugeOffset + 8 * kGaugeBacklog), 3u);

    StationStatsView read;
    ASSERT_TRUE(ReadStationStats(view.pView, view.nSize, &read));
    EXPECT_EQ(read.nCount, static_cast<uint32_t>(kStatCount));
    EXPECT_EQ(read.nStartTime, 0x123456789LL);
    EXPECT_EQ(read.nCounters[kStatFilesSent], 2u);
    EXPECT_EQ(read.nGauges[kGaugeBacklog], 3);
    EXPECT_EQ(read.nGauges[kGaugeOldestAge], -1);
    EXPECT_STREQ(StatGaugeName(kGaugeTick), "tick");
    EXPECT_STREQ(ConnectFailureText(ConnectFailureFromText("timed out")), "timed out");
    EXPECT_STREQ(StatCounterName(kStatFilesSent), "files_sent");
    EXPECT_STREQ(StatCounterName(kStatFramesIn), "frames_in");
    EXPECT_STREQ(StatCounterName(kStatLogsSent), "logs_sent");
    EXPECT_EQ(StatCounterName(kStatCount), nullptr);

    // Another magic, another version, or more counters than the bytes hold: refused.
    std::vector<uint8_t> copy(p, p + kStatsMappingSize);
    EXPECT_TRUE(ReadStationStats(copy.data(), copy.size(), &read));
    copy[4] = 1;
    EXPECT_FALSE(ReadStationStats(copy.data(), copy.size(), &read));
    copy[4] = 2;
    EXPECT_FALSE(ReadStationStats(copy.data(), kStatsGaugeOffset + 8 * kGaugeCount - 1, &read));
    copy[8] = 29;  // 32 + 29 * 8 > 256, where the gauges begin
    EXPECT_FALSE(ReadStationStats(copy.data(), copy.size(), &read));
    copy[8] = kStatCount;
    copy[0] = 'X';
    EXPECT_FALSE(ReadStationStats(copy.data(), copy.size(), &read));
    m_pEnv->CloseMapping(&view);
}

TEST_F(StatsTest, CountsFromTwoThreadsAreAllKeptAndPublished) {
    CStationStats stats;
    ASSERT_TRUE(stats.Publish());
    constexpr int kEach = 100000;
    auto Count = [&] {
        for (int k = 0; k < kEach; ++k) stats.Add(kStatFramesOut);
    };
    std::thread a(Count);
    std::thread b(Count);
    a.join();
    b.join();
    EXPECT_EQ(stats.Get(kStatFramesOut), 2u * kEach);
    vplat::MappedView view;
    ASSERT_TRUE(m_pEnv->OpenMapping("VelmoraStats", &view));
    StationStatsView read;
    ASSERT_TRUE(ReadStationStats(view.pView, view.nSize, &read));
    EXPECT_EQ(read.nCounters[kStatFramesOut], 2u * kEach);
    m_pEnv->CloseMapping(&view);
}

}  // namespace
}  // namespace vtest
