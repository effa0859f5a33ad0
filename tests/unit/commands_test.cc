// Commands of the Manager PC and what starts the station's operations. Device commands:
// which codes and values reach the main operation program and the camera-control program,
// in which order and after which pauses (fake clock), what the notice shows, how short or
// out-of-range data is read, each from the handler and through the dispatcher; the clock,
// the destination and its 1999/2000 version threshold, the update and the supervisor. Then
// the main program's notices (WM_USER+15), the CDMA button, the transfer, daily-log,
// supervision and first-status timers, the heartbeat and the routing of the other codes.
#include <map>

#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

using V = std::vector<Sent>;

// What the siblings got, written compactly: "H134:0" is device code 134 with value 0 to
// the main operation program, "Z" the camera-control program, "M" the supervisor's request
// code, "Q" a message to the update receiver, "a/b" the pair b * 65536 + a, "@1000" the
// fake milliseconds since the command began.
V Expect(const std::string& szSent) {
    V out;
    std::istringstream in(szSent);
    for (std::string sz; in >> sz;) {
        int nCode = 0, nAt = 0;
        long nLow = 0, nHigh = 0;
        std::sscanf(sz.c_str() + 1, "%d:%ld", &nCode, &nLow);
        if (const char* q = std::strchr(sz.c_str(), '/')) nHigh = std::atol(q + 1);
        if (const char* q = std::strchr(sz.c_str(), '@')) nAt = std::atoi(q + 1);
        static const std::map<char, std::pair<const char*, uint32_t>> kTo = {
            {'H', {sib::kHarwent, sib::WM_DEVICE}},
            {'Z', {sib::kZentoral, sib::WM_DEVICE}},
            {'M', {sib::kMorwick, sib::WM_SUPERVISOR}},
            {'Q', {sib::kQuillamor, sib::WM_DESTROY_}}};
        const auto& to = kTo.at(sz[0]);
        out.push_back(Sent{to.first, to.second, static_cast<uintptr_t>(nCode),
                           static_cast<intptr_t>(nHigh * 65536 + nLow),
                           static_cast<uint64_t>(nAt)});
    }
    return out;
}

class CommandsTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        CVelmoraDlg& dlg = MakeTransferStation();  // send system 1, version 0 (defaults)
        m_traffic.assign(128, 0);
        dlg.m_pTrafficInfo = m_traffic.data();
        dlg.m_bSendToManager = 1;
        for (const char* szTitle : {sib::kHarwent, sib::kZentoral, sib::kMorwick, sib::kQuillamor})
            m_pEnv->AddWindow(szTitle);
        dlg.m_nEnfCameraCnt = 2;
        dlg.m_nTargetLane[0] = 3;
        dlg.m_nTargetLane[1] = 4;
        dlg.m_nProgramKind = 1;  // a signal station also answers 73 and 74
        m_pEnv->SetControlText(IDC_NOTICE, "data");
    }
    // The handler of command nOp gets exactly the bytes of the data on the heap, so that a
    // read past its length is caught by the address sanitizer.
    void Command(int nOp, const std::string& szData) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[szData.size() + 1]);
        std::memcpy(p.get(), szData.data(), szData.size());
        const int n = static_cast<int>(szData.size());
        const uint8_t* d = p.get();
        CCenterSession& s = *m_pSession;
        if (nOp == OP_SPEED_SET) return s.OnSpeedSet(d, n);
        if (nOp == OP_N_PASS) return s.OnNPassSet(d, n);
        if (nOp == OP_BRIGHT) return s.OnBrightSet(d, n);
        if (nOp == OP_TIME) return s.OnTimeSet(d, n, 0);
        if (nOp == OP_SEND_TARGET) return s.OnSendTargetChange(d, n);
        if (nOp == OP_SUPERVISOR_CMD) return s.OnSupervisorRequest(nOp, d, n);
        if (nOp == OP_VIRTUAL_SIGNAL || nOp == OP_SIGNAL_DELAY) return s.OnSignalTest(nOp, d, n, 0);
        s.OnCameraCommand(nOp, d, n, 0);
    }
    static std::string TimeText(int64_t t) {
        const vplat::LocalTime lt = vplat::LocalTimeFromTime64(t);
        char sz[32];
        std::snprintf(sz, sizeof sz, "%04d%02d%02d%02d%02d%02d", lt.nYear, lt.nMonth, lt.nDay,
                      lt.nHour, lt.nMinute, lt.nSecond);
        return sz;
    }
    // A violation file, the three trigger images and the day's running log to send.
    void PutTransferFiles() {
        PutFile("d/ENF_IMG/1000.ABCDE", Pattern(5000));
        for (const char* szImage : {"RoadImage", "CarImage", "TrackingImage"})
            PutFile(std::string("d/Capture_img/") + szImage + ".ABCDE", Pattern(4000, 3));
        PutFile("d/System_Log/2024/20240305.ABCDE", Pattern(200, 5));
    }
    void Feed(const std::string& szCode, const std::vector<uint8_t>& data) {
        const std::vector<uint8_t> f = MakeFrame(szCode, data);
        m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
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
    std::vector<uint8_t> m_traffic;
};

