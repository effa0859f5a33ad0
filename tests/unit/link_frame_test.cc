// The manager frame on the byte level and the send queue: the station's CRC-32 and its
// stored bytes, the cutting of frames out of the received stream (every split point, the
// wait for a whole header, the frame errors), the 36-byte header of a finished frame, and
// the queue (refusal while down, overflow keeping the 19 newest, the send pass that never
// loses the newest frame nor sends one twice, hang-up requests).
#include <atomic>
#include <thread>

#include "link/send_queue.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

uint32_t Crc(const std::string& sz) {
    return ComputeCrc32(reinterpret_cast<const uint8_t*>(sz.data()),
                        static_cast<uint32_t>(sz.size()));
}

TEST(LinkCrcTest, GoldenValuesStoredBytesAndSixteenBitCount) {
    EXPECT_EQ(Crc("123456789"), 0x340BC6D9u);  // the standard CRC-32 would be 0xCBF43926
    EXPECT_EQ(Crc("abc"), 0xCADBBE3Du);
    EXPECT_EQ(Crc(""), 0xFFFFFFFFu);
    std::vector<uint8_t> big(65536 + 9, 0x5A);
    std::memcpy(big.data(), "123456789", 9);
    EXPECT_EQ(ComputeCrc32(big.data(), 65536 + 9), 0x340BC6D9u);  // the count wraps at 16 bits
    EXPECT_EQ(ComputeCrc32(big.data(), 65536), 0xFFFFFFFFu);
    // A 17-byte frame whose covered range (offset 2, 17 - 8 bytes) is the nine digits.
    uint8_t f[17] = {0xAA, 0xAA, '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    CTcpCommon::PutFrameCrc(f, 17);
    EXPECT_EQ(std::vector<uint8_t>(f + 11, f + 15), (std::vector<uint8_t>{0xD9, 0xC6, 0x0B, 0x34}));
    uint32_t nComputed = 0, nStored = 0;
    CTcpCommon::CheckFrameCrc(f, 17, &nComputed, &nStored);
    EXPECT_EQ(nStored, 0x340BC6D9u);
    const std::vector<uint8_t> bad = MakeFrame("59", {}, "ABCDE", 0, /*bBadCrc=*/true);
    CTcpCommon::CheckFrameCrc(bad.data(), 36, &nComputed, &nStored);
    EXPECT_EQ(nStored, ~nComputed);
}

TEST(LinkFieldTest, DecimalFieldsReadLikeAtoiWithinTheirWidth) {
    const std::pair<const char*, int> kCases[] = {
        {"0000036", 36}, {"   42xy", 42}, {"-000040", -40}, {"ABCDEFG", 0}, {"00000361234", 36}};
    for (const auto& [sz, n] : kCases)
        EXPECT_EQ(FrameDecimal(reinterpret_cast<const uint8_t*>(sz), 7), n) << sz;
}

// Cuts frames out of a stream the way the link thread does.
struct Cutter {
    std::vector<uint8_t> buf;
    std::vector<std::vector<uint8_t>> frames;
    bool bError = false;
    void Feed(const uint8_t* p, size_t n) {
        buf.insert(buf.end(), p, p + n);
        uint8_t frame[kFrameBufSize];
        size_t nOffset = 0;
        while (nOffset < buf.size()) {
            int nCapacity = static_cast<int>(buf.size() - nOffset);
            const int k = CTcpCommon::ExtractFrame(frame, sizeof frame, &nCapacity,
                                                   buf.data() + nOffset, nCapacity);
            if (k == 0) break;
            if (k < 0) {
                bError = true;
                buf.clear();
                return;
            }
            frames.emplace_back(frame, frame + k);
            nOffset += static_cast<size_t>(k);
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(nOffset));
    }
};

TEST(LinkExtractTest, TwoFramesCutAtEverySplitPoint) {
    const std::vector<uint8_t> a = MakeFrame("57", Bytes("20261206235959"));
    const std::vector<uint8_t> b = MakeFrame("59", {});
    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    for (size_t nSplit = 0; nSplit <= stream.size(); ++nSplit) {
        SCOPED_TRACE(nSplit);
        Cutter c;
        c.Feed(stream.data(), nSplit);
        c.Feed(stream.data() + nSplit, stream.size() - nSplit);
        ASSERT_FALSE(c.bError);
        ASSERT_EQ(c.frames.size(), 2u);
        EXPECT_EQ(c.frames[0], a);
        EXPECT_EQ(c.frames[1], b);
        EXPECT_TRUE(c.buf.empty());
    }
}

TEST(LinkExtractTest, WaitsForWholeFramesAndRejectsBadOnes) {
    auto Extract = [](std::vector<uint8_t> f, const char* szLength = nullptr, int nCapacity = -1,
                      size_t nDest = kFrameBufSize) {
        if (szLength != nullptr) std::memcpy(&f[2], szLength, 7);
        std::vector<uint8_t> dest(nDest + 1);
        if (nCapacity < 0) nCapacity = static_cast<int>(f.size());
        return CTcpCommon::ExtractFrame(dest.data(), nDest, &nCapacity, f.data(),
                                        static_cast<int>(f.size()));
    };
    const std::vector<uint8_t> f = MakeFrame("57", Bytes("20261206235959"));  // 50 bytes
    const std::vector<uint8_t> head(f.begin(), f.begin() + 30);
    std::vector<uint8_t> badStart = f, noTrailer = f;
    badStart[1] = 0xAB;
    noTrailer.back() = 'V';
    EXPECT_EQ(Extract(std::vector<uint8_t>(29, 'x')), 0) << "29 bytes only wait";
    EXPECT_EQ(Extract(std::vector<uint8_t>(30, 'x')), -1);
    EXPECT_EQ(Extract(std::vector<uint8_t>(f.begin(), f.end() - 1)), 0);
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
    // A frame without data is whole at 36 bytes; the half of the next one is kept.
    Cutter c;
    std::vector<uint8_t> stream = MakeFrame("59", {});
    stream.insert(stream.end(), f.begin(), f.begin() + 20);
    c.Feed(stream.data(), stream.size());
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.buf, std::vector<uint8_t>(f.begin(), f.begin() + 20));
}

class LinkTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        MakeLinkedDialog();
    }
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
    const uint8_t kHeader[30] = {0xAA, 0xAA, 0, 0, 0, 0, 0, 0, 0, '1', '0', '5', '9', 0,   0,
                                 0,    0,    0, 0, 0, 0, 0, 0, 0, 'A', 'B', 'C', 'D', 'E', '0'};
    EXPECT_EQ(0, std::memcmp(pFrame, kHeader, 30));
    for (int k = 30; k < kFrameBufSize; ++k) ASSERT_EQ(pFrame[k], 0) << k;
    ASSERT_EQ(QueueReport(59, ""), 1);
    const std::vector<uint8_t> kExpected = {0xAA, 0xAA, '0', '0',  '0',  '0',  '0',  '3',  '6',
                                            '1',  '0',  '5', '9',  '0',  '0',  '0',  '0',  '0',
                                            '0',  '0',  '0', '0',  '0',  '0',  'A',  'B',  'C',
                                            'D',  'E',  '0', 0x9B, 0xE2, 0x63, 0xAF, 0x55, 0x55};
    EXPECT_EQ(TakeOne().bytes, kExpected);
    // A longer ID is cut to five, a shorter one padded with zero bytes.
    std::snprintf(Link().m_szLocalId, sizeof Link().m_szLocalId, "%s", "ABCDEFGH");
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    EXPECT_EQ(0, std::memcmp(pFrame + 24, "ABCDE0", 6));
    std::snprintf(Link().m_szLocalId, sizeof Link().m_szLocalId, "%s", "AB");
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    EXPECT_EQ(0, std::memcmp(pFrame + 24,
                             "AB\0\0\0"
                             "0",
                             6));
}

