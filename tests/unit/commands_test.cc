// Commands of the Manager PC: which device codes and values reach the main operation
// program and the camera-control program, in which order and after which pauses (fake
// clock), what the notice shows, how short or out-of-range data is read; the clock
// setting and its 5 s / 6 s error line, the destination change with its 1999/2000 version
// threshold, the program update and the supervisor request.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

using V = std::vector<Sent>;

class CommandsTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        m_pEnv->SetTime64(vplat::Time64FromLocal(2024, 6, 15, 14, 30, 0));
        m_pEnv->AddWindow(sib::kHarwent);
        m_pEnv->AddWindow(sib::kZentoral);
        CVelmoraDlg& dlg = MakeDialog();
        dlg.m_nEnfCameraCnt = 2;
        dlg.m_nTargetLane[0] = 3;
        dlg.m_nTargetLane[1] = 4;
        dlg.m_nProgramKind = 1;
        dlg.m_nOperationMode = 0;
        dlg.m_nVolFileSendSystem = 1;
        dlg.m_nStdServerVersion = 0;
        dlg.m_nConnCount = 1;
        m_pEnv->SetControlText(IDC_NOTICE, "data");
    }
    // The handlers get exactly the bytes of the data on the heap, so a read past its
    // length is caught by the address sanitizer.
    template <typename Fn>
    void Call(const std::string& szData, Fn fn) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[szData.size() + 1]);
        std::memcpy(p.get(), szData.data(), szData.size());
        fn(p.get(), static_cast<int>(szData.size()));
    }
    void Camera(int nOp, const std::string& sz) {
        Call(sz, [&](uint8_t* p, int n) { m_pSession->OnCameraCommand(nOp, p, n, 0); });
    }
    void Speed(const std::string& sz) {
        Call(sz, [&](uint8_t* p, int n) { m_pSession->OnSpeedSet(p, n); });
    }
    void Signal(int nOp, const std::string& sz) {
        Call(sz, [&](uint8_t* p, int n) { m_pSession->OnSignalTest(nOp, p, n, 0); });
    }
    void TimeSet(const std::string& sz) {
        Call(sz, [&](uint8_t* p, int n) { m_pSession->OnTimeSet(p, n, 0); });
    }
    void SendTarget(const std::string& sz) {
        Call(sz, [&](uint8_t* p, int n) { m_pSession->OnSendTargetChange(p, n); });
    }
    void Supervisor(const std::string& sz) {
        Call(sz, [&](uint8_t* p, int n) { m_pSession->OnSupervisorRequest(OP_SUPERVISOR_CMD, p, n); });
    }
    std::string Notice() { return Control(IDC_NOTICE); }
    static std::string TimeText(int64_t t) {
        const vplat::LocalTime lt = vplat::LocalTimeFromTime64(t);
        char sz[32];
        std::snprintf(sz, sizeof sz, "%04d%02d%02d%02d%02d%02d", lt.nYear, lt.nMonth, lt.nDay,
                      lt.nHour, lt.nMinute, lt.nSecond);
        return sz;
    }
};

// One command and everything the siblings got for it, times from the command's start.
struct DeviceCase {
    const char* szWhat;
    std::function<void(CVelmoraDlg&, vplat::FakeEnv&)> fnSetUp;  // settings before the command, may be empty
    int nOpcode;                                 // 0: speed set, -1/-2: N_PASS / brightness
    std::string szData;
    V expected;
    const char* szNotice;  // "data" = left as it was
};

