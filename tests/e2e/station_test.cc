// The station program started for real: its dialog, its shared memory and buttons, its
// sibling messages at start and at exit, the main program's notices reaching the center,
// the center's commands reaching the sibling programs in their exact order, the CDMA
// modem, and what an operator relies on (the configuration check, one station per root,
// the health a monitoring system reads, a center's polls and its errors).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::Contains;
using e2e::Count;
using e2e::kHarwent;
using e2e::Names;
namespace fs = std::filesystem;

// The main program's notice (harwent-sim send): "0\n" once it was sent.
std::string Notice(e2e::Station& st, const std::string& szCode, const std::string& szValue = "0") {
    return st.Run("harwent-sim", {"send", szCode, szValue}).out;
}

// Frames of code szCode the center received.
size_t Received(e2e::Station& st, const std::string& szCode) {
    return Count(st.center.Out(), "RX code=" + szCode + " ");
}

// A CDMA station (or, with CENTER_COMM_KIND 0, a leased-line one) with the modem stand-in
// on a pseudo-terminal that announces an SMS wake-up from the station's number.
void StartModem(e2e::Station& st, const std::string& szCommKind) {
    st.m_ini["LocalInfo/CENTER_COMM_KIND"] = szCommKind;
    st.m_ini["LocalInfo/CDMA_TEL_NUMBER"] = "0101234567";
    st.m_ini["LocalInfo/WAIT_CDMA_CONNECT"] = "3";
    st.m_ini["LocalInfo/WAKEUP_CDMA"] = "5";
    st.Set("Velmora/MODEM_PORT", st.Path("modem"));
    e2e::WriteFile(st.Path("modem.script"), "sms now 0101234567 CONNECT\nnotice-until 30000\n");
    st.Start("modem-sim", {"--link", "modem", "--log", st.Path("modem.log"), "--script",
                           st.Path("modem.script")});
    ASSERT_TRUE(e2e::WaitFor([&] { return fs::exists(st.Path("modem")); }, 5s));
}

// Started beside the main program, two standard-server clients, a center and a modem that
// a leased-line station ignores: the dialog shows the station, the main program's notices
// reach the center, 132 and the button stop and restart sending, and closing the dialog
// ends the clients and the program.
TEST(StationShell, ShowsTheStationPassesNoticesTogglesSendingAndTellsTheSiblingsAtExit) {
    e2e::Station st(11);
    StartModem(st, "0");
    for (const char* szImage : {"RoadImage", "CarImage", "TrackingImage"}) {
        e2e::WriteFile(st.Path(std::string("d/Capture_img/") + szImage + ".ABCDE"),
                       std::string(4000, szImage[0]));
    }
    st.StartStub("Valdrift");
    st.StartStub("Ostermay");
    st.Up();
    ASSERT_TRUE(st.WaitControl(1003, "ABCDE")) << st.velmora.Out();
    const std::map<int, std::string> shown{
        {1001, st.Addr()}, {1002, "11001"},     {1015, "Test Station"},
        {1010, "전용선"},  {1014, "센터 전송"}, {1012, "관리PC로 전송중....."},
        {1008, "data"}};  // the shared memory opened at start: no notice
    for (const auto& [nId, szText] : shown) EXPECT_EQ(st.Control(nId), szText) << nId;
    // Refresh request at start, then the heartbeat every second.
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.StubLog(kHarwent), " 1041 453 0"); }, 5s));
    const std::string log = st.StubLog(kHarwent);
    EXPECT_NE(log.find(" 1038 106 1\n"), std::string::npos) << log;
    EXPECT_LT(log.find(" 1038 106 1\n"), log.find(" 1041 453 0\n"));

    // The first short status report (timer 99) is in before the notices start; an image
    // goes whole before the next notice (one transfer at a time).
    ASSERT_TRUE(e2e::WaitFor([&] { return Received(st, "59") == 1; }, 10s)) << st.velmora.Out();
    size_t nImages = 0;
    for (const auto& [nNotice, nOpcode] :
         std::map<int, int>{{102, 52}, {103, 53}, {104, 54}, {105, 56}, {106, 55}, {107, 59}}) {
        SCOPED_TRACE(nNotice);
        const std::string szOpcode = std::to_string(nOpcode);
        const size_t nBefore = Received(st, szOpcode);
        EXPECT_EQ(Notice(st, std::to_string(nNotice)), "0\n");
        EXPECT_TRUE(e2e::WaitFor([&] { return Received(st, szOpcode) > nBefore; }, 5s))
            << st.center.Out();
        nImages += nOpcode <= 54;
        EXPECT_TRUE(e2e::WaitFor([&] { return Count(st.center.Out(), "FILE ") == nImages; }, 5s))
            << st.center.Out();
    }
    // 132 switches violation transfer off (value 1) and on again (any other value), the
    // button too; the state line follows on the next transfer tick.
    EXPECT_EQ(Notice(st, "132", "1"), "0\n");
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));
    EXPECT_EQ(Notice(st, "132", "0"), "0\n");
    EXPECT_TRUE(st.WaitControl(1012, "관리PC로 전송중....."));
    st.Run("velmoractl", {"click", "1014"});
    EXPECT_TRUE(st.WaitControl(1014, "Send Stop"));
    EXPECT_TRUE(st.WaitControl(1012, "전송 중지 !!!"));
    st.Run("velmoractl", {"click", "1014"});
    EXPECT_TRUE(st.WaitControl(1014, "관리 전송"));
    EXPECT_TRUE(st.WaitControl(1012, "관리PC로 전송중....."));

    // Closing the dialog ends the standard-server clients of a speed station and exits 1.
    st.Run("velmoractl", {"close"});
    EXPECT_EQ(st.Wait(st.velmora, 5s), 1);
    EXPECT_TRUE(Contains(st.StubLog("Valdrift"), " 2 0 0"));
    EXPECT_TRUE(Contains(st.StubLog("Ostermay"), " 2 0 0"));
    EXPECT_FALSE(Contains(e2e::ReadFile(st.Path("modem.log")), " RX "));
    EXPECT_FALSE(fs::exists(st.Path(".windows/Brisketon.log")));
}

