// The dialog against the fake platform: start-up per settings, the silent-manager
// watchdog (process end caught), the link-health report, midnight, the system menu and
// the shutdown. The send switch and its display are covered end to end by the shell tests.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class DialogTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        m_pEnv->SetTime64(1765000000);  // 2025-12-06, a quiet afternoon
    }
    // Builds the dialog and runs its start-up without link threads, after writing the
    // first INI file when szIni is given.
    CVelmoraDlg& Start(const char* szIni = nullptr) {
        if (szIni != nullptr) WriteIni(szIni);
        m_pDlg = std::make_unique<CVelmoraDlg>();
        m_pDlg->m_nConnCount = 0;  // no link thread in unit tests
        m_pEnv->SetLoopHandler(m_pDlg.get());
        m_pDlg->CreateControls();
        m_pDlg->OnInitDialog();
        return *m_pDlg;
    }
    // Start() with the main operation program's areas open (plain buffers).
    CVelmoraDlg& StartWithAreas(const char* szIni = nullptr) {
        CVelmoraDlg& dlg = Start(szIni);
        m_local.assign(4096, 0);
        m_traffic.assign(68, 0);
        std::memcpy(m_local.data(), "ABCDE", 5);
        dlg.m_pLocalStatus = m_local.data();
        dlg.m_pTrafficInfo = m_traffic.data();
        dlg.m_bMmfOpen = 1;
        return dlg;
    }
    int CountMessages(const std::string& szTitle, uint32_t nMsg, uintptr_t wParam) {
        int n = 0;
        for (const auto& m : m_pEnv->Messages())
            n += m.szTitle == szTitle && m.nMsg == nMsg && m.wParam == wParam;
        return n;
    }
    // Runs fn; the status the program ended with, -1 when it goes on.
    template <class Fn>
    static int EndStatus(Fn fn) {
        try {
            fn();
        } catch (const vplat::FakeProcessEnd& e) {
            return e.nStatus;
        }
        return -1;
    }
    int WatchdogTick(CVelmoraDlg& dlg) {
        return EndStatus([&] { dlg.OnTimer(kTimerSupervise); });
    }
    std::vector<uint8_t> m_traffic;
};

TEST_F(DialogTest, StartUpFollowsTheSettings) {
    const struct {
        std::string szIni, szDrive;  // the settings, the drive it runs from
        uint32_t nVolSend, nStatus, nRunLog;
        const char* szSendState;
        const char* szLineKind = "전용선";  // leased line
        const char* szManagerIp = "255.255.255.255";  // none read
    } kCases[] = {
        {"[SelectSystem]\nTHIS_PROGRAM_KIND=2\n[LocalInfo]\nLOCAL_ADDRESS=ABCDE\n"
         "MANAGE_PC_IP=192.168.10.20\n",
         "D", 10000, 100000, 0, "관리PC로 전송중.....", "전용선", "192.168.10.20"},
        {"[SelectSystem]\nTHIS_PROGRAM_KIND=1\n[LocalInfo]\nAUTO_SEND_LOG=1\n"
         "[OperationInfo]\nOPERATION_MODE=1\n",
         "D", 16000, 0, 33000, "관리PC로 전송중....."},
        {"", "E", 10000, 100000, 0, "관리PC로 전송중....."},
        {"[LocalInfo]\nVOL_FILE_SEND_SYSTEM=0\n", "D", 10000, 100000, 0, "표준서버로 전송 중...."},
        // CDMA without a wake-up period: connected all day.
        {"[LocalInfo]\nCENTER_COMM_KIND=1\nWAIT_CDMA_CONNECT=3\nWAKEUP_CDMA=0\n", "D", 10000,
         100000, 0, "관리PC로 전송중.....", "Day Connect"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szIni + c.szDrive);
        TearDown();
        SetUp();
        fs::create_directories(Host(c.szDrive == "E" ? "e/QN64-ABRIX/Bin" : "d/QN64-ABRIX/Bin"));
        ASSERT_TRUE(m_pEnv->SetCurrentDir((c.szDrive + ":/QN64-ABRIX/Bin").c_str()));
        CVelmoraDlg& dlg = Start(c.szIni.c_str());
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSecond), 1000u);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSupervise), 10000u);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), c.nVolSend);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerStatus), c.nStatus);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerFirstStatus), 5000u);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), c.nRunLog);
        EXPECT_EQ(dlg.GetItemText(IDC_LINE_KIND), c.szLineKind);
        EXPECT_EQ(dlg.GetItemText(IDC_MANAGER_IP), c.szManagerIp);
        EXPECT_EQ(dlg.GetItemText(IDC_NOTICE), "Not Open MMF");
        EXPECT_EQ(dlg.m_bSendEnable.load(), 1);
        EXPECT_EQ(std::string(dlg.m_szBinDir), c.szDrive + ":/QN64-ABRIX/Bin");
        EXPECT_EQ(dlg.GetItemText(IDC_SEND_STATE), c.szSendState);
        if (std::string(c.szSendState).rfind("표준서버", 0) != 0) continue;
        dlg.m_bSendEnable = 0;
        dlg.OnTimer(kTimerVolSend);
        EXPECT_EQ(dlg.GetItemText(IDC_SEND_STATE), c.szSendState) << "a silent transfer timer";
    }
}