TEST_F(CommandsTest, DeviceCommandsReachTheSiblingsInOrder) {
    const intptr_t k60_120 = 120 * 65536 + 60;
    const DeviceCase kCases[] = {
        {"pan-tilt selector 3: both, no refresh", nullptr, OP_PANTILT, "0123",
         {ToHarwent(134, 0), ToHarwent(151, 12), ToZentoral(151, 12)}, "PANTILT: 3_3[12]"},
        {"pan-tilt selector 1", nullptr, OP_PANTILT, "0451",
         {ToHarwent(134, 0), ToHarwent(153, 45), ToZentoral(153, 45)}, "PANTILT: 3_1[45]"},
        {"pan-tilt selector 4", nullptr, OP_PANTILT, "0454",
         {ToHarwent(134, 0), ToHarwent(152, 45), ToZentoral(152, 45)}, "PANTILT: 3_4[45]"},
        {"pan-tilt selector 5 refreshes", nullptr, OP_PANTILT, "1085",
         {ToHarwent(134, 1), ToHarwent(155, 8), ToZentoral(155, 8), ToHarwent(106, 1, 1000)},
         "PANTILT: 4_5[8]"},
        {"unlisted selector", nullptr, OP_PANTILT, "0129", {ToHarwent(134, 0)}, "data"},
        {"one byte of pan-tilt", nullptr, OP_PANTILT, "0", {ToHarwent(134, 0)}, "data"},
        {"lens 7 refreshes", nullptr, OP_LENS, "07",
         {ToHarwent(134, 0), ToHarwent(160, 0), ToZentoral(160, 0), ToHarwent(106, 1, 1000)},
         "LENS: 3_7"},
        {"lens 5", nullptr, OP_LENS, "15",
         {ToHarwent(134, 1), ToHarwent(161, 0), ToZentoral(161, 0)}, "LENS: 4_5"},
        {"lens 8 is unlisted", nullptr, OP_LENS, "08", {ToHarwent(134, 0)}, "data"},
        {"speed filter 060120", nullptr, OP_SPEED_FILTER, "060120",
         {ToHarwent(134, 0), ToHarwent(130, k60_120), ToZentoral(130, k60_120),
          ToHarwent(106, 1, 1000)},
         "SPD_FLT: T:60/ C:120"},
        {"only 16 bytes are looked at", nullptr, OP_SPEED_FILTER, "060120" + std::string(30, '9'),
         {ToHarwent(134, 0), ToHarwent(130, k60_120), ToZentoral(130, k60_120),
          ToHarwent(106, 1, 1000)},
         "SPD_FLT: T:60/ C:120"},
        {"road trigger", nullptr, OP_ROAD_IMAGE, "1",
         {ToHarwent(134, 1), ToHarwent(102, 0), ToZentoral(102, 0)}, "Soft_Trigger"},
        {"local status", nullptr, OP_LOCAL_STATUS, "0",
         {ToHarwent(134, 0), ToHarwent(106, 1), ToZentoral(106, 1)}, "Local_Status"},
        {"lane", nullptr, OP_LANE, "12",
         {ToHarwent(134, 1), ToHarwent(128, 2), ToZentoral(128, 2), ToHarwent(106, 1, 1000)},
         "LANE: 2"},
        {"lane cut after the camera", nullptr, OP_LANE, "1",
         {ToHarwent(134, 1), ToHarwent(128, -48), ToZentoral(128, -48), ToHarwent(106, 1, 1000)},
         "LANE: -48"},
        {"RTU reset without data", nullptr, OP_RTU_RESET, "",
         {ToHarwent(134, -48), ToHarwent(146, 0), ToZentoral(146, 0)}, "RTU_RESET~~~"},
        {"loop delay", nullptr, OP_LOOP_DELAY, "125",
         {ToHarwent(134, 1), ToHarwent(129, 25), ToZentoral(129, 25), ToHarwent(106, 1, 1000)},
         "L_DLY: 4 [25]"},
        {"camera without a target lane", nullptr, OP_LOOP_DELAY, "725",
         {ToHarwent(134, 7), ToHarwent(129, 25), ToZentoral(129, 25), ToHarwent(106, 1, 1000)},
         "L_DLY: 0 [25]"},
        {"no enforcement camera: selection 0", [](CVelmoraDlg& d, vplat::FakeEnv&) { d.m_nEnfCameraCnt = 0; },
         OP_LOOP_DELAY, "125",
         {ToHarwent(134, 0), ToHarwent(129, 25), ToZentoral(129, 25), ToHarwent(106, 1, 1000)},
         "L_DLY: 3 [25]"},
        {"camera program missing", [](CVelmoraDlg&, vplat::FakeEnv& e) { e.RemoveWindow(sib::kZentoral); },
         OP_LENS, "07", {ToHarwent(134, 0), ToHarwent(160, 0), ToHarwent(106, 1, 1000)},
         "LENS: 3_7"},
        {"speed set, signal station: first pair only", nullptr, 0, "0080100060090",
         {ToHarwent(134, 0), ToZentoral(126, 100 * 65536 + 80), ToHarwent(106, 1, 1020)},
         "SPD:3_80/100_60/90"},
        {"speed set, speed station: both pairs 20 ms apart",
         [](CVelmoraDlg& d, vplat::FakeEnv&) { d.m_nProgramKind = 2; }, 0, "1080100060090",
         {ToHarwent(134, 1), ToZentoral(126, 100 * 65536 + 80), ToZentoral(127, 90 * 65536 + 60, 20),
          ToHarwent(106, 1, 1020)},
         "SPD:4_80/100_60/90"},
        {"speed w2 19", nullptr, 0, "0080019060090", {ToHarwent(134, 0)}, "data"},
        {"speed w2 241", nullptr, 0, "0080241060090", {ToHarwent(134, 0)}, "data"},
        {"speed w2 20", nullptr, 0, "0080020060090",
         {ToHarwent(134, 0), ToZentoral(126, 20 * 65536 + 80), ToHarwent(106, 1, 1020)},
         "SPD:3_80/20_60/90"},
        {"speed w2 240", nullptr, 0, "0080240060090",
         {ToHarwent(134, 0), ToZentoral(126, 240 * 65536 + 80), ToHarwent(106, 1, 1020)},
         "SPD:3_80/240_60/90"},
        {"virtual signal: camera program first", nullptr, OP_VIRTUAL_SIGNAL, "1",
         {ToHarwent(134, 1), ToZentoral(140, 0), ToHarwent(140, 0), ToHarwent(106, 1, 1000)},
         "가상 신호위반 검증"},
        {"signal delay keeps the notice", nullptr, OP_SIGNAL_DELAY, "00125",
         {ToHarwent(134, 0), ToZentoral(141, 125), ToHarwent(141, 125), ToHarwent(106, 1, 1000)},
         "data"},
        {"signal test on a speed station", [](CVelmoraDlg& d, vplat::FakeEnv&) { d.m_nProgramKind = 2; },
         OP_VIRTUAL_SIGNAL, "0", {}, "data"},
        {"N_PASS 12403", nullptr, -1, "12403",
         {ToHarwent(143, 3 * 65536 + 24), ToHarwent(106, 1, 1000)}, "N_PASS : 24/3"},
        {"N_PASS 12503", nullptr, -1, "12503", {}, "data"},
        {"N_PASS switched off", nullptr, -1, "02403", {}, "data"},
        {"brightness off still sends 0", nullptr, -2, "0050200",
         {ToHarwent(208, 0), ToHarwent(106, 1, 1000)}, "BRIGHT : 0/0"},
        {"brightness on", nullptr, -2, "1050200",
         {ToHarwent(208, 200 * 65536 + 50), ToHarwent(106, 1, 1000)}, "BRIGHT : 50/200"},
    };
    for (const DeviceCase& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        TearDown();
        SetUp();
        if (c.fnSetUp) c.fnSetUp(*m_pDlg, *m_pEnv);
        ResetRecords();
        if (c.nOpcode == 0) {
            Speed(c.szData);
        } else if (c.nOpcode == -1) {
            Call(c.szData, [&](uint8_t* p, int n) { m_pSession->OnNPassSet(p, n); });
        } else if (c.nOpcode == -2) {
            Call(c.szData, [&](uint8_t* p, int n) { m_pSession->OnBrightSet(p, n); });
        } else if (c.nOpcode == OP_VIRTUAL_SIGNAL || c.nOpcode == OP_SIGNAL_DELAY) {
            Signal(c.nOpcode, c.szData);
        } else {
            Camera(c.nOpcode, c.szData);
        }
        EXPECT_EQ(Received(), c.expected);
        EXPECT_EQ(Notice(), c.szNotice);
        if (std::string(c.szNotice) != "data") {
            EXPECT_EQ(CountDebug(std::string("CENTER = ") + c.szNotice), 1);
        }
        if (c.expected.empty()) {
            EXPECT_EQ(ElapsedMs(), 0u);
        }
    }
}