// The center's commands reach the main program, the camera program and the supervision
// program in their exact order; the clock, the transfer destination, a traffic report and
// a program update.
TEST(CenterCommands, ReachTheSiblingsInOrderSetTheClockTheDestinationAndStartAnUpdate) {
    e2e::Station st(31);
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char szNow[32];
    std::strftime(szNow, sizeof szNow, "%Y%m%d%H%M%S", &t);
    st.StartStub("Zentoral");
    st.StartStub("Morwick");
    st.Up({"--", "62 0123", "63 07", "67 060120", "75 12403", "60 1019050080120", "58 1", "58 3",
           "58 4", std::string("57 ") + szNow, "72 01", "56", "79"});
    ASSERT_TRUE(st.WaitControl(1005, "79-0")) << st.center.Out();
    // The update receiver is started from the program directory and holds its window.
    EXPECT_TRUE(e2e::WaitFor([&] { return fs::exists(st.Path(".windows/Quillamor.log")); }, 5s));
    EXPECT_TRUE(Contains(st.center.Out(), "report=traffic bytes=68")) << st.center.Out();
    EXPECT_TRUE(st.Running(st.velmora));
    const std::string szZoom = "1038 130 " + std::to_string(120 * 65536 + 60);
    EXPECT_EQ(e2e::Messages(st.StubLog(kHarwent)),
              (Names{"1038 106 1",                              // refresh at start
                     "1038 134 0", "1038 151 12",               // pan-tilt 0123
                     "1038 134 0", "1038 160 0", "1038 106 1",  // lens 7 refreshes
                     "1038 134 0", szZoom, "1038 106 1",
                     "1038 143 " + std::to_string(3 * 65536 + 24), "1038 106 1",  // N_PASS
                     "1038 134 1", "1038 106 1",     // speed: only the selection here
                     "1038 124 0", "1038 142 0"}));  // the clock; 72 told as the center sent it
    // A speed station also sends the second pair (w4 high, w3 low).
    EXPECT_EQ(
        e2e::Messages(st.StubLog("Zentoral")),
        (Names{"1038 151 12", "1038 160 0", szZoom, "1038 126 " + std::to_string(50 * 65536 + 19),
               "1038 127 " + std::to_string(120 * 65536 + 80)}));
    EXPECT_EQ(st.Control(1008), "SPD:0_19/50_80/120");  // camera 1 has no lane configured
    EXPECT_EQ(e2e::Messages(st.StubLog("Morwick")), (Names{"1043 165 1", "1043 123 0"}));
    const std::string szTime = std::string("MGR_PC_TIME_CHANGE => ") + szNow;
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), szTime); }, 5s))
        << st.SystemLog();
    EXPECT_TRUE(Contains(st.SystemLog(), "MGR_PC: 위반화일 전송 시스템 변경 = 1->0 [Save: 1]"));
    // Without standard-server clients of version 2000 the files stay with the Manager PC.
    EXPECT_EQ(st.Control(1012).substr(0, 3), "관");
}