// Connected, the watchdog restarts only after more than twenty silent ticks (a frame starts
// the count again). Silent ticks while the link is down count, and the first tick after
// connecting restarts; outside normal operation, or while an update runs, it never
// restarts (the update flag clears once the receiver's window has gone).
TEST_F(DialogTest, WatchdogRestartsAfterMoreThanTwentySilentTicksInNormalOperationOnly) {
    enum { kUp, kDown, kModeOne, kUpdate };
    for (const int nCase : {kUp, kDown, kModeOne, kUpdate}) {
        SCOPED_TRACE(nCase);
        TearDown();
        SetUp();
        CVelmoraDlg& dlg =
            StartWithAreas(nCase == kModeOne ? "[OperationInfo]\nOPERATION_MODE=1\n" : "");
        dlg.m_pConn[0].m_nLinkState = nCase == kDown ? 2 : 1;
        if (nCase == kUpdate) {
            m_pEnv->AddWindow("Quillamor");
            dlg.m_bUpdateRunning = 1;
        }
        if (nCase == kUp) {
            for (int i = 0; i < 20; ++i) ASSERT_EQ(WatchdogTick(dlg), -1) << i;
            dlg.m_nRecvFrames = 1;  // one frame arrives: the count starts again
            ASSERT_EQ(WatchdogTick(dlg), -1);
            EXPECT_EQ(dlg.m_nNoRecvTicks.load(), 0);
            EXPECT_EQ(dlg.m_nRecvFrames.load(), 0);
        }
        for (int i = 0; i < (nCase == kUp ? 20 : 40); ++i) ASSERT_EQ(WatchdogTick(dlg), -1) << i;
        EXPECT_EQ(dlg.m_nNoRecvTicks.load(), nCase == kUp ? 20 : nCase == kDown ? 40 : 0);
        dlg.m_pConn[0].m_nLinkState = 1;
        m_pEnv->RemoveWindow("Quillamor");
        m_pEnv->AddWindow("Brisketon");
        const bool bRestarts = nCase == kUp || nCase == kDown;
        EXPECT_EQ(WatchdogTick(dlg), bRestarts ? 1 : -1);
        EXPECT_EQ(dlg.m_bUpdateRunning.load(), 0);
        EXPECT_EQ(CountMessages("Brisketon", 2, 0), bRestarts ? 1 : 0);
        EXPECT_EQ(CountDebugContaining("일정시간 수신데이타 없어서 통신프로그램 Restart !!"),
                  bRestarts ? 1 : 0);
        if (bRestarts) {
            EXPECT_EQ(m_pEnv->MonotonicMs() - m_pEnv->Messages().back().nAtMs, 1000u)
                << "then ends";
        }
    }
}