TEST_F(CommandsTest, OnlyACommandPassedOnEndsATransferAndOperSetsTheMode) {
    m_pSession->m_nSendKind = SEND_VOL;
    Camera(OP_LENS, "00");  // nothing passed on: the transfer goes on
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
    Camera(OP_ROAD_IMAGE, "1");
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    Camera(OP_OPER, "03");
    EXPECT_EQ(Notice(), "OPER: [3]");
    EXPECT_EQ(m_pDlg->m_nOperationMode, 3);
    EXPECT_EQ(CountDebug("CENTER = SIGNAL_DELAY_TIME [125]"), 0);
    Signal(OP_SIGNAL_DELAY, "00125");
    EXPECT_EQ(CountDebug("CENTER = SIGNAL_DELAY_TIME [125]"), 1);
}

TEST_F(CommandsTest, ClockIsSetAndAnErrorLineOnlyFromSixSecondsOn) {
    const int64_t tNow = m_pEnv->Time64();
    const std::string szFive = TimeText(tNow - 5), szSix = TimeText(tNow - 6);
    TimeSet(szFive);
    EXPECT_EQ(CountDebug("MGR_PC_TIME_CHANGE => " + szFive), 1);
    EXPECT_EQ(CountDebugPrefix("****** ERROR"), 0);
    m_pEnv->SetTime64(tNow);
    ResetRecords();
    TimeSet(szSix);
    EXPECT_EQ(CountDebug("****** ERROR Time : MGR_PC_TIME_CHANGE => " + szSix + " [차이:6]"), 1);
    vplat::LocalTime lt;
    ASSERT_TRUE(m_pEnv->ClockWasSet(&lt));
    EXPECT_EQ(TimeText(vplat::Time64FromLocal(lt.nYear, lt.nMonth, lt.nDay, lt.nHour, lt.nMinute,
                                              lt.nSecond)),
              szSix);
    EXPECT_EQ(Received(), (V{ToHarwent(124, 0, 10)})) << "the main program hears 10 ms later";
    // The station an hour behind the center: the normal line.
    m_pEnv->SetTime64(tNow);
    ResetRecords();
    TimeSet(TimeText(tNow + 3600));
    EXPECT_EQ(CountDebugPrefix("****** ERROR"), 0);
}