// While a program update runs (the center's 79 started the receiver), the main program's
// requests for the traffic and the full status report go unanswered; the short status
// report still goes (the notices are handled in order: once it is in, the others were not
// sent). A station of its own, asked at once: under Wine the supervision tick may end the
// update's hold before later notices arrive.
TEST(CenterCommands, AnUpdateHoldsTheTrafficAndStatusReportsBack) {
    e2e::Station st(151);
    st.Up({"--", "79"});
    ASSERT_TRUE(e2e::WaitFor([&] { return fs::exists(st.Path(".windows/Quillamor.log")); }, 10s))
        << st.velmora.Out();
    const size_t nShort = Received(st, "59");
    for (const char* szNotice : {"105", "106", "107"}) EXPECT_EQ(Notice(st, szNotice), "0\n");
    ASSERT_TRUE(e2e::WaitFor([&] { return Received(st, "59") > nShort; }, 5s));
    EXPECT_EQ(Received(st, "56"), 0u);
    EXPECT_EQ(Received(st, "55"), 0u);
}

// Started before the main program, the station opens the shared memory once that runs
// (the link-state report is posted only by a supervision tick that found the areas open).
// The modem is left to the dialer while the link is expected up; the center's hang-up
// closes the link and takes the port back; the SMS wake-up dials (the dialer stand-in is
// started from the program directory); the next hang-up ends the dialer and the port comes
// back once it has gone; a new violation file while hung up dials again.
TEST(CdmaStation, OpensSharedMemoryLateHangUpTakesThePortSmsDialsNextHangUpEndsTheDialer) {
    e2e::Station st(41);
    StartModem(st, "1");
    st.StartCenter();
    st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1008, "Not Open MMF")) << st.velmora.Out();
    st.StartHarwent();
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(st.StubLog(kHarwent), " 1041 256 "); }, 10s));
    auto Modem = [&] { return e2e::ReadFile(st.Path("modem.log")); };
    ASSERT_TRUE(st.WaitControl(1010, "Min: 3/5"));
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "RX code="); }, 10s));
    // The notices that the modem keeps writing go unheard.
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(Contains(Modem(), " RX ")) << Modem();

    // The notice makes the station ask for the SMS with the 13-byte AT command.
    st.Kill(st.center);
    st.StartCenter({"--", "78", "sleep 6000", "78"});
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "CLOSE peer"); }, 10s))
        << st.center.Out();
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(Modem(), "RX 13 "); }, 10s)) << Modem();
    EXPECT_TRUE(Contains(Modem(), "AT$SMSMT=1?\\r\\n"));
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), "] = CONNECT"); }, 10s))
        << st.SystemLog();
    ASSERT_TRUE(e2e::WaitFor([&] { return fs::exists(st.Path(".windows/Brisketon.log")); }, 5s));

    EXPECT_TRUE(e2e::WaitFor(
        [&] { return Contains(e2e::ReadFile(st.Path(".windows/Brisketon.log")), " 2 0 0"); }, 15s))
        << st.center.Out();
    EXPECT_TRUE(e2e::WaitFor([&] { return Count(st.center.Out(), "CLOSE peer") >= 2; }, 10s));
    EXPECT_TRUE(e2e::WaitFor([&] { return Count(st.SystemLog(), "MODEM: 포트 열림 [") == 2; }, 10s))
        << st.SystemLog();
    EXPECT_TRUE(st.Running(st.velmora));

    const std::string szDial = "==> create CDMA Comm Thread..";
    const size_t nDials = Count(st.velmora.Out(), szDial);
    EXPECT_EQ(Notice(st, "101"), "0\n");
    EXPECT_TRUE(e2e::WaitFor(
        [&] {
            const std::string out = st.velmora.Out();
            return Count(out, "Create CDMA Modem - 위반화일이 만들어 져서 CDMA 연결 !!!") == 1 &&
                   Count(out, szDial) == nDials + 1;
        },
        5s))
        << st.velmora.Out();
}

// The configuration check names each problem of a station root and passes a correct one.
struct ConfigCase {
    const char* szName;
    std::function<void(e2e::Station&)> spoil;  // what is wrong with the root
    const char* szProblem;                     // the line that names it; null: none
    size_t nProblems = 1;                      // problems found in all
};

void PrintTo(const ConfigCase& c, std::ostream* pOut) { *pOut << c.szName; }

std::function<void(e2e::Station&)> Ini(const char* szKey, const char* szValue) {
    return [=](e2e::Station& st) { st.Set(szKey, szValue); };
}

std::function<void(e2e::Station&)> Remove(const char* szRel) {
    return [=](e2e::Station& st) { fs::remove_all(st.Path(szRel)); };
}

class OperatorConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(OperatorConfig, CheckConfigNamesTheProblem) {
    const ConfigCase& c = GetParam();
    e2e::Station st(170);
    c.spoil(st);
    const auto [nStatus, out] = st.Run("velmora", {"--check-config"});
    EXPECT_TRUE(Contains(out, "LocalInfo/MANAGE_PC_IP")) << out;
    EXPECT_EQ(nStatus, c.szProblem == nullptr ? 0 : 1) << out;
    EXPECT_TRUE(Contains(out, c.szProblem == nullptr ? "no problems found" : c.szProblem)) << out;
    EXPECT_EQ(Count(out, "PROBLEM "), c.nProblems) << out;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(OperatorCheck, OperatorConfig, ::testing::Values(
    ConfigCase{"Correct", [](e2e::Station&) {}, nullptr, 0},
    ConfigCase{"NoFileA", Remove("d/QN64-ABRIX/Data/ConfigInfoSetup.ini"),
               "ConfigInfoSetup.ini: missing INI file", 3},  // no address, no station ID either
    ConfigCase{"EmptyAddress", Ini("LocalInfo/MANAGE_PC_IP", ""), "PROBLEM MANAGE_PC_IP: empty"},
    ConfigCase{"BadAddress", Ini("LocalInfo/MANAGE_PC_IP", "10.0.0.300"),
               "PROBLEM MANAGE_PC_IP: \"10.0.0.300\" is not an IPv4 address"},
    ConfigCase{"LongId", Ini("LocalInfo/LOCAL_ADDRESS", "ABCDEF"),
               "PROBLEM LOCAL_ADDRESS: \"ABCDEF\" is longer"},
    ConfigCase{"Typo", Ini("LocalInfo/MANAGE_PC_IPP", "1.2.3.4"), "(did you mean MANAGE_PC_IP?)"},
    ConfigCase{"OwnUnknownKey", Ini("Velmora/MODEM_SPEED", "9600"),
               "PROBLEM [Velmora] MODEM_SPEED"},
    ConfigCase{"ClockFlag", Ini("Velmora/SET_MACHINE_CLOCK", "2"), "PROBLEM SET_MACHINE_CLOCK"},
    ConfigCase{"DrainFlag", Ini("Velmora/SEND_NEXT_AT_ONCE", "yes"), "PROBLEM SEND_NEXT_AT_ONCE"},
    ConfigCase{"NoModem", [](e2e::Station& st) {
                   st.m_ini["LocalInfo/CENTER_COMM_KIND"] = "1";
                   st.Set("Velmora/MODEM_PORT", "/dev/h3-no-such-modem");
               }, "PROBLEM MODEM_PORT: the device /dev/h3-no-such-modem does not exist"},
    ConfigCase{"NoDirectoryKey", [](e2e::Station& st) {
                   e2e::WriteFile(st.Path("d/QN64-ABRIX/Data/LocalMemorySet.ini"),
                                  "[AdditionItem]\r\n");
               }, "PROBLEM ENF_IMG_DIRECTORY: missing"},
    ConfigCase{"NoDirectory", Remove("d/ENF_IMG"),
               "PROBLEM ENF_IMG_DIRECTORY: the folder d:/ENF_IMG"},
    ConfigCase{"NoLogFolder", Remove("d/System_Log"), "PROBLEM d:/System_Log/"}),
    [](const auto& info) { return std::string(info.param.szName); });
// clang-format on

// A center that polls every 60 s keeps an idle station up over 300 station-seconds (the
// link watchdog's 21 ticks of 10 s are 8.4 s at this scale), and a command for an absent
// station is an error while the next one goes. Meanwhile a second station on the root is
// refused and the first keeps its link; a lock left by a killed station is free at once.
// Then the health a monitoring system reads goes from OK to WARNING to CRITICAL as the
// center goes away, and to CRITICAL once the station is gone.
TEST(OperatorCheck, PollsKeepAnIdleStationUpASecondOneIsRefusedAndTheHealthFollowsTheLink) {
    constexpr int kScale = 25;
    e2e::Station st(173, kScale);
    const auto tEnd = std::chrono::steady_clock::now() + 300'000ms / kScale;
    // The service manager hears READY=1 once the station runs.
    const int fdNotify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", st.Path("notify").c_str());
    ASSERT_EQ(bind(fdNotify, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << addr.sun_path;
    st.Up({"--poll", "60", "--", "@ZZZZZ 57", "57"});
    std::string szNotified;
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            char buf[64] = {};
            const ssize_t n = recv(fdNotify, buf, sizeof buf - 1, MSG_DONTWAIT);
            if (n > 0) szNotified += std::string(buf, static_cast<size_t>(n)) + ";";
            return Contains(szNotified, "READY=1;");
        },
        10s))
        << szNotified;
    close(fdNotify);
    auto FramesIn = [&] { return std::atoi(st.Stat("frames_in").c_str()); };
    ASSERT_TRUE(e2e::WaitFor([&] { return FramesIn() >= 2; }, 10s));
    const int nFramesIn = FramesIn();
    auto r = st.Run("velmora", {"--headless"});
    EXPECT_EQ(r.nStatus, 2);
    EXPECT_TRUE(Contains(r.out, "another station already runs on")) << r.out;
    EXPECT_EQ(Count(r.out, "velmora: "), 1u) << r.out;  // that reason alone
    // A root that exists but cannot hold the lock file is refused the same way.
    r = st.Run("velmora", {"--root", "/proc", "--headless"});
    EXPECT_EQ(r.nStatus, 2);
    EXPECT_TRUE(Contains(r.out, "cannot lock the station root: /proc/.velmora.lock")) << r.out;
    // Options that only answer end at once, successfully, whatever runs on the root.
    r = st.Run("velmora", {"--help"});
    EXPECT_EQ(r.nStatus, 0) << r.out;
    EXPECT_EQ(r.out.rfind("usage: velmora [--root DIR]", 0), 0u) << r.out;
    EXPECT_FALSE(Contains(r.out, "unknown option")) << r.out;
    r = st.Run("velmora", {"--version"});
    EXPECT_EQ(r.nStatus, 0) << r.out;
    EXPECT_EQ(r.out.rfind("velmora ", 0), 0u) << r.out;
    EXPECT_TRUE(st.Running(st.velmora));
    EXPECT_EQ(st.Stat("link"), "up");
    EXPECT_GE(FramesIn(), nFramesIn);                          // not reset
    EXPECT_FALSE(st.Run("velmoractl", {"show"}).out.empty());  // its window is still there
    std::this_thread::sleep_until(tEnd);
    const std::string out = st.center.Out();
    EXPECT_EQ(Count(out, "CONNECT "), 1u) << out;
    EXPECT_EQ(Count(out, "CLOSE "), 0u) << out;
    EXPECT_FALSE(Contains(st.SystemLog(), "Restart")) << st.SystemLog();
    EXPECT_TRUE(Contains(out, "ERROR text=\"station ZZZZZ not connected: @ZZZZZ 57\"")) << out;
    EXPECT_GE(e2e::CountLines(out, {"TX code=57"}), 1u) << out;
    EXPECT_GE(e2e::CountLines(out, {"TX code=59"}), 4u) << out;  // the polls
    st.Kill(st.velmora);
    st.StartVelmora();

