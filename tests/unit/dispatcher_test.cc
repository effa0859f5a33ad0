// The command dispatcher: acceptance (checksum with its wrapping counter, station ID in
// any letter case), the code arithmetic, the routing of the codes that are a command or a
// reply depending on their data, the codes that act in the dispatcher itself, and the
// receive bookkeeping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/link_fixture.h"

namespace link_test {
namespace {

class DispatcherTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        m_local.assign(4096, 0);
        std::memcpy(m_local.data(), "ABCDE", 5);
        m_pDlg->m_pLocalStatus = m_local.data();
        m_pDlg->m_bMmfOpen = 1;
        Link().m_nLinkState = 1;
    }
    void Feed(const std::vector<uint8_t>& f) {
        m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
    }
    std::vector<std::vector<uint8_t>> Sent() { return m_pDlg->TakeQueuedFrames(0); }
    static std::string CodeOf(const std::vector<uint8_t>& f) {
        return {f.begin() + 11, f.begin() + 13};
    }

    std::vector<uint8_t> m_local;
};

TEST_F(DispatcherTest, ShortStatusRequestIsAnsweredAndCounted) {
    Feed(MakeFrame("59", {}));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(CodeOf(sent[0]), "59");
    EXPECT_EQ(sent[0].size(), 36u + 24u);
    EXPECT_EQ(Control(IDC_RECV_BOX), "59-0");
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    EXPECT_EQ(m_pDlg->m_nFramesIn.load(), 1);
    EXPECT_EQ(CountLines("TcpMessageRecvFromCenter 59 0 "), 1);
}

TEST_F(DispatcherTest, CodeIsComputedModulo256) {
    Feed(MakeFrame("9:", {}));
    EXPECT_EQ(Control(IDC_RECV_BOX), "100-0");
    Feed(MakeFrame("00", {}));
    EXPECT_EQ(Control(IDC_RECV_BOX), "00-0");
    Feed(MakeFrame("5:", Bytes("1")));  // lands on 60
    EXPECT_EQ(Control(IDC_RECV_BOX), "60-1");
    Feed(MakeFrame("\x01\x01", {}));  // 10 * (1 - 48) + (1 - 48), each step mod 256
    EXPECT_EQ(Control(IDC_RECV_BOX), "251-0");
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 4);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(DispatcherTest, ImageCodesTellTriggerFromReply) {
    // A road image in transfer: a trigger ends it, a reply keeps it marked.
    auto Prime = [&] {
        m_pSession->m_nSendKind = SEND_ROAD_IMAGE;
        m_pSession->m_nImageTotalPacket = 3;
        m_pSession->m_nImagePacketInFlight = 1;
        m_pDlg->SetItemText(IDC_SEND_BOX, "");
    };
    Prime();
    Feed(MakeFrame("52", Bytes("1")));  // one digit: a trigger command
    EXPECT_EQ(m_pSession->m_nSendKind.load(), SEND_NONE);
    EXPECT_EQ(Control(IDC_SEND_BOX), "");
    Prime();
    Feed(MakeFrame("52", {0x01}, "ABCDE", 1));  // raw status byte: a reply
    EXPECT_EQ(m_pSession->m_nSendKind.load(), SEND_ROAD_IMAGE);
    EXPECT_EQ(Control(IDC_SEND_BOX), "52-99");
    Prime();
    Feed(MakeFrame("52", Bytes("11"), "ABCDE", 1));  // two bytes: always a reply
    EXPECT_EQ(m_pSession->m_nSendKind.load(), SEND_ROAD_IMAGE);
    EXPECT_EQ(Control(IDC_SEND_BOX), "52-99");
    EXPECT_EQ(Control(IDC_RECV_BOX), "52-2");
}

TEST_F(DispatcherTest, RunningLogRequestOnlyWithCapitalL) {
    m_pSession->m_nSendKind = SEND_RUN_LOG;  // a log transfer is current
    m_pSession->m_nLogTotalPacket = 3;
    m_pSession->m_nLogPacketInFlight = 0;
    Feed(MakeFrame("68", Bytes("L")));  // a request: the busy rule counts it
    EXPECT_EQ(m_pSession->sendRetryCenter.load(), 1);
    EXPECT_NE(Control(IDC_SEND_BOX), "68-99");
    Feed(MakeFrame("68", Bytes("l")));  // handled as a reply
    EXPECT_EQ(m_pSession->sendRetryCenter.load(), 1);
    EXPECT_EQ(Control(IDC_SEND_BOX), "68-99");
}

TEST_F(DispatcherTest, SendSwitchTakesTheDigitValue) {
    Feed(MakeFrame("71", Bytes("1")));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    Feed(MakeFrame("71", Bytes("0")));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 0);
    Feed(MakeFrame("71", Bytes("A")));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 17);
    EXPECT_EQ(CountLines("MGR_PC: 위반 화일 전송 / 중지 = 17"), 1);
    EXPECT_EQ(CountLines("MGR_PC: 위반 화일 전송 / 중지 = 0"), 1);
}

