// The CDMA modem: the line reader, the SMS wake-up, dialling and hanging up, the port at
// start-up and the serial thread, against a pseudo-terminal playing the modem. The
// thread's idle steps run on the fake clock.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "modem/sms_parse.h"
#include "status/time_format.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

constexpr int64_t kNow = 1765031400;  // the fake clock of every modem test
constexpr const char* kCenterTel = "01012345678";
constexpr const char* kConnectHex = "434F4E4E454354";
const std::string kAnswer = "AT$SMSMT=1?\r\n";  // what the station writes to a notice

TEST(ModemParseTest, LineKindsFieldsAndHex) {
    const std::pair<std::string, ModemLineKind> kKinds[] = {
        {"$008:0", ModemLineKind::kSmsNotice},
        {"$008:0 and whatever follows, even a long tail of text", ModemLineKind::kSmsNotice},
        {"$008:", ModemLineKind::kIgnored},
        {"$008:1\r\n", ModemLineKind::kIgnored},
        {std::string("$00\0:0", 6), ModemLineKind::kIgnored},
        {std::string(512, ','), ModemLineKind::kSmsAnswer},
        {std::string(513, ','), ModemLineKind::kIgnored}};  // 30 / 31: ReadsFromThePort
    for (const auto& [sz, kind] : kKinds)
        EXPECT_EQ(ClassifyModemRead(sz.data(), static_cast<int>(sz.size())), kind) << sz.size();
    EXPECT_EQ(ClassifyModemRead(nullptr, 40), ModemLineKind::kIgnored);

    auto Fields = [](const std::string& sz, int nLength = -1) {  // time|sender|hex
        SmsFields f;
        SplitSmsLine(sz.data(), nLength < 0 ? static_cast<int>(sz.size()) : nLength, &f);
        return std::string(f.szTime) + "|" + f.szSender + "|" + f.szHexText;
    };
    const std::string s40(40, '7'), s15(15, '7');  // cut to the buffers
    EXPECT_EQ(Fields(s40 + "," + s40 + ",x,x,x," + std::string(300, 'A') + ",x\r\n"),
              s15 + "|" + s15 + "|" + std::string(255, 'A'));
    EXPECT_EQ(Fields("20251206143000,0101\r,x,x,x,414243,x\r\n"), "20251206143000|0101|")
        << "the walk ends at the first line end";
    EXPECT_EQ(Fields("2025,0101,x,x,x,4142,x\r\n", 12), "2025|0101|") << "the length bounds it";
    // Whole lines, plain texts in either case, an odd digit and the 63-byte limit: the SMS
    // table below.
    const std::pair<std::string, std::string> kHex[] = {
        {"4G", "P"},  // 'G' = 71 - 48 - 7 = 16
        {"4:", "C"},  // ':' = 58 - 48 - 7 = 3, the first character above '9'
        {"4a", "j"},  // lower case is no hex digit here: 'a' = 42
        {"5 ", "@"},
        {"2\xC1", "\xB1"}};  // a byte above 0x7F counts as negative
    char szOut[kSmsTextBufSize];
    for (const auto& [szIn, szText] : kHex) {
        const int n = DecodeSmsHex(szIn.c_str(), szOut);
        EXPECT_EQ(std::string(szOut, static_cast<size_t>(n)), szText) << szIn;
    }
    EXPECT_EQ(DecodeSmsHex("410042", szOut), 3);
    EXPECT_STREQ(szOut, "A");
    const char szNoNul[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(EqualsNoCase(szNoNul, "ABCDEF", 4)) << "only nMax characters are looked at";
}

// A pseudo-terminal whose station side is reached through a symlink.
class FakeModem {
  public:
    explicit FakeModem(const std::string& szLink) : m_szLink(szLink) { Plug(); }
    ~FakeModem() { Unplug(); }
    void Plug() {
        int nSlave = -1;
        ASSERT_EQ(openpty(&m_nMaster, &nSlave, nullptr, nullptr, nullptr), 0);
        termios tio{};
        tcgetattr(nSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(nSlave, TCSANOW, &tio);
        char szPts[128] = {};
        ASSERT_EQ(ptsname_r(m_nMaster, szPts, sizeof szPts), 0);
        close(nSlave);  // the station opens its own side through the link
        fs::remove(m_szLink);
        fs::create_symlink(szPts, m_szLink);
    }
    void Unplug() {  // the station's side sees a hang-up
        if (m_nMaster >= 0) close(m_nMaster);
        m_nMaster = -1;
        std::error_code ec;
        fs::remove(m_szLink, ec);
    }
    void Write(const std::string& sz) {
        ASSERT_EQ(write(m_nMaster, sz.data(), sz.size()), static_cast<ssize_t>(sz.size()));
    }
    // What the station wrote: until n bytes arrived (bounded at 10 s against a hang), or,
    // with n = 0, what is there now.
    std::string Read(size_t n) {
        std::string out;
        for (int i = 0; i < 500 && (n == 0 || out.size() < n); ++i) {
            pollfd p{m_nMaster, POLLIN, 0};
            if (::poll(&p, 1, n == 0 ? 0 : 20) != 1) {
                if (n == 0) break;
                continue;
            }
            char buf[512];
            const size_t nWant = n == 0 ? sizeof buf : std::min(sizeof buf, n - out.size());
            const ssize_t k = ::read(m_nMaster, buf, nWant);
            if (k <= 0) break;
            out.append(buf, static_cast<size_t>(k));
        }
        return out;
    }

  private:
    std::string m_szLink;  // symlink to the station's side
    int m_nMaster = -1;    // modem side
};

// The thread's idle waits (the stop event and a time-out) end at once on the fake clock.
class FakeIdleWaits final : public vplat::EnvWrapper {
  public:
    explicit FakeIdleWaits(vplat::Env* pFake) : EnvWrapper(pFake) {}
    int WaitEventsOrSocket(vplat::Event* const* ppEvents, int nEvents, vplat::SocketHandle s,
                           uint32_t nMs) override {
        if (s != vplat::kNoSocket) return Target()->WaitEventsOrSocket(ppEvents, nEvents, s, nMs);
        const int nWoke = Target()->WaitEventsOrSocket(ppEvents, nEvents, s, 0);
        if (nWoke == -1) {
            Target()->SleepMs(nMs);
            std::this_thread::yield();
        }
        return nWoke;
    }
    // The next m_nTimeOuts waits on the port time out at once; the fake clock at each.
    int SerialWait(vplat::SerialHandle h, vplat::Event* pStop, uint32_t nMs,
                   int* pnQueued) override {
        if (m_nTimeOuts == 0) return Target()->SerialWait(h, pStop, nMs, pnQueued);
        m_timeOutsAt.push_back(Target()->MonotonicMs());
        --m_nTimeOuts;
        return 0;
    }
    std::atomic<int> m_nTimeOuts{0};
    std::vector<uint64_t> m_timeOutsAt;  // read once m_nTimeOuts is back to 0
};

class ModemTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        m_pWaits = std::make_unique<FakeIdleWaits>(m_pEnv.get());
        vplat::Env::Install(m_pWaits.get());
        m_pEnv->SetTime64(kNow);
        CVelmoraDlg& dlg = MakeDialog();
        dlg.m_nCenterCommKind = 1;
        dlg.m_nOperationMode = 0;
        std::snprintf(dlg.m_szCdmaTelNumber, sizeof dlg.m_szCdmaTelNumber, "%s", kCenterTel);
        std::snprintf(dlg.m_szBinDir, sizeof dlg.m_szBinDir, "%s", "D:/QN64-ABRIX/Bin");
    }
    void TearDown() override {
        if (m_thread.joinable()) {
            m_pDlg->m_hSerialStop->Set();
            m_thread.join();
        }
        if (m_pDlg->m_hComPort.IsOpen()) m_pDlg->CloseComm(m_pDlg->m_hComPort);
        m_pDlg.reset();
        m_pModem.reset();
        vplat::Env::Install(m_pEnv.get());
        StationTest::TearDown();
    }
    // The modem, its device configured, and the port opened as at start-up after a hang-up.
    void OpenModem() {
        PlugModem();
        m_pDlg->m_bLinkExpected = 0;
        m_pDlg->OpenModemPort();
        ASSERT_EQ(m_pDlg->m_bComOpen.load(), 1);
    }
    void PlugModem() {
        m_pModem.reset();  // an earlier modem takes its link with it
        m_pModem = std::make_unique<FakeModem>(Host("modem"));
        std::snprintf(m_pDlg->m_szModemDevice, sizeof m_pDlg->m_szModemDevice, "%s",
                      Host("modem").c_str());
    }
    // The modem writes; the station reads once the bytes are queued on its side.
    void ModemSays(const std::string& sz, int nQueuedArg = -1) {
        m_pModem->Write(sz);
        int nQueued = 0;
        EXPECT_TRUE(WaitFor([&] {
            return m_pEnv->SerialWait(m_pDlg->m_hComPort, nullptr, 50, &nQueued) == 1 &&
                   nQueued >= static_cast<int>(sz.size());
        }));
        m_pDlg->OnSerialReceive(nQueuedArg < 0 ? nQueued : nQueuedArg);
    }
    void StartThread() {
        m_pDlg->m_hSerialStop = m_pEnv->NewEvent(true);
        m_pDlg->m_bSerialRun = 1;
        m_thread = std::thread(SerialThreadProc, m_pDlg.get());
    }
    static std::string TimeDigits(int64_t nAgo) {
        char sz[17] = {};
        FormatTimeDigits(sz, 16, kNow - nAgo);
        return std::string(sz, 14);
    }
    static std::string CdmaLine(int64_t nAgo, const std::string& szText) {
        return "CDMA Control [" + TimeDigits(nAgo) + "] = " + szText;
    }
    // An SMS answer line as the session gets it (after the two leading bytes).
    static std::string SmsLine(int64_t nAgo, const std::string& szSender,
                               const std::string& szHex) {
        return TimeDigits(nAgo) + "," + szSender + ",x,x,x," + szHex + ",x\r\n";
    }
    void Sms(const std::string& sz) {
        m_pSession->OnSmsMessage(sz.data(), static_cast<int>(sz.size()));
    }
    size_t DialerStarts() { return m_pEnv->StartedPrograms().size(); }
    bool PortOpen() { return m_pDlg->m_hComPort.IsOpen(); }

    std::unique_ptr<FakeIdleWaits> m_pWaits;
    std::unique_ptr<FakeModem> m_pModem;
    std::thread m_thread;  // the serial thread, when a test starts it
};

