// Device commands of the Manager PC: which codes and values reach the main operation
// program and the camera-control program, in which order and after which pauses, what the
// notice shows, and how short or out-of-range data is treated.
#include <string>
#include <vector>

#include "tests/unit/commands_fixture.h"

namespace commands_test {
namespace {

using V = std::vector<Sent>;

// ---- camera commands ----

TEST_F(CommandsTest, PanTiltSelectorThreeGoesToBothWithoutRefresh) {
    Camera(OP_PANTILT, "0123");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(151, 12), ToZentoral(151, 12)}));
    EXPECT_EQ(Notice(), "PANTILT: 3_3[12]");
    EXPECT_EQ(CountDebug("CENTER = PANTILT: 3_3[12]"), 1);
    EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(CommandsTest, PanTiltSelectorsMapToTheirCodesAndOnlyFiveRefreshes) {
    const struct {
        char cSelector;
        int nCode;
    } kCases[] = {{'1', 153}, {'2', 154}, {'4', 152}};
    for (const auto& c : kCases) {
        m_pEnv->ClearMessages();
        Camera(OP_PANTILT, std::string("045") + c.cSelector);
        EXPECT_EQ(Received(),
                  (V{ToHarwent(134, 0), ToHarwent(c.nCode, 45), ToZentoral(c.nCode, 45)}))
            << c.cSelector;
    }
    m_pEnv->ClearMessages();
    uint64_t nAt = ElapsedMs();
    Camera(OP_PANTILT, "1085");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 1, nAt), ToHarwent(155, 8, nAt),
                             ToZentoral(155, 8, nAt), ToHarwent(106, 1, nAt + 1000)}));
    EXPECT_EQ(Notice(), "PANTILT: 4_5[8]");
}

TEST_F(CommandsTest, UnlistedSelectorOrLensDigitSendsOnlyTheCameraSelection) {
    m_pSession->m_nSendKind = SEND_VOL;
    Camera(OP_PANTILT, "0129");
    Camera(OP_LENS, "08");
    Camera(OP_LENS, "00");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(134, 0), ToHarwent(134, 0)}));
    EXPECT_EQ(Notice(), "data");
    EXPECT_EQ(CountDebugPrefix("CENTER = "), 0);
    // Nothing was passed on, so a transfer under way goes on.
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
}

TEST_F(CommandsTest, LensSevenRefreshesOneSecondLater) {
    Camera(OP_LENS, "07");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(160, 0), ToZentoral(160, 0),
                             ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "LENS: 3_7");
    EXPECT_EQ(CountDebug("CENTER = LENS: 3_7"), 1);

    m_pEnv->ClearMessages();
    uint64_t nAt = ElapsedMs();
    Camera(OP_LENS, "15");
    EXPECT_EQ(Received(),
              (V{ToHarwent(134, 1, nAt), ToHarwent(161, 0, nAt), ToZentoral(161, 0, nAt)}));
    EXPECT_EQ(Notice(), "LENS: 4_5");
}

TEST_F(CommandsTest, SpeedFilterFirstCharacterIsCameraAndDigit) {
    Camera(OP_SPEED_FILTER, "060120");
    const intptr_t nPair = 120 * 65536 + 60;
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(130, nPair), ToZentoral(130, nPair),
                             ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "SPD_FLT: T:60/ C:120");
}

