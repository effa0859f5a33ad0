// The dialog against the fake platform: start-up per settings, the supervision timers
// and the silent-manager watchdog (process end caught), the link-health report, the
// standard-server destination, the daily log time and the shutdown. The send switch and
// its display are covered end to end by the shell tests.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class DialogTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        m_pEnv->SetTime64(1765000000);  // 2025-12-06, a quiet afternoon
    }
    void WriteIni(const std::string& szBody) { StationTest::WriteIni(szBody); }
    // Builds the dialog and runs its start-up without link threads.
    CVelmoraDlg& Start() {
        m_pDlg = std::make_unique<CVelmoraDlg>();
        m_pDlg->m_nConnCount = 0;  // no link thread in unit tests
        m_pEnv->SetLoopHandler(m_pDlg.get());
        m_pDlg->CreateControls();
        m_pDlg->OnInitDialog();
        return *m_pDlg;
    }
    // Pretends the main operation program's areas are open.
    void FakeSharedMemory(CVelmoraDlg& dlg) {
        m_local.assign(4096, 0);
        m_traffic.assign(68, 0);
        std::memcpy(m_local.data(), "ABCDE", 5);
        dlg.m_pLocalStatus = m_local.data();
        dlg.m_pTrafficInfo = m_traffic.data();
        dlg.m_bMmfOpen = 1;
    }
    int CountMessages(const std::string& szTitle, uint32_t nMsg, uintptr_t wParam) {
        int n = 0;
        for (const auto& m : m_pEnv->Messages())
            n += m.szTitle == szTitle && m.nMsg == nMsg && m.wParam == wParam;
        return n;
    }
    int WatchdogTick(CVelmoraDlg& dlg) {
        try {
            dlg.OnTimer(kTimerSupervise);
        } catch (const vplat::FakeProcessEnd& e) {
            return e.nStatus;
        }
        return -1;
    }
    std::vector<uint8_t> m_traffic;
};

TEST_F(DialogTest, TimersFollowTheSettings) {
    WriteIni("[SelectSystem]\nTHIS_PROGRAM_KIND=2\n[LocalInfo]\nLOCAL_ADDRESS=ABCDE\n");
    Start();
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSecond), 1000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSupervise), 10000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerStatus), 100000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerFirstStatus), 5000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    EXPECT_EQ(m_pDlg->GetItemText(IDC_LINE_KIND), "전용선");
    EXPECT_EQ(m_pDlg->GetItemText(IDC_NOTICE), "Not Open MMF");
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    EXPECT_STREQ(m_pDlg->m_szBinDir, "D:/QN64-ABRIX/Bin");
}

TEST_F(DialogTest, SignalStationNonNormalModeAndDailyLog) {
    WriteIni(
        "[SelectSystem]\nTHIS_PROGRAM_KIND=1\n[LocalInfo]\nAUTO_SEND_LOG=1\n"
        "[OperationInfo]\nOPERATION_MODE=1\n");
    Start();
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 16000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerStatus), 0u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), 33000u);
}

TEST_F(DialogTest, ProgramDirectoryFollowsTheDriveItRunsFrom) {
    fs::create_directories(Host("e/QN64-ABRIX/Bin"));
    ASSERT_TRUE(m_pEnv->SetCurrentDir("E:/QN64-ABRIX/Bin"));
    Start();
    EXPECT_STREQ(m_pDlg->m_szBinDir, "E:/QN64-ABRIX/Bin");
}

TEST_F(DialogTest, WatchdogRestartsOnlyAfterMoreThanTwentySilentTicksWhileConnected) {
    CVelmoraDlg& dlg = Start();
    FakeSharedMemory(dlg);
    dlg.m_pConn[0].m_nLinkState = 1;
    for (int i = 0; i < 20; ++i) ASSERT_EQ(WatchdogTick(dlg), -1) << i;
    EXPECT_EQ(dlg.m_nNoRecvTicks.load(), 20);
    dlg.m_nRecvFrames = 1;  // one frame arrives: the count starts again
    ASSERT_EQ(WatchdogTick(dlg), -1);
    EXPECT_EQ(dlg.m_nNoRecvTicks.load(), 0);
    EXPECT_EQ(dlg.m_nRecvFrames.load(), 0);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(WatchdogTick(dlg), -1);
    m_pEnv->AddWindow("Brisketon");
    EXPECT_EQ(WatchdogTick(dlg), 1);
    EXPECT_EQ(CountMessages("Brisketon", 2, 0), 1);
    EXPECT_EQ(CountDebugContaining("일정시간 수신데이타 없어서 통신프로그램 Restart !!"), 1);
}

TEST_F(DialogTest, WatchdogCountsWhileDownAndRestartsOnTheFirstTickAfterConnecting) {
    CVelmoraDlg& dlg = Start();
    FakeSharedMemory(dlg);
    dlg.m_pConn[0].m_nLinkState = 2;
    for (int i = 0; i < 30; ++i) ASSERT_EQ(WatchdogTick(dlg), -1);
    dlg.m_pConn[0].m_nLinkState = 1;
    EXPECT_EQ(WatchdogTick(dlg), 1);
}

TEST_F(DialogTest, WatchdogNeverRestartsOutsideNormalOperationOrDuringAnUpdate) {
    WriteIni("[OperationInfo]\nOPERATION_MODE=1\n");
    CVelmoraDlg& dlg = Start();
    FakeSharedMemory(dlg);
    dlg.m_pConn[0].m_nLinkState = 1;
    for (int i = 0; i < 40; ++i) ASSERT_EQ(WatchdogTick(dlg), -1);
}

