// The command dispatcher: acceptance (checksum with its wrapping error counter, station ID
// in any letter case), the code arithmetic modulo 256, the routing of the codes that are a
// command or a reply depending on their data, the codes that act in the dispatcher itself,
// and the bounds of the received frame.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class DispatcherTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        MakeLinkedDialog();
    }
    void Feed(const std::vector<uint8_t>& f) {
        m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
    }
};

TEST_F(DispatcherTest, CodeArithmeticAndBookkeeping) {
    // The code is 10 * (c1 - '0') + (c2 - '0') taken modulo 256 at each step.
    const std::pair<std::string, const char*> kCodes[] = {
        {"9:", "100-0"}, {"00", "00-0"}, {"\x01\x01", "251-0"}, {"66", "66-0"}, {"99", "99-0"}};
    int nFrames = 0;
    for (const auto& [szCode, szShown] : kCodes) {
        SCOPED_TRACE(szShown);
        Feed(MakeFrame(szCode, {}));
        EXPECT_EQ(Control(IDC_RECV_BOX), szShown);
        EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), ++nFrames);
    }
    EXPECT_TRUE(TakeFrames().empty()) << "codes with no handler are only counted";
    Feed(MakeFrame("59", {}));  // the short status request is answered
    const SentFrame f = TakeOne();
    EXPECT_EQ(f.Opcode(), 59);
    EXPECT_EQ(f.DataLength(), 24);
    EXPECT_EQ(CountDebugContaining("TcpMessageRecvFromCenter 59 0 "), 1);
}

TEST_F(DispatcherTest, ImageCodesTellTriggerFromReply) {
    const struct {
        std::vector<uint8_t> data;
        int nKindAfter;
        const char* szSendBox;
    } kCases[] = {
        {Bytes("1"), SEND_NONE, ""},              // one digit: a trigger ends the transfer
        {{0x01}, SEND_ROAD_IMAGE, "52-99"},       // a raw status byte: a reply
        {Bytes("11"), SEND_ROAD_IMAGE, "52-99"},  // two bytes: always a reply
    };
    for (const auto& c : kCases) {
        m_pSession->m_nSendKind = SEND_ROAD_IMAGE;
        m_pSession->m_nImageTotalPacket = 3;
        m_pSession->m_nImagePacketInFlight = 1;
        m_pDlg->SetItemText(IDC_SEND_BOX, "");
        Feed(MakeFrame("52", c.data, "ABCDE", 1));
        EXPECT_EQ(m_pSession->m_nSendKind.load(), c.nKindAfter) << c.data.size();
        EXPECT_EQ(Control(IDC_SEND_BOX), c.szSendBox) << c.data.size();
    }
}

TEST_F(DispatcherTest, RunningLogRequestOnlyWithCapitalL) {
    m_pSession->m_nSendKind = SEND_RUN_LOG;
    m_pSession->m_nLogTotalPacket = 3;
    m_pSession->m_nLogPacketInFlight = 0;
    Feed(MakeFrame("68", Bytes("L")));  // a request: the busy rule counts it
    EXPECT_EQ(m_pSession->sendRetryCenter.load(), 1);
    Feed(MakeFrame("68", Bytes("l")));  // handled as a reply
    EXPECT_EQ(m_pSession->sendRetryCenter.load(), 1);
    EXPECT_EQ(Control(IDC_SEND_BOX), "68-99");
}

TEST_F(DispatcherTest, SwitchUpdateAndHangUpCodes) {
    const std::pair<const char*, int> kSwitch[] = {{"1", 1}, {"0", 0}, {"A", 17}};
    for (const auto& [szData, nValue] : kSwitch) {
        Feed(MakeFrame("71", Bytes(szData)));
        EXPECT_EQ(m_pDlg->m_bSendEnable.load(), nValue) << szData;
    }
    EXPECT_EQ(CountDebugContaining("MGR_PC: 위반 화일 전송 / 중지 = 17"), 1);
    m_pDlg->m_bSendEnable = 0;
    Feed(MakeFrame("72", Bytes("1")));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    Feed(MakeFrame("79", {}));
    EXPECT_EQ(m_pDlg->m_bUpdateRunning.load(), 1);
    Feed(MakeFrame("78", {}));  // a leased line does not hang up
    EXPECT_EQ(Link().m_nLinkState.load(), 1);
    m_pDlg->m_nCenterCommKind = 1;
    Feed(MakeFrame("78", {}));
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
}

TEST_F(DispatcherTest, BadChecksumIsCountedWithWrapAndDropped) {
    m_pDlg->SetItemText(IDC_RECV_BOX, "box");
    Feed(MakeFrame("59", {}, "ABCDE", 0, /*bBadCrc=*/true));
    EXPECT_EQ(Control(IDC_RECV_BOX), "box");
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 0);
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "1");
    EXPECT_TRUE(TakeFrames().empty());
    m_pDlg->m_nCrcErrors = 9998;
    Feed(MakeFrame("59", {}, "ABCDE", 0, true));
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "9999");
    Feed(MakeFrame("59", {}, "ABCDE", 0, true));
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "0");
}

TEST_F(DispatcherTest, StationIdIsComparedWithoutCase) {
    Feed(MakeFrame("59", {}, "abcDe"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    Feed(MakeFrame("59", {}, "ABCDF"));  // another station: dropped without trace
    Feed(MakeFrame("59", {}, "ABCD"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    EXPECT_EQ(m_pDlg->m_nCrcErrors.load(), 0);
    std::snprintf(Link().m_szLocalId, sizeof Link().m_szLocalId, "%s", "ABCDEF");
    Feed(MakeFrame("59", {}, "ABCDE"));  // an ID longer than five never matches
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
}

TEST_F(DispatcherTest, ReceivedFrameIsBoundedToWhatArrived) {
    uint8_t* pRecv = m_pSession->m_pRecvFrame.get();
    std::memset(pRecv, 0xEE, kFrameBufSize);
    const std::vector<uint8_t> f = MakeFrame("66", Bytes("xy"));
    ASSERT_TRUE(m_pDlg->ValidateFrame(f.data(), static_cast<int>(f.size()), 0));
    // Header and data are kept; the checksum and the trailer are never data.
    EXPECT_EQ(0, std::memcmp(pRecv, f.data(), f.size() - 6));
    for (int k = static_cast<int>(f.size()) - 6; k < kFrameBufSize; ++k) ASSERT_EQ(pRecv[k], 0) << k;
    std::vector<uint8_t> big(kFrameBufSize + 1, 0);
    EXPECT_FALSE(m_pDlg->ValidateFrame(big.data(), kFrameBufSize + 1, 0));
    // The header claims 14 data bytes (a clock setting) but none came: the handler is told
    // 14 and reads zeros, so it is a clock setting with a text that is no time: no report,
    // no clock change.
    std::vector<uint8_t> g = MakeFrame("57", {});
    std::memcpy(&g[13], "0000014", 7);
    const uint32_t nCrc = ComputeCrc32(&g[2], 28);
    for (int k = 0; k < 4; ++k) g[30 + k] = static_cast<uint8_t>(nCrc >> (8 * k));
    Feed(g);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_FALSE(m_pEnv->ClockWasSet());
    EXPECT_EQ(CountDebugContaining("not a valid time, clock unchanged"), 1);
    EXPECT_EQ(Control(IDC_RECV_BOX), "57-14");
}

}  // namespace
}  // namespace vtest
