// Station-wide commands of the Manager PC: the time query and clock setting, the change
// of the violation-file destination, the program update and the supervisor request.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/commands_fixture.h"

namespace commands_test {
namespace {

using V = std::vector<Sent>;

// The 14-digit time text of the fake clock's local time plus nOffset seconds.
std::string TimeText(int64_t t) {
    vplat::LocalTime lt = vplat::LocalTimeFromTime64(t);
    char sz[32];
    std::snprintf(sz, sizeof sz, "%04d%02d%02d%02d%02d%02d", lt.nYear, lt.nMonth, lt.nDay, lt.nHour,
                  lt.nMinute, lt.nSecond);
    return sz;
}

Sent ToMorwick(int nCode, intptr_t nValue) {
    return Sent{sib::kMorwick, sib::WM_SUPERVISOR, static_cast<uintptr_t>(nCode), nValue, 0};
}

// ---- clock ----

TEST_F(CommandsTest, ClockSixSecondsAheadIsLoggedAsErrorAndSet) {
    int64_t tNow = m_pEnv->Time64();
    std::string szText = TimeText(tNow - 6);
    TimeSet(szText);
    EXPECT_EQ(CountDebug("****** ERROR Time : MGR_PC_TIME_CHANGE => " + szText + " [차이:6]"), 1);
    vplat::LocalTime lt;
    ASSERT_TRUE(m_pEnv->ClockWasSet(&lt));
    vplat::LocalTime want = vplat::LocalTimeFromTime64(tNow - 6);
    EXPECT_EQ(lt.nYear, want.nYear);
    EXPECT_EQ(lt.nMonth, want.nMonth);
    EXPECT_EQ(lt.nDay, want.nDay);
    EXPECT_EQ(lt.nHour, want.nHour);
    EXPECT_EQ(lt.nMinute, want.nMinute);
    EXPECT_EQ(lt.nSecond, want.nSecond);
    EXPECT_EQ(lt.nMilliseconds, 0);
    // The main operation program hears of it 10 ms later.
    EXPECT_EQ(Received(), (V{ToHarwent(124, 0, 10)}));
}

TEST_F(CommandsTest, ClockWithinFiveSecondsOrBehindIsNormalLine) {
    int64_t tNow = m_pEnv->Time64();
    std::string szFive = TimeText(tNow - 5);
    TimeSet(szFive);
    EXPECT_EQ(CountDebug("MGR_PC_TIME_CHANGE => " + szFive), 1);
    EXPECT_EQ(CountDebugPrefix("****** ERROR"), 0);
    EXPECT_TRUE(m_pEnv->ClockWasSet());

    // The station an hour behind the center: still the normal line.
    m_pEnv->SetTime64(tNow);
    std::string szAhead = TimeText(tNow + 3600);
    TimeSet(szAhead);
    EXPECT_EQ(CountDebug("MGR_PC_TIME_CHANGE => " + szAhead), 1);
    EXPECT_EQ(CountDebugPrefix("****** ERROR"), 0);
}

TEST_F(CommandsTest, ClockIsSetOnlyInOperationModeZero) {
    m_pDlg->m_nOperationMode = 1;
    int64_t tNow = m_pEnv->Time64();
    TimeSet(TimeText(tNow - 100));
    EXPECT_FALSE(m_pEnv->ClockWasSet());
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(CountDebugPrefix("MGR_PC_TIME_CHANGE"), 0);
    EXPECT_EQ(CountDebugPrefix("****** ERROR"), 0);
    EXPECT_EQ(m_pEnv->Time64(), tNow);
}

TEST_F(CommandsTest, TimeQueryAnswersWithTimeReport) {
    m_pDlg->m_pConn[0].m_nLinkState = 1;
    TimeSet("");
    std::vector<std::vector<uint8_t>> frames = m_pDlg->TakeQueuedFrames(0);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t>& f = frames[0];
    ASSERT_EQ(f.size(), 36u + 19u);
    EXPECT_EQ(std::string(f.begin() + 11, f.begin() + 20), "570000019");
    EXPECT_EQ(std::string(f.begin() + 30, f.begin() + 49), "2024/06/15 14:30:00");
    EXPECT_FALSE(m_pEnv->ClockWasSet());
    EXPECT_TRUE(Received().empty());
}

TEST_F(CommandsTest, TimeTextThatIsNoDateLeavesClockButTellsMainProgram) {
    const char* kTexts[] = {"20241345120000", "ABCDEFGHIJKLMN", "2024"};
    for (const char* szText : kTexts) {
        m_pEnv->ClearMessages();
        m_pEnv->ClearDebugLines();
        uint64_t nAt = ElapsedMs();
        TimeSet(szText);
        EXPECT_FALSE(m_pEnv->ClockWasSet()) << szText;
        EXPECT_EQ(CountDebug(std::string("MGR_PC_TIME_CHANGE => ") + szText +
                             ": not a valid time, clock unchanged"),
                  1)
            << szText;
        EXPECT_EQ(Received(), (V{ToHarwent(124, 0, nAt + 10)})) << szText;
    }
}

TEST_F(CommandsTest, TimeTextControlCharactersAreNotWrittenToLog) {
    int64_t tNow = m_pEnv->Time64();
    std::string szText = TimeText(tNow);
    szText[8] = '\n';  // hour "\n4": atoi skips the blank, so this still names a time
    TimeSet(szText);
    std::string szShown = szText;
    szShown[8] = '?';
    int nLines = 0;
    for (const std::string& s : m_pEnv->DebugLines()) {
        if (s.find("MGR_PC_TIME_CHANGE => " + szShown) != std::string::npos) ++nLines;
        EXPECT_EQ(s.find('\n'), std::string::npos) << s;
    }
    EXPECT_EQ(nLines, 1);
}

// ---- destination of violation files ----

TEST_F(CommandsTest, SendTargetManagerWithSave) {
    SendTarget("11");
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 1->1 [Save: 1]"), 1);
    EXPECT_EQ(Received(), (V{ToHarwent(142, 1)}));
    EXPECT_EQ(Control(IDC_SEND_STATE), "관리PC로 전송 변경.....");
    EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, 1);
}

TEST_F(CommandsTest, SendTargetStandardServerNeedsVersion2000) {
    m_pDlg->m_nStdServerVersion = 2000;
    m_pDlg->m_bSendToManager = 1;
    SendTarget("01");
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 1->0 [Save: 1]"), 1);
    EXPECT_EQ(Received(), (V{ToHarwent(142, 0)}));
    EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, 0);
    EXPECT_EQ(Control(IDC_SEND_STATE), "표준서버로 전송 변경.....");
    EXPECT_EQ(m_pDlg->m_bSendToManager, 1);  // follows on the dialog's own schedule