TEST_F(ModemTest, SmsTimeWindowSenderAndText) {
    std::string szHex64;
    for (int i = 0; i < 64; ++i) szHex64 += "41";
    const std::string szOther = "01099999999", szLong = std::string(kCenterTel) + "99999999";
    const struct {
        int64_t nAgo;
        std::string szSender, szHex, szLine;
        int nOperationMode;
        size_t nDials;  // dialer starts after this message
    } kCases[] = {
        {11, kCenterTel, kConnectHex, "현재시간과 차이가 크다 [11] = " + TimeDigits(11), 0, 0},
        {10, kCenterTel, kConnectHex, CdmaLine(10, "CONNECT"), 0, 1},
        {-3600, kCenterTel, "414243", CdmaLine(-3600, "ABC"), 0, 1},
        {0, kCenterTel, "636F6E6E656374", CdmaLine(0, "connect"), 0, 2},
        {0, kCenterTel, "434F4E4E45435445441", CdmaLine(0, "CONNECTED"), 0, 2},
        {0, szOther, kConnectHex, "SMS Center Tel Number이 아님 : " + szOther, 0, 2},
        {0, szLong, kConnectHex, "SMS Center Tel Number이 아님 : 010123456789999", 0, 2},
        {0, szOther, kConnectHex, CdmaLine(0, "CONNECT"), 1, 3},
        {0, kCenterTel, szHex64, CdmaLine(0, std::string(63, 'A')), 0, 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szLine);
        m_pDlg->m_nOperationMode = c.nOperationMode;
        m_pDlg->m_bLinkExpected = 0;
        ResetRecords();
        const size_t nBefore = DialerStarts();
        Sms(SmsLine(c.nAgo, c.szSender, c.szHex));
        EXPECT_EQ(CountDebug(c.szLine), 1);
        EXPECT_EQ(DialerStarts(), c.nDials);
        EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), DialerStarts() > nBefore ? 1 : 0);
    }
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
    ResetRecords();
    Sms(TimeDigits(0) + "," + kCenterTel + ",x,x,x," + kConnectHex);  // unterminated
    EXPECT_EQ(CountDebug(CdmaLine(0, "")), 1);
    Sms(std::string("NOTADATE,") + kCenterTel + ",x,x,x,434F4E4E454354,x\r\n");
    EXPECT_EQ(CountDebugContaining("] = NOTADATE"), 1);
    std::snprintf(m_pDlg->m_szCdmaTelNumber, sizeof m_pDlg->m_szCdmaTelNumber, "%s", "CenterA");
    Sms(SmsLine(0, "CENTERa", kConnectHex));  // the sender compares without case
    EXPECT_EQ(DialerStarts(), 4u);
}

