// The SMS wake-up of a CDMA station: the time window (10 s old passes, 11 s does not),
// the sender check of normal operation, the decoding of the message and what dials;
// and, through a pseudo-terminal modem, the sorting of reads (notice -> AT command,
// exactly 30 bytes ignored, a whole answer dialling, oversized and broken input).
#include <string>

#include "modem/sms_parse.h"
#include "tests/unit/modem_fixture.h"

namespace modemtest {
namespace {

const char kConnectHex[] = "434F4E4E454354";

using SmsCheckTest = ModemTest;

TEST_F(SmsCheckTest, TenSecondsOldPassesElevenIsStale) {
    m_pDlg->m_bLinkExpected = 0;
    Sms(SmsLine(11, kCenterTel, kConnectHex));
    EXPECT_TRUE(HasLine("현재시간과 차이가 크다 [11] = " + TimeDigits(11)));
    EXPECT_FALSE(HasLineContaining("CDMA Control"));
    EXPECT_EQ(DialerStarts(), 0u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 0);

    Sms(SmsLine(10, kCenterTel, kConnectHex));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(10) + "] = CONNECT"));
    EXPECT_EQ(DialerStarts(), 1u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
}

TEST_F(SmsCheckTest, FutureTimePassesAndANonDateIsStale) {
    Sms(SmsLine(-3600, kCenterTel, "414243"));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(-3600) + "] = ABC"));

    m_pEnv->ClearDebugLines();
    Sms(std::string("NOTADATE,") + kCenterTel + ",x,x,x,434F4E4E454354,x\r\n");
    EXPECT_TRUE(HasLineContaining("현재시간과 차이가 크다 ["));
    EXPECT_TRUE(HasLineContaining("] = NOTADATE"));
    EXPECT_EQ(DialerStarts(), 0u);
}

TEST_F(SmsCheckTest, ForeignSenderRejectedInNormalOperationOnly) {
    Sms(SmsLine(0, "01099999999", kConnectHex));
    EXPECT_TRUE(HasLine("SMS Center Tel Number이 아님 : 01099999999"));
    EXPECT_FALSE(HasLineContaining("CDMA Control"));
    EXPECT_EQ(DialerStarts(), 0u);

    // A sender longer than 15 characters is cut to 15 and cannot match.
    m_pEnv->ClearDebugLines();
    Sms(SmsLine(0, std::string(kCenterTel) + "99999999", kConnectHex));
    EXPECT_TRUE(HasLine("SMS Center Tel Number이 아님 : 010123456789999"));
    EXPECT_EQ(DialerStarts(), 0u);

    m_pDlg->m_nOperationMode = 1;
    m_pEnv->ClearDebugLines();
    Sms(SmsLine(0, "01099999999", kConnectHex));
    EXPECT_FALSE(HasLineContaining("SMS Center Tel Number"));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = CONNECT"));
    EXPECT_EQ(DialerStarts(), 1u);
}

TEST_F(SmsCheckTest, SenderComparisonIgnoresCase) {
    std::snprintf(m_pDlg->m_szCdmaTelNumber, sizeof m_pDlg->m_szCdmaTelNumber, "%s", "CenterA");
    Sms(SmsLine(0, "CENTERa", kConnectHex));
    EXPECT_FALSE(HasLineContaining("SMS Center Tel Number"));
    EXPECT_EQ(DialerStarts(), 1u);
}

TEST_F(SmsCheckTest, ConnectInEitherCaseDials) {
    m_pDlg->m_bLinkExpected = 0;
    Sms(SmsLine(0, kCenterTel, "636F6E6E656374"));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = connect"));
    EXPECT_TRUE(HasLine("Create CDMA Modem - 센터에서 CONNECT 명령 수신 !!!"));
    ASSERT_EQ(DialerStarts(), 1u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 1);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerVolSend), 10000u);
}

TEST_F(SmsCheckTest, OtherTextsAreOnlyLogged) {
    m_pDlg->m_bLinkExpected = 0;
    Sms(SmsLine(0, kCenterTel, "414243"));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = ABC"));
    EXPECT_FALSE(HasLineContaining("Create CDMA Modem"));
    EXPECT_EQ(DialerStarts(), 0u);
    EXPECT_EQ(m_pDlg->m_bLinkExpected.load(), 0);

    // "CONNECTED" is not "CONNECT"; odd digits and non-hex characters decode as they come.
    Sms(SmsLine(0, kCenterTel, "434F4E4E45435445441"));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = CONNECTED"));
    Sms(SmsLine(0, kCenterTel, "4G4H"));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = PQ"));
    EXPECT_EQ(DialerStarts(), 0u);
}

