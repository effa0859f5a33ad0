// The manager frame on the byte level, the send queue, the dispatcher and the counters'
// mapping "VelmoraStats" byte by byte.
#include <atomic>
#include <thread>

#include "link/send_queue.h"
#include "status/station_stats.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

uint32_t Crc(const std::string& sz) {
    return ComputeCrc32(reinterpret_cast<const uint8_t*>(sz.data()),
                        static_cast<uint32_t>(sz.size()));
}

// The stored bytes of a finished frame: LinkTest.HeaderAndFinishedFrameOfCode59; every
// length and the count's 16-bit wrap: crc_reference_test.cc.
TEST(LinkCrcTest, GoldenValuesAndDecimalFields) {
    EXPECT_EQ(Crc("123456789"), 0x340BC6D9u);  // the standard CRC-32 would be 0xCBF43926
    EXPECT_EQ(Crc("abc"), 0xCADBBE3Du);
    EXPECT_EQ(Crc(""), 0xFFFFFFFFu);
    uint32_t nComputed = 0, nStored = 0;
    const std::vector<uint8_t> bad = MakeFrame("59", {}, "ABCDE", 0, /*bBadCrc=*/true);
    CTcpCommon::CheckFrameCrc(bad.data(), 36, &nComputed, &nStored);
    EXPECT_EQ(nStored, ~nComputed);
    // Decimal fields read like atoi within their width.
    const std::pair<const char*, int> kCases[] = {
        {"0000036", 36}, {"   42xy", 42}, {"-000040", -40}, {"ABCDEFG", 0}, {"00000361234", 36}};
    for (const auto& [sz, n] : kCases)
        EXPECT_EQ(FrameDecimal(reinterpret_cast<const uint8_t*>(sz), 7), n) << sz;
    EXPECT_EQ(FrameDecimal(reinterpret_cast<const uint8_t*>("0000000000000123"), 16), 12)
        << "at most fifteen characters are read";
}

// Cuts frames out of a stream the way the link thread does.
struct Cutter {
    std::vector<uint8_t> buf;
    std::vector<std::vector<uint8_t>> frames;
    bool bError = false;
    void Feed(const uint8_t* p, size_t n) {
        buf.insert(buf.end(), p, p + n);
        uint8_t frame[kFrameBufSize];
        for (int k = 0; !buf.empty(); buf.erase(buf.begin(), buf.begin() + k)) {
            int nCapacity = static_cast<int>(buf.size());
            k = CTcpCommon::ExtractFrame(frame, sizeof frame, &nCapacity, buf.data(), nCapacity);
            bError = bError || k < 0;
            if (k < 0) buf.clear();
            if (k <= 0) return;
            frames.emplace_back(frame, frame + k);
        }
    }
};

// Two frames (the first without data: whole at 36 bytes) cut at every split point: what
// is whole after the first part is taken, the rest kept for the next read.
TEST(LinkExtractTest, WaitsForWholeFramesAndRejectsBadOnes) {
    const std::vector<uint8_t> a = MakeFrame("59", {});
    const std::vector<uint8_t> f = MakeFrame("57", Bytes("20261206235959"));  // 50 bytes
    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), f.begin(), f.end());
    for (size_t nSplit = 0; nSplit <= stream.size(); ++nSplit) {
        SCOPED_TRACE(nSplit);
        Cutter c;
        c.Feed(stream.data(), nSplit);
        const size_t nWhole = nSplit == stream.size() ? 2 : nSplit >= a.size() ? 1 : 0;
        ASSERT_EQ(c.frames.size(), nWhole);
        EXPECT_EQ(c.buf.size(), nSplit - (nWhole == 0 ? 0 : nWhole == 1 ? a.size() : nSplit));
        c.Feed(stream.data() + nSplit, stream.size() - nSplit);
        ASSERT_FALSE(c.bError);
        ASSERT_EQ(c.frames.size(), 2u);
        EXPECT_EQ(c.frames[0], a);
        EXPECT_EQ(c.frames[1], f);
        EXPECT_TRUE(c.buf.empty());
    }
    auto Extract = [](std::vector<uint8_t> g, const char* szLength = nullptr, int nCapacity = -1,
                      size_t nDest = kFrameBufSize) {
        if (szLength != nullptr) std::memcpy(&g[2], szLength, 7);
        std::vector<uint8_t> dest(nDest + 1);
        if (nCapacity < 0) nCapacity = static_cast<int>(g.size());
        return CTcpCommon::ExtractFrame(dest.data(), nDest, &nCapacity, g.data(),
                                        static_cast<int>(g.size()));
    };
    const std::vector<uint8_t> head(f.begin(), f.begin() + 30);
    std::vector<uint8_t> badStart = f, noTrailer = f;
    badStart[1] = 0xAB;
    noTrailer.back() = 'V';
    EXPECT_EQ(Extract(std::vector<uint8_t>(29, 'x')), 0) << "29 bytes only wait";
    EXPECT_EQ(Extract(std::vector<uint8_t>(30, 'x')), -1);
    EXPECT_EQ(Extract(badStart), -1);
    EXPECT_EQ(Extract(noTrailer), -1);
    EXPECT_EQ(Extract(f, "0000035"), -1) << "below 36";
    EXPECT_EQ(Extract(f, "ABCDEFG"), -1) << "not a number";
    EXPECT_EQ(Extract(f, "-000050"), -1);
    EXPECT_EQ(Extract(f, nullptr, 49), -1) << "over the capacity";
    EXPECT_EQ(Extract(f, nullptr, -1, 49), -1) << "over the destination";
    EXPECT_EQ(Extract(head, "0003031"), -1) << "over 3,030: an error at once, not a wait";
    EXPECT_EQ(Extract(head, "0003030"), 0);
    EXPECT_EQ(Extract(f, "     50"), 50);
}

class LinkTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        MakeLinkedDialog();
    }
    void Feed(const std::vector<uint8_t>& f) {
        m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
    }
    uint64_t Stat(StatCounter n) { return m_pDlg->m_stats.Get(n); }
    static std::string Label(int k) {
        char sz[16];
        std::snprintf(sz, sizeof sz, "F%03d", k);
        return sz;
    }
};

TEST_F(LinkTest, HeaderAndFinishedFrameOfCode59) {
    uint8_t* pFrame = m_pSession->m_pReportFrame.get();
    std::memset(pFrame, 0x77, kFrameBufSize);
    m_pSession->BuildFrameHeader(pFrame, 256 + 59, 0);  // the code's low 8 bits only
    auto At = [&](size_t nAt, size_t n) {
        return std::string(reinterpret_cast<const char*>(pFrame) + nAt, n);
    };
    using namespace std::string_literals;
    EXPECT_EQ(At(0, 30),
              "\xAA\xAA"s + std::string(7, '\0') + "1059" + std::string(11, '\0') + "ABCDE0");
    EXPECT_EQ(At(30, kFrameBufSize - 30), std::string(kFrameBufSize - 30, '\0'));
    ASSERT_EQ(QueueReport(59, ""), 1);
    // 0xAA 0xAA, length 36, "10", code 59, no data, packet 0, the ID, '0', CRC, 0x55 0x55.
    EXPECT_EQ(TakeOne().bytes,
              Bytes("\252\2520000036105900000000000ABCDE0\233\342\143\257\125\125"));
    // A longer ID is cut to five, a shorter one padded with zero bytes.
    std::snprintf(Link().m_szLocalId, sizeof Link().m_szLocalId, "%s", "ABCDEFGH");
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    EXPECT_EQ(At(24, 6), "ABCDE0");
    std::snprintf(Link().m_szLocalId, sizeof Link().m_szLocalId, "%s", "AB");
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    EXPECT_EQ(At(24, 6), "AB\000\000\0000"s);
}

