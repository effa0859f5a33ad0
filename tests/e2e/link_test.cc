// The manager link with the real station program against velmora-mgrpc: connect, reports,
// the center going away and coming back, commands counted and shown, and frames that are
// not quite frames (a bad checksum, a foreign station ID, broken headers), with the
// link-break lines of the system log.
#include <gtest/gtest.h>

#include <thread>

#include "link/tcp_common.h"
#include "tests/e2e/harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::Contains;
using e2e::Count;

// The first command of the center carries a bad checksum: counted in 1016 and dropped, the
// link stays; the next ones are answered, counted and shown, and 71 0 stops the transfer.
// Then the center goes away and comes back.
TEST(ManagerLink, ConnectsObeysCountsDropsABadChecksumAndReconnectsAfterTheCenterRestarts) {
    e2e::Station st(21);
    st.Up({"--bad-crc", "--", "59", "57", "71 0"});
    // The first short status report comes from the 5-second timer, not from the connect.
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "RX code=59"); }, 10s)) << st.velmora.Out();
    EXPECT_EQ(Count(st.center.Out(), "RX code=59"), 1u);
    EXPECT_TRUE(st.WaitControl(1009, "icon:129"));
    ASSERT_TRUE(st.WaitControl(1016, "1")) << st.center.Out();
    ASSERT_TRUE(st.WaitControl(1005, "71-1")) << st.center.Out();
    EXPECT_EQ(e2e::CountLines(st.center.Out(), {"RX code=57", "report=time"}), 1u) << st.center.Out();
    EXPECT_EQ(st.Control(1000), "0");
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), "MGR_PC: 위반 화일 전송 / 중지 = 0"); }, 5s));
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));

    st.Kill(st.center);
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return Contains(st.SystemLog(), "TCP 통신단절 [Thread- RECV Socket CLOSE...] = 0"); }, 10s))
        << st.SystemLog();
    EXPECT_TRUE(st.WaitControl(1000, "1"));
    EXPECT_TRUE(st.WaitControl(1009, "icon:130"));
    // Back within one reconnect period (scaled), and every reconnect reports at once.
    st.StartCenter();
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "RX code=59"); }, 5s)) << st.center.Out();
    EXPECT_TRUE(st.WaitControl(1009, "icon:129"));
    EXPECT_TRUE(st.Running(st.velmora));
}

// Frames from the center that are not quite frames, each sent alone as raw bytes, then a
// time request that must be answered once the link is usable again. A frame error closes
// the link (not counted as a break) and the station comes back; a wrong checksum drops
// the frame and counts it; a foreign station ID drops it without trace; the fields that
// only handlers read are taken as far as they go.
struct BadFrame {
    const char* szName;
    int nHost;
    std::string header;         // the 30 header bytes of a time request (code 57, no data)
    bool bBadCrc;               // the stored checksum is the standard (inverted) one
    bool bNoTrailer;            // the trailer is 00 00
    size_t nCut;                // only the first nCut bytes go, then the center closes (0: all)
    size_t nFrameErrors;        // "통신 Frame ERROR" lines in the system log
    size_t nConnects;           // connections the center accepted
    size_t nTimeReports;        // time reports the station sent back
    const char* szCrcErrors;    // control 1016 ("cnt" until the first bad checksum)
    const char* szDisconnects;  // control 1000
};

void PrintTo(const BadFrame& c, std::ostream* pOut) { *pOut << c.szName; }

std::string FrameHex(const BadFrame& c) {
    std::string f = c.header + std::string(6, '\0');
    auto* p = reinterpret_cast<uint8_t*>(f.data());
    CTcpCommon::PutFrameCrc(p, static_cast<int>(f.size()));
    for (size_t k = 30; c.bBadCrc && k < 34; ++k) p[k] ^= 0xFF;
    p[34] = p[35] = c.bNoTrailer ? 0x00 : 0x55;
    std::string sz;
    char szByte[4];
    for (size_t k = 0; k < (c.nCut == 0 ? f.size() : c.nCut); ++k) {
        std::snprintf(szByte, sizeof szByte, "%02X", p[k]);
        sz += szByte;
    }
    return sz;
}

class BadFrames : public ::testing::TestWithParam<BadFrame> {};

TEST_P(BadFrames, HaveTheirOutcomeAndTheLinkStaysUsable) {
    const BadFrame& c = GetParam();
    e2e::Station st(c.nHost, 20);
    std::vector<std::string> commands{"--", "raw " + FrameHex(c), "sleep 1000"};
    if (c.nCut != 0) commands.insert(commands.end(), {"close", "57", "sleep 1000"});
    commands.push_back("57");
    st.Up(commands);
    ASSERT_TRUE(e2e::WaitFor([&] { return Count(st.center.Out(), "RX code=57 ") >= c.nTimeReports; }, 20s))
        << st.center.Out();
    std::this_thread::sleep_for(300ms);  // nothing more is to come
    const std::string out = st.center.Out();
    EXPECT_EQ(Count(out, "RX code=57 "), c.nTimeReports) << out;
    EXPECT_EQ(Count(out, "CONNECT "), c.nConnects);
    EXPECT_EQ(Count(st.SystemLog(), "TCP 통신단절 [Thread- 통신 Frame ERROR...] = 0"), c.nFrameErrors)
        << st.SystemLog();
    EXPECT_EQ(st.Control(1016), c.szCrcErrors);
    EXPECT_EQ(st.Control(1000), c.szDisconnects);
    EXPECT_TRUE(st.Running(st.velmora));
}

// A good time request: AA AA, length 36, "10", code 57, data length 0, packet 0, ABCDE, '0'.
const std::string kTimeRequest = std::string("\xAA\xAA") + "0000036" "10" "57" "0000000" "0000" "ABCDE" "0";

std::string With(size_t nAt, const std::string& sz) { return std::string(kTimeRequest).replace(nAt, sz.size(), sz); }

// clang-format off
INSTANTIATE_TEST_SUITE_P(ManagerLink, BadFrames, ::testing::Values(
    BadFrame{"BadStartByte", 115, With(0, "\xAB"), false, false, 0, 1, 2, 1, "cnt", "0"},
    BadFrame{"LetterInTheLength", 116, With(2, "00x0036"), false, false, 0, 1, 2, 1, "cnt", "0"},
    // Waiting for 9,999,999 bytes would stall the link: an error at once.
    BadFrame{"HugeLength", 117, With(2, "9999999"), false, false, 0, 1, 2, 1, "cnt", "0"},
    BadFrame{"LengthBelowAFrame", 118, With(2, "0000035"), false, false, 0, 1, 2, 1, "cnt", "0"},
    BadFrame{"WrongChecksum", 119, kTimeRequest, true, false, 0, 0, 1, 1, "1", "0"},
    BadFrame{"MissingTrailer", 120, kTimeRequest, false, true, 0, 1, 2, 1, "cnt", "0"},
    // The data length is read as far as its digits go: 0, a time request like any other.
    BadFrame{"LetterInTheDataLength", 121, With(19, "x"), false, false, 0, 0, 1, 2, "cnt", "0"},
    // Twenty bytes, then the center closes: a break; the bytes stay in the station's
    // buffer and spoil the first frame of the next link (a frame error), the next is fine.
    BadFrame{"TruncatedThenClosed", 122, kTimeRequest, false, false, 20, 1, 3, 1, "cnt", "1"},
    BadFrame{"ForeignStationId", 24, With(24, "ZZZZZ"), false, false, 0, 0, 1, 1, "cnt", "0"}),
    [](const auto& info) { return std::string(info.param.szName); });
// clang-format on

}  // namespace