TEST_F(SmsCheckTest, UnterminatedMessageFieldIsEmpty) {
    const std::string szLine = TimeDigits(0) + "," + kCenterTel + ",x,x,x," + kConnectHex;
    Sms(szLine);
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = "));
    EXPECT_EQ(DialerStarts(), 0u);
}

TEST_F(SmsCheckTest, SixtyFourPairsDecodeTo63Bytes) {
    std::string szHex;
    for (int i = 0; i < 64; ++i) szHex += "41";
    Sms(SmsLine(0, kCenterTel, szHex));
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(0) + "] = " + std::string(63, 'A')));
}

// ---- reads from the port ----

using SerialReceiveTest = ModemTest;

TEST_F(SerialReceiveTest, NoticeWritesTheAtCommandOnly) {
    OpenModem();
    ModemSays("$008:0 anything\r\n");
    m_pDlg->OnSerialReceive(17);
    const std::string szSent = m_pModem->Read(64, 300);
    EXPECT_EQ(szSent, "AT$SMSMT=1?\r\n");
    EXPECT_EQ(szSent.size(), 13u);
    EXPECT_TRUE(HasLine("MAKE SMS : S:13, D:AT$SMSMT=1?\r\n"));
    EXPECT_EQ(DialerStarts(), 0u);
}

TEST_F(SerialReceiveTest, ExactlyThirtyBytesAreIgnoredThirtyOneAreRead) {
    OpenModem();
    // Were it read, this line would be rejected for its sender, with a log line.
    const std::string sz30 = "\r\n" + TimeDigits(0) + "," + std::string(12, '7') + ",";
    ASSERT_EQ(sz30.size(), 30u);
    ModemSays(sz30);
    m_pDlg->OnSerialReceive(30);
    EXPECT_TRUE(HasLineContaining("READ :"));
    EXPECT_FALSE(HasLineContaining("CDMA Control"));
    EXPECT_FALSE(HasLineContaining("현재시간"));
    EXPECT_FALSE(HasLineContaining("SMS Center Tel Number"));
    EXPECT_EQ(m_pModem->Read(1, 50), "");

    const std::string sz31 = "\r\n" + TimeDigits(0) + "," + std::string(13, '7') + ",";
    ModemSays(sz31);
    m_pDlg->OnSerialReceive(31);
    EXPECT_TRUE(HasLine("SMS Center Tel Number이 아님 : 7777777777777"));
}

TEST_F(SerialReceiveTest, AnswerThroughThePortDials) {
    OpenModem();
    m_pDlg->m_bLinkExpected = 0;
    ModemSays("\r\n" + SmsLine(2, kCenterTel, kConnectHex));
    m_pDlg->OnSerialReceive(1);
    EXPECT_TRUE(HasLine("CDMA Control [" + TimeDigits(2) + "] = CONNECT"));
    ASSERT_EQ(DialerStarts(), 1u);
    // The dialer was given the port.
    EXPECT_EQ(m_pDlg->m_bComOpen.load(), 0);
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
}

TEST_F(SerialReceiveTest, OversizedAndLineEndlessReadsStayBounded) {
    OpenModem();
    // 700 bytes without CR or LF: one read of 512, then the rest.
    ModemSays(std::string(700, 'A'));
    m_pDlg->OnSerialReceive(700);
    EXPECT_TRUE(HasLineContaining("[512]"));
    m_pDlg->OnSerialReceive(188);
    EXPECT_TRUE(HasLineContaining("[188]"));
    // Commas only, then a long run of digits in every field: nothing dials.
    ModemSays(std::string(512, ','));
    m_pDlg->OnSerialReceive(512);
    ModemSays("\r\n" + std::string(100, '9') + "," + std::string(100, '8') + ",x,x,x," +
              std::string(300, 'F') + ",x\r\n");
    m_pDlg->OnSerialReceive(512);
    EXPECT_EQ(DialerStarts(), 0u);
}

TEST_F(SerialReceiveTest, NothingWithoutAPortOrOnALeasedLine) {
    EXPECT_EQ(m_pDlg->WriteSms("AT\r\n", 4), 0);
    m_pDlg->OnSerialReceive(10);  // no port: nothing read, nothing logged
    EXPECT_FALSE(HasLineContaining("READ :"));

    OpenModem();
    EXPECT_EQ(m_pDlg->WriteSms("AT\r\n", 0), 0);
    EXPECT_EQ(m_pDlg->WriteSms("AT\r\n", 4), 1);
    EXPECT_EQ(m_pModem->Read(4, 300), "AT\r\n");

    m_pDlg->m_nCenterCommKind = 0;
    ModemSays("$008:0\r\n");
    m_pDlg->OnSerialReceive(8);
    m_pDlg->RequestSmsRead();
    EXPECT_EQ(m_pModem->Read(1, 50), "");
    EXPECT_FALSE(HasLineContaining("MAKE SMS"));
}

}  // namespace
}  // namespace modemtest