TEST_F(DialogTest, LinkHealthReportAndOwnAddress) {
    CVelmoraDlg& dlg = StartWithAreas();
    m_pEnv->AddWindow("Harwent Console v1.0");
    dlg.m_pConn[0].m_nLinkState = 2;
    WatchdogTick(dlg);
    dlg.m_bLinkExpected = 0;  // a hung-up CDMA link counts as healthy
    WatchdogTick(dlg);
    std::vector<intptr_t> values;
    for (const auto& m : m_pEnv->Messages()) {
        if (m.nMsg == 1041 && m.wParam == 256) {
            EXPECT_TRUE(m.bPosted);
            values.push_back(m.lParam);
        }
    }
    EXPECT_EQ(values, (std::vector<intptr_t>{0, 1}));
    EXPECT_EQ(m_local[2404 + 15], 0);  // a dotted address with its NUL
    EXPECT_NE(std::string(reinterpret_cast<char*>(&m_local[2404])).find('.'), std::string::npos);
    // The backlog figure ages every waiting file: the oldest wherever it is listed.
    fs::create_directories(Host("d/ENF_IMG"));
    std::snprintf(dlg.m_szEnfImgDirectory, sizeof dlg.m_szEnfImgDirectory, "d:/ENF_IMG");
    std::snprintf(dlg.m_pConn[0].m_szLocalId, sizeof dlg.m_pConn[0].m_szLocalId, "ABCDE");
    dlg.OnTimer(kTimerSecond);  // nothing waits: no age at all
    EXPECT_EQ(Control(IDC_BACKLOG), "backlog 0");
    EXPECT_EQ(dlg.m_stats.GetGauge(kGaugeOldestAge), -1);
    for (const std::string szOld : {"1.ABCDE", "2.ABCDE"}) {
        for (const std::string sz : {"1.ABCDE", "2.ABCDE"}) {
            WriteFile("d/ENF_IMG/" + sz, "v");
            fs::last_write_time(
                Host("d/ENF_IMG/" + sz),
                fs::file_time_type::clock::now() - std::chrono::seconds(sz == szOld ? 7230 : 30));
        }
        dlg.OnTimer(kTimerSecond);
        EXPECT_EQ(Control(IDC_BACKLOG), "backlog 2, oldest 120 min");
    }
    // A file written after the clock was set back counts as just arrived: 0 s old.
    fs::remove(Host("d/ENF_IMG/2.ABCDE"));
    fs::last_write_time(Host("d/ENF_IMG/1.ABCDE"),
                        fs::file_time_type::clock::now() + std::chrono::hours(1));
    dlg.OnTimer(kTimerSecond);
    EXPECT_EQ(Control(IDC_BACKLOG), "backlog 1, oldest 0 min");
    EXPECT_EQ(dlg.m_stats.GetGauge(kGaugeOldestAge), 0);
    // The link has been down for each of those four seconds; up, it is down for none.
    EXPECT_EQ(dlg.m_stats.GetGauge(kGaugeLinkDownFor), 4);
    dlg.m_pConn[0].m_nLinkState = 1;
    dlg.OnTimer(kTimerSecond);
    EXPECT_EQ(dlg.m_stats.GetGauge(kGaugeLinkDownFor), 0);
}

TEST_F(DialogTest, MidnightCleansUpAndClearsTheDailyLogFlagOnlyAtZeroSecond) {
    StationTest::WriteIni("[LocalInfo]\nLOCAL_ADDRESS=ABCDE\n",
                          "[AdditionItem]\nENF_IMG_DIRECTORY=d:/ENF_IMG\n");
    const std::string szVol = "20251106120000.ABCDE";            // 31 days before the 7th
    const std::string szNoPlate = "d/not_plate/20251116.ABCDE";  // 21 days
    WriteFile("d/ENF_IMG/" + szVol, "v");
    WriteFile(szNoPlate, "n");
    CVelmoraDlg& dlg = Start();
    dlg.m_bLogSentToday = 1;
    for (const int nSecond : {1, 0}) {
        m_pEnv->SetTime64(vplat::Time64FromLocal(2025, 12, 7, 0, 0, nSecond));
        dlg.OnTimer(kTimerSecond);
        EXPECT_EQ(dlg.m_bLogSentToday.load(), nSecond);
        EXPECT_EQ(Exists("d/ENF_IMG/" + szVol), nSecond == 1);
        EXPECT_EQ(Exists(szNoPlate), nSecond == 1);
    }
    EXPECT_EQ(ReadFile("d/delete_img/" + szVol), "v");
    EXPECT_EQ(dlg.GetItemText(IDC_LINK_ICON), "icon:130");
}

// System-menu commands: the about entry (16, low four bits ignored) shows the about box;
// SC_CLOSE ends the program as WM_CLOSE does; any other does nothing here. The shutdown
// ends the standard-server client of the station's kind and stops the supervision.
TEST_F(DialogTest, SystemMenuAndShutdown) {
    CVelmoraDlg& dlg = Start();
    const struct {
        uintptr_t wParam;
        bool bAbout;
        int nEnd;  // exit status, -1 when the program goes on
    } kCases[] = {{0x10, true, -1},    {0x1F, true, -1},   {0xF020, false, -1},
                  {0xF120, false, -1}, {0xF060, false, 1}, {0xF063, false, 1}};
    for (const auto& c : kCases) {
        dlg.SetItemText(IDD_ABOUTBOX, "");
        EXPECT_EQ(EndStatus([&] { dlg.OnLoopMessage(0x0112, c.wParam, 0); }), c.nEnd)
            << std::hex << c.wParam;
        EXPECT_EQ(!dlg.GetItemText(IDD_ABOUTBOX).empty(), c.bAbout) << std::hex << c.wParam;
    }
    TearDown();
    SetUp();
    CVelmoraDlg& signal = Start("[SelectSystem]\nTHIS_PROGRAM_KIND=1\n");
    for (const char* title : {"Plinquet", "Valdrift", "Ostermay"}) m_pEnv->AddWindow(title);
    EXPECT_EQ(EndStatus([&] { signal.OnDestroy(); }), 1);
    EXPECT_EQ(CountMessages("Plinquet", 2, 0), 1);
    EXPECT_EQ(CountMessages("Valdrift", 2, 0), 0);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSupervise), 0u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSecond), 1000u);  // left to the process exit
}

}  // namespace
}  // namespace vtest