TEST_F(CommandsTest, SimpleCameraCommands) {
    const struct {
        int nOpcode;
        const char* szData;
        int nCamera;
        int nCode;
        intptr_t nValue;
        bool bRefresh;
        const char* szNotice;
    } kCases[] = {
        {OP_ROAD_IMAGE, "1", 1, 102, 0, false, "Soft_Trigger"},
        {OP_CAR_IMAGE, "0", 0, 103, 0, false, "One_Trigger"},
        {OP_TRACKING_IMAGE, "1", 1, 104, 0, false, "Tracking_Image"},
        {OP_LOCAL_STATUS, "0", 0, 106, 1, false, "Local_Status"},
        {OP_RTU_RESET, "1", 1, 146, 0, false, "RTU_RESET~~~"},
        {OP_LANE, "12", 1, 128, 2, true, "LANE: 2"},
        {OP_LOOP_DELAY, "125", 1, 129, 25, true, "L_DLY: 4 [25]"},
        {OP_MODE, "02", 0, 125, 2, true, "MODE: 3 [2]"},
    };
    for (const auto& c : kCases) {
        m_pEnv->ClearMessages();
        uint64_t nAt = ElapsedMs();
        Camera(c.nOpcode, c.szData);
        V expected{ToHarwent(134, c.nCamera, nAt), ToHarwent(c.nCode, c.nValue, nAt),
                   ToZentoral(c.nCode, c.nValue, nAt)};
        if (c.bRefresh) expected.push_back(ToHarwent(106, 1, nAt + 1000));
        EXPECT_EQ(Received(), expected) << c.nOpcode;
        EXPECT_EQ(Notice(), c.szNotice) << c.nOpcode;
        EXPECT_EQ(CountDebug(std::string("CENTER = ") + c.szNotice), 1) << c.nOpcode;
    }
}

TEST_F(CommandsTest, OperBranchSetsOperationMode) {
    Camera(OP_OPER, "03");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(133, 3), ToZentoral(133, 3),
                             ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "OPER: [3]");
    EXPECT_EQ(m_pDlg->m_nOperationMode, 3);
}

TEST_F(CommandsTest, CameraSelectionAndTargetLane) {
    // Without enforcement cameras the selection is always 0, whatever the data says.
    m_pDlg->m_nEnfCameraCnt = 0;
    Camera(OP_LOOP_DELAY, "125");
    EXPECT_EQ(Received().front(), ToHarwent(134, 0));
    EXPECT_EQ(Notice(), "L_DLY: 3 [25]");

    // A camera without a configured target lane shows lane 0.
    m_pDlg->m_nEnfCameraCnt = 2;
    m_pEnv->ClearMessages();
    uint64_t nAt = ElapsedMs();
    Camera(OP_LOOP_DELAY, "725");
    EXPECT_EQ(Received().front(), ToHarwent(134, 7, nAt));
    EXPECT_EQ(Notice(), "L_DLY: 0 [25]");

    m_pEnv->ClearMessages();
    nAt = ElapsedMs();
    Camera(OP_LOOP_DELAY, "/25");
    EXPECT_EQ(Received().front(), ToHarwent(134, -1, nAt));
    EXPECT_EQ(Notice(), "L_DLY: 0 [25]");
}

TEST_F(CommandsTest, CameraCommandEndsTransferUnderWay) {
    m_pSession->m_nSendKind = SEND_ROAD_IMAGE;
    Camera(OP_ROAD_IMAGE, "1");
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
}

TEST_F(CommandsTest, MissingCameraProgramLosesOnlyItsMessage) {
    m_pEnv->RemoveWindow(sib::kZentoral);
    Camera(OP_LENS, "07");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(160, 0), ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "LENS: 3_7");
}

TEST_F(CommandsTest, ShortCameraDataReadsAsZeros) {
    // One byte of pan-tilt: the selector reads as 0, which is no selector.
    Camera(OP_PANTILT, "0");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0)}));
    // No data at all: the camera character reads as 0, so the selection is 0 - '0'.
    m_pEnv->ClearMessages();
    Camera(OP_RTU_RESET, "");
    EXPECT_EQ(Received(), (V{ToHarwent(134, -48), ToHarwent(146, 0), ToZentoral(146, 0)}));
    // A lane command cut after the camera character: the digit reads as 0 - '0'.
    m_pEnv->ClearMessages();
    uint64_t nAt = ElapsedMs();
    Camera(OP_LANE, "1");
    EXPECT_EQ(Received()[1], ToHarwent(128, -48, nAt));
    // More than 16 bytes: only the first 16 are looked at, and the command still works.
    m_pEnv->ClearMessages();
    nAt = ElapsedMs();
    Camera(OP_SPEED_FILTER, "060120" + std::string(30, '9'));
    EXPECT_EQ(Received()[1], ToHarwent(130, 120 * 65536 + 60, nAt));
}