// Each row twice on a fresh station: the handler on its own, then the frame through the
// dispatcher (which also shows the code and length received).
TEST_F(CommandsTest, DeviceCommandsReachTheSiblingsInOrder) {
    enum { kNone, kNoCamera, kNoZentoral, kNoMorwick, kSpeedStation };
    const struct {
        int nSetting;  // what differs from the fixture's settings
        int nOpcode;
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
        {kNone, OP_CAR_IMAGE, "1", "H134:1 H103:0 Z103:0", "One_Trigger"},
        {kNone, OP_TRACKING_IMAGE, "1", "H134:1 H104:0 Z104:0", "Tracking_Image"},
        {kNone, OP_LOCAL_STATUS, "0", "H134:0 H106:1 Z106:1", "Local_Status"},
        {kNone, OP_LANE, "12", "H134:1 H128:2 Z128:2 H106:1@1000", "LANE: 2"},
        {kNone, OP_LANE, "1", "H134:1 H128:-48 Z128:-48 H106:1@1000", "LANE: -48"},
        {kNone, OP_RTU_RESET, "", "H134:-48 H146:0 Z146:0", "RTU_RESET~~~"},
        {kNone, OP_LOOP_DELAY, "125", "H134:1 H129:25 Z129:25 H106:1@1000", "L_DLY: 4 [25]"},
        {kNone, OP_LOOP_DELAY, "725", "H134:7 H129:25 Z129:25 H106:1@1000", "L_DLY: 0 [25]"},
        {kNoCamera, OP_LOOP_DELAY, "125", "H134:0 H129:25 Z129:25 H106:1@1000", "L_DLY: 3 [25]"},
        {kNoZentoral, OP_LENS, "07", "H134:0 H160:0 H106:1@1000", "LENS: 3_7"},
        {kNone, OP_SPEED_SET, "0080100060090", "H134:0 Z126:80/100 H106:1@1020",
         "SPD:3_80/100_60/90"},
        {kSpeedStation, OP_SPEED_SET, "1080100060090",
         "H134:1 Z126:80/100 Z127:60/90@20 H106:1@1020", "SPD:4_80/100_60/90"},
        {kNone, OP_SPEED_SET, "0080019060090", "H134:0", "data"},  // w2 below 20
        {kNone, OP_SPEED_SET, "0080241060090", "H134:0", "data"},  // w2 above 240
        {kNone, OP_SPEED_SET, "0080020060090", "H134:0 Z126:80/20 H106:1@1020",
         "SPD:3_80/20_60/90"},
        {kNone, OP_SPEED_SET, "0080240060090", "H134:0 Z126:80/240 H106:1@1020",
         "SPD:3_80/240_60/90"},
        {kNone, OP_VIRTUAL_SIGNAL, "1", "H134:1 Z140:0 H140:0 H106:1@1000", "가상 신호위반 검증"},
        {kNone, OP_SIGNAL_DELAY, "00125", "H134:0 Z141:125 H141:125 H106:1@1000", "data"},
        {kSpeedStation, OP_VIRTUAL_SIGNAL, "0", "", "data"},
        {kNone, OP_N_PASS, "12403", "H143:24/3 H106:1@1000", "N_PASS : 24/3"},
        {kNone, OP_N_PASS, "12503", "", "data"},
        {kNone, OP_N_PASS, "02403", "", "data"},                              // switched off
        {kNone, OP_BRIGHT, "0050200", "H208:0 H106:1@1000", "BRIGHT : 0/0"},  // off still sends 0
        {kNone, OP_BRIGHT, "1050200", "H208:50/200 H106:1@1000", "BRIGHT : 50/200"},
        {kNone, OP_MODE, "03", "H134:0 H125:3 Z125:3 H106:1@1000", "MODE: 3 [3]"},
        {kNoMorwick, OP_SUPERVISOR_CMD, "1", "", "data"},  // absent: the request is lost
        {kNone, OP_SUPERVISOR_CMD, "1", "M165:1", "data"},
        {kNone, OP_SUPERVISOR_CMD, "2", "M165:1", "data"},
        {kNone, OP_SUPERVISOR_CMD, "3", "M123:0", "data"},
        {kNone, OP_SUPERVISOR_CMD, "0", "", "data"},
        {kNone, OP_SUPERVISOR_CMD, "4", "", "data"},
        {kNone, OP_SUPERVISOR_CMD, "", "", "data"},
    };
    for (const auto& c : kCases) {
        for (const bool bFrame : {false, true}) {
            SCOPED_TRACE(std::to_string(c.nOpcode) + " " + c.szData + (bFrame ? " framed" : ""));
            TearDown();
            SetUp();
            if (c.nSetting == kNoCamera) m_pDlg->m_nEnfCameraCnt = 0;
            if (c.nSetting == kNoZentoral) m_pEnv->RemoveWindow(sib::kZentoral);
            if (c.nSetting == kNoMorwick) m_pEnv->RemoveWindow(sib::kMorwick);
            if (c.nSetting == kSpeedStation) m_pDlg->m_nProgramKind = 2;
            ResetRecords();
            if (bFrame) {
                Feed(std::to_string(c.nOpcode), Bytes(c.szData));
                EXPECT_EQ(Control(IDC_RECV_BOX),
                          std::to_string(c.nOpcode) + "-" + std::to_string(c.szData.size()));
            } else {
                Command(c.nOpcode, c.szData);
            }
            EXPECT_EQ(Received(), Expect(c.szSent));
            EXPECT_EQ(Control(IDC_NOTICE), c.szNotice);
            if (std::string(c.szNotice) != "data") {
                EXPECT_EQ(CountDebug(std::string("CENTER = ") + c.szNotice), 1);
            }
            if (*c.szSent == '\0') {
                EXPECT_EQ(ElapsedMs(), 0u);
            }
            if (c.nOpcode == OP_SUPERVISOR_CMD) {
                EXPECT_EQ(Control(IDC_SEND_BOX), "58-1");
            }
        }
    }
}