    // The health (of the station started again on the lock left): OK with the link up,
    // WARNING and then CRITICAL as the center stays away, UNKNOWN for a bad option, CRITICAL
    // once the station is gone.
    auto Health = [&] {
        r = st.Run("velmoractl", {"health", "--warn-link", "10", "--crit-link", "120"});
        return r.nStatus;
    };
    ASSERT_TRUE(e2e::WaitFor([&] { return Health() == 0 && Contains(r.out, "link up"); }, 10s))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "VELMORA OK - link up, 0 files waiting")) << r.out;
    st.Kill(st.center);
    ASSERT_TRUE(e2e::WaitFor([&] { return Health() == 1; }, 10s)) << r.out;
    EXPECT_TRUE(Contains(r.out, "VELMORA WARNING - link down for")) << r.out;
    EXPECT_TRUE(Contains(r.out, "connects failed, last refused")) << r.out;
    EXPECT_EQ(st.Stat("last_failure"), "refused");
    ASSERT_TRUE(e2e::WaitFor([&] { return Health() == 2; }, 15s)) << r.out;
    EXPECT_TRUE(Contains(r.out, "VELMORA CRITICAL - link down for")) << r.out;
    r = st.Run("velmoractl", {"health", "--max-age", "soon"});
    EXPECT_EQ(r.nStatus, 3);
    EXPECT_TRUE(Contains(r.out, "VELMORA UNKNOWN - --max-age needs a whole number")) << r.out;
    st.Kill(st.velmora);
    EXPECT_EQ(Health(), 2);
    EXPECT_TRUE(Contains(r.out, "VELMORA CRITICAL - station not running")) << r.out;
    // Failed connects go to the debug output, never to the system log.
    EXPECT_TRUE(Contains(st.velmora.Out(), "failed: refused"));
    EXPECT_FALSE(Contains(st.SystemLog(), "refused"));
}

}  // namespace
