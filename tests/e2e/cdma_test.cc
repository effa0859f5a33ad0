// A CDMA station with the modem stand-in on a pseudo-terminal: the SMS wake-up dials
// (the dialer stand-in is started from the program directory), the center's hang-up ends
// the dialer and closes the link, and a leased-line station ignores the modem.
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
    e2e::WriteFile(st.Path("modem.script"),
                   "sms now 0101234567 CONNECT\nnotice-until 15000\n");
}

TEST(CdmaStation, SmsConnectDialsAndTheCenterHangsUp) {
    e2e::Station st(41);
    MakeCdmaStation(st, "1");
    auto modem = st.Start("modem-sim", {"--link", "modem", "--log", st.Path("modem.log"),
                                        "--script", st.Path("modem.script")});
    ASSERT_TRUE(e2e::WaitFor([&] { return std::filesystem::exists(st.Path("modem")); }, 5s));
    auto harwent = st.StartHarwent();
    auto center = st.StartCenter();
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(st.WaitControl(1010, "Min: 3/5"));
    // The notice makes the station ask for the SMS with the 13-byte AT command.
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(e2e::ReadFile(st.Path("modem.log")), "RX 13 "); }, 10s))
        << e2e::ReadFile(st.Path("modem.log"));
    EXPECT_TRUE(Contains(e2e::ReadFile(st.Path("modem.log")), "AT$SMSMT=1?\\r\\n"));
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.SystemLog(), "] = CONNECT"); }, 10s)) << st.SystemLog();
    // The dialer is started from the program directory and holds its window.
    ASSERT_TRUE(e2e::WaitFor([&] { return std::filesystem::exists(st.Path(".windows/Brisketon.log")); }, 5s));
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(e2e::ReadFile(center.szOut), "RX code=59"); }, 10s));

    // Hang-up: the link is closed and the dialer is told to end.
    st.Kill(center);
    auto center3 = st.StartCenter({"--", "78"});
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(e2e::ReadFile(st.Path(".windows/Brisketon.log")), " 2 0 0"); }, 10s))
        << e2e::ReadFile(center3.szOut);
    EXPECT_TRUE(e2e::WaitFor([&] { return Contains(e2e::ReadFile(center3.szOut), "CLOSE peer"); }, 10s));
    EXPECT_TRUE(st.Running(velmora));
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
