// The manager link with the real station program against velmora-mgrpc: connect,
// reports, the center going away and coming back, bytes that are not frames, bad
// checksums, and the link-break lines of the system log.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

using e2e::Contains;
using e2e::Count;

TEST(ManagerLink, ConnectsReportsAndReconnectsAfterTheCenterRestarts) {
    e2e::Station st(21);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter();
    auto velmora = st.StartVelmora();
    // The first short status report comes from the 5-second timer, not from the connect.
    ASSERT_TRUE(e2e::WaitFor([&] { return e2e::ReadFile(center.szOut).find("RX code=59") != std::string::npos; }, 10s))
        << e2e::ReadFile(velmora.szOut);
    EXPECT_EQ(Count(e2e::ReadFile(center.szOut), "RX code=59"), 1u);
    EXPECT_TRUE(st.WaitControl(1009, "icon:129"));

    st.Kill(center);
    ASSERT_TRUE(e2e::WaitFor([&] {
        return st.SystemLog().find("TCP 통신단절 [Thread- RECV Socket CLOSE...] = 0") != std::string::npos;
    }, 10s)) << st.SystemLog();
    EXPECT_TRUE(st.WaitControl(1000, "1"));
    EXPECT_TRUE(st.WaitControl(1009, "icon:130"));

    // Back within one reconnect period (scaled), and every reconnect reports at once.
    auto center2 = st.StartCenter();
    EXPECT_TRUE(e2e::WaitFor([&] { return e2e::ReadFile(center2.szOut).find("RX code=59") != std::string::npos; }, 5s))
        << e2e::ReadFile(center2.szOut);
    EXPECT_TRUE(st.WaitControl(1009, "icon:129"));
    EXPECT_TRUE(st.Running(velmora));
}

TEST(ManagerLink, BytesThatAreNotAFrameCloseTheLinkWhichComesBack) {
    e2e::Station st(22);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter({"--garbage"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] {
        return st.SystemLog().find("TCP 통신단절 [Thread- 통신 Frame ERROR...] = 0") != std::string::npos;
    }, 10s)) << e2e::ReadFile(center.szOut);
    EXPECT_TRUE(e2e::WaitFor([&] { return Count(e2e::ReadFile(center.szOut), "CONNECT peer") >= 2; }, 5s));
    EXPECT_TRUE(st.WaitControl(1000, "0"));  // a frame error is not counted as a disconnect
}

TEST(ManagerLink, CommandsAreCountedShownAndBadChecksumsDropped) {
    e2e::Station st(23);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter({"--bad-crc", "--", "59", "57", "71 0"});
    auto velmora = st.StartVelmora();
    // The first 59 carries a bad checksum: counted in 1016 and dropped, the link stays.
    ASSERT_TRUE(st.WaitControl(1016, "1", 10s)) << e2e::ReadFile(center.szOut);
    ASSERT_TRUE(st.WaitControl(1005, "71-1", 10s)) << e2e::ReadFile(center.szOut);
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_NE(out.find("RX code=57"), std::string::npos) << out;  // the time report
    EXPECT_NE(out.find("report=time"), std::string::npos);
    EXPECT_EQ(st.Control(1000), "0");
    EXPECT_TRUE(e2e::WaitFor([&] {
        return st.SystemLog().find("MGR_PC: 위반 화일 전송 / 중지 = 0") != std::string::npos;
    }, 5s));
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));
}

TEST(ManagerLink, ForeignStationIdIsDroppedWithoutTrace) {
    e2e::Station st(24);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter({"--foreign-id", "--", "71 0", "sleep 300", "56"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1005, "56-0", 10s)) << e2e::ReadFile(center.szOut);
    EXPECT_TRUE(st.WaitControl(1012, "관리PC로 전송중....."));  // 71 0 never took effect
    EXPECT_EQ(st.SystemLog().find("위반 화일 전송 / 중지"), std::string::npos);
    EXPECT_NE(e2e::ReadFile(center.szOut).find("report=traffic bytes=68"), std::string::npos);
}

}  // namespace
