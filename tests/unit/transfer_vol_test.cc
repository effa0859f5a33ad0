// Violation files: the timer tick and its busy and pause rules, the double read, the
// packets under opcode 51, deletion after the last acknowledgement, resend requests and
// refusals up to the move into "d:/delete_img", and the safety rules around deleting.
#include <thread>

#include "tests/unit/transfer_fixture.h"

namespace transfer_test {
namespace {

class VolTest : public TransferTest {
  protected:
    void Tick() { m_pSession->SendViolationFile(); }
    // Acknowledges every packet from the one in flight to the last.
    void AckAll() {
        const int nTotal = m_pSession->m_nVolTotalPacket;
        for (int k = 0; k < nTotal; ++k) {
            VolReply(k, PACKET_OK);
            TakeFrames();
        }
    }
};

TEST_F(VolTest, FiveThousandBytesGoInThreePacketsAndTheFileIsDeleted) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 51);
    EXPECT_EQ(info.PacketNo(), 0);
    EXPECT_EQ(info.DataLength(), 17);
    EXPECT_EQ(info.DataText(), "00050001000.ABCDE");
    EXPECT_EQ(m_pSession->m_nVolTotalPacket, 3);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
    EXPECT_EQ(Control(IDC_VOL_TOTAL), "[3]");
    EXPECT_EQ(Control(IDC_SEND_BOX), "51-17");
    EXPECT_STREQ(m_pSession->m_szVolFileName, "1000.ABCDE");

    const std::vector<uint8_t> file = Pattern(5000);
    VolReply(0, PACKET_OK);
    SentFrame p1 = TakeOne();
    EXPECT_EQ(p1.PacketNo(), 1);
    EXPECT_EQ(p1.DataLength(), 3000);
    EXPECT_TRUE(p1.DataEquals(file.data(), 3000));
    EXPECT_EQ(Control(IDC_SEND_BOX), "101-0");
    VolReply(1, PACKET_OK);
    SentFrame p2 = TakeOne();
    EXPECT_EQ(p2.PacketNo(), 2);
    EXPECT_EQ(p2.DataLength(), 2000);
    EXPECT_TRUE(p2.DataEquals(file.data() + 3000, 2000));
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));

    VolReply(2, PACKET_OK);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(Control(IDC_VOL_SENT), "1");
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pSession->m_nVolTotalPacket, 0);
    EXPECT_STREQ(m_pSession->m_szVolFileName, "");
    // Bytes 7 to 42 of the file go on record as text (up to the first zero byte).
    const std::string szText(file.begin() + 7, file.begin() + 43);
    EXPECT_EQ(CountDebug("Send MGR_PC[1000.ABCDE] : " + szText.substr(0, szText.find('\0'))), 1);
}

TEST_F(VolTest, OperationModeOtherThanNormalWritesNoSentLine) {
    m_pDlg->m_nOperationMode = 1;
    PutVol("1000.ABCDE", 100);
    Tick();
    AckAll();
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(CountDebugPrefix("Send MGR_PC["), 0);
}

TEST_F(VolTest, OldestNumberGoesFirst) {
    PutVol("1000.ABCDE", 10);
    PutVol("999.ABCDE", 10);
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "0000010999.ABCDE");
    AckAll();
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "00000101000.ABCDE");
    AckAll();
    EXPECT_EQ(Control(IDC_VOL_SENT), "2");
}