TEST_F(CommandsTest, OnlyACommandPassedOnEndsATransferAndOperSetsTheMode) {
    m_pSession->m_nSendKind = SEND_VOL;
    Command(OP_LENS, "00");  // nothing passed on: the transfer goes on
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
    Command(OP_ROAD_IMAGE, "1");
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    Command(OP_OPER, "03");
    EXPECT_EQ(Control(IDC_NOTICE), "OPER: [3]");
    EXPECT_EQ(m_pDlg->m_nOperationMode, 3);
    EXPECT_EQ(CountDebug("CENTER = SIGNAL_DELAY_TIME [125]"), 0);
    Command(OP_SIGNAL_DELAY, "00125");
    EXPECT_EQ(CountDebug("CENTER = SIGNAL_DELAY_TIME [125]"), 1);
}

// The clock is set from a valid time in mode 0 only; the error line from 6 s behind on
// (an hour ahead is the normal line); the main program hears 10 ms later in every case
// but mode 1; a query without data answers with the time report.
TEST_F(CommandsTest, ClockSettingAndTimeQuery) {
    const int64_t tNow = m_pEnv->Time64();
    const std::string szFive = TimeText(tNow - 5), szSix = TimeText(tNow - 6);
    struct Case {
        std::string szText;
        int nMode;
        std::string szLine;  // the one line about it ("": none at all)
        bool bSet;
        std::string szSetTo = "";  // the clock's new time, when not the text itself
    };
    std::vector<Case> cases = {
        {TimeText(tNow - 100), 1, "", false},
        {szFive, 0, "MGR_PC_TIME_CHANGE => " + szFive, true},
        {szSix, 0, "****** ERROR Time : MGR_PC_TIME_CHANGE => " + szSix + " [차이:6]", true},
        {TimeText(tNow + 3600), 0, "MGR_PC_TIME_CHANGE => " + TimeText(tNow + 3600), true},
        {"20240401120000", 0, "MGR_PC_TIME_CHANGE => 20240401120000", true},  // a month's 1st
        // Blanks lead a number as atoi reads it; the log line keeps a space, not a tab.
        {"2024 4\t1120000", 0, "MGR_PC_TIME_CHANGE => 2024 4?1120000", true, "20240401120000"},
        {"20280100120000", 0, "", false},
        {"20241345120000", 0, "", false},
        {"ABCDEFGHIJKLMN", 0, "", false},
        {"2024", 0, "", false},
    };
    // Every month's last day of a leap year, and the day after it.
    for (int nMonth = 1; nMonth <= 12; ++nMonth) {
        const bool bShort = nMonth == 4 || nMonth == 6 || nMonth == 9 || nMonth == 11;
        const int nLast = nMonth == 2 ? 29 : bShort ? 30 : 31;
        for (const int nDay : {nLast, nLast + 1}) {
            char sz[16];
            std::snprintf(sz, sizeof sz, "2028%02d%02d235959", nMonth, nDay);
            const bool bValid = nDay == nLast;
            const std::string szLine = bValid ? std::string("MGR_PC_TIME_CHANGE => ") + sz : "";
            cases.push_back({sz, 0, szLine, bValid});
        }
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szText);
        TearDown();
        SetUp();
        m_pDlg->m_nOperationMode = c.nMode;
        Command(OP_TIME, c.szText);
        vplat::LocalTime lt;
        EXPECT_EQ(m_pEnv->ClockWasSet(&lt), c.bSet);
        if (c.bSet) {
            EXPECT_EQ(TimeText(vplat::Time64FromLocal(lt.nYear, lt.nMonth, lt.nDay, lt.nHour,
                                                      lt.nMinute, lt.nSecond)),
                      c.szSetTo.empty() ? c.szText : c.szSetTo);
        }
        const bool bInvalid = c.nMode == 0 && !c.bSet;
        EXPECT_EQ(CountDebug(bInvalid ? "MGR_PC_TIME_CHANGE => " + c.szText +
                                            ": not a valid time, clock unchanged"
                                      : c.szLine),
                  c.nMode == 0 ? 1 : 0);
        if (!bInvalid) {
            EXPECT_EQ(CountDebugPrefix("****** ERROR"), c.szLine.rfind("******", 0) == 0 ? 1 : 0);
            EXPECT_EQ(CountDebugPrefix("MGR_PC_TIME_CHANGE") + CountDebugPrefix("******"),
                      c.nMode == 0 ? 1 : 0);
        }
        EXPECT_EQ(Received(), Expect(c.nMode == 0 ? "H124:0@10" : ""));
    }
    Command(OP_TIME, "");
    const SentFrame f = TakeOne();
    EXPECT_EQ(f.Opcode(), 57);
    EXPECT_EQ(f.DataText(), "2024/03/05 12:00:00");
    EXPECT_FALSE(m_pEnv->ClockWasSet());
    std::string szText = TimeText(tNow);
    szText[8] = '\n';  // a control character is not written to the log
    Command(OP_TIME, szText);
    for (const std::string& s : m_pEnv->DebugLines()) EXPECT_EQ(s.find('\n'), s.npos) << s;
}

