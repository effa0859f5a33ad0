// The manager frame on the byte level: the station's CRC-32, the checksum field, the
// cutting of frames out of the received stream, and the header and finishing of an
// outgoing frame.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/tcp_common.h"
#include "tests/unit/link_fixture.h"

namespace link_test {
namespace {

uint32_t Crc(const std::string& sz) {
    return ComputeCrc32(reinterpret_cast<const uint8_t*>(sz.data()),
                        static_cast<uint32_t>(sz.size()));
}

TEST(LinkCrcTest, GoldenValues) {
    EXPECT_EQ(Crc("123456789"), 0x340BC6D9u);  // the standard CRC-32 would be 0xCBF43926
    EXPECT_EQ(Crc("abc"), 0xCADBBE3Du);
    EXPECT_EQ(Crc(""), 0xFFFFFFFFu);
}

TEST(LinkCrcTest, CountIsSixteenBits) {
    std::vector<uint8_t> big(65536 + 9, 0x5A);
    std::memcpy(big.data(), "123456789", 9);
    EXPECT_EQ(ComputeCrc32(big.data(), 65536 + 9), 0x340BC6D9u);  // only the first 9 bytes
    EXPECT_EQ(ComputeCrc32(big.data(), 65536), 0xFFFFFFFFu);      // nothing covered
    EXPECT_EQ(ComputeCrc32(big.data(), 0x10000 + 20), ComputeCrc32(big.data(), 20));
}

TEST(LinkCrcTest, FrameCrcIsStoredLittleEndianOverBytesTwoToEnd) {
    // A 17-byte "frame" whose covered range (offset 2, 17 - 8 bytes) is the nine digits.
    uint8_t f[17] = {0xAA, 0xAA, '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    CTcpCommon::PutFrameCrc(f, 17);
    EXPECT_EQ(f[11], 0xD9);
    EXPECT_EQ(f[12], 0xC6);
    EXPECT_EQ(f[13], 0x0B);
    EXPECT_EQ(f[14], 0x34);
    uint32_t nComputed = 0, nStored = 0;
    CTcpCommon::CheckFrameCrc(f, 17, &nComputed, &nStored);
    EXPECT_EQ(nComputed, 0x340BC6D9u);
    EXPECT_EQ(nStored, 0x340BC6D9u);
}

TEST(LinkCrcTest, StandardInvertedCrcFailsTheCheck) {
    const std::vector<uint8_t> f = MakeFrame("59", {}, "ABCDE", 0, /*bBadCrc=*/true);
    uint32_t nComputed = 0, nStored = 0;
    CTcpCommon::CheckFrameCrc(f.data(), static_cast<int>(f.size()), &nComputed, &nStored);
    EXPECT_EQ(nStored, ~nComputed);
}

TEST(LinkFieldTest, DecimalFieldsReadLikeAtoi) {
    auto Read = [](const char* sz) {
        return FrameDecimal(reinterpret_cast<const uint8_t*>(sz), 7);
    };
    EXPECT_EQ(Read("0000036"), 36);
    EXPECT_EQ(Read("   42xy"), 42);
    EXPECT_EQ(Read("-000040"), -40);
    EXPECT_EQ(Read("ABCDEFG"), 0);
    EXPECT_EQ(Read("12\0"
                   "3456"),
              12);
    EXPECT_EQ(Read("00000361234"), 36);  // only the field's width
}

// Cuts frames out of a stream the way the link thread does: bytes appended, frames taken
// from the front, the rest kept.
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
            const int n = CTcpCommon::ExtractFrame(frame, sizeof frame, &nCapacity,
                                                   buf.data() + nOffset, nCapacity);
            if (n == 0) break;
            if (n < 0) {
                bError = true;
                buf.clear();
                return;
            }
            EXPECT_EQ(nCapacity, n);
            frames.emplace_back(frame, frame + n);
            nOffset += static_cast<size_t>(n);
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
        Cutter c;
        c.Feed(stream.data(), nSplit);
        c.Feed(stream.data() + nSplit, stream.size() - nSplit);
        ASSERT_FALSE(c.bError) << "split " << nSplit;
        ASSERT_EQ(c.frames.size(), 2u) << "split " << nSplit;
        EXPECT_EQ(c.frames[0], a);
        EXPECT_EQ(c.frames[1], b);
        EXPECT_TRUE(c.buf.empty());
    }
}

TEST(LinkExtractTest, FrameAndAHalfKeepsTheHalf) {
    const std::vector<uint8_t> a = MakeFrame("59", {});
    const std::vector<uint8_t> b = MakeFrame("71", Bytes("1"));
    Cutter c;
    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.begin() + 20);
    c.Feed(stream.data(), stream.size());
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].size(), 36u);  // a frame without data is whole at 36 bytes
    EXPECT_EQ(c.buf, std::vector<uint8_t>(b.begin(), b.begin() + 20));
}

int Extract(const std::vector<uint8_t>& bytes, int nCapacity = -1, size_t nDest = kFrameBufSize) {
    std::vector<uint8_t> dest(nDest + 1);
    if (nCapacity < 0) nCapacity = static_cast<int>(bytes.size());
    return CTcpCommon::ExtractFrame(dest.data(), nDest, &nCapacity, bytes.data(),
                                    static_cast<int>(bytes.size()));
}

std::vector<uint8_t> WithLengthField(std::vector<uint8_t> f, const char* szField) {
    std::memcpy(&f[2], szField, 7);
    return f;
}