TEST_F(LinkTest, QueueRefusesWhatItCannotHoldKeepsTheNineteenNewestAndHangsUp) {
    uint8_t frame[64] = {};
    for (int nState : {0, 2}) {
        Link().m_nLinkState = nState;
        EXPECT_EQ(QueueReport(59, "x"), 0) << nState;
    }
    Link().m_nLinkState = 1;
    EXPECT_EQ(m_pDlg->QueueFrame(frame, 36, -1), 0);
    EXPECT_EQ(m_pDlg->QueueFrame(frame, 36, kMaxLinks), 0);
    EXPECT_EQ(m_pDlg->QueueFrame(frame, 35, 0), 0);
    std::vector<uint8_t> big(std::max(kQueueSlotBytes, kSendCopySize) + 1, 0);
    EXPECT_EQ(m_pDlg->QueueFrame(big.data(), kQueueSlotBytes + 1, 0), 0);
    EXPECT_EQ(Stat(kStatQueueRefused), 6u) << "every refusal of the queue";
    EXPECT_EQ(m_pSession->QueueFromBuffer(big.data(), kSendCopySize + 1, 0), 0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pDlg->QueueFrame(big.data(), kQueueSlotBytes, 0), 1);  // the largest slot
    TakeFrames();
    // Overflow: the 19 newest stay, in order, and the thread is woken once.
    vplat::Event* events[2] = {Link().m_hStopEvent.get(), Link().m_hSendEvent.get()};
    for (int k = 0; k < 25; ++k) ASSERT_EQ(QueueReport(56, Label(k)), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), -1) << "auto-reset";
    const auto frames = TakeFrames();
    ASSERT_EQ(frames.size(), 19u);
    for (size_t k = 0; k < frames.size(); ++k)
        EXPECT_EQ(frames[k].DataText(), Label(static_cast<int>(k) + 6));
    EXPECT_EQ(Stat(kStatQueueDropped), 6u);
    EXPECT_EQ(Stat(kStatQueueRefused), 6u);
    // A hang-up request marks the link down and wakes the thread; out of range: ignored.
    m_pDlg->RequestLinkClose(0);
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
    EXPECT_EQ(Link().m_bCloseRequested.load(), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), 1);
    EXPECT_EQ(QueueReport(59, ""), 0);
    m_pDlg->RequestLinkClose(-1);
    m_pDlg->RequestLinkClose(kMaxLinks);
    // One link needs no lookup; with more, the thread's ID finds its entry.
    EXPECT_EQ(m_pDlg->FindLinkIndex(1), 0);
    EXPECT_EQ(m_pDlg->FindLinkIndex(2), -1);
    m_pDlg->m_pConn[1].m_dwThreadId = std::this_thread::get_id();
    EXPECT_EQ(m_pDlg->FindLinkIndex(2), 1);
    // A link entry made afresh starts with an empty queue, whatever it held.
    Link().m_nLinkState = 1;
    ASSERT_EQ(QueueReport(56, "x"), 1);
    m_pDlg->InitLinkEntry(0);
    EXPECT_TRUE(TakeFrames().empty());
}

// A sent frame is removed only while it is still the head: neither one appended during the
// send nor, when overflow dropped the one being sent, any other. A producer queues while a
// consumer runs send passes: every frame is seen at most once and in order; only overflow
// may drop frames, never the newest.
TEST_F(LinkTest, ConcurrentQueuingNeverSendsTwiceNorLosesTheNewest) {
    std::vector<uint8_t> buf(kLinkSendBufSize);
    int nLength = 0;
    uint64_t nSeq = 0;
    ASSERT_EQ(QueueReport(56, Label(0)), 1);
    ASSERT_TRUE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
    ASSERT_EQ(QueueReport(56, Label(1)), 1);
    RemoveSentFrame(Link(), nSeq);
    auto frames = TakeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].DataText(), Label(1));
    ASSERT_EQ(QueueReport(56, Label(2)), 1);
    ASSERT_TRUE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
    for (int k = 3; k < 3 + 19; ++k) ASSERT_EQ(QueueReport(56, Label(k)), 1);
    RemoveSentFrame(Link(), nSeq);
    frames = TakeFrames();
    ASSERT_EQ(frames.size(), 19u);
    EXPECT_EQ(frames.front().DataText(), Label(3));
    constexpr int kFrames = 2000;
    std::atomic<bool> bDone{false};
    std::thread producer([&] {
        for (int k = 0; k < kFrames; ++k) QueueReport(56, Label(k % 1000));
        bDone = true;
    });
    std::vector<uint64_t> seen;
    for (;;) {
        const bool bLast = bDone.load();
        while (PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq)) {
            seen.push_back(nSeq);
            RemoveSentFrame(Link(), nSeq);
        }
        if (bLast) break;
        std::this_thread::yield();
    }
    producer.join();
    ASSERT_FALSE(seen.empty());
    for (size_t k = 1; k < seen.size(); ++k) ASSERT_LT(seen[k - 1], seen[k]);
    EXPECT_EQ(seen.back(), static_cast<uint64_t>(22 + kFrames)) << "22 queued before";
}

