// What starts the operations: the main operation program's notices (WM_USER+15) through
// the dialog's message map, the CDMA button, the transfer, daily-log, supervision and
// first-status timers, the heartbeat, and the dispatcher's routing of every command code
// to its handler. Each case looks at what the started operation leaves behind: a frame
// on the link's queue, a sibling message, a started program, a control text or a flag.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

constexpr const char* kLogRel = "d/System_Log/2024/20240305.ABCDE";

class WiringTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        MakeTransferStation();
        m_traffic.assign(128, 0);
        m_pDlg->m_pTrafficInfo = m_traffic.data();
        m_pDlg->m_bSendToManager = 1;
        m_pDlg->m_nProgramKind = 1;  // a signal station also answers 73 and 74
        for (const char* szTitle : {sib::kHarwent, sib::kZentoral, sib::kMorwick, sib::kQuillamor})
            m_pEnv->AddWindow(szTitle);
        PutFile("d/ENF_IMG/1000.ABCDE", Pattern(5000));
        for (const char* szImage : {"RoadImage", "CarImage", "TrackingImage"})
            PutFile(std::string("d/Capture_img/") + szImage + ".ABCDE", Pattern(4000, 3));
        PutFile(kLogRel, Pattern(200, 5));
    }
    // No transfer under way, nothing queued, nothing recorded.
    void Idle() {
        m_pSession->m_nSendKind = SEND_NONE;
        m_pSession->sendRetryCenter = 0;
        TakeFrames();
        ResetRecords();
    }
    std::vector<int> Opcodes() {
        std::vector<int> out;
        for (const SentFrame& f : TakeFrames()) out.push_back(f.Opcode());
        return out;
    }
    intptr_t Notice(int nCode, intptr_t nValue) {
        return m_pDlg->OnLoopMessage(sib::WM_MGR_VIOLATION, static_cast<uintptr_t>(nCode), nValue);
    }
    void Feed(const std::string& szCode, const std::vector<uint8_t>& data, int nPacket = 0) {
        const std::vector<uint8_t> f = MakeFrame(szCode, data, "ABCDE", nPacket);
        m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
    }
    void At(int nHour, int nMinute, int nSecond) {
        m_pEnv->SetTime64(vplat::Time64FromLocal(2024, 3, 5, nHour, nMinute, nSecond));
    }
    std::vector<uint8_t> m_traffic;
};

TEST_F(WiringTest, NoticesOfTheMainProgramStartTheirOperations) {
    // Transfer switch at 2 (as command 71 can leave it): only code 132 changes it.
    const struct {
        int nCode;
        intptr_t nValue;
        int nUpdate;       // m_bUpdateRunning before
        int nOpcode;       // the frame queued (0: none)
        int nSendEnable;   // m_bSendEnable after
        int nUpdateAfter;  // m_bUpdateRunning after
    } kRows[] = {
        {102, 0, 0, 52, 2, 0}, {103, 0, 0, 53, 2, 0}, {104, 0, 0, 54, 2, 0}, {105, 0, 0, 56, 2, 0},
        {105, 0, 1, 0, 2, 1},  {106, 0, 0, 55, 2, 0}, {106, 0, 1, 0, 2, 1},  {107, 0, 1, 59, 2, 1},
        {132, 1, 1, 0, 0, 1},  {132, 0, 1, 0, 1, 0},  {132, 7, 1, 0, 1, 0},  {108, 0, 0, 0, 2, 0},
        {100, 0, 0, 0, 2, 0},  {133, 1, 0, 0, 2, 0},
    };
    for (const auto& r : kRows) {
        SCOPED_TRACE(testing::Message() << r.nCode << "/" << r.nValue << " update " << r.nUpdate);
        Idle();
        m_pDlg->m_bSendEnable = 2;
        m_pDlg->m_bUpdateRunning = r.nUpdate;
        EXPECT_EQ(Notice(r.nCode, r.nValue), 0);
        EXPECT_EQ(Opcodes(), r.nOpcode ? std::vector<int>{r.nOpcode} : std::vector<int>{});
        EXPECT_EQ(m_pDlg->m_bSendEnable.load(), r.nSendEnable);
        EXPECT_EQ(m_pDlg->m_bUpdateRunning.load(), r.nUpdateAfter);
    }
}