TEST_F(DialogTest, UpdateHoldsTheWatchdogOffUntilTheReceiverIsGone) {
    CVelmoraDlg& dlg = Start();
    FakeSharedMemory(dlg);
    dlg.m_pConn[0].m_nLinkState = 1;
    m_pEnv->AddWindow("Quillamor");
    dlg.m_bUpdateRunning = 1;
    for (int i = 0; i < 30; ++i) ASSERT_EQ(WatchdogTick(dlg), -1);
    m_pEnv->RemoveWindow("Quillamor");
    ASSERT_EQ(WatchdogTick(dlg), -1);
    EXPECT_EQ(dlg.m_bUpdateRunning.load(), 0);
}

TEST_F(DialogTest, LinkHealthReportAndOwnAddress) {
    CVelmoraDlg& dlg = Start();
    FakeSharedMemory(dlg);
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
    int32_t nDest = -1;
    std::memcpy(&nDest, &m_local[2336], 4);
    EXPECT_EQ(nDest, 1);
}

TEST_F(DialogTest, StandardServerDestinationSilencesTheTransferTimer) {
    WriteIni("[LocalInfo]\nVOL_FILE_SEND_SYSTEM=0\n");
    CVelmoraDlg& dlg = Start();
    EXPECT_EQ(dlg.GetItemText(IDC_SEND_STATE), "표준서버로 전송 중....");
    dlg.m_bSendEnable = 0;
    dlg.OnTimer(kTimerVolSend);
    EXPECT_EQ(dlg.GetItemText(IDC_SEND_STATE), "표준서버로 전송 중....");  // not even the display
}

TEST_F(DialogTest, DailyLogTimeComparesMinuteAndSecondEachForItself) {
    WriteIni("[LocalInfo]\nAUTO_SEND_LOG=1\n");
    CVelmoraDlg& dlg = Start();
    FakeSharedMemory(dlg);
    dlg.m_pConn[0].m_nLinkState = 1;
    dlg.m_nLogSendMinute = 30;
    dlg.m_nLogSendSecond = 40;
    dlg.m_pSession->m_nSendKind = SEND_VOL;  // the attempt only counts while a file is current
    m_pEnv->SetTime64(vplat::Time64FromLocal(2025, 12, 6, 23, 45, 10));
    dlg.OnTimer(kTimerRunLog);
    EXPECT_EQ(dlg.m_pSession->sendRetryCenter.load(), 0);
    m_pEnv->SetTime64(vplat::Time64FromLocal(2025, 12, 6, 23, 45, 41));
    dlg.OnTimer(kTimerRunLog);
    EXPECT_EQ(dlg.m_pSession->sendRetryCenter.load(), 1);
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
    m_pEnv->SetTime64(vplat::Time64FromLocal(2025, 12, 7, 0, 0, 1));
    dlg.OnTimer(kTimerSecond);
    EXPECT_EQ(dlg.m_bLogSentToday.load(), 1);
    EXPECT_TRUE(Exists("d/ENF_IMG/" + szVol));
    EXPECT_TRUE(Exists(szNoPlate));
    m_pEnv->SetTime64(vplat::Time64FromLocal(2025, 12, 7, 0, 0, 0));
    dlg.OnTimer(kTimerSecond);
    EXPECT_EQ(dlg.m_bLogSentToday.load(), 0);
    EXPECT_FALSE(Exists("d/ENF_IMG/" + szVol));
    EXPECT_EQ(ReadFile("d/delete_img/" + szVol), "v");
    EXPECT_FALSE(Exists(szNoPlate));
    EXPECT_EQ(dlg.GetItemText(IDC_LINK_ICON), "icon:130");
}

// System-menu commands: the about entry (16, low four bits ignored) shows the about box;
// SC_CLOSE ends the program as WM_CLOSE does; any other does nothing here.
TEST_F(DialogTest, SystemMenuCommands) {
    CVelmoraDlg& dlg = Start();
    const struct {
        uintptr_t wParam;
        bool bAbout;
        int nEnd;  // exit status, -1 when the program goes on
    } kCases[] = {{0x10, true, -1},    {0x1F, true, -1},   {0xF020, false, -1},
                  {0xF120, false, -1}, {0xF060, false, 1}, {0xF063, false, 1}};
    for (const auto& c : kCases) {
        dlg.SetItemText(IDD_ABOUTBOX, "");
        int nEnd = -1;
        try {
            dlg.OnLoopMessage(0x0112, c.wParam, 0);
        } catch (const vplat::FakeProcessEnd& e) {
            nEnd = e.nStatus;
        }
        EXPECT_EQ(nEnd, c.nEnd) << std::hex << c.wParam;
        EXPECT_EQ(!dlg.GetItemText(IDD_ABOUTBOX).empty(), c.bAbout) << std::hex << c.wParam;
    }
}

TEST_F(DialogTest, ShutdownEndsTheStandardServerClientsOfTheStationKind) {
    WriteIni("[SelectSystem]\nTHIS_PROGRAM_KIND=1\n");
    CVelmoraDlg& dlg = Start();
    for (const char* title : {"Plinquet", "Valdrift", "Ostermay"}) m_pEnv->AddWindow(title);
    int nStatus = -1;
    try {
        dlg.OnDestroy();
    } catch (const vplat::FakeProcessEnd& e) {
        nStatus = e.nStatus;
    }
    EXPECT_EQ(nStatus, 1);
    EXPECT_EQ(CountMessages("Plinquet", 2, 0), 1);
    EXPECT_EQ(CountMessages("Valdrift", 2, 0), 0);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSupervise), 0u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSecond), 1000u);  // left to the process exit
}

}  // namespace
}  // namespace vtest
