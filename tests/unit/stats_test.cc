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