TEST_F(ModemTest, ReadsFromThePort) {
    OpenModem();
    ModemSays("$008:0 anything\r\n");
    EXPECT_EQ(m_pModem->Read(kAnswer.size()), kAnswer);
    EXPECT_EQ(CountDebug("MAKE SMS : S:13, D:AT$SMSMT=1?\r\n"), 1);
    const uint64_t nAt = m_pEnv->MonotonicMs();
    m_pDlg->RequestSmsRead();
    EXPECT_EQ(m_pEnv->MonotonicMs() - nAt, 10u) << "5 ms before and after a write to the modem";
    EXPECT_EQ(m_pModem->Read(kAnswer.size()), kAnswer);
    m_pEnv->SetModemSilent(true);  // a port whose write times out with nothing taken
    m_pDlg->RequestSmsRead();
    EXPECT_EQ(m_pEnv->MonotonicMs() - nAt, 20u) << "the same pauses";
    EXPECT_EQ(CountDebugContaining("WriteFile error!"), 0) << "nothing taken is no error";
    m_pEnv->SetModemSilent(false);
    // Exactly 30 bytes are ignored; 31 are read (and rejected for their sender).
    ModemSays("\r\n" + TimeDigits(0) + "," + std::string(12, '7') + ",");
    EXPECT_EQ(CountDebugContaining("SMS Center Tel Number"), 0);
    ModemSays("\r\n" + TimeDigits(0) + "," + std::string(13, '7') + ",");
    EXPECT_EQ(CountDebug("SMS Center Tel Number이 아님 : 7777777777777"), 1);
    // 700 bytes without a line end: one read of 512, then the rest.
    ModemSays(std::string(700, 'A'), 700);
    EXPECT_EQ(CountDebugContaining("[512]"), 1);
    m_pDlg->OnSerialReceive(188);
    EXPECT_EQ(CountDebugContaining("[188]"), 1);
    // A whole answer dials and gives the port to the dialer.
    m_pDlg->m_bLinkExpected = 0;
    ModemSays("\r\n" + SmsLine(2, kCenterTel, kConnectHex), 1);
    EXPECT_EQ(CountDebug(CdmaLine(2, "CONNECT")), 1);
    EXPECT_EQ(DialerStarts(), 1u);
    EXPECT_FALSE(PortOpen());
    EXPECT_EQ(CountDebugPrefix("Write SMS READ"), 3) << "the notice's and the two asked: none more";
    const int nReads = CountDebugPrefix("READ :");
    m_pDlg->OnSerialReceive(5);  // a late notice once the port is gone reads nothing
    EXPECT_EQ(CountDebugPrefix("READ :"), nReads);
    EXPECT_EQ(m_pModem->Read(0), "");
}

