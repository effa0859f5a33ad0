// What an operator relies on, with the real programs: the configuration check naming each
// problem of a station root, one station per root, the health a monitoring system reads
// as the center goes away, and velmora-mgrpc as a center that keeps an idle station up
// and answers a command for an absent station with an error.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

using e2e::Contains;
namespace fs = std::filesystem;

// Runs a program to its end: its exit status (-1 on time-out) and its output.
int RunStatus(e2e::Station& st, const std::string& szProgram, const std::vector<std::string>& args,
              std::string* pOut) {
    e2e::Proc p = st.Start(szProgram, args);
    const int nStatus = st.Wait(p, 20s);
    *pOut = e2e::ReadFile(p.szOut);
    return nStatus;
}

struct ConfigCase {
    const char* szName;
    std::function<void(e2e::Station&)> spoil;  // what is wrong with the root
    const char* szProblem;                     // the line that names it; null: none
    size_t nProblems = 1;                      // problems found in all
};

TEST(OperatorCheck, CheckConfigNamesEachProblemAndPassesACorrectRoot) {
    const std::string szYear = std::to_string(1900 + [] {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        return tm.tm_year;
    }());
    auto Ini = [](const char* szKey, const char* szValue) {
        return [=](e2e::Station& st) {
            st.m_ini[szKey] = szValue;
            st.WriteConfig();
        };
    };
    const std::vector<ConfigCase> cases = {
        {"correct", [](e2e::Station&) {}, nullptr, 0},
        {"no file A", [](e2e::Station& st) { fs::remove(st.Path("d/QN64-ABRIX/Data/ConfigInfoSetup.ini")); },
         "ConfigInfoSetup.ini: missing INI file", 3},  // no address, no station ID
        {"empty address", Ini("LocalInfo/MANAGE_PC_IP", ""), "PROBLEM MANAGE_PC_IP: empty"},
        {"bad address", Ini("LocalInfo/MANAGE_PC_IP", "10.0.0.300"),
         "PROBLEM MANAGE_PC_IP: \"10.0.0.300\" is not an IPv4 address"},
        {"long ID", Ini("LocalInfo/LOCAL_ADDRESS", "ABCDEF"), "PROBLEM LOCAL_ADDRESS: \"ABCDEF\" is longer"},
        {"typo", Ini("LocalInfo/MANAGE_PC_IPP", "1.2.3.4"), "(did you mean MANAGE_PC_IP?)"},
        {"own unknown key", Ini("Velmora/MODEM_SPEED", "9600"), "PROBLEM [Velmora] MODEM_SPEED"},
        {"clock flag", Ini("Velmora/SET_MACHINE_CLOCK", "2"), "PROBLEM SET_MACHINE_CLOCK"},
        {"drain flag", Ini("Velmora/SEND_NEXT_AT_ONCE", "yes"), "PROBLEM SEND_NEXT_AT_ONCE"},
        {"no modem", [&](e2e::Station& st) {
             st.m_ini["LocalInfo/CENTER_COMM_KIND"] = "1";
             st.m_ini["Velmora/MODEM_PORT"] = "/dev/h3-no-such-modem";
             st.WriteConfig();
         }, "PROBLEM MODEM_PORT: the device /dev/h3-no-such-modem does not exist"},
        {"no directory key", [](e2e::Station& st) {
             e2e::WriteFile(st.Path("d/QN64-ABRIX/Data/LocalMemorySet.ini"), "[AdditionItem]\r\n");
         }, "PROBLEM ENF_IMG_DIRECTORY: missing"},
        {"no directory", [](e2e::Station& st) { fs::remove_all(st.Path("d/ENF_IMG")); },
         "PROBLEM ENF_IMG_DIRECTORY: the folder d:/ENF_IMG"},
        {"no log folder", [&](e2e::Station& st) { fs::remove_all(st.Path("d/System_Log/" + szYear)); },
         "PROBLEM d:/System_Log/"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.szName);
        e2e::Station st(170);
        c.spoil(st);
        std::string szOut;
        const int nStatus = RunStatus(st, "velmora", {"--check-config"}, &szOut);
        EXPECT_TRUE(Contains(szOut, "LocalInfo/MANAGE_PC_IP")) << szOut;
        if (c.szProblem == nullptr) {
            EXPECT_EQ(nStatus, 0) << szOut;
            EXPECT_TRUE(Contains(szOut, "no problems found")) << szOut;
        } else {
            EXPECT_EQ(nStatus, 1) << szOut;
            EXPECT_TRUE(Contains(szOut, c.szProblem)) << szOut;
            EXPECT_EQ(e2e::Count(szOut, "PROBLEM "), c.nProblems) << szOut;
        }
    }
}

std::string Stat(e2e::Station& st, const std::string& szName) {
    const std::string szStats = st.Run("velmoractl", {"stats"});
    const size_t nAt = szStats.find("\n" + szName + " ");
    if (nAt == std::string::npos) return "";
    const size_t nBegin = nAt + szName.size() + 2;
    return szStats.substr(nBegin, szStats.find('\n', nBegin) - nBegin);
}