TEST_F(CommandsTest, ClockOnlyInModeZeroAndNeverFromANonDate) {
    const int64_t tNow = m_pEnv->Time64();
    m_pDlg->m_nOperationMode = 1;
    TimeSet(TimeText(tNow - 100));
    EXPECT_FALSE(m_pEnv->ClockWasSet());
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(CountDebugPrefix("MGR_PC_TIME_CHANGE"), 0);
    m_pDlg->m_nOperationMode = 0;
    for (const char* szText : {"20241345120000", "ABCDEFGHIJKLMN", "2024"}) {
        SCOPED_TRACE(szText);
        ResetRecords();
        TimeSet(szText);
        EXPECT_FALSE(m_pEnv->ClockWasSet());
        EXPECT_EQ(CountDebug(std::string("MGR_PC_TIME_CHANGE => ") + szText +
                             ": not a valid time, clock unchanged"),
                  1);
        EXPECT_EQ(Received(), (V{ToHarwent(124, 0, 10)}));
    }
    // A control character is not written to the log.
    std::string szText = TimeText(tNow);
    szText[8] = '\n';
    TimeSet(szText);
    for (const std::string& s : m_pEnv->DebugLines()) EXPECT_EQ(s.find('\n'), s.npos) << s;
}

TEST_F(CommandsTest, TimeQueryAnswersWithTheTimeReport) {
    m_pDlg->m_pConn[0].m_nLinkState = 1;
    TimeSet("");
    const SentFrame f = TakeOne();
    EXPECT_EQ(f.Opcode(), 57);
    EXPECT_EQ(f.DataText(), "2024/06/15 14:30:00");
    EXPECT_FALSE(m_pEnv->ClockWasSet());
}