TEST_F(VolTest, SixResendRequestsMoveTheFileAside) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    TakeFrames();
    VolReply(0, PACKET_OK);
    TakeFrames();  // packet 1 in flight
    for (int i = 1; i <= 5; ++i) {
        VolReply(1, ERROR_RESEND);
        EXPECT_EQ(TakeOne().PacketNo(), 1) << i;
        EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL) << i;
    }
    EXPECT_EQ(CountDebugPrefix("MGR_PC: PACKET_SEND_RETRY= Retry:"), 3);
    EXPECT_EQ(CountDebug("MGR_PC: PACKET_SEND_RETRY= Retry:3"), 1);
    EXPECT_EQ(CountDebug("MGR_PC: VOL ERROR_RESEND= PackNo:1"), 5);
    VolReply(1, ERROR_RESEND);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1);
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    ASSERT_TRUE(Exists("d/delete_img/1000.ABCDE"));
    EXPECT_EQ(fs::file_size(Host("d/delete_img/1000.ABCDE")), 5000u);
    EXPECT_EQ(m_pSession->m_nVolMovedCount, 1);
    EXPECT_EQ(m_pSession->m_nResendCount, 0);
    EXPECT_EQ(m_pSession->m_nRetryRound, 0);
}

TEST_F(VolTest, FourthRefusalMovesTheFileAndNamesIt) {
    PutVol("1000.ABCDE", 5000);
    for (int nAttempt = 1; nAttempt <= 4; ++nAttempt) {
        Tick();
        SentFrame info = TakeOne();
        EXPECT_EQ(info.PacketNo(), 0) << nAttempt;  // each attempt starts from the info packet
        VolReply(0, ERROR_FILE);
        EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
        EXPECT_EQ(Exists("d/ENF_IMG/1000.ABCDE"), nAttempt < 4) << nAttempt;
    }
    EXPECT_EQ(CountDebug("MGR_PC: VOL ERROR_FILE= File:1000.ABCDE"), 4);
    EXPECT_TRUE(Exists("d/delete_img/1000.ABCDE"));
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
}

TEST_F(VolTest, GiveUpNeverDeletesWhenTheCopyFailed) {
    PutFile("d/delete_img", {'x'});  // a plain file where the directory should be
    PutVol("1000.ABCDE", 5000);
    for (int nAttempt = 1; nAttempt <= 4; ++nAttempt) {
        Tick();
        TakeFrames();
        VolReply(0, ERROR_FILE);
    }
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(m_pSession->m_nVolMovedCount, 0);
    Tick();  // counters start afresh and the file goes again
    EXPECT_EQ(TakeOne().DataText(), "00050001000.ABCDE");
}

TEST_F(VolTest, TwelfthBusyTickClearsAndRestarts) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    TakeFrames();  // the Manager PC falls silent
    for (int i = 1; i <= 11; ++i) {
        Tick();
        EXPECT_TRUE(TakeFrames().empty()) << i;
        EXPECT_EQ(m_pSession->sendRetryCenter, i);
    }
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "00050001000.ABCDE");
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
    EXPECT_EQ(CountDebug("sendRetryCenter 초과로 clear ....."), 1);
}

TEST_F(VolTest, LinkDownTickClearsTheCounters) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    TakeFrames();
    m_pSession->m_nResendCount = 2;
    m_pSession->m_nRetryRound = 1;
    m_pDlg->m_pConn[0].m_nLinkState = 2;
    Tick();  // the info packet of the new attempt is refused by the queue
    EXPECT_EQ(m_pSession->m_nResendCount, 0);
    EXPECT_EQ(m_pSession->m_nRetryRound, 0);
    EXPECT_EQ(CountDebug("위반화일 전송 : 통신 개통이 안되었다..."), 1);
    EXPECT_TRUE(TakeFrames().empty());
    VolReply(0, PACKET_OK);  // a reply while the link is down is ignored
    EXPECT_EQ(m_pSession->m_nVolPacketInFlight, 0);
}

TEST_F(VolTest, RepliesAreJudgedAgainstTheCurrentTransferOnly) {
    PutVol("1000.ABCDE", 5000);  // total 3
    Tick();
    TakeFrames();
    m_pSession->m_nSendKind = SEND_ROAD_IMAGE;
    VolReply(0, PACKET_OK);  // while an image is current
    EXPECT_TRUE(TakeFrames().empty());
    m_pSession->m_nSendKind = SEND_VOL;
    VolReply(3, PACKET_OK);  // beyond the total
    VolReply(2, PACKET_OK);  // the last packet, but packet 0 is in flight
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(m_pSession->m_nVolSentCount, 0);
}