TEST_F(LinkTest, CodesModulo256CommandsOrRepliesByTheirDataSwitchUpdateAndHangUp) {
    // The code is 10 * (c1 - '0') + (c2 - '0') taken modulo 256 at each step.
    const std::pair<std::string, const char*> kCodes[] = {
        {"9:", "100-0"}, {"00", "00-0"}, {"\x01\x01", "251-0"}, {"66", "66-0"}, {"99", "99-0"}};
    int nFrames = 0;
    for (const auto& [szCode, szShown] : kCodes) {
        SCOPED_TRACE(szShown);
        Feed(MakeFrame(szCode, {}));
        EXPECT_EQ(Control(IDC_RECV_BOX), szShown);
        EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), ++nFrames);
    }
    EXPECT_TRUE(TakeFrames().empty()) << "codes with no handler are only counted";
    Feed(MakeFrame("59", {}));  // the short status request is answered
    const SentFrame f = TakeOne();
    EXPECT_EQ(f.Opcode(), 59);
    EXPECT_EQ(f.DataLength(), 24);
    EXPECT_EQ(CountDebugContaining("TcpMessageRecvFromCenter 59 0 "), 1);
    // Image codes: a trigger or a reply by their data; the running log: a request only
    // with a capital L.
    m_pSession->m_nSendKind = SEND_RUN_LOG;
    m_pSession->m_nLogTotalPacket = 3;
    m_pSession->m_nLogPacketInFlight = 0;
    Feed(MakeFrame("68", Bytes("L")));  // a request: the busy rule counts it
    EXPECT_EQ(m_pSession->sendRetryCenter.load(), 1);
    Feed(MakeFrame("68", Bytes("l")));  // handled as a reply
    EXPECT_EQ(m_pSession->sendRetryCenter.load(), 1);
    EXPECT_EQ(Control(IDC_SEND_BOX), "68-99");
    const struct {
        std::vector<uint8_t> data;
        int nKindAfter;
        const char* szSendBox;
    } kCases[] = {
        {Bytes("1"), SEND_NONE, ""},              // one digit: a trigger ends the transfer
        {{0x01}, SEND_ROAD_IMAGE, "52-99"},       // a raw status byte: a reply
        {Bytes("11"), SEND_ROAD_IMAGE, "52-99"},  // two bytes: always a reply
    };
    for (const auto& c : kCases) {
        m_pSession->m_nSendKind = SEND_ROAD_IMAGE;
        m_pSession->m_nImageTotalPacket = 3;
        m_pSession->m_nImagePacketInFlight = 1;
        m_pDlg->SetItemText(IDC_SEND_BOX, "");
        Feed(MakeFrame("52", c.data, "ABCDE", 1));
        EXPECT_EQ(m_pSession->m_nSendKind.load(), c.nKindAfter) << c.data.size();
        EXPECT_EQ(Control(IDC_SEND_BOX), c.szSendBox) << c.data.size();
    }
    // The transfer switch, the destination, the update and the hang-up, with no transfer.
    m_pSession->m_nSendKind = SEND_NONE;
    const std::pair<const char*, int> kSwitch[] = {{"1", 1}, {"0", 0}, {"A", 17}};
    for (const auto& [szData, nValue] : kSwitch) {
        Feed(MakeFrame("71", Bytes(szData)));
        EXPECT_EQ(m_pDlg->m_bSendEnable.load(), nValue) << szData;
    }
    EXPECT_EQ(CountDebugContaining("MGR_PC: 위반 화일 전송 / 중지 = 17"), 1);
    m_pDlg->m_bSendEnable = 0;
    Feed(MakeFrame("72", Bytes("1")));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    Feed(MakeFrame("79", {}));
    EXPECT_EQ(m_pDlg->m_bUpdateRunning.load(), 1);
    Feed(MakeFrame("78", {}));  // a leased line does not hang up
    EXPECT_EQ(Link().m_nLinkState.load(), 1);
    m_pDlg->m_nCenterCommKind = 1;
    Feed(MakeFrame("78", {}));
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
}