TEST_F(CommandsTest, SendTargetAndTheStandardServerVersionThreshold) {
    SendTarget("11");
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 1->1 [Save: 1]"), 1);
    EXPECT_EQ(Received(), (V{ToHarwent(142, 1)}));
    EXPECT_EQ(Control(IDC_SEND_STATE), "관리PC로 전송 변경.....");
    const struct {
        int nVersion;
        int nSystemAfter;
        const char* szLine;
        const char* szState;
    } kCases[] = {
        {1999, 1, "MGR_PC: 위반화일 전송 시스템 변경 = 0->0 [Save: 1]", "관리PC로 전송 변경....."},
        {2000, 0, "MGR_PC: 위반화일 전송 시스템 변경 = 1->0 [Save: 1]", "표준서버로 전송 변경....."},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.nVersion);
        m_pDlg->m_nVolFileSendSystem = 1;
        m_pDlg->m_nStdServerVersion = c.nVersion;
        ResetRecords();
        SendTarget("01");
        EXPECT_EQ(CountDebug(c.szLine), 1);
        EXPECT_EQ(Received(), (V{ToHarwent(142, 0)})) << "the main program hears 0 either way";
        EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, c.nSystemAfter);
        EXPECT_EQ(Control(IDC_SEND_STATE), c.szState);
    }
    ResetRecords();
    SendTarget("00");  // without save nobody is told
    SendTarget("1");
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = 0->1 [Save: -48]"), 1);
}

TEST_F(CommandsTest, ProgramUpdateEndsTheReceiverThenStartsIt) {
    std::snprintf(m_pDlg->m_szBinDir, sizeof m_pDlg->m_szBinDir, "%s", "D:/QN64-ABRIX/Bin");
    m_pEnv->AddWindow(sib::kQuillamor);
    m_pSession->OnProgramUpdate();
    EXPECT_EQ(Received(),
              (V{Sent{sib::kQuillamor, 2, 0, 0, 0}, Sent{sib::kQuillamor, 2, 0, 0, 50}}));
    ASSERT_EQ(m_pEnv->StartedPrograms().size(), 1u);
    EXPECT_EQ(m_pEnv->StartedPrograms()[0].szCommandLine, "D:/QN64-ABRIX/Bin/Quillamor.exe");
    EXPECT_EQ(m_pEnv->StartedPrograms()[0].nShow, 1);
    EXPECT_EQ(ElapsedMs(), 550u);
    // A directory text without its terminator is read no further than its field.
    std::memset(m_pDlg->m_szBinDir, 'B', sizeof m_pDlg->m_szBinDir);
    m_pEnv->RemoveWindow(sib::kQuillamor);
    m_pSession->OnProgramUpdate();
    ASSERT_EQ(m_pEnv->StartedPrograms().size(), 2u);
    EXPECT_EQ(m_pEnv->StartedPrograms()[1].szCommandLine,
              std::string(sizeof m_pDlg->m_szBinDir, 'B') + "/Quillamor.exe");
}

TEST_F(CommandsTest, SupervisorDigitsChooseTheCode) {
    Supervisor("1");  // absent: the request is lost
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(Control(IDC_SEND_BOX), "58-1");
    m_pEnv->AddWindow(sib::kMorwick);
    for (const char* sz : {"1", "2", "3", "0", "4", ""}) Supervisor(sz);
    auto To = [](int nCode, intptr_t n) {
        return Sent{sib::kMorwick, sib::WM_SUPERVISOR, static_cast<uintptr_t>(nCode), n, 0};
    };
    EXPECT_EQ(Received(), (V{To(165, 1), To(165, 1), To(123, 0)}));
}

}  // namespace
}  // namespace vtest
