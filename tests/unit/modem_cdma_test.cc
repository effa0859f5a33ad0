// Dialling and hanging up the CDMA link: the dialer started minimised from the program
// directory only when its window is absent, timer 21 re-armed per station kind, the modem
// port given up before dialling and taken back after a hang-up, the two WM_DESTROY 500 ms
// apart, the link closed by its own thread, the port opening's log lines, and a
// leased-line station that ignores all of it.
#include <string>

#include "app/siblings.h"
#include "tests/unit/modem_fixture.h"

namespace modemtest {
namespace {

using CdmaLinkTest = ModemTest;

TEST_F(CdmaLinkTest, DialStartsTheDialerWhenAbsent) {
    m_pDlg->m_bLinkExpected = 0;
    m_pDlg->StartCdmaLink();
    const auto programs = m_pEnv->StartedPrograms();
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0].szCommandLine, "D:/QN64-ABRIX/Bin/Brisketon.exe");
    EXPECT_EQ(programs[0].nShow, 6);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
    EXPECT_TRUE(HasLine("==> create CDMA Comm Thread.."));
}

TEST_F(CdmaLinkTest, RunningDialerIsNotStartedAgain) {
    m_pEnv->AddWindow(sib::kBrisketon);
    m_pDlg->m_nProgramKind = 1;  // signal station
    m_pDlg->StartCdmaLink();
    EXPECT_EQ(DialerStarts(), 0u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 16000u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
}

TEST_F(CdmaLinkTest, MissingDialerStillExpectsTheLink) {
    m_pEnv->FailStartProgram(true);
    m_pDlg->m_bLinkExpected = 0;
    m_pDlg->StartCdmaLink();
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
}

TEST_F(CdmaLinkTest, DialGivesThePortUpFirst) {
    OpenModem();
    m_pEnv->StartTimer(kTimerSerial, 1000);
    const uint64_t nBefore = m_pEnv->MonotonicMs();
    m_pDlg->StartCdmaLink();
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
    EXPECT_EQ(m_pDlg->m_bComOpen.load(), 0);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSerial), 0u);
    EXPECT_TRUE(HasLine("<== end Serial Comm Thread.."));
    EXPECT_GE(m_pEnv->MonotonicMs() - nBefore, 1000u);  // the pause before the dialer
    EXPECT_EQ(DialerStarts(), 1u);
    // The serial thread must not take the port back from the dialer.
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 0);
}

TEST_F(CdmaLinkTest, HangUpEndsDialerAndTransferTimers) {
    m_pEnv->AddWindow(sib::kBrisketon);
    m_pEnv->StartTimer(kTimerVolSend, 10000);
    m_pEnv->StartTimer(kTimerCdma, 1000);
    m_pDlg->StopCdmaLink();
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 0);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 0u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerCdma), 0u);
    std::vector<vplat::FakeMessage> destroys;
    for (const auto& m : m_pEnv->Messages()) {
        if (m.szTitle == sib::kBrisketon) destroys.push_back(m);
    }
    ASSERT_EQ(destroys.size(), 2u);
    for (const auto& m : destroys) {
        EXPECT_EQ(m.nMsg, 2u);
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, 0);
        EXPECT_FALSE(m.bPosted);
    }
    EXPECT_EQ(destroys[1].nAtMs - destroys[0].nAtMs, 500u);
    EXPECT_TRUE(HasLine("==> end CDMA Comm Thread.."));
}

TEST_F(CdmaLinkTest, HangUpClosesAConnectedLinkThroughItsThread) {
    m_pDlg->m_pConn[0].m_nLinkState = 1;
    m_pDlg->StopCdmaLink();
    EXPECT_EQ(m_pDlg->m_pConn[0].m_nLinkState.load(), 2);
    EXPECT_EQ(m_pDlg->m_pConn[0].m_bCloseRequested.load(), 1);

    // A link that is not connected is left to itself.
    m_pDlg->m_pConn[0].m_nLinkState = 0;
    m_pDlg->m_pConn[0].m_bCloseRequested = 0;
    m_pDlg->StopCdmaLink();
    EXPECT_EQ(m_pDlg->m_pConn[0].m_nLinkState.load(), 0);
    EXPECT_EQ(m_pDlg->m_pConn[0].m_bCloseRequested.load(), 0);
}

TEST_F(CdmaLinkTest, HangUpTakesThePortBackForTheNextSms) {
    OpenModem();
    m_pDlg->StartCdmaLink();
    ASSERT_FALSE(m_pDlg->m_hComPort.IsOpen());
    m_pDlg->StopCdmaLink();
    EXPECT_TRUE(m_pDlg->m_hComPort.IsOpen());
    EXPECT_EQ(m_pDlg->m_bComOpen.load(), 1);
    // The port works: a notice is answered.
    ModemSays("$008:0\r\n");
    m_pDlg->OnSerialReceive(8);
    EXPECT_EQ(m_pModem->Read(13, 300), "AT$SMSMT=1?\r\n");
}

TEST_F(CdmaLinkTest, PortOpeningIsOnRecord) {
    std::snprintf(m_pDlg->m_szModemDevice, sizeof m_pDlg->m_szModemDevice, "%s",
                  (m_szRoot + "/no-modem").c_str());
    m_pDlg->OpenModemPort();
    EXPECT_TRUE(HasLine("MODEM: 포트를 열 수 없음 [" + m_szRoot + "/no-modem]"));
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
    EXPECT_EQ(m_pDlg->m_bComOpen.load(), 0);
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 1);  // the serial thread keeps trying

    m_pEnv->ClearDebugLines();
    OpenModem();
    EXPECT_TRUE(HasLine("MODEM: 포트 열림 [" + m_szRoot + "/modem]"));
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 0);

    // No MODEM_PORT: no port and nothing on record.
    m_pDlg->CloseSerialLink();
    m_pDlg->m_szModemDevice[0] = '\0';
    m_pEnv->ClearDebugLines();
    m_pDlg->OpenModemPort();
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
    EXPECT_FALSE(HasLineContaining("포트"));
}

TEST_F(CdmaLinkTest, LeasedLineIgnoresAllOfIt) {
    OpenModem();
    m_pEnv->ClearDebugLines();
    m_pDlg->m_nCenterCommKind = 0;
    m_pEnv->AddWindow(sib::kBrisketon);
    m_pEnv->StartTimer(kTimerVolSend, 10000);
    m_pEnv->StartTimer(kTimerCdma, 1000);
    m_pDlg->m_pConn[0].m_nLinkState = 1;

    m_pDlg->StopCdmaLink();
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
    EXPECT_EQ(m_pDlg->m_pConn[0].m_nLinkState.load(), 1);
    EXPECT_TRUE(m_pEnv->Messages().empty());
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerCdma), 1000u);

    m_pEnv->RemoveWindow(sib::kBrisketon);
    m_pDlg->m_bLinkExpected = 0;
    m_pDlg->StartCdmaLink();
    m_pDlg->CloseSerialLink();
    EXPECT_EQ(DialerStarts(), 0u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 0);
    EXPECT_TRUE(m_pDlg->m_hComPort.IsOpen());
    EXPECT_TRUE(m_pEnv->DebugLines().empty());
}

}  // namespace
}  // namespace modemtest