TEST(LinkExtractTest, WaitsUntilTheHeaderIsWhole) {
    std::vector<uint8_t> junk(29, 'x');  // cannot be a frame, but 29 bytes only wait
    EXPECT_EQ(Extract(junk), 0);
    junk.push_back('x');
    EXPECT_EQ(Extract(junk), -1);
    const std::vector<uint8_t> f = MakeFrame("57", Bytes("20261206235959"));
    EXPECT_EQ(Extract(std::vector<uint8_t>(f.begin(), f.end() - 1)), 0);
}

TEST(LinkExtractTest, FrameErrors) {
    const std::vector<uint8_t> f = MakeFrame("57", Bytes("20261206235959"));  // 50 bytes
    std::vector<uint8_t> badStart = f;
    badStart[1] = 0xAB;
    EXPECT_EQ(Extract(badStart), -1);
    std::vector<uint8_t> noTrailer = f;
    noTrailer.back() = 'U' + 1;
    EXPECT_EQ(Extract(noTrailer), -1);
    EXPECT_EQ(Extract(WithLengthField(f, "0000035")), -1);  // below 36
    EXPECT_EQ(Extract(WithLengthField(f, "ABCDEFG")), -1);  // not a number
    EXPECT_EQ(Extract(WithLengthField(f, "-000050")), -1);
    EXPECT_EQ(Extract(f, /*nCapacity=*/49), -1);  // over the capacity
    EXPECT_EQ(Extract(f, -1, /*nDest=*/49), -1);  // over the destination
    // Longer than the receive-frame buffer, or than the receive buffer: an error at once,
    // not a wait for bytes that could never be taken.
    std::vector<uint8_t> head(f.begin(), f.begin() + 30);
    EXPECT_EQ(Extract(WithLengthField(head, "0003031")), -1);
    EXPECT_EQ(Extract(WithLengthField(head, "0010241")), -1);
    EXPECT_EQ(Extract(WithLengthField(head, "0003030")), 0);
    EXPECT_EQ(Extract(WithLengthField(f, "     50")), 50);  // leading blanks are read over
}

class LinkHeaderTest : public LinkTest {};

TEST_F(LinkHeaderTest, HeaderAndFinishedFrameOfCode59) {
    uint8_t* pFrame = m_pSession->m_pReportFrame.get();
    std::memset(pFrame, 0x77, kFrameBufSize);
    std::memset(m_pSession->m_SendBuf, 0x77, sizeof m_pSession->m_SendBuf);
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    const uint8_t kHeader[30] = {0xAA, 0xAA, 0, 0, 0, 0, 0, 0, 0, '1', '0', '5', '9', 0,   0,
                                 0,    0,    0, 0, 0, 0, 0, 0, 0, 'A', 'B', 'C', 'D', 'E', '0'};
    EXPECT_EQ(0, std::memcmp(pFrame, kHeader, 30));
    for (int k = 30; k < kFrameBufSize; ++k) ASSERT_EQ(pFrame[k], 0) << k;
    for (uint8_t b : m_pSession->m_SendBuf) ASSERT_EQ(b, 0);

    Link().m_nLinkState = 1;
    ASSERT_EQ(QueueReport(59, ""), 1);
    const auto frames = m_pDlg->TakeQueuedFrames(0);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t> kExpected = {0xAA, 0xAA, '0', '0',  '0',  '0',  '0',  '3',  '6',
                                            '1',  '0',  '5', '9',  '0',  '0',  '0',  '0',  '0',
                                            '0',  '0',  '0', '0',  '0',  '0',  'A',  'B',  'C',
                                            'D',  'E',  '0', 0x9B, 0xE2, 0x63, 0xAF, 0x55, 0x55};
    EXPECT_EQ(frames[0], kExpected);
}

TEST_F(LinkHeaderTest, CodeAndIdAreCut) {
    uint8_t* pFrame = m_pSession->m_pReportFrame.get();
    m_pSession->BuildFrameHeader(pFrame, 256 + 57, 0);  // low 8 bits only
    EXPECT_EQ(pFrame[11], '5');
    EXPECT_EQ(pFrame[12], '7');
    std::strcpy(Link().m_szLocalId, "AB");
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    EXPECT_EQ(0, std::memcmp(pFrame + 24,
                             "AB\0\0\0"
                             "0",
                             6));
    std::strcpy(Link().m_szLocalId, "ABCDEFGH");
    m_pSession->BuildFrameHeader(pFrame, 59, 0);
    EXPECT_EQ(0, std::memcmp(pFrame + 24, "ABCDE0", 6));
}

TEST_F(LinkHeaderTest, QueueFrameWritesLengthCrcAndTrailer) {
    Link().m_nLinkState = 1;
    ASSERT_EQ(QueueReport(57, "2026/12/06 23:59:59"), 1);
    const auto frames = m_pDlg->TakeQueuedFrames(0);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t>& f = frames[0];
    ASSERT_EQ(f.size(), 55u);
    EXPECT_EQ(std::string(f.begin() + 2, f.begin() + 9), "0000055");
    EXPECT_EQ(std::string(f.begin() + 13, f.begin() + 20), "0000019");
    uint32_t nComputed = 0, nStored = 0;
    CTcpCommon::CheckFrameCrc(f.data(), 55, &nComputed, &nStored);
    EXPECT_EQ(nComputed, nStored);
    EXPECT_EQ(f[53], 0x55);
    EXPECT_EQ(f[54], 0x55);
    // The frame is finished in the outgoing copy area itself.
    EXPECT_EQ(0, std::memcmp(m_pSession->m_SendBuf, f.data(), f.size()));
}

}  // namespace
}  // namespace link_test