TEST_F(WiringTest, NewViolationFileAndTheCdmaButtonDialOnlyWhenAllowed) {
    m_pDlg->m_nCenterCommKind = 1;
    const struct {
        bool bButton;
        int nSendEnable, nLinkExpected, nMode;
        bool bDials;
    } kRows[] = {
        {false, 1, 0, 0, true},  {false, 0, 0, 0, false}, {false, 2, 0, 0, false},
        {false, 1, 1, 0, false}, {false, 1, 0, 1, false}, {true, 0, 0, 0, true},
        {true, 1, 1, 0, false},  {true, 1, 0, 1, false},
    };
    for (const auto& r : kRows) {
        SCOPED_TRACE(testing::Message()
                     << (r.bButton ? "button" : "101") << " send " << r.nSendEnable << " expected "
                     << r.nLinkExpected << " mode " << r.nMode);
        m_pDlg->m_bSendEnable = r.nSendEnable;
        m_pDlg->m_bLinkExpected = r.nLinkExpected;
        m_pDlg->m_nOperationMode = r.nMode;
        const size_t nBefore = m_pEnv->StartedPrograms().size();
        if (r.bButton) {
            m_pDlg->OnLoopMessage(vplat::kMsgCommand, IDC_BTN_CDMA, 0);
        } else {
            Notice(101, 0);
        }
        const std::vector<vplat::FakeProgram> started = m_pEnv->StartedPrograms();
        ASSERT_EQ(started.size() - nBefore, r.bDials ? 1u : 0u);
        if (r.bDials) {
            EXPECT_NE(started.back().szCommandLine.find("Brisketon.exe"), std::string::npos);
            EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
        }
    }
}

TEST_F(WiringTest, TransferTimerSendsOnlyWhileTheSwitchIsExactlyOne) {
    const struct {
        int nSendEnable;
        const char* szState;
        std::vector<int> opcodes;
    } kRows[] = {
        {2, "관리PC로 전송중.....", {}},
        {0, "전송 중지 !!!", {}},
        {1, "관리PC로 전송중.....", {51}},
    };
    for (const auto& r : kRows) {
        SCOPED_TRACE(r.nSendEnable);
        Idle();
        m_pDlg->SetItemText(IDC_SEND_STATE, "");
        m_pDlg->m_bSendEnable = r.nSendEnable;
        m_pDlg->OnTimer(kTimerVolSend);
        EXPECT_EQ(Control(IDC_SEND_STATE), r.szState);
        EXPECT_EQ(Opcodes(), r.opcodes);
    }
}

TEST_F(WiringTest, DailyLogTimerStartsTheLogOnlyLateInTheEveningOncePerDay) {
    m_pDlg->m_nLogSendMinute = 30;
    m_pDlg->m_nLogSendSecond = 40;
    const struct {
        int nHour, nMinute, nSecond, nSentToday, nToManager;
        bool bStarts;
    } kRows[] = {
        {22, 45, 41, 0, 1, false}, {23, 29, 59, 0, 1, false}, {23, 45, 39, 0, 1, false},
        {23, 45, 41, 1, 1, false}, {23, 45, 41, 0, 0, false}, {23, 30, 40, 0, 1, true},
        {23, 59, 59, 0, 1, true},
    };
    for (const auto& r : kRows) {
        SCOPED_TRACE(testing::Message() << r.nHour << ":" << r.nMinute << ":" << r.nSecond
                                        << " sent " << r.nSentToday << " dest " << r.nToManager);
        Idle();
        At(r.nHour, r.nMinute, r.nSecond);
        m_pDlg->m_bLogSentToday = r.nSentToday;
        m_pDlg->m_bSendToManager = r.nToManager;
        m_pDlg->OnTimer(kTimerRunLog);
        EXPECT_EQ(Opcodes(), r.bStarts ? std::vector<int>{68} : std::vector<int>{});
    }
}