    // One below: the main operation program still hears 0, the station stays with the
    // Manager PC.
    m_pEnv->ClearMessages();
    m_pDlg->m_nStdServerVersion = 1999;
    SendTarget("01");
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 0->0 [Save: 1]"), 1);
    EXPECT_EQ(Received(), (V{ToHarwent(142, 0)}));
    EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, 1);
    EXPECT_EQ(Control(IDC_SEND_STATE), "관리PC로 전송 변경.....");
}

TEST_F(CommandsTest, SendTargetWithoutSaveTellsNobody) {
    m_pDlg->m_nStdServerVersion = 2000;
    SendTarget("00");
    SendTarget("1");
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 1->0 [Save: 0]"), 1);
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 0->1 [Save: -48]"), 1);
    EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, 1);
}

// ---- program update ----

TEST_F(CommandsTest, ProgramUpdateEndsRunningReceiverThenStartsIt) {
    std::strcpy(m_pDlg->m_szBinDir, "D:/QN64-ABRIX/Bin");
    m_pEnv->AddWindow(sib::kQuillamor);
    m_pSession->OnProgramUpdate();
    EXPECT_EQ(Received(),
              (V{Sent{sib::kQuillamor, 2, 0, 0, 0}, Sent{sib::kQuillamor, 2, 0, 0, 50}}));
    std::vector<vplat::FakeProgram> started = m_pEnv->StartedPrograms();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].szCommandLine, "D:/QN64-ABRIX/Bin/Quillamor.exe");
    EXPECT_EQ(started[0].nShow, 1);
    EXPECT_EQ(ElapsedMs(), 550u);
}

TEST_F(CommandsTest, ProgramUpdateWithoutReceiverStartsAtOnce) {
    std::strcpy(m_pDlg->m_szBinDir, "E:/QN64-ABRIX/Bin");
    m_pSession->OnProgramUpdate();
    EXPECT_TRUE(Received().empty());
    ASSERT_EQ(m_pEnv->StartedPrograms().size(), 1u);
    EXPECT_EQ(m_pEnv->StartedPrograms()[0].szCommandLine, "E:/QN64-ABRIX/Bin/Quillamor.exe");
    EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(CommandsTest, ProgramUpdateReadsNoFurtherThanBinDir) {
    std::memset(m_pDlg->m_szBinDir, 'B', sizeof m_pDlg->m_szBinDir);  // no terminator
    m_pSession->OnProgramUpdate();
    ASSERT_EQ(m_pEnv->StartedPrograms().size(), 1u);
    EXPECT_EQ(m_pEnv->StartedPrograms()[0].szCommandLine,
              std::string(sizeof m_pDlg->m_szBinDir, 'B') + "/Quillamor.exe");
}

// ---- supervisor ----

TEST_F(CommandsTest, SupervisorDigitsChooseTheCode) {
    m_pEnv->AddWindow(sib::kMorwick);
    Supervisor("1");
    Supervisor("2");
    Supervisor("3");
    EXPECT_EQ(Received(), (V{ToMorwick(165, 1), ToMorwick(165, 1), ToMorwick(123, 0)}));
    EXPECT_EQ(Control(IDC_SEND_BOX), "58-1");
}

TEST_F(CommandsTest, SupervisorZeroOrUnknownOnlyShowsSendBox) {
    m_pEnv->AddWindow(sib::kMorwick);
    const char* kData[] = {"0", "4", ""};
    for (const char* szData : kData) {
        m_pEnv->SetControlText(IDC_SEND_BOX, "");
        Supervisor(szData);
        EXPECT_EQ(Control(IDC_SEND_BOX), "58-1") << szData;
    }
    EXPECT_TRUE(Received().empty());
}

TEST_F(CommandsTest, SupervisorAbsentLosesRequest) {
    Supervisor("1");
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Control(IDC_SEND_BOX), "58-1");
}

}  // namespace
}  // namespace commands_test
