// The running log: today's system log file under opcode 68, its preconditions, the busy
// rule's log limit with timer 25, completion and resend requests.
#include <iterator>

#include "tests/unit/transfer_fixture.h"

namespace transfer_test {
namespace {

class RunLogTest : public TransferTest {
  protected:
    static constexpr const char* kLogRel = "d/System_Log/2024/20240305.ABCDE";
    void PutLog(size_t nSize) {
        std::vector<uint8_t> text(nSize, 'L');
        PutFile(kLogRel, text);
    }
    // Size of the log as it was read: the "Make LOG File" line is appended to the very file
    // just before the read, so the log then ended after that line's CR LF.
    int SizeAsRead(size_t nWritten) const {
        std::ifstream in(Host(kLogRel), std::ios::binary);
        const std::string szAll((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        const size_t nEnd = szAll.find("\r\n", nWritten);
        EXPECT_NE(szAll.find("MGR_PC: Make LOG File : 20240305.ABCDE", nWritten),
                  std::string::npos);
        return static_cast<int>(nEnd == std::string::npos ? nWritten : nEnd + 2);
    }
    void LogReply(int nPacket, uint8_t nStatus) {
        m_pSession->OnLogReply(OP_RUN_LOG, 0, Reply(OP_RUN_LOG, nPacket, nStatus).data());
    }
};

TEST_F(RunLogTest, TodaysLogGoesUnderItsDateNameInFourPackets) {
    PutLog(6001);
    m_pDlg->StartTimer(kTimerRunLog, 33000);
    m_pSession->SendRunningLog(0);
    const int nSize = SizeAsRead(6001);
    ASSERT_LT(nSize, 9000);  // the appended line keeps it at four packets

    SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 68);
    char szDigits[8];
    std::snprintf(szDigits, sizeof szDigits, "%07d", nSize);
    EXPECT_EQ(info.DataText(), std::string(szDigits) + "20240305.ABCDE");
    EXPECT_EQ(m_pSession->m_nLogTotalPacket, 4);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_RUN_LOG);
    EXPECT_EQ(CountDebug("MGR_PC: Make LOG File : 20240305.ABCDE[0]"), 1);
    EXPECT_EQ(CountDebug("MGR_PC: Make LOG Total Packet : 4/" + std::to_string(nSize)), 1);

    std::vector<int> lengths;
    for (int k = 0; k < 3; ++k) {
        LogReply(k, PACKET_OK);
        SentFrame f = TakeOne();
        EXPECT_EQ(f.PacketNo(), k + 1);
        lengths.push_back(f.DataLength());
    }
    EXPECT_EQ(lengths, (std::vector<int>{3000, 3000, nSize - 6000}));
    EXPECT_EQ(Control(IDC_SEND_BOX), "68-99");

    LogReply(3, PACKET_OK);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pDlg->m_bLogSentToday, 1);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    EXPECT_EQ(CountDebug("MGR_PC: Send Running LOG OK !!"), 1);
    EXPECT_TRUE(Exists(kLogRel));  // the log stays
}

TEST_F(RunLogTest, ShortLogIsNotSent) {
    PutLog(10);
    m_pSession->SendRunningLog(0);
    const int nSize = SizeAsRead(10);
    ASSERT_LT(nSize, 100);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: Make LOG File Read ERROR : 20240305.ABCDE[" +
                         std::to_string(nSize) + "]"),
              1);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
}

TEST_F(RunLogTest, NothingWithoutFileSharedMemoryOrLink) {
    m_pSession->SendRunningLog(0);  // no log today
    PutLog(500);
    m_pDlg->m_bMmfOpen = 0;
    m_pSession->SendRunningLog(0);
    m_pDlg->m_bMmfOpen = 1;
    m_pDlg->m_pConn[0].m_nLinkState = 0;
    m_pSession->SendRunningLog(0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebugPrefix("MGR_PC: Make LOG"), 0);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
}

TEST_F(RunLogTest, StationTextThatIsNoFileNameIsRefused) {
    std::memcpy(m_local.data(), "../x\0", 5);
    m_pSession->SendRunningLog(0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebugPrefix("MGR_PC: Make LOG"), 0);
}

TEST_F(RunLogTest, RequestDuringAViolationTransferOnlyCounts) {
    PutLog(500);
    m_pSession->m_nSendKind = SEND_VOL;
    m_pSession->sendRetryCenter = 2;
    m_pSession->SendRunningLog(0);
    EXPECT_EQ(m_pSession->sendRetryCenter, 3);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
}

TEST_F(RunLogTest, BusyAboveThreeEndsTheStaleTransferAndStopsTheTimer) {
    PutLog(500);
    m_pDlg->StartTimer(kTimerRunLog, 33000);
    m_pSession->m_nSendKind = SEND_CAR_IMAGE;
    for (int i = 1; i <= 4; ++i) m_pSession->SendRunningLog(0);
    EXPECT_EQ(m_pSession->sendRetryCenter, 4);
    EXPECT_NE(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    m_pSession->SendRunningLog(0);  // above 3: ends the stale one, sends nothing now
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    EXPECT_TRUE(TakeFrames().empty());
    m_pSession->SendRunningLog(0);  // the Manager PC may still ask
    EXPECT_EQ(TakeFrames().size(), 1u);
}

TEST_F(RunLogTest, TwoResendsThenFrozenAndOtherKindsRepliesIgnored) {
    PutLog(7000);
    m_pSession->SendRunningLog(0);
    TakeFrames();
    LogReply(0, PACKET_OK);
    EXPECT_EQ(TakeOne().PacketNo(), 1);
    LogReply(1, ERROR_RESEND);
    EXPECT_EQ(TakeOne().PacketNo(), 1);
    LogReply(1, ERROR_RESEND);
    EXPECT_EQ(TakeOne().PacketNo(), 1);
    EXPECT_EQ(CountDebug("MGR_PC: LOG ERROR_RESEND= 1"), 2);
    LogReply(1, ERROR_RESEND);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_RUN_LOG);

    m_pSession->m_nSendKind = SEND_VOL;  // a violation file became current
    LogReply(1, PACKET_OK);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
}

}  // namespace
}  // namespace transfer_test