TEST_F(CommandsTest, SendTargetAndTheStandardServerVersionThreshold) {
    const struct {
        int nVersion;
        std::string szData, szLine;
        const char* szSent;
        int nSystemAfter;
        const char* szState;
    } kCases[] = {
        {0, "11", "1->1 [Save: 1]", "H142:1", 1, "관리PC로 전송 변경....."},
        {2000, "01", "1->0 [Save: 1]", "H142:0", 0, "표준서버로 전송 변경....."},
        {1999, "01", "0->0 [Save: 1]", "H142:0", 1, "관리PC로 전송 변경....."},
        {2000, "00", "1->0 [Save: 0]", "", 0, "표준서버로 전송 변경....."},  // nobody told
        {2000, "1", "0->1 [Save: -48]", "", 1, "관리PC로 전송 변경....."},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szData + " " + std::to_string(c.nVersion));
        m_pDlg->m_nStdServerVersion = c.nVersion;
        ResetRecords();
        Command(OP_SEND_TARGET, c.szData);
        EXPECT_EQ(CountDebug("MGR_PC: 위반화일 전송 시스템 변경 = " + c.szLine), 1);
        EXPECT_EQ(Received(), Expect(c.szSent)) << "the main program hears 0 either way";
        EXPECT_EQ(m_pDlg->m_nVolFileSendSystem, c.nSystemAfter);
        EXPECT_EQ(Control(IDC_SEND_STATE), c.szState);
    }
}