// Dialling gives the port up (after a pause, for good) and starts the dialer unless it
// runs; a missing dialer still expects the link. The hang-up ends the dialer with two
// WM_DESTROY 500 ms apart and takes the port back only once the dialer's window has gone:
// at once for a dialer that ends at the first message, through the serial thread for one
// that stays beyond the 3 s wait.
TEST_F(ModemTest, DiallingAndHangingUp) {
    m_pEnv->AddWindow(sib::kBrisketon);  // running: not started again; a signal station's period
    m_pDlg->m_nProgramKind = 1;
    m_pDlg->StartCdmaLink();
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 16000u);
    m_pEnv->RemoveWindow(sib::kBrisketon);
    m_pEnv->FailStartProgram(true);
    m_pDlg->m_bLinkExpected = 0;
    m_pDlg->StartCdmaLink();
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1) << "a missing dialer still expects the link";
    EXPECT_EQ(DialerStarts(), 0u);
    m_pEnv->FailStartProgram(false);
    m_pDlg->m_nProgramKind = 2;
    const std::string szStays =
        "MODEM: the dialer's window stays; the serial thread takes the port later";
    for (const bool bDialerEnds : {true, false}) {
        SCOPED_TRACE(bDialerEnds ? "the dialer ends" : "the dialer stays");
        OpenModem();
        m_pEnv->StartTimer(kTimerSerial, 1000);
        const uint64_t nBefore = m_pEnv->MonotonicMs();
        m_pDlg->m_bReopenPort = 1;  // a port lost earlier, wanted back until the dialer has it
        m_pDlg->StartCdmaLink();
        EXPECT_FALSE(PortOpen());
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerSerial), 0u);
        EXPECT_EQ(m_pEnv->MonotonicMs() - nBefore, 1000u) << "the pause before the dialer";
        EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 0) << "the serial thread must not take it back";
        ASSERT_EQ(DialerStarts(), bDialerEnds ? 1u : 2u);
        EXPECT_EQ(m_pEnv->StartedPrograms().back().szCommandLine,
                  "D:/QN64-ABRIX/Bin/Brisketon.exe");
        EXPECT_EQ(m_pEnv->StartedPrograms().back().nShow, 6);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
        EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
        m_pEnv->AddWindow(sib::kBrisketon);
        m_pEnv->SetWindowHandler(
            sib::kBrisketon, [&, bDialerEnds](uint32_t nMsg, uintptr_t, intptr_t) {
                EXPECT_FALSE(PortOpen()) << "the port while the dialer is there";
                if (nMsg == vplat::kMsgDestroy && bDialerEnds)
                    m_pEnv->RemoveWindow(sib::kBrisketon);
                return intptr_t{0};
            });
        m_pEnv->StartTimer(kTimerCdma, 1000);
        ResetRecords();
        m_pDlg->StopCdmaLink();
        EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 0);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 0u);
        EXPECT_EQ(m_pEnv->TimerPeriod(kTimerCdma), 0u);
        const std::vector<vplat::FakeMessage> got = m_pEnv->Messages();
        ASSERT_EQ(got.size(), bDialerEnds ? 1u : 2u);
        EXPECT_EQ(got[0].nMsg, 2u);
        EXPECT_EQ(m_pDlg->m_bComOpen.load(), bDialerEnds ? 1 : 0);
        EXPECT_EQ(CountDebug(szStays), bDialerEnds ? 0 : 1);
        EXPECT_EQ(ElapsedMs(), bDialerEnds ? 500u : 3500u) << "the gap, then the dialer's 3 s";
        if (bDialerEnds) {
            ModemSays("$008:0\r\n");
            EXPECT_EQ(m_pModem->Read(kAnswer.size()), kAnswer);
            m_pDlg->CloseSerialLink();
            continue;
        }
        EXPECT_EQ(got[1].nAtMs, got[0].nAtMs + 500);
        EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 1) << "still wanted back";
        StartThread();
        m_pEnv->RemoveWindow(sib::kBrisketon);
        ASSERT_TRUE(WaitFor([&] { return m_pDlg->m_bComOpen.load() == 1; }));
        m_pModem->Write("$008:0\r\n");
        EXPECT_EQ(m_pModem->Read(kAnswer.size()), kAnswer) << "the serial thread hears it";
    }
}

