// The center's commands reaching the sibling programs through the real station program:
// velmora-mgrpc sends, the stand-ins' message logs show the exact sequence.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sstream>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

// The messages of a stand-in's log as "msg w l" lines, time stamps dropped.
std::vector<std::string> Messages(const std::string& szLog) {
    std::vector<std::string> out;
    std::istringstream in(szLog);
    std::string line;
    while (std::getline(in, line)) {
        const size_t nSpace = line.find(' ');
        if (nSpace == std::string::npos) continue;
        const std::string msg = line.substr(nSpace + 1);
        if (msg.rfind("1041 ", 0) == 0) continue;  // heartbeat and link state
        out.push_back(msg);
    }
    return out;
}

using e2e::Contains;

TEST(CenterCommands, DeviceCommandsReachTheMainProgramAndTheCameraProgramInOrder) {
    e2e::Station st(31);
    auto harwent = st.StartHarwent();
    auto zentoral = st.StartStub("Zentoral");
    auto center = st.StartCenter({"--", "62 0123", "63 07", "67 060120", "75 12403", "60 1019050080120"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1005, "60-13", 10s)) << e2e::ReadFile(center.szOut);
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.StubLog("Zentoral"), "1038 126 "); }, 5s));
    e2e::WaitFor([&] { return Messages(st.StubLog("Harwent Console v1.0")).size() >= 12; }, 5s);
    const std::vector<std::string> harwentExpected{
        "1038 106 1",                                                  // refresh at start
        "1038 134 0", "1038 151 12",                                   // pan-tilt 0123
        "1038 134 0", "1038 160 0", "1038 106 1",                      // lens 7 refreshes
        "1038 134 0", "1038 130 " + std::to_string(120 * 65536 + 60), "1038 106 1",
        "1038 143 " + std::to_string(3 * 65536 + 24), "1038 106 1",    // N_PASS
        "1038 134 1", "1038 106 1"};                                   // speed: only the selection here
    EXPECT_EQ(Messages(st.StubLog("Harwent Console v1.0")), harwentExpected);
    const std::vector<std::string> zentoralExpected{
        "1038 151 12", "1038 160 0", "1038 130 " + std::to_string(120 * 65536 + 60),
        "1038 126 " + std::to_string(50 * 65536 + 19)};
    // A speed station also sends the second pair (w4 high, w3 low).
    auto z = Messages(st.StubLog("Zentoral"));
    ASSERT_GE(z.size(), 5u);
    z.resize(5);
    std::vector<std::string> zExpected = zentoralExpected;
    zExpected.push_back("1038 127 " + std::to_string(120 * 65536 + 80));
    EXPECT_EQ(z, zExpected);
    EXPECT_EQ(st.Control(1008), "SPD:0_19/50_80/120");  // camera 1 has no lane configured
}

TEST(CenterCommands, SystemCommandsUpdateSuperviseAndSetTheClock) {
    e2e::Station st(32);
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char szNow[32];
    std::strftime(szNow, sizeof szNow, "%Y%m%d%H%M%S", &t);
    auto harwent = st.StartHarwent();
    auto morwick = st.StartStub("Morwick");
    auto center = st.StartCenter({"--", "58 1", "58 3", "58 4", std::string("57 ") + szNow,
                                  "72 01", "79"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1005, "79-0", 10s)) << e2e::ReadFile(center.szOut);
    EXPECT_EQ(Messages(st.StubLog("Morwick")), (std::vector<std::string>{"1043 165 1", "1043 123 0"}));
    const std::string harwentLog = st.StubLog("Harwent Console v1.0");
    EXPECT_TRUE(Contains(harwentLog, " 1038 124 0\n"));
    EXPECT_TRUE(Contains(harwentLog, " 1038 142 0\n"));  // told as the center sent it
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), std::string("MGR_PC_TIME_CHANGE => ") + szNow); }, 5s))
        << st.SystemLog();
    EXPECT_TRUE(Contains(st.SystemLog(), "MGR_PC: 위반화일 전송 시스템 변경 = 1->0 [Save: 1]"));
    // Without standard-server clients of version 2000 the files stay with the Manager PC.
    EXPECT_EQ(st.Control(1012).substr(0, 3), "관");
    // The update receiver is started from the program directory and holds its window.
    EXPECT_TRUE(e2e::WaitFor([&] { return std::filesystem::exists(st.Path(".windows/Quillamor.log")); }, 5s));
    EXPECT_TRUE(st.Running(velmora));
}

}  // namespace
