// The manager link with the real station program against velmora-mgrpc: connect, reports,
// the center going away and coming back, commands counted and shown, and frames that are
// not quite frames (a bad checksum, a foreign station ID, broken headers, a frame cut by a
// close), with the link-break lines of the system log.
#include <gtest/gtest.h>

#include <thread>

#include "link/tcp_common.h"
#include "tests/e2e/harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::Contains;
using e2e::Count;

// The command that sends a time request (AA AA, length 36, "10", code 57, data length 0,
// packet 0, ABCDE, '0') with szPatch over its header at nAt, as raw bytes: all of them, or
// the first nCut.
std::string RawTimeRequest(size_t nAt = 0, const std::string& szPatch = "", size_t nCut = 36) {
    std::string f =
        std::string(2, '\xAA') + "0000036" + "10" + "57" + "0000000" + "0000" + "ABCDE0";
    f.replace(nAt, szPatch.size(), szPatch);
    f += std::string(6, '\0');
    auto* p = reinterpret_cast<uint8_t*>(f.data());
    CTcpCommon::PutFrameCrc(p, static_cast<int>(f.size()));
    p[34] = p[35] = 0x55;
    std::string sz = "raw ";
    char szByte[4];
    for (size_t k = 0; k < nCut; ++k) {
        std::snprintf(szByte, sizeof szByte, "%02X", p[k]);
        sz += szByte;
    }
    return sz;
}

// The first command of the center carries a bad checksum: counted in 1016 and dropped, the
// link stays; the next ones are answered, counted and shown, and 71 0 stops the transfer.
// Then the center goes away and comes back, and sends frames that are not quite frames,
// each followed by a pause. A frame error closes the link (not counted as a break) and the
// station comes back at once; a foreign station ID drops the frame without trace; a data
// length is read as far as its digits go (0 here: a time request like any other); a length
// of 9,999,999 is an error at once, not a wait that would stall the link. Twenty bytes of a
// frame, then the center closes: a break; the bytes stay in the station's buffer and spoil
// the first frame of the next link (a frame error). The last time request is answered.
TEST(ManagerLink, ConnectsObeysCountsDropsBadFramesAndReconnectsAfterTheCenterRestarts) {
    e2e::Station st(21);
    st.Up({"--bad-crc", "--", "59", "57", "71 0"});
    // The first short status report comes from the 5-second timer, not from the connect.
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "RX code=59"); }, 10s))
        << st.velmora.Out();
    EXPECT_EQ(Count(st.center.Out(), "RX code=59"), 1u);
    EXPECT_TRUE(st.WaitControl(1009, "icon:129"));
    ASSERT_TRUE(st.WaitControl(1016, "1")) << st.center.Out();
    ASSERT_TRUE(st.WaitControl(1005, "71-1")) << st.center.Out();
    EXPECT_EQ(e2e::CountLines(st.center.Out(), {"RX code=57", "report=time"}), 1u)
        << st.center.Out();
    EXPECT_EQ(st.Control(1000), "0");
    EXPECT_TRUE(e2e::WaitFor(
        [&] { return Contains(st.SystemLog(), "MGR_PC: 위반 화일 전송 / 중지 = 0"); }, 5s));
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));

    st.Kill(st.center);
    const std::string szBreak = "TCP 통신단절 [Thread- RECV Socket CLOSE...] = 0";
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), szBreak); }, 10s))
        << st.SystemLog();
    EXPECT_TRUE(st.WaitControl(1000, "1"));
    EXPECT_TRUE(st.WaitControl(1009, "icon:130"));
    // Back within one reconnect period (scaled), and every reconnect reports at once.
    st.StartCenter({"--", RawTimeRequest(24, "ZZZZZ"), RawTimeRequest(19, "x"), "sleep 1000",
                    RawTimeRequest(0, "\xAB"), "sleep 1000", RawTimeRequest(2, "9999999"),
                    "sleep 1000", RawTimeRequest(0, "", 20), "sleep 1000", "close", "57",
                    "sleep 1000", "57"});
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "RX code=59"); }, 5s))
        << st.center.Out();
    EXPECT_TRUE(st.WaitControl(1009, "icon:129"));
    ASSERT_TRUE(e2e::WaitFor([&] { return Count(st.center.Out(), "RX code=57 ") >= 2; }, 20s))
        << st.center.Out();
    std::this_thread::sleep_for(300ms);  // nothing more is to come
    const std::string out = st.center.Out();
    EXPECT_EQ(Count(out, "RX code=57 "), 2u) << out;
    EXPECT_EQ(Count(out, "CONNECT "), 5u) << out;
    EXPECT_EQ(Count(st.SystemLog(), "TCP 통신단절 [Thread- 통신 Frame ERROR...] = 0"), 3u)
        << st.SystemLog();
    EXPECT_EQ(st.Control(1016), "1");
    EXPECT_EQ(st.Control(1000), "2");
    EXPECT_TRUE(st.Running(st.velmora));
}

}  // namespace