// Code 79: the receiver still running is told twice to end, then started again.
TEST_F(CommandsTest, ProgramUpdateEndsTheReceiverThenStartsIt) {
    std::snprintf(m_pDlg->m_szBinDir, sizeof m_pDlg->m_szBinDir, "%s", "D:/QN64-ABRIX/Bin");
    Feed("79", {});
    EXPECT_EQ(Received(), Expect("Q0:0 Q0:0@50"));
    EXPECT_EQ(m_pDlg->m_bUpdateRunning.load(), 1);
    ASSERT_EQ(m_pEnv->StartedPrograms().size(), 1u);
    EXPECT_EQ(m_pEnv->StartedPrograms()[0].szCommandLine, "D:/QN64-ABRIX/Bin/Quillamor.exe");
    EXPECT_EQ(m_pEnv->StartedPrograms()[0].nShow, 1);
    EXPECT_EQ(ElapsedMs(), 550u);
    // A directory text without its terminator is read no further than its field.
    std::memset(m_pDlg->m_szBinDir, 'B', sizeof m_pDlg->m_szBinDir);
    m_pEnv->RemoveWindow(sib::kQuillamor);
    Feed("79", {});
    ASSERT_EQ(m_pEnv->StartedPrograms().size(), 2u);
    EXPECT_EQ(m_pEnv->StartedPrograms()[1].szCommandLine,
              std::string(sizeof m_pDlg->m_szBinDir, 'B') + "/Quillamor.exe");
}