TEST_F(LinkTest, QueueRefusesWhatItCannotHold) {
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
    EXPECT_EQ(m_pSession->QueueFromBuffer(big.data(), kSendCopySize + 1, 0), 0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pDlg->QueueFrame(big.data(), kQueueSlotBytes, 0), 1);  // the largest slot
}

TEST_F(LinkTest, OverflowKeepsTheNineteenNewestInOrderAndWakesTheThread) {
    vplat::Event* events[2] = {Link().m_hStopEvent.get(), Link().m_hSendEvent.get()};
    for (int k = 0; k < 25; ++k) ASSERT_EQ(QueueReport(56, Label(k)), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), -1) << "auto-reset";
    const auto frames = TakeFrames();
    ASSERT_EQ(frames.size(), 19u);
    for (size_t k = 0; k < frames.size(); ++k)
        EXPECT_EQ(frames[k].DataText(), Label(static_cast<int>(k) + 6));
}

TEST_F(LinkTest, SentFrameIsRemovedOnlyWhileStillTheHead) {
    std::vector<uint8_t> buf(kLinkSendBufSize);
    int nLength = 0;
    uint64_t nSeq = 0;
    ASSERT_EQ(QueueReport(56, Label(0)), 1);
    ASSERT_TRUE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
    ASSERT_EQ(QueueReport(56, Label(1)), 1);  // appended during the send: it stays
    RemoveSentFrame(Link(), nSeq);
    auto frames = TakeFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].DataText(), Label(1));
    // Overflow during the send dropped the frame being sent: nothing else is removed.
    ASSERT_EQ(QueueReport(56, Label(2)), 1);
    ASSERT_TRUE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
    for (int k = 3; k < 3 + 19; ++k) ASSERT_EQ(QueueReport(56, Label(k)), 1);
    RemoveSentFrame(Link(), nSeq);
    frames = TakeFrames();
    ASSERT_EQ(frames.size(), 19u);
    EXPECT_EQ(frames.front().DataText(), Label(3));
}

// A producer queues while a consumer runs send passes: every frame is seen at most once and
// in order; only overflow may drop frames, never the newest.
TEST_F(LinkTest, ConcurrentQueuingNeverSendsTwiceNorLosesTheNewest) {
    constexpr int kFrames = 2000;
    std::atomic<bool> bDone{false};
    std::thread producer([&] {
        for (int k = 0; k < kFrames; ++k) QueueReport(56, Label(k % 1000));
        bDone = true;
    });
    std::vector<uint8_t> buf(kLinkSendBufSize);
    std::vector<uint64_t> seen;
    for (;;) {
        const bool bLast = bDone.load();
        int nLength = 0;
        uint64_t nSeq = 0;
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
    EXPECT_EQ(seen.back(), static_cast<uint64_t>(kFrames));
}

TEST_F(LinkTest, HangUpRequestMarksTheLinkDownAndWakesTheThread) {
    m_pDlg->RequestLinkClose(0);
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
    EXPECT_EQ(Link().m_bCloseRequested.load(), 1);
    vplat::Event* events[2] = {Link().m_hStopEvent.get(), Link().m_hSendEvent.get()};
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), 1);
    EXPECT_EQ(QueueReport(59, ""), 0);
    m_pDlg->RequestLinkClose(-1);  // ignored
    m_pDlg->RequestLinkClose(kMaxLinks);
    // One link needs no lookup; with more, the thread's ID finds its entry.
    EXPECT_EQ(m_pDlg->FindLinkIndex(1), 0);
    EXPECT_EQ(m_pDlg->FindLinkIndex(2), -1);
    m_pDlg->m_pConn[1].m_dwThreadId = std::this_thread::get_id();
    EXPECT_EQ(m_pDlg->FindLinkIndex(2), 1);
}

}  // namespace
}  // namespace vtest