TEST_F(LinkTest, BadChecksumIsCountedWithWrapAndStationIdComparedWithoutCase) {
    m_pDlg->SetItemText(IDC_RECV_BOX, "box");
    Feed(MakeFrame("59", {}, "ABCDE", 0, /*bBadCrc=*/true));
    EXPECT_EQ(Control(IDC_RECV_BOX), "box");
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 0);
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "1");
    EXPECT_TRUE(TakeFrames().empty());
    m_pDlg->m_nCrcErrors = 9998;
    Feed(MakeFrame("59", {}, "ABCDE", 0, true));
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "9999");
    Feed(MakeFrame("59", {}, "ABCDE", 0, true));
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "0");
    Feed(MakeFrame("59", {}, "abcDe"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    Feed(MakeFrame("59", {}, "ABCDF"));  // another station: dropped without trace
    Feed(MakeFrame("59", {}, "ABCD"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    EXPECT_EQ(m_pDlg->m_nCrcErrors.load(), 0);
    std::snprintf(Link().m_szLocalId, sizeof Link().m_szLocalId, "%s", "ABCDEF");
    Feed(MakeFrame("59", {}, "ABCDE"));  // an ID longer than five never matches
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
}

TEST_F(LinkTest, ReceivedFrameIsBoundedToWhatArrived) {
    uint8_t* pRecv = m_pSession->m_pRecvFrame.get();
    std::memset(pRecv, 0xEE, kFrameBufSize);
    const std::vector<uint8_t> f = MakeFrame("66", Bytes("xy"));
    ASSERT_TRUE(m_pDlg->ValidateFrame(f.data(), static_cast<int>(f.size()), 0));
    // Header and data are kept; the checksum and the trailer are never data.
    EXPECT_EQ(0, std::memcmp(pRecv, f.data(), f.size() - 6));
    for (int k = static_cast<int>(f.size()) - 6; k < kFrameBufSize; ++k)
        ASSERT_EQ(pRecv[k], 0) << k;
    std::vector<uint8_t> big(kFrameBufSize + 1, 0);
    EXPECT_FALSE(m_pDlg->ValidateFrame(big.data(), kFrameBufSize + 1, 0));
    // The header claims 14 data bytes (a clock setting) but none came: the handler is told
    // 14 and reads zeros, so it is a clock setting with a text that is no time: no report,
    // no clock change.
    std::vector<uint8_t> g = MakeFrame("57", {});
    std::memcpy(&g[13], "0000014", 7);
    const uint32_t nCrc = ComputeCrc32(&g[2], 28);
    for (int k = 0; k < 4; ++k) g[30 + k] = static_cast<uint8_t>(nCrc >> (8 * k));
    Feed(g);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_FALSE(m_pEnv->ClockWasSet());
    EXPECT_EQ(CountDebugContaining("not a valid time, clock unchanged"), 1);
    EXPECT_EQ(Control(IDC_RECV_BOX), "57-14");
}

// The 64-bit value at nAt, little-endian.
uint64_t Le64(const uint8_t* p, size_t nAt) {
    uint64_t n = 0;
    for (size_t k = 0; k < 8; ++k) n |= static_cast<uint64_t>(p[nAt + k]) << (8 * k);
    return n;
}

using StatsTest = StationTest;

// The mapping as velmoractl reads it: a left-over mapping of an earlier run cleared, the
// counters and gauges written through, counts from two threads all kept, and mappings of
// another layout refused.
TEST_F(StatsTest, PublishedMappingLayoutAndCountsFromTwoThreads) {
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
    // bytes_out is counter 3 (its bytes little-endian), files_sent 11, resends 13.
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
    // An older writer's fewer counters: those it did not publish read 0, not the next word.
    copy[8] = 13;  // up to files_sent (11) and 12; resends (13, which is 1) not published
    StationStatsView older;
    ASSERT_TRUE(ReadStationStats(copy.data(), copy.size(), &older));
    EXPECT_EQ(older.nCounters[kStatFilesSent], 2u);
    EXPECT_EQ(older.nCounters[13], 0u);
    copy[12] = static_cast<uint8_t>(kGaugeBacklog);  // the backlog (3) and on: not published
    ASSERT_TRUE(ReadStationStats(copy.data(), copy.size(), &older));
    EXPECT_EQ(older.nGauges[kGaugeBacklog], 0);
    copy[12] = kGaugeCount;
    copy[8] = kStatCount;
    copy[0] = 'X';
    EXPECT_FALSE(ReadStationStats(copy.data(), copy.size(), &read));
    constexpr int kEach = 100000;
    auto Count = [&] {
        for (int k = 0; k < kEach; ++k) stats.Add(kStatFramesOut);
    };
    std::thread a(Count), b(Count);
    a.join();
    b.join();
    EXPECT_EQ(stats.Get(kStatFramesOut), 2u * kEach);
    ASSERT_TRUE(ReadStationStats(view.pView, view.nSize, &read));
    EXPECT_EQ(read.nCounters[kStatFramesOut], 2u * kEach);
    m_pEnv->CloseMapping(&view);
}

}  // namespace
}  // namespace vtest
