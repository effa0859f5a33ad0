// The station program started for real: its dialog, its shared memory, its sibling
// messages at start and at exit, the main program's notices reaching the center, and
// the system log on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

TEST(StationShell, StartsShowsStationAndTalksToSiblings) {
    e2e::Station st(11);
    auto harwent = st.StartHarwent();
    auto valdrift = st.StartStub("Valdrift");
    auto ostermay = st.StartStub("Ostermay");
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1003, "ABCDE")) << e2e::ReadFile(velmora.szOut);
    auto c = st.Controls();
    EXPECT_EQ(c[1001], st.Addr());
    EXPECT_EQ(c[1002], "11001");
    EXPECT_EQ(c[1015], "Test Station");
    EXPECT_EQ(c[1010], "전용선");
    EXPECT_EQ(c[1012], "관리PC로 전송중.....");
    EXPECT_EQ(c[1014], "센터 전송");
    EXPECT_EQ(c[1008], "data");  // the shared memory opened at start: no notice
    // Refresh request at start, then the heartbeat every second.
    ASSERT_TRUE(e2e::WaitFor([&] { return st.StubLog("Harwent Console v1.0").find(" 1041 453 0") != std::string::npos; }, 5s));
    const std::string log = st.StubLog("Harwent Console v1.0");
    EXPECT_NE(log.find(" 1038 106 1\n"), std::string::npos) << log;
    EXPECT_LT(log.find(" 1038 106 1\n"), log.find(" 1041 453 0\n"));

    // Closing the dialog ends the standard-server clients of a speed station and exits 1.
    st.Run("velmoractl", {"close"});
    EXPECT_EQ(st.Wait(velmora, 5s), 1);
    EXPECT_NE(st.StubLog("Valdrift").find(" 2 0 0"), std::string::npos);
    EXPECT_NE(st.StubLog("Ostermay").find(" 2 0 0"), std::string::npos);
}

TEST(StationShell, OpensSharedMemoryOnceTheMainProgramRuns) {
    e2e::Station st(12);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1008, "Not Open MMF")) << e2e::ReadFile(velmora.szOut);
    auto harwent = st.StartHarwent();
    // The link-state report is posted only by a supervision tick that found the areas open.
    EXPECT_TRUE(e2e::WaitFor([&] { return st.StubLog("Harwent Console v1.0").find(" 1041 256 ") != std::string::npos; }, 10s));
}

TEST(StationShell, ButtonsToggleTheSendState) {
    e2e::Station st(13);
    auto harwent = st.StartHarwent();
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1003, "ABCDE"));
    st.Run("velmoractl", {"click", "1014"});
    EXPECT_TRUE(st.WaitControl(1014, "Send Stop"));
    // The state line follows on the next transfer tick.
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));
    st.Run("velmoractl", {"click", "1014"});
    EXPECT_TRUE(st.WaitControl(1014, "관리 전송"));
    EXPECT_TRUE(st.WaitControl(1012, "관리PC로 전송중....."));
}

TEST(StationShell, NoticesOfTheMainProgramReachTheCenter) {
    e2e::Station st(150);
    for (const char* szImage : {"RoadImage", "CarImage", "TrackingImage"})
        e2e::WriteFile(st.Path(std::string("d/Capture_img/") + szImage + ".ABCDE"),
                       std::string(4000, szImage[0]));
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter();
    auto velmora = st.StartVelmora();
    auto Received = [&](int nCode) {
        return e2e::Count(e2e::ReadFile(center.szOut), "RX code=" + std::to_string(nCode) + " ");
    };
    // The first short status report (timer 99) is in before the notices start.
    ASSERT_TRUE(e2e::WaitFor([&] { return Received(59) == 1; }, 10s))
        << e2e::ReadFile(velmora.szOut);
    const std::pair<int, int> kRows[] = {{102, 52}, {103, 53}, {104, 54},
                                         {105, 56}, {106, 55}, {107, 59}};
    size_t nImages = 0;
    for (const auto& row : kRows) {
        const int nNotice = row.first;
        const int nOpcode = row.second;
        SCOPED_TRACE(nNotice);
        const size_t nBefore = Received(nOpcode);
        EXPECT_EQ(st.Run("harwent-sim", {"send", std::to_string(nNotice), "0"}), "0\n");
        EXPECT_TRUE(e2e::WaitFor([&] { return Received(nOpcode) > nBefore; }, 5s))
            << e2e::ReadFile(center.szOut);
        if (nOpcode > 54) continue;
        // The image goes whole before the next notice (one transfer at a time).
        ++nImages;
        EXPECT_TRUE(e2e::WaitFor(
            [&] { return e2e::Count(e2e::ReadFile(center.szOut), "FILE ") == nImages; }, 5s))
            << e2e::ReadFile(center.szOut);
    }
    // 132 switches violation transfer off (value 1) and on again (any other value); the
    // state line follows on the next transfer tick.
    EXPECT_EQ(st.Run("harwent-sim", {"send", "132", "1"}), "0\n");
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));
    EXPECT_EQ(st.Run("harwent-sim", {"send", "132", "0"}), "0\n");
    EXPECT_TRUE(st.WaitControl(1012, "관리PC로 전송중....."));
}

// While a program update runs (the center's 79 started the receiver), the main program's
// requests for the traffic and the full status report go unanswered; the short status
// report still goes.
TEST(StationShell, AnUpdateHoldsTheTrafficAndStatusReportsBack) {
    e2e::Station st(151);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter({"--", "79"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return std::filesystem::exists(st.Path(".windows/Quillamor.log")); }, 10s))
        << e2e::ReadFile(velmora.szOut);
    auto Received = [&](const char* szCode) {
        return e2e::Count(e2e::ReadFile(center.szOut), std::string("RX code=") + szCode + " ");
    };
    const size_t nShort = Received("59");
    for (const char* szNotice : {"105", "106", "107"})
        EXPECT_EQ(st.Run("harwent-sim", {"send", szNotice, "0"}), "0\n");
    // The notices are handled in order: once the short status is in, the others were not sent.
    ASSERT_TRUE(e2e::WaitFor([&] { return Received("59") > nShort; }, 5s));
    EXPECT_EQ(Received("56"), 0u);
    EXPECT_EQ(Received("55"), 0u);
}

}  // namespace