TEST_F(VolTest, LateAckOfAnAbandonedTransferCannotDeleteTheNextFile) {
    PutVol("1000.ABCDE", 12000);  // total 5
    Tick();
    TakeFrames();
    VolReply(0, PACKET_OK);
    VolReply(1, PACKET_OK);
    TakeFrames();  // packet 2 in flight; then the file disappears and the link goes quiet
    fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
    PutVol("2000.ABCDE", 5000);  // total 3
    for (int i = 0; i < 12; ++i) Tick();
    EXPECT_EQ(TakeOne().DataText(), "00050002000.ABCDE");
    VolReply(2, PACKET_OK);  // the old transfer's ack: packet 2 is 2000's last
    EXPECT_TRUE(Exists("d/ENF_IMG/2000.ABCDE"));
    EXPECT_TRUE(TakeFrames().empty());
    AckAll();
    EXPECT_FALSE(Exists("d/ENF_IMG/2000.ABCDE"));
    EXPECT_EQ(m_pSession->m_nVolSentCount, 1);
}

TEST_F(VolTest, DeleteUsesTheFullPathWhateverDirectoryIsCurrent) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    TakeFrames();
    // The midnight cleanup leaves another directory current; a file of the same name there
    // must not be the one deleted.
    fs::create_directories(Host("d/not_plate"));
    PutFile("d/not_plate/1000.ABCDE", {1, 2, 3});
    ASSERT_TRUE(m_pEnv->SetCurrentDir("d:/not_plate/"));
    AckAll();
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_TRUE(Exists("d/not_plate/1000.ABCDE"));
    EXPECT_EQ(Control(IDC_VOL_SENT), "1");
}

TEST_F(VolTest, FileOverTheReadLimitIsLoggedEveryTickAndNeverSent) {
    PutVol("1000.ABCDE", 900001);
    for (int i = 0; i < 2; ++i) {
        Tick();
        EXPECT_TRUE(TakeFrames().empty());
    }
    const std::string szTail = "[f:900000, s:900001] 1000.ABCDE";
    EXPECT_EQ(CountDebug("<< MGR_PC: First File read error " + szTail), 2);
    EXPECT_EQ(CountDebug("<< MGR_PC: Second File read error " + szTail), 2);
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
}

TEST_F(VolTest, SizeErrorAbove894000BytesLeavesTheFile) {
    PutVol("1000.ABCDE", 894001);
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: Send VOL File Size ERROR : 300/894001"), 1);
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);

    fs::resize_file(Host("d/ENF_IMG/1000.ABCDE"), 894000);  // the largest that goes
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "08940001000.ABCDE");
    EXPECT_EQ(m_pSession->m_nVolTotalPacket, 299);
}

TEST_F(VolTest, ReadErrorLogsAndDeletes) {
    // A directory in place of the file opens but cannot be read.
    fs::create_directories(Host("d/ENF_IMG/1000.ABCDE"));
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: Read error & delete = 1000.ABCDE"), 1);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
}

TEST_F(VolTest, EmptyFileIsRetiredAndTheNextOneGoes) {
    PutVol("500.ABCDE", 0);
    PutVol("600.ABCDE", 100);
    Tick();  // just created? it stays for one tick
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_TRUE(Exists("d/ENF_IMG/500.ABCDE"));
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: 빈 위반화일 이동 [500.ABCDE]"), 1);
    EXPECT_FALSE(Exists("d/ENF_IMG/500.ABCDE"));
    EXPECT_TRUE(Exists("d/delete_img/500.ABCDE"));
    EXPECT_EQ(m_pSession->m_nVolMovedCount, 1);
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "0000100600.ABCDE");
}

