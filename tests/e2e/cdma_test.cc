// A CDMA station with the modem stand-in on a pseudo-terminal: the modem is left to the
// dialer while the link is expected up, the center's hang-up closes the link and takes the
// port back, the SMS wake-up dials (the dialer stand-in is started from the program
// directory), the next hang-up ends the dialer and the port comes back once it has gone,
// and a leased-line station ignores the modem.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

using e2e::Contains;

void MakeCdmaStation(e2e::Station& st, const std::string& szCommKind) {
    st.m_ini["LocalInfo/CENTER_COMM_KIND"] = szCommKind;
    st.m_ini["LocalInfo/CDMA_TEL_NUMBER"] = "0101234567";
    st.m_ini["LocalInfo/WAIT_CDMA_CONNECT"] = "3";
    st.m_ini["LocalInfo/WAKEUP_CDMA"] = "5";
    st.m_ini["Velmora/MODEM_PORT"] = st.Path("modem");
    st.WriteConfig();
    e2e::WriteFile(st.Path("modem.script"), "sms now 0101234567 CONNECT\nnotice-until 30000\n");
}

TEST(CdmaStation, HangUpTakesThePortSmsConnectDialsNextHangUpEndsTheDialer) {
    e2e::Station st(41);
    MakeCdmaStation(st, "1");
    auto modem = st.Start("modem-sim", {"--link", "modem", "--log", st.Path("modem.log"),
                                        "--script", st.Path("modem.script")});
    ASSERT_TRUE(e2e::WaitFor([&] { return std::filesystem::exists(st.Path("modem")); }, 5s));
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter();
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1010, "Min: 3/5"));
    ASSERT_TRUE(
        e2e::WaitFor([&] { return Contains(e2e::ReadFile(center.szOut), "RX code="); }, 10s));
    // The link is expected up from the start: the modem is the dialer's, the notices that
    // the modem keeps writing go unheard.
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(Contains(e2e::ReadFile(st.Path("modem.log")), " RX "))
        << e2e::ReadFile(st.Path("modem.log"));

    // The center hangs up: the link is closed and, with no dialer window, the port taken
    // back; the notice makes the station ask for the SMS with the 13-byte AT command.
    st.Kill(center);
    auto center2 = st.StartCenter({"--", "78", "sleep 6000", "78"});
    ASSERT_TRUE(
        e2e::WaitFor([&] { return Contains(e2e::ReadFile(center2.szOut), "CLOSE peer"); }, 10s))
        << e2e::ReadFile(center2.szOut);
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(e2e::ReadFile(st.Path("modem.log")), "RX 13 "); }, 10s))
        << e2e::ReadFile(st.Path("modem.log"));
    EXPECT_TRUE(Contains(e2e::ReadFile(st.Path("modem.log")), "AT$SMSMT=1?\\r\\n"));
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), "] = CONNECT"); }, 10s)) << st.SystemLog();
    // The dialer is started from the program directory and holds its window.
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return std::filesystem::exists(st.Path(".windows/Brisketon.log")); }, 5s));

    // The second hang-up ends the dialer, and the port comes back once its window has gone.
    EXPECT_TRUE(e2e::WaitFor(
        [&] { return Contains(e2e::ReadFile(st.Path(".windows/Brisketon.log")), " 2 0 0"); }, 15s))
        << e2e::ReadFile(center2.szOut);
    EXPECT_TRUE(e2e::WaitFor(
        [&] { return e2e::Count(e2e::ReadFile(center2.szOut), "CLOSE peer") >= 2; }, 10s));
    EXPECT_TRUE(
        e2e::WaitFor([&] { return e2e::Count(st.SystemLog(), "MODEM: 포트 열림 [") == 2; }, 10s))
        << st.SystemLog();
    EXPECT_TRUE(st.Running(velmora));

    // A new violation file while the link is hung up dials again.
    auto Debug = [&](const char* szLine) { return e2e::Count(e2e::ReadFile(velmora.szOut), szLine); };
    const size_t nDials = Debug("==> create CDMA Comm Thread..");
    EXPECT_EQ(st.Run("harwent-sim", {"send", "101", "0"}), "0\n");
    EXPECT_TRUE(e2e::WaitFor(
        [&] {
            return Debug("Create CDMA Modem - 위반화일이 만들어 져서 CDMA 연결 !!!") == 1 &&
                   Debug("==> create CDMA Comm Thread..") == nDials + 1;
        },
        5s))
        << e2e::ReadFile(velmora.szOut);
}

TEST(CdmaStation, LeasedLineIgnoresTheModem) {
    e2e::Station st(42);
    MakeCdmaStation(st, "0");
    auto modem = st.Start("modem-sim", {"--link", "modem", "--log", st.Path("modem.log"),
                                        "--script", st.Path("modem.script")});
    auto harwent = st.StartHarwent();
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1010, "전용선"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(Contains(e2e::ReadFile(st.Path("modem.log")), " RX "));
    EXPECT_FALSE(std::filesystem::exists(st.Path(".windows/Brisketon.log")));
}

}  // namespace