// ---- speed settings ----

TEST_F(CommandsTest, SpeedSetOnSignalStationSendsOnlyFirstPair) {
    Speed("0080100060090");
    EXPECT_EQ(Received(),
              (V{ToHarwent(134, 0), ToZentoral(126, 100 * 65536 + 80), ToHarwent(106, 1, 1020)}));
    EXPECT_EQ(Notice(), "SPD:3_80/100_60/90");
    EXPECT_EQ(CountDebug("CENTER = SPD:3_80/100_60/90"), 1);
}

TEST_F(CommandsTest, SpeedSetOnSpeedStationSendsBothPairs20msApart) {
    m_pDlg->m_nProgramKind = 2;
    Speed("1080100060090");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 1), ToZentoral(126, 100 * 65536 + 80),
                             ToZentoral(127, 90 * 65536 + 60, 20), ToHarwent(106, 1, 1020)}));
    EXPECT_EQ(Notice(), "SPD:4_80/100_60/90");
}

TEST_F(CommandsTest, SpeedSetDropsSecondValueOutside20To240) {
    Speed("0080019060090");
    Speed("0080241060090");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToHarwent(134, 0)}));
    EXPECT_EQ(Notice(), "data");

    m_pEnv->ClearMessages();
    Speed("0080020060090");
    Speed("0080240060090");
    std::vector<Sent> sent = Received();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[1].lParam, 20 * 65536 + 80);
    EXPECT_EQ(sent[4].lParam, 240 * 65536 + 80);
}

TEST_F(CommandsTest, EmptySpeedSetSendsOnlyTheSelection) {
    Speed("");
    EXPECT_EQ(Received(), (V{ToHarwent(134, -48)}));
}

// ---- signal tests ----

TEST_F(CommandsTest, SignalTestsAreIgnoredOnSpeedStation) {
    m_pDlg->m_nProgramKind = 2;
    Signal(OP_VIRTUAL_SIGNAL, "0");
    Signal(OP_SIGNAL_DELAY, "00125");
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Notice(), "data");
    EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(CommandsTest, VirtualSignalGoesToCameraProgramFirst) {
    Signal(OP_VIRTUAL_SIGNAL, "1");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 1), ToZentoral(140, 0), ToHarwent(140, 0),
                             ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "가상 신호위반 검증");
    EXPECT_EQ(CountDebug("CENTER = 가상 신호위반 검증"), 1);
}

TEST_F(CommandsTest, SignalDelayKeepsNotice) {
    Signal(OP_SIGNAL_DELAY, "00125");
    EXPECT_EQ(Received(), (V{ToHarwent(134, 0), ToZentoral(141, 125), ToHarwent(141, 125),
                             ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "data");
    EXPECT_EQ(CountDebug("CENTER = SIGNAL_DELAY_TIME [125]"), 1);
}

// ---- N_PASS and brightness ----

TEST_F(CommandsTest, NPassUpTo24IsPassedOn) {
    NPass("12403");
    EXPECT_EQ(Received(), (V{ToHarwent(143, 3 * 65536 + 24), ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "N_PASS : 24/3");
    EXPECT_EQ(CountDebug("CENTER = N_PASS : 24/3"), 1);
}

TEST_F(CommandsTest, NPassAbove24OrSwitchedOffDoesNothing) {
    NPass("12503");
    NPass("02403");
    NPass("");
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Notice(), "data");
    EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(CommandsTest, BrightnessOffStillSendsZero) {
    Bright("0050200");
    EXPECT_EQ(Received(), (V{ToHarwent(208, 0), ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "BRIGHT : 0/0");
}

TEST_F(CommandsTest, BrightnessOnGoesToMainProgramOnly) {
    Bright("1050200");
    EXPECT_EQ(Received(), (V{ToHarwent(208, 200 * 65536 + 50), ToHarwent(106, 1, 1000)}));
    EXPECT_EQ(Notice(), "BRIGHT : 50/200");
    EXPECT_EQ(CountDebug("CENTER = BRIGHT : 50/200"), 1);
}

}  // namespace
}  // namespace commands_test