TEST_F(CommandsTest, NoticesOfTheMainProgramStartTheirOperations) {
    PutTransferFiles();
    // Transfer switch at 2 (as command 71 can leave it): only code 132 changes it.
    const struct {
        int nCode;
        intptr_t nValue;
        int nUpdate, nOpcode, nSendEnable, nUpdateAfter;  // update flag before, frame (0: none)
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

TEST_F(CommandsTest, NewViolationFileAndTheCdmaButtonDialOnlyWhenAllowed) {
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
        SCOPED_TRACE(&r - kRows);  // the row
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
    m_pDlg->m_bSendEnable = 0;
    m_pDlg->m_bLinkExpected = 0;
    m_pDlg->m_nOperationMode = 0;
    const size_t nStarted = m_pEnv->StartedPrograms().size();
    m_pDlg->OnLoopMessage(vplat::kMsgCommand, (1u << 16) | IDC_BTN_CDMA, 0);  // not a click
    EXPECT_EQ(m_pEnv->StartedPrograms().size(), nStarted);
}

// The transfer timer sends only while the switch is exactly 1; the daily log starts only
// late in the evening, once a day, minute and second each compared for itself.
TEST_F(CommandsTest, TransferAndDailyLogTimers) {
    PutTransferFiles();
    const struct {
        int nSendEnable;
        const char* szState;
        std::vector<int> opcodes;
    } kSend[] = {{2, "관리PC로 전송중.....", {}},
                 {0, "전송 중지 !!!", {}},
                 {1, "관리PC로 전송중.....", {51}}};
    for (const auto& r : kSend) {
        SCOPED_TRACE(r.nSendEnable);
        Idle();
        m_pDlg->SetItemText(IDC_SEND_STATE, "");
        m_pDlg->m_bSendEnable = r.nSendEnable;
        m_pDlg->OnTimer(kTimerVolSend);
        EXPECT_EQ(Control(IDC_SEND_STATE), r.szState);
        EXPECT_EQ(Opcodes(), r.opcodes);
    }
    m_pDlg->m_nLogSendMinute = 30;
    m_pDlg->m_nLogSendSecond = 40;
    const struct {
        int nHour, nMinute, nSecond, nSentToday, nToManager;
        bool bStarts;
    } kLog[] = {
        {22, 45, 41, 0, 1, false}, {23, 29, 59, 0, 1, false}, {23, 45, 39, 0, 1, false},
        {23, 45, 41, 1, 1, false}, {23, 45, 41, 0, 0, false}, {23, 30, 40, 0, 1, true},
        {23, 59, 59, 0, 1, true},
    };
    for (const auto& r : kLog) {
        SCOPED_TRACE(&r - kLog);  // the row
        Idle();
        m_pEnv->SetTime64(vplat::Time64FromLocal(2024, 3, 5, r.nHour, r.nMinute, r.nSecond));
        m_pDlg->m_bLogSentToday = r.nSentToday;
        m_pDlg->m_bSendToManager = r.nToManager;
        m_pDlg->OnTimer(kTimerRunLog);
        EXPECT_EQ(Opcodes(), r.bStarts ? std::vector<int>{68} : std::vector<int>{});
    }
}

// Code 72 through the dispatcher: the files go back to the center at once when no standard
// server takes them, the supervision timer then takes the manager back and publishes it.
TEST_F(CommandsTest, SupervisionPublishesTheDestinationAndTakesTheManagerBack) {
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
    Feed("72", Bytes("00"));
    ASSERT_EQ(m_pDlg->m_nVolFileSendSystem.load(), 1);
    EXPECT_EQ(Control(IDC_SEND_STATE), "관리PC로 전송 변경.....");
    EXPECT_EQ(m_pDlg->m_bSendToManager.load(), 0) << "the command leaves the flag to the timer";
    m_pDlg->OnTimer(kTimerSupervise);
    EXPECT_EQ(m_pDlg->m_bSendToManager.load(), 1);
    EXPECT_EQ(Word(), 1);
}

TEST_F(CommandsTest, FirstStatusOnceAndHeartbeatEverySecond) {
    m_pDlg->StartTimer(kTimerSecond, 1000);
    m_pDlg->StartTimer(kTimerFirstStatus, 5000);
    ResetRecords();
    m_pEnv->AdvanceMs(12000);
    EXPECT_EQ(Opcodes(), std::vector<int>{59});
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerFirstStatus), 0u);
    std::vector<uint64_t> beats, expected;
    for (const Sent& m : Received()) {
        if (m.szTitle == sib::kHarwent && m.nMsg == sib::WM_LINK_STATE && m.wParam == 453 &&
            m.lParam == 0)
            beats.push_back(m.nAtMs);
    }
    for (uint64_t t = 1000; t <= 12000; t += 1000) expected.push_back(t);
    EXPECT_EQ(beats, expected);
    for (const auto& m : m_pEnv->Messages()) EXPECT_FALSE(m.bPosted && m.wParam == 453);
}