TEST(OperatorCheck, SecondStationOnTheRootIsRefusedAndTheFirstKeepsItsLink) {
    e2e::Station st(171);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter({"--poll", "1"});
    auto first = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return std::atoi(Stat(st, "frames_in").c_str()) >= 2; }, 10s));
    const int nFramesIn = std::atoi(Stat(st, "frames_in").c_str());

    auto second = st.StartVelmora();
    EXPECT_EQ(st.Wait(second, 10s), 2);
    EXPECT_TRUE(Contains(e2e::ReadFile(second.szOut), "another station already runs on"))
        << e2e::ReadFile(second.szOut);
    EXPECT_TRUE(st.Running(first));
    EXPECT_EQ(Stat(st, "link"), "up");
    EXPECT_GE(std::atoi(Stat(st, "frames_in").c_str()), nFramesIn);  // not reset
    EXPECT_EQ(e2e::Count(e2e::ReadFile(center.szOut), "CONNECT "), 1u);
    EXPECT_FALSE(st.Run("velmoractl", {"show"}).empty());  // its window is still there

    // A lock left by a killed station is free again at once.
    st.Kill(first);
    st.Wait(first, 5s);
    auto third = st.StartVelmora();
    EXPECT_TRUE(e2e::WaitFor([&] { return Stat(st, "link") == "up"; }, 10s));
    EXPECT_TRUE(st.Running(third));
}

TEST(OperatorCheck, HealthGoesFromOkToWarningToCriticalAsTheCenterGoesAway) {
    e2e::Station st(172, 20);
    auto center = st.StartCenter({"--poll", "5"});
    auto velmora = st.StartVelmora();
    const std::vector<std::string> args{"health", "--warn-link", "10", "--crit-link", "120"};
    std::string szLine;
    auto Health = [&] { return RunStatus(st, "velmoractl", args, &szLine); };
    // OK already while the first connect is under way; then with the link up.
    ASSERT_TRUE(e2e::WaitFor([&] { return Health() == 0 && Contains(szLine, "link up"); }, 10s))
        << szLine;
    EXPECT_TRUE(Contains(szLine, "VELMORA OK - link up, 0 files waiting")) << szLine;

    st.Kill(center);
    ASSERT_TRUE(e2e::WaitFor([&] { return Health() == 1; }, 10s)) << szLine;
    EXPECT_TRUE(Contains(szLine, "VELMORA WARNING - link down for")) << szLine;
    EXPECT_TRUE(Contains(szLine, "connects failed, last refused")) << szLine;
    EXPECT_EQ(Stat(st, "last_failure"), "refused");
    ASSERT_TRUE(e2e::WaitFor([&] { return Health() == 2; }, 15s)) << szLine;
    EXPECT_TRUE(Contains(szLine, "VELMORA CRITICAL - link down for")) << szLine;

    EXPECT_EQ(RunStatus(st, "velmoractl", {"health", "--max-age", "soon"}, &szLine), 3);
    EXPECT_TRUE(Contains(szLine, "VELMORA UNKNOWN - --max-age needs a whole number")) << szLine;
    st.Kill(velmora);
    st.Wait(velmora, 5s);
    EXPECT_EQ(Health(), 2);
    EXPECT_TRUE(Contains(szLine, "VELMORA CRITICAL - station not running")) << szLine;
    // Failed connects go to the debug output, never to the system log.
    EXPECT_TRUE(Contains(e2e::ReadFile(velmora.szOut), "failed: refused"));
    EXPECT_FALSE(Contains(st.SystemLog(), "refused"));
}

TEST(OperatorCheck, CenterPollsKeepAnIdleStationUpAndAnAbsentStationIsAnError) {
    constexpr int kScale = 25;  // the link watchdog's 21 ticks of 10 s: 8.4 s
    e2e::Station st(173, kScale);
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter({"--poll", "60", "--", "@ZZZZZ 57", "57"});
    auto velmora = st.StartVelmora();
    std::this_thread::sleep_for(std::chrono::milliseconds(300 * 1000 / kScale));
    const std::string szOut = e2e::ReadFile(center.szOut);
    // No restart of the station: one connection, never closed, and no restart line.
    EXPECT_EQ(e2e::Count(szOut, "CONNECT "), 1u) << szOut;
    EXPECT_EQ(e2e::Count(szOut, "CLOSE "), 0u) << szOut;
    EXPECT_FALSE(Contains(st.SystemLog(), "Restart")) << st.SystemLog();
    EXPECT_TRUE(Contains(szOut, "ERROR text=\"station ZZZZZ not connected: @ZZZZZ 57\"")) << szOut;
    EXPECT_GE(e2e::CountLines(szOut, {"TX code=57"}), 1u) << szOut;  // the next one went
    EXPECT_GE(e2e::CountLines(szOut, {"TX code=59"}), 4u) << szOut;  // the polls
}

}  // namespace