// At start-up the port is left to the dialer while the link is expected up or while the
// dialer's window exists; a device that cannot be opened goes on record and stays wanted
// back for the serial thread. A leased-line station ignores all of it.
TEST_F(ModemTest, PortAtStartUpAndOnALeasedLine) {
    PlugModem();
    const struct {
        int bLinkExpected;
        bool bDialerWindow;
    } kLeft[] = {{1, false}, {0, true}, {1, true}};
    for (const auto& c : kLeft) {
        m_pDlg->m_bLinkExpected = c.bLinkExpected;
        if (c.bDialerWindow) m_pEnv->AddWindow(sib::kBrisketon);
        m_pDlg->OpenModemPort();
        EXPECT_EQ(m_pDlg->m_bComOpen.load(), 0) << c.bLinkExpected << c.bDialerWindow;
        EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 0) << "not wanted back either";
        m_pEnv->RemoveWindow(sib::kBrisketon);
    }
    EXPECT_EQ(CountDebugPrefix("MODEM: 포트"), 0);
    m_pDlg->m_bLinkExpected = 0;
    std::snprintf(m_pDlg->m_szModemDevice, sizeof m_pDlg->m_szModemDevice, "%s",
                  Host("no-modem").c_str());
    m_pDlg->OpenModemPort();
    EXPECT_EQ(CountDebug("MODEM: 포트를 열 수 없음 [" + Host("no-modem") + "]"), 1);
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 1) << "the serial thread keeps trying";
    OpenModem();
    EXPECT_EQ(CountDebug("MODEM: 포트 열림 [" + Host("modem") + "]"), 1);
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 0);
    m_pDlg->m_nCenterCommKind = 0;
    m_pEnv->AddWindow(sib::kBrisketon);
    m_pEnv->StartTimer(kTimerCdma, 1000);
    m_pDlg->m_pConn[0].m_nLinkState = 1;
    ResetRecords();
    m_pDlg->StopCdmaLink();
    m_pEnv->RemoveWindow(sib::kBrisketon);
    m_pDlg->m_bLinkExpected = 0;
    m_pDlg->StartCdmaLink();
    ModemSays("$008:0\r\n", 8);
    EXPECT_TRUE(m_pEnv->DebugLines().empty()) << "not even the read or the answer";
    EXPECT_EQ(m_pModem->Read(0), "");
    EXPECT_TRUE(m_pEnv->Messages().empty());
    EXPECT_EQ(DialerStarts(), 0u);
    EXPECT_EQ(m_pDlg->m_pConn[0].m_nLinkState.load(), 1);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerCdma), 1000u);
    EXPECT_TRUE(PortOpen());
}