// The codes outside the device table (72 and 79 have tests of their own): a reply row
// first starts the transfer of its kind and answers its first packet, so the next packet
// under the same code shows that the reply reached the transfer; 66, 70 and 77 are
// bookkeeping only. None of them tells a sibling anything.
TEST_F(CommandsTest, EveryOtherRoutedCodeReachesItsHandler) {
    PutTransferFiles();
    const struct {
        const char* szCode;
        std::vector<uint8_t> data;
        int nStartKind;  // transfer started before the frame (SEND_NONE: none)
        int nOpcode;     // frame queued in answer (0: none)
    } kRows[] = {
        {"51", {0x01}, SEND_VOL, 51},       {"52", {0x01}, SEND_ROAD_IMAGE, 52},
        {"53", {0x01}, SEND_CAR_IMAGE, 53}, {"54", {0x01}, SEND_TRACKING_IMAGE, 54},
        {"56", {}, SEND_NONE, 56},          {"57", {}, SEND_NONE, 57},
        {"59", {}, SEND_NONE, 59},          {"68", Bytes("L"), SEND_NONE, 68},
        {"68", {0x01}, SEND_RUN_LOG, 68},   {"66", Bytes("01"), SEND_NONE, 0},
        {"70", Bytes("1"), SEND_NONE, 0},   {"77", Bytes("1"), SEND_NONE, 0},
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
        const std::string szNotice = Control(IDC_NOTICE), szState = Control(IDC_SEND_STATE);
        const size_t nPrograms = m_pEnv->StartedPrograms().size();
        Feed(r.szCode, r.data);
        const std::vector<SentFrame> frames = TakeFrames();
        ASSERT_EQ(frames.empty(), r.nOpcode == 0);
        for (const SentFrame& f : frames) EXPECT_EQ(f.Opcode(), r.nOpcode);
        if (r.nOpcode != 0) {
            EXPECT_EQ(frames.front().PacketNo(), r.nStartKind != SEND_NONE ? 1 : 0);
        } else {
            EXPECT_EQ(Control(IDC_NOTICE), szNotice);
            EXPECT_EQ(Control(IDC_SEND_STATE), szState);
            EXPECT_EQ(m_pEnv->StartedPrograms().size(), nPrograms);
            EXPECT_EQ(m_pSession->m_nSendKind.load(), SEND_NONE);
        }
        EXPECT_EQ(Received(), V{});
        EXPECT_EQ(Control(IDC_RECV_BOX),
                  std::string(r.szCode) + "-" + std::to_string(r.data.size()));
        EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), ++nFrames);
    }
    EXPECT_STREQ(CenterOpcodeName(OP_PROGRAM_UPDATE), "OP_PROGRAM_UPDATE");  // velmora-mgrpc's
    EXPECT_EQ(CenterOpcodeName(70), nullptr);
}

}  // namespace
}  // namespace vtest