TEST_F(WiringTest, SupervisionPublishesTheDestinationAndTakesTheManagerBack) {
    auto Word = [&] {
        int32_t n = -1;
        std::memcpy(&n, &m_local[2336], 4);
        return n;
    };
    m_pDlg->m_nVolFileSendSystem = 0;
    m_pDlg->m_bSendToManager = 0;
    std::memset(&m_local[2336], 0xFF, 4);
    m_pDlg->OnTimer(kTimerSupervise);
    EXPECT_EQ(m_pDlg->m_bSendToManager.load(), 0);
    EXPECT_EQ(Word(), 0);
    Feed("72", Bytes("00"));  // no standard server to take them: back to the center
    ASSERT_EQ(m_pDlg->m_nVolFileSendSystem.load(), 1);
    EXPECT_EQ(m_pDlg->m_bSendToManager.load(), 0) << "the command leaves the flag to the timer";
    m_pDlg->OnTimer(kTimerSupervise);
    EXPECT_EQ(m_pDlg->m_bSendToManager.load(), 1);
    EXPECT_EQ(Word(), 1);
}

TEST_F(WiringTest, FirstStatusOnceAndHeartbeatEverySecond) {
    m_pDlg->StartTimer(kTimerSecond, 1000);
    m_pDlg->StartTimer(kTimerFirstStatus, 5000);
    ResetRecords();
    m_pEnv->AdvanceMs(12000);
    EXPECT_EQ(Opcodes(), std::vector<int>{59});
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerFirstStatus), 0u);
    std::vector<uint64_t> beats;
    for (const Sent& m : Received()) {
        if (m.szTitle == sib::kHarwent && m.nMsg == sib::WM_LINK_STATE && m.wParam == 453 &&
            m.lParam == 0)
            beats.push_back(m.nAtMs);
    }
    std::vector<uint64_t> expected;
    for (uint64_t t = 1000; t <= 12000; t += 1000) expected.push_back(t);
    EXPECT_EQ(beats, expected);
    for (const auto& m : m_pEnv->Messages()) EXPECT_FALSE(m.bPosted && m.wParam == 453);
}