TEST_F(DispatcherTest, TargetChangeAndUpdateSetTheirFlags) {
    m_pDlg->m_bSendEnable = 0;
    Feed(MakeFrame("72", Bytes("1")));
    EXPECT_EQ(m_pDlg->m_bSendEnable.load(), 1);
    Feed(MakeFrame("79", {}));
    EXPECT_EQ(m_pDlg->m_bUpdateRunning.load(), 1);
}

TEST_F(DispatcherTest, HangUpOnlyOnACdmaLine) {
    Feed(MakeFrame("78", {}));  // leased line: bookkeeping only
    EXPECT_EQ(Link().m_nLinkState.load(), 1);
    EXPECT_EQ(Control(IDC_RECV_BOX), "78-0");
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    m_pDlg->m_nCenterCommKind = 1;
    Feed(MakeFrame("78", {}));
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
}

TEST_F(DispatcherTest, UnroutedCodesAreOnlyCounted) {
    for (const char* szCode : {"66", "70", "77", "99"}) Feed(MakeFrame(szCode, Bytes("1")));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 4);
    EXPECT_EQ(Control(IDC_RECV_BOX), "99-1");
    EXPECT_TRUE(Sent().empty());
}

TEST_F(DispatcherTest, BadChecksumIsCountedAndDropped) {
    m_pDlg->SetItemText(IDC_RECV_BOX, "box");
    Feed(MakeFrame("59", {}, "ABCDE", 0, /*bBadCrc=*/true));
    EXPECT_EQ(Control(IDC_RECV_BOX), "box");
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 0);
    EXPECT_EQ(m_pDlg->m_nCrcErrors.load(), 1);
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "1");
    EXPECT_TRUE(Sent().empty());

    m_pDlg->m_nCrcErrors = 9998;
    Feed(MakeFrame("59", {}, "ABCDE", 0, true));
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "9999");
    Feed(MakeFrame("59", {}, "ABCDE", 0, true));
    EXPECT_EQ(m_pDlg->m_nCrcErrors.load(), 0);
    EXPECT_EQ(Control(IDC_CRC_ERRORS), "0");
}

TEST_F(DispatcherTest, StationIdIsComparedWithoutCase) {
    Feed(MakeFrame("59", {}, "abcDe"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    Feed(MakeFrame("59", {}, "ABCDF"));  // another station: dropped without trace
    Feed(MakeFrame("59", {}, "ABCD"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
    EXPECT_EQ(m_pDlg->m_nCrcErrors.load(), 0);
    std::strcpy(Link().m_szLocalId, "ABCDEF");  // an ID longer than five never matches
    Feed(MakeFrame("59", {}, "ABCDE"));
    EXPECT_EQ(m_pDlg->m_nRecvFrames.load(), 1);
}

TEST_F(DispatcherTest, ReceivedFrameIsCopiedAndTheRestCleared) {
    uint8_t* pRecv = m_pSession->m_pRecvFrame.get();
    std::memset(pRecv, 0xEE, kFrameBufSize);
    const std::vector<uint8_t> f = MakeFrame("66", Bytes("xy"));
    ASSERT_TRUE(m_pDlg->ValidateFrame(f.data(), static_cast<int>(f.size()), 0));
    EXPECT_EQ(0, std::memcmp(pRecv, f.data(), f.size()));
    for (int k = static_cast<int>(f.size()); k < kFrameBufSize; ++k) ASSERT_EQ(pRecv[k], 0) << k;
    std::vector<uint8_t> big(kFrameBufSize + 1, 0);
    EXPECT_FALSE(m_pDlg->ValidateFrame(big.data(), kFrameBufSize + 1, 0));
}

TEST_F(DispatcherTest, HandlersNeverSeeDataThatDidNotArrive) {
    // The header claims 14 data bytes (a clock setting) but the frame carries none: the
    // handler sees no data and answers with the time report.
    std::vector<uint8_t> f = MakeFrame("57", {});
    std::memcpy(&f[13], "0000014", 7);
    const uint32_t nCrc = ComputeCrc32(&f[2], 28);
    for (int k = 0; k < 4; ++k) f[30 + k] = static_cast<uint8_t>(nCrc >> (8 * k));
    Feed(f);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(CodeOf(sent[0]), "57");
    EXPECT_EQ(sent[0].size(), 36u + 19u);
    EXPECT_EQ(Control(IDC_RECV_BOX), "57-14");  // the header's length is what is shown
}

TEST_F(DispatcherTest, FrameCodeBoxesAndNames) {
    m_pDlg->ShowFrameCode(0, 55, 843);
    EXPECT_EQ(Control(IDC_SEND_BOX), "55-843");
    m_pDlg->ShowFrameCode(1, 5, 0);
    EXPECT_EQ(Control(IDC_RECV_BOX), "05-0");
    EXPECT_STREQ(CenterOpcodeName(57), "OP_TIME");
    EXPECT_STREQ(CenterOpcodeName(66), "OP_OPER");
    EXPECT_STREQ(CenterOpcodeName(79), "OP_PROGRAM_UPDATE");
    EXPECT_EQ(CenterOpcodeName(70), nullptr);
    EXPECT_EQ(CenterOpcodeName(0), nullptr);
}

}  // namespace
}  // namespace link_test