// A failed write reports the operating system's error code (the modem's side gone: EIO;
// no port: EBADF); the serial thread notices the loss, picks the modem up again once it
// is back, answers it and closes the port it leaves.
TEST_F(ModemTest, SerialErrorsAndTheThreadPicksAnUnpluggedModemUpAgain) {
    OpenModem();
    m_pModem->Unplug();
    EXPECT_EQ(m_pDlg->WriteSms("AT\r\n", 4), 1);
    EXPECT_EQ(CountDebug("[5]WriteFile error!"), 1);
    int nRead = -1;
    char buf[8];
    EXPECT_EQ(m_pDlg->ReadComm(vplat::SerialHandle{}, buf, sizeof buf, &nRead), 1);
    EXPECT_EQ(nRead, 0);
    EXPECT_EQ(CountDebug("[9]ReadFile error!"), 1);
    StartThread();
    ASSERT_TRUE(WaitFor([&] { return m_pDlg->m_bComOpen.load() == 0; }));
    EXPECT_TRUE(WaitFor(
        [&] { return CountDebug("MODEM: 포트 장치가 사라짐 [" + Host("modem") + "]") == 1; }));
    m_pWaits->m_nTimeOuts = 2;
    m_pModem->Plug();
    ASSERT_TRUE(WaitFor([&] { return m_pDlg->m_bComOpen.load() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return m_pWaits->m_nTimeOuts == 0; }));
    EXPECT_EQ(m_pWaits->m_timeOutsAt[1], m_pWaits->m_timeOutsAt[0]) << "no pause after a time-out";
    EXPECT_EQ(CountDebug("MODEM: 포트를 다시 열었음 [" + Host("modem") + "]"), 1);
    m_pModem->Write("$008:0\r\n");
    EXPECT_EQ(m_pModem->Read(kAnswer.size()), kAnswer);
    m_pDlg->m_hSerialStop->Set();
    m_thread.join();
    EXPECT_EQ(m_pDlg->m_bSerialRun.load(), 0);
    EXPECT_FALSE(PortOpen()) << "the thread closes the port it leaves";
}

}  // namespace
}  // namespace vtest