// A reply row first starts the transfer of its kind and answers its first packet: the
// next packet under the same code shows that the reply reached the transfer.
TEST_F(WiringTest, EveryRoutedCodeReachesItsHandler) {
    m_pDlg->SetItemText(IDC_NOTICE, "-");
    const Sent kNone{};
    const struct {
        const char* szCode;
        std::vector<uint8_t> data;
        int nStartKind;  // transfer started before the frame (SEND_NONE: none)
        int nOpcode;     // frame queued in answer (0: none)
        Sent msg;        // a message that the handler sends (kNone: none at all)
        int nControl;    // a control that it sets (0: none), with its text
        const char* szText;
    } kRows[] = {
        {"51", {0x01}, SEND_VOL, 51, kNone, 0, ""},
        {"52", Bytes("1"), SEND_NONE, 0, ToZentoral(102, 0), IDC_NOTICE, "Soft_Trigger"},
        {"53", Bytes("1"), SEND_NONE, 0, ToZentoral(103, 0), IDC_NOTICE, "One_Trigger"},
        {"54", Bytes("1"), SEND_NONE, 0, ToZentoral(104, 0), IDC_NOTICE, "Tracking_Image"},
        {"52", {0x01}, SEND_ROAD_IMAGE, 52, kNone, 0, ""},
        {"53", {0x01}, SEND_CAR_IMAGE, 53, kNone, 0, ""},
        {"54", {0x01}, SEND_TRACKING_IMAGE, 54, kNone, 0, ""},
        {"55", {}, SEND_NONE, 0, ToZentoral(106, 1), IDC_NOTICE, "Local_Status"},
        {"56", {}, SEND_NONE, 56, kNone, 0, ""},
        {"57", {}, SEND_NONE, 57, kNone, 0, ""},
        {"58", Bytes("1"), SEND_NONE, 0, {sib::kMorwick, sib::WM_SUPERVISOR, 165, 1, 0}, 0, ""},
        {"59", {}, SEND_NONE, 59, kNone, 0, ""},
        {"60", Bytes("0019050080120"), SEND_NONE, 0, ToZentoral(126, (50 << 16) | 19), 0, ""},
        {"61", Bytes("02"), SEND_NONE, 0, ToZentoral(128, 2), 0, ""},
        {"62", Bytes("0123"), SEND_NONE, 0, ToZentoral(151, 12), 0, ""},
        {"63", Bytes("07"), SEND_NONE, 0, ToZentoral(160, 0), 0, ""},
        {"64", Bytes("012"), SEND_NONE, 0, ToZentoral(129, 12), 0, ""},
        {"65", Bytes("03"), SEND_NONE, 0, ToZentoral(125, 3), 0, ""},
        {"67", Bytes("060120"), SEND_NONE, 0, ToZentoral(130, (120 << 16) | 60), 0, ""},
        {"68", Bytes("L"), SEND_NONE, 68, kNone, 0, ""},
        {"68", {0x01}, SEND_RUN_LOG, 68, kNone, 0, ""},
        {"69", {}, SEND_NONE, 0, ToZentoral(146, 0), IDC_NOTICE, "RTU_RESET~~~"},
        {"72", Bytes("11"), SEND_NONE, 0, ToHarwent(142, 1), IDC_SEND_STATE,
         "관리PC로 전송 변경....."},
        {"73", Bytes("0"), SEND_NONE, 0, ToZentoral(140, 0), IDC_NOTICE, "가상 신호위반 검증"},
        {"74", Bytes("00500"), SEND_NONE, 0, ToZentoral(141, 500), 0, ""},
        {"75", Bytes("12403"), SEND_NONE, 0, ToHarwent(143, (3 << 16) | 24), 0, ""},
        {"76", Bytes("1100200"), SEND_NONE, 0, ToHarwent(208, (200 << 16) | 100), 0, ""},
        {"79", {}, SEND_NONE, 0, {sib::kQuillamor, sib::WM_DESTROY_, 0, 0, 0}, 0, ""},
        {"66", Bytes("01"), SEND_NONE, 0, kNone, 0, ""},
        {"70", Bytes("1"), SEND_NONE, 0, kNone, 0, ""},
        {"77", Bytes("1"), SEND_NONE, 0, kNone, 0, ""},
    };
    int nFrames = 0;
    for (const auto& r : kRows) {
        SCOPED_TRACE(testing::Message() << r.szCode << " start " << r.nStartKind);
        Idle();
        if (r.nStartKind == SEND_VOL) {
            m_pSession->SendViolationFile();
        } else if (r.nStartKind == SEND_RUN_LOG) {
            m_pSession->SendRunningLog(0);
        } else if (r.nStartKind != SEND_NONE) {
            m_pSession->SendImageFile(r.nStartKind, 0);
        }
        if (r.nStartKind != SEND_NONE) {
            ASSERT_EQ(TakeOne().PacketNo(), 0);
        }
        const std::string szNotice = Control(IDC_NOTICE);
        const std::string szState = Control(IDC_SEND_STATE);
        const size_t nPrograms = m_pEnv->StartedPrograms().size();
        Feed(r.szCode, r.data);
        const std::vector<SentFrame> frames = TakeFrames();
        if (r.nOpcode != 0) {
            ASSERT_FALSE(frames.empty());
            for (const SentFrame& f : frames) EXPECT_EQ(f.Opcode(), r.nOpcode);
            EXPECT_EQ(frames.front().PacketNo(), r.nStartKind != SEND_NONE ? 1 : 0);
        } else {
            EXPECT_TRUE(frames.empty());
        }
        const std::vector<Sent> got = Received();
        if (r.msg == kNone) {
            EXPECT_TRUE(got.empty()) << testing::PrintToString(got);
        } else {
            Sent want = r.msg;
            const auto it = std::find_if(got.begin(), got.end(), [&](const Sent& m) {
                want.nAtMs = m.nAtMs;
                return m == want;
            });
            EXPECT_NE(it, got.end()) << want << " in " << testing::PrintToString(got);
        }
        if (r.nControl != 0) {
            EXPECT_EQ(Control(r.nControl), r.szText);
        }
        if (r.nOpcode == 0 && r.msg == kNone) {  // 66, 70, 77: bookkeeping only
            EXPECT_EQ(Control(IDC_NOTICE), szNotice);
            EXPECT_EQ(Control(IDC_SEND_STATE), szState);
            EXPECT_EQ(m_pEnv->StartedPrograms().size(), nPrograms);
            EXPECT_EQ(m_pSession->m_nSendKind.load(), SEND_NONE);
        }
        EXPECT_EQ(Control(IDC_RECV_BOX),
                  std::string(r.szCode) + "-" + std::to_string(r.data.size()));
        EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), ++nFrames);
    }
}

}  // namespace
}  // namespace vtest
