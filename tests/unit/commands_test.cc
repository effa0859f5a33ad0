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
        Call(sz,
             [&](uint8_t* p, int n) { m_pSession->OnSupervisorRequest(OP_SUPERVISOR_CMD, p, n); });
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

// What the siblings got, written compactly: "H134:0" is device code 134 with value 0 to
// the main operation program, "Z" the camera-control program, "a/b" the pair b * 65536 + a,
// "@1000" the fake milliseconds since the command started.
V Expect(const std::string& szSent) {
    V out;
    std::istringstream in(szSent);
    std::string sz;
    while (in >> sz) {
        int nCode = 0, nAt = 0;
        long nLow = 0, nHigh = 0;
        const char* p = sz.c_str() + 1;
        std::sscanf(p, "%d:%ld", &nCode, &nLow);
        if (const char* q = std::strchr(p, '/')) nHigh = std::atol(q + 1);
        if (const char* q = std::strchr(p, '@')) nAt = std::atoi(q + 1);
        const intptr_t nValue = static_cast<intptr_t>(nHigh * 65536 + nLow);
        out.push_back(sz[0] == 'H' ? ToHarwent(nCode, nValue, nAt)
                                   : ToZentoral(nCode, nValue, nAt));
    }
    return out;
}

TEST_F(CommandsTest, DeviceCommandsReachTheSiblingsInOrder) {
    enum { kNone, kNoCamera, kNoZentoral, kSpeedStation };
    enum { kSpeed = 0, kNPass = -1, kBright = -2 };
    const struct {
        int nSetting;  // what differs from the fixture's settings
        int nOpcode;   // a camera or signal code, or kSpeed / kNPass / kBright
        std::string szData;
        const char* szSent;
        const char* szNotice;  // "data" = left as it was
    } kCases[] = {
        {kNone, OP_PANTILT, "0123", "H134:0 H151:12 Z151:12", "PANTILT: 3_3[12]"},
        {kNone, OP_PANTILT, "0451", "H134:0 H153:45 Z153:45", "PANTILT: 3_1[45]"},
        {kNone, OP_PANTILT, "0454", "H134:0 H152:45 Z152:45", "PANTILT: 3_4[45]"},
        {kNone, OP_PANTILT, "1085", "H134:1 H155:8 Z155:8 H106:1@1000", "PANTILT: 4_5[8]"},
        {kNone, OP_PANTILT, "0129", "H134:0", "data"},  // unlisted selector
        {kNone, OP_PANTILT, "0", "H134:0", "data"},     // cut: the selector reads 0
        {kNone, OP_LENS, "07", "H134:0 H160:0 Z160:0 H106:1@1000", "LENS: 3_7"},
        {kNone, OP_LENS, "15", "H134:1 H161:0 Z161:0", "LENS: 4_5"},
        {kNone, OP_LENS, "08", "H134:0", "data"},
        {kNone, OP_SPEED_FILTER, "060120", "H134:0 H130:60/120 Z130:60/120 H106:1@1000",
         "SPD_FLT: T:60/ C:120"},
        {kNone, OP_SPEED_FILTER, "060120" + std::string(30, '9'),  // only 16 bytes are read
         "H134:0 H130:60/120 Z130:60/120 H106:1@1000", "SPD_FLT: T:60/ C:120"},
        {kNone, OP_ROAD_IMAGE, "1", "H134:1 H102:0 Z102:0", "Soft_Trigger"},
        {kNone, OP_LOCAL_STATUS, "0", "H134:0 H106:1 Z106:1", "Local_Status"},
        {kNone, OP_LANE, "12", "H134:1 H128:2 Z128:2 H106:1@1000", "LANE: 2"},
        {kNone, OP_LANE, "1", "H134:1 H128:-48 Z128:-48 H106:1@1000", "LANE: -48"},
        {kNone, OP_RTU_RESET, "", "H134:-48 H146:0 Z146:0", "RTU_RESET~~~"},
        {kNone, OP_LOOP_DELAY, "125", "H134:1 H129:25 Z129:25 H106:1@1000", "L_DLY: 4 [25]"},
        {kNone, OP_LOOP_DELAY, "725", "H134:7 H129:25 Z129:25 H106:1@1000", "L_DLY: 0 [25]"},
        {kNoCamera, OP_LOOP_DELAY, "125", "H134:0 H129:25 Z129:25 H106:1@1000", "L_DLY: 3 [25]"},
        {kNoZentoral, OP_LENS, "07", "H134:0 H160:0 H106:1@1000", "LENS: 3_7"},
        {kNone, kSpeed, "0080100060090", "H134:0 Z126:80/100 H106:1@1020", "SPD:3_80/100_60/90"},
        {kSpeedStation, kSpeed, "1080100060090", "H134:1 Z126:80/100 Z127:60/90@20 H106:1@1020",
         "SPD:4_80/100_60/90"},
        {kNone, kSpeed, "0080019060090", "H134:0", "data"},  // w2 below 20
        {kNone, kSpeed, "0080241060090", "H134:0", "data"},  // w2 above 240
        {kNone, kSpeed, "0080020060090", "H134:0 Z126:80/20 H106:1@1020", "SPD:3_80/20_60/90"},
        {kNone, kSpeed, "0080240060090", "H134:0 Z126:80/240 H106:1@1020", "SPD:3_80/240_60/90"},
        {kNone, OP_VIRTUAL_SIGNAL, "1", "H134:1 Z140:0 H140:0 H106:1@1000", "가상 신호위반 검증"},
        {kNone, OP_SIGNAL_DELAY, "00125", "H134:0 Z141:125 H141:125 H106:1@1000", "data"},
        {kSpeedStation, OP_VIRTUAL_SIGNAL, "0", "", "data"},
        {kNone, kNPass, "12403", "H143:24/3 H106:1@1000", "N_PASS : 24/3"},
        {kNone, kNPass, "12503", "", "data"},
        {kNone, kNPass, "02403", "", "data"},                               // switched off
        {kNone, kBright, "0050200", "H208:0 H106:1@1000", "BRIGHT : 0/0"},  // off still sends 0
        {kNone, kBright, "1050200", "H208:50/200 H106:1@1000", "BRIGHT : 50/200"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.nOpcode) + " " + c.szData);
        TearDown();
        SetUp();
        if (c.nSetting == kNoCamera) m_pDlg->m_nEnfCameraCnt = 0;
        if (c.nSetting == kNoZentoral) m_pEnv->RemoveWindow(sib::kZentoral);
        if (c.nSetting == kSpeedStation) m_pDlg->m_nProgramKind = 2;
        ResetRecords();
        if (c.nOpcode == kSpeed) {
            Speed(c.szData);
        } else if (c.nOpcode == kNPass) {
            Call(c.szData, [&](uint8_t* p, int n) { m_pSession->OnNPassSet(p, n); });
        } else if (c.nOpcode == kBright) {
            Call(c.szData, [&](uint8_t* p, int n) { m_pSession->OnBrightSet(p, n); });
        } else if (c.nOpcode == OP_VIRTUAL_SIGNAL || c.nOpcode == OP_SIGNAL_DELAY) {
            Signal(c.nOpcode, c.szData);
        } else {
            Camera(c.nOpcode, c.szData);
        }
        EXPECT_EQ(Received(), Expect(c.szSent));
        EXPECT_EQ(Notice(), c.szNotice);
        if (std::string(c.szNotice) != "data") {
            EXPECT_EQ(CountDebug(std::string("CENTER = ") + c.szNotice), 1);
        }
        if (*c.szSent == '\0') {
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
        {2000, 0, "MGR_PC: 위반화일 전송 시스템 변경 = 1->0 [Save: 1]",
         "표준서버로 전송 변경....."},
        {1999, 1, "MGR_PC: 위반화일 전송 시스템 변경 = 0->0 [Save: 1]", "관리PC로 전송 변경....."},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.nVersion);
        m_pDlg->m_nStdServerVersion = c.nVersion;
        ResetRecords();
        SendTarget("01");
        EXPECT_EQ(CountDebug(c.szLine), 1);
        EXPECT_EQ(Received(), (V{ToHarwent(142, 0)})) << "the main program hears 0 either way";
        EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, c.nSystemAfter);
        EXPECT_EQ(Control(IDC_SEND_STATE), c.szState);
    }
    m_pDlg->m_nStdServerVersion = 2000;
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