TEST_F(VolTest, NoFileOrOpenFailureEndsTheAttempt) {
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    PutVol("abc.ABCDE", 10);  // read as 0: the rebuilt name 0.ABCDE does not exist
    m_pSession->sendRetryCenter = 4;
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("File Open ERROR.....d:/ENF_IMG/0.ABCDE"), 1);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
}

TEST_F(VolTest, PauseRuleHoldsTicksOnCdmaAndEndsAfterItsLimit) {
    PutVol("1000.ABCDE", 100);
    m_pDlg->m_nCenterCommKind = 1;
    m_pSession->m_nVolLinkErrors = 11;
    m_pSession->m_nPauseLimit = 3;
    Tick();
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("연속 전송에러 !! [전송 일시 중지(50분) : 2/3]"), 1);
    EXPECT_EQ(CountDebug("연속 전송에러 !! [전송 일시 중지(50분) : 3/3]"), 1);
    Tick();  // the pause has run out: this tick sends and the next streak counts afresh
    EXPECT_EQ(TakeFrames().size(), 1u);
    EXPECT_EQ(m_pSession->m_nPauseLimit, 0);
    EXPECT_EQ(m_pSession->m_nVolLinkErrors, 0);
    EXPECT_EQ(m_pSession->m_nPauseCount, 1);
}

TEST_F(VolTest, PauseRuleNeverHoldsALeasedLineAndACompletedFileResetsIt) {
    PutVol("1000.ABCDE", 100);
    m_pSession->m_nPauseLimit = 300;
    m_pSession->m_nVolLinkErrors = 5;
    Tick();
    EXPECT_EQ(TakeFrames().size(), 1u);
    EXPECT_EQ(CountDebugPrefix("연속 전송에러"), 0);
    m_pSession->m_nPauseLimit = 300;
    m_pSession->m_nVolLinkErrors = 5;
    AckAll();
    EXPECT_EQ(m_pSession->m_nPauseLimit, 0);
    EXPECT_EQ(m_pSession->m_nVolLinkErrors, 0);
    EXPECT_EQ(m_pSession->m_nPauseCount, 1);
}

TEST_F(VolTest, RetryOutsideAViolationTransferCountsNothing) {
    m_pSession->m_nSendKind = SEND_RUN_LOG;
    m_pSession->m_nRetryRound = 3;
    EXPECT_EQ(m_pSession->PacketSendRetry(0), 1);
    EXPECT_EQ(m_pSession->m_nResendCount, 0);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_RUN_LOG);
}

TEST_F(VolTest, RepliesOnTheLinkThreadAndStartsOnTheDialogThreadTakeTurns) {
    PutVol("1000.ABCDE", 20000);  // total 8
    PutFile("d/Capture_img/RoadImage.ABCDE", Pattern(4000));
    Tick();
    std::vector<SentFrame> vol;
    std::thread link([&] {
        // The Manager PC: acknowledge each violation-file packet as it leaves.
        for (int nSpin = 0; nSpin < 200000 && m_pSession->m_nVolSentCount == 0; ++nSpin) {
            for (SentFrame& f : TakeFrames()) {
                if (f.Opcode() != OP_VOL_FILE) continue;
                vol.push_back(f);
                VolReply(f.PacketNo(), PACKET_OK);
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 5; ++i) m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    link.join();
    EXPECT_EQ(m_pSession->m_nVolSentCount, 1);
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    ASSERT_EQ(vol.size(), 8u);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(vol[k].PacketNo(), k);
}

class LongIdVolTest : public VolTest {
  protected:
    std::string StationIdSetting() const override { return "ABCDEFG"; }
};

TEST_F(LongIdVolTest, TickFindsTheFileButTheSearchUsesFiveCharacters) {
    PutVol("1000.ABCDEFG", 100);
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("getSendFileName ERROR....."), 1);
}

}  // namespace
}  // namespace transfer_test
