// Violation files: the packets under opcode 51 (the 5,000-byte "1000.ABCDE" as info
// "00050001000.ABCDE" then 3,000 + 2,000 bytes), the oldest number first, deletion by its
// full path after the last acknowledgement, six ERROR_RESEND or four ERROR_FILE moving the
// file aside, the busy rule's limit of twelve ticks, the pause rule, an empty file retired
// on its second tick, size and read limits, replies for packets not in flight ignored, and
// nothing sent without a station ID.
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class VolTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        MakeTransferStation();
    }
    void Tick() { m_pSession->SendViolationFile(); }
    void PutVol(const std::string& szName, size_t nSize) {
        PutFile("d/ENF_IMG/" + szName, Pattern(nSize));
    }
    void VolReply(int nPacket, uint8_t nStatus) {
        m_pSession->OnVolReply(Reply(OP_VOL_FILE, nPacket, nStatus).data(), 0);
    }
    // Acknowledges every packet of the transfer, one by one.
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
    const SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 51);
    EXPECT_EQ(info.PacketNo(), 0);
    EXPECT_EQ(info.DataText(), "00050001000.ABCDE");
    EXPECT_EQ(m_pSession->m_nVolTotalPacket, 3);
    EXPECT_EQ(Control(IDC_VOL_TOTAL), "[3]");
    EXPECT_EQ(Control(IDC_SEND_BOX), "51-17");
    const std::vector<uint8_t> file = Pattern(5000);
    VolReply(0, PACKET_OK);
    const SentFrame p1 = TakeOne();
    EXPECT_EQ(p1.PacketNo(), 1);
    EXPECT_TRUE(p1.DataEquals(file.data(), 3000));
    VolReply(1, PACKET_OK);
    const SentFrame p2 = TakeOne();
    EXPECT_EQ(p2.PacketNo(), 2);
    EXPECT_TRUE(p2.DataEquals(file.data() + 3000, 2000));
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    VolReply(2, PACKET_OK);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(Control(IDC_VOL_SENT), "1");
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_STREQ(m_pSession->m_szVolFileName, "");
    // Bytes 7 to 42 of the file go on record as text (up to the first zero byte).
    const std::string szText(file.begin() + 7, file.begin() + 43);
    EXPECT_EQ(CountDebug("Send MGR_PC[1000.ABCDE] : " + szText.substr(0, szText.find('\0'))), 1);
}

// Without a station ID (LOCAL_ADDRESS empty) nothing is looked for or sent: "*." would
// take files that are not the station's and delete them once sent.
TEST_F(VolTest, NoStationIdSendsNothing) {
    std::memset(Link().m_szLocalId, 0, sizeof Link().m_szLocalId);
    PutVol("1000.", 10);
    PutVol("1001", 10);
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.") && Exists("d/ENF_IMG/1001"));
}

TEST_F(VolTest, OldestNumberFirstAndNoSentLineOutsideNormalOperation) {
    m_pDlg->m_nOperationMode = 1;
    PutVol("1000.ABCDE", 10);
    PutVol("999.ABCDE", 10);
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "0000010999.ABCDE");
    AckAll();
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "00000101000.ABCDE");
    AckAll();
    EXPECT_EQ(Control(IDC_VOL_SENT), "2");
    EXPECT_EQ(CountDebugPrefix("Send MGR_PC["), 0);
}

TEST_F(VolTest, SixResendRequestsMoveTheFileAside) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    VolReply(0, PACKET_OK);
    TakeFrames();  // packet 1 in flight
    for (int i = 1; i <= 5; ++i) {
        VolReply(1, ERROR_RESEND);
        EXPECT_EQ(TakeOne().PacketNo(), 1) << i;
    }
    EXPECT_EQ(CountDebugPrefix("MGR_PC: PACKET_SEND_RETRY= Retry:"), 3);
    EXPECT_EQ(CountDebug("MGR_PC: VOL ERROR_RESEND= PackNo:1"), 5);
    VolReply(1, ERROR_RESEND);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1);
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    ASSERT_TRUE(Exists("d/delete_img/1000.ABCDE"));
    EXPECT_EQ(fs::file_size(Host("d/delete_img/1000.ABCDE")), 5000u);
    EXPECT_EQ(m_pSession->m_nResendCount, 0);
    EXPECT_EQ(m_pSession->m_nRetryRound, 0);
}

TEST_F(VolTest, FourthRefusalMovesTheFileButNeverDeletesWhenTheCopyFailed) {
    for (bool bCopyFails : {false, true}) {
        SCOPED_TRACE(bCopyFails);
        if (bCopyFails) PutFile("d/delete_img", {'x'});  // a plain file where the folder goes
        PutVol("1000.ABCDE", 5000);
        for (int nAttempt = 1; nAttempt <= 4; ++nAttempt) {
            Tick();
            EXPECT_EQ(TakeOne().PacketNo(), 0) << "each attempt starts from the info packet";
            VolReply(0, ERROR_FILE);
            EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
            EXPECT_EQ(Exists("d/ENF_IMG/1000.ABCDE"), bCopyFails || nAttempt < 4) << nAttempt;
        }
        EXPECT_EQ(Exists("d/delete_img/1000.ABCDE"), !bCopyFails);
        Tick();  // moved: nothing left; not moved: counters start afresh and it goes again
        EXPECT_EQ(TakeFrames().size(), bCopyFails ? 1u : 0u);
        fs::remove_all(Host("d/delete_img"));
        fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
        m_pSession->m_nSendKind = SEND_NONE;
        m_pSession->sendRetryCenter = 0;
    }
    EXPECT_EQ(CountDebug("MGR_PC: VOL ERROR_FILE= File:1000.ABCDE"), 8);
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

TEST_F(VolTest, LinkDownTickClearsTheCountersAndRepliesAreIgnored) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    TakeFrames();
    m_pSession->m_nResendCount = 2;
    m_pSession->m_nRetryRound = 1;
    Link().m_nLinkState = 2;
    Tick();
    EXPECT_EQ(m_pSession->m_nResendCount, 0);
    EXPECT_EQ(m_pSession->m_nRetryRound, 0);
    EXPECT_EQ(CountDebug("위반화일 전송 : 통신 개통이 안되었다..."), 1);
    VolReply(0, PACKET_OK);
    EXPECT_EQ(m_pSession->m_nVolPacketInFlight, 0);
}

TEST_F(VolTest, RepliesForPacketsNotInFlightAreIgnored) {
    PutVol("1000.ABCDE", 5000);  // total 3
    Tick();
    TakeFrames();
    m_pSession->m_nSendKind = SEND_ROAD_IMAGE;
    VolReply(0, PACKET_OK);  // while an image is current
    m_pSession->m_nSendKind = SEND_VOL;
    VolReply(3, PACKET_OK);  // beyond the total
    VolReply(2, PACKET_OK);  // the last packet, but packet 0 is in flight
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    // A late acknowledgement of an abandoned transfer cannot delete the next file.
    VolReply(0, PACKET_OK);
    VolReply(1, PACKET_OK);
    TakeFrames();  // packet 2 in flight; then the file goes and the link falls silent
    fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
    PutVol("2000.ABCDE", 5000);
    for (int i = 0; i < 12; ++i) Tick();
    EXPECT_EQ(TakeOne().DataText(), "00050002000.ABCDE");
    VolReply(2, PACKET_OK);
    EXPECT_TRUE(Exists("d/ENF_IMG/2000.ABCDE"));
    EXPECT_TRUE(TakeFrames().empty());
}

TEST_F(VolTest, DeleteUsesTheFullPathWhateverDirectoryIsCurrent) {
    PutVol("1000.ABCDE", 5000);
    Tick();
    TakeFrames();
    PutFile("d/not_plate/1000.ABCDE", {1, 2, 3});
    ASSERT_TRUE(m_pEnv->SetCurrentDir("d:/not_plate/"));  // as the midnight cleanup leaves it
    AckAll();
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_TRUE(Exists("d/not_plate/1000.ABCDE"));
}

TEST_F(VolTest, SizeAndReadLimits) {
    PutVol("1000.ABCDE", 900001);
    Tick();
    Tick();
    const std::string szTail = "[f:900000, s:900001] 1000.ABCDE";
    EXPECT_EQ(CountDebug("<< MGR_PC: First File read error " + szTail), 2) << "every tick";
    EXPECT_EQ(CountDebug("<< MGR_PC: Second File read error " + szTail), 2);
    fs::resize_file(Host("d/ENF_IMG/1000.ABCDE"), 894001);
    Tick();
    EXPECT_EQ(CountDebug("MGR_PC: Send VOL File Size ERROR : 300/894001"), 1);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    fs::resize_file(Host("d/ENF_IMG/1000.ABCDE"), 894000);  // the largest that goes
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "08940001000.ABCDE");
    EXPECT_EQ(m_pSession->m_nVolTotalPacket, 299);
}

TEST_F(VolTest, EmptyFileIsRetiredOnItsSecondTickAndTheNextOneGoes) {
    PutVol("500.ABCDE", 0);
    PutVol("600.ABCDE", 100);
    Tick();  // just created? it stays for one tick
    EXPECT_TRUE(Exists("d/ENF_IMG/500.ABCDE"));
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: 빈 위반화일 이동 [500.ABCDE]"), 1);
    EXPECT_TRUE(Exists("d/delete_img/500.ABCDE"));
    Tick();
    EXPECT_EQ(TakeOne().DataText(), "0000100600.ABCDE");
}

TEST_F(VolTest, UnreadableOrUnopenableFilesEndTheAttempt) {
    // A directory by a violation file's name: POSIX opens it and fails the read, Windows
    // fails the open.
    fs::create_directories(Host("d/ENF_IMG/1000.ABCDE"));
    Tick();
    EXPECT_EQ(CountDebug(std::string(host::BackendName()) == "posix"
                             ? "MGR_PC: Read error & delete = 1000.ABCDE"
                             : "File Open ERROR.....d:/ENF_IMG/1000.ABCDE"),
              1);
    fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
    PutVol("abc.ABCDE", 10);  // read as 0: the rebuilt name 0.ABCDE does not exist
    m_pSession->sendRetryCenter = 4;
    Tick();
    EXPECT_EQ(CountDebug("File Open ERROR.....d:/ENF_IMG/0.ABCDE"), 1);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
    EXPECT_TRUE(TakeFrames().empty());
}

TEST_F(VolTest, PauseRuleHoldsTicksOnCdmaOnly) {
    PutVol("1000.ABCDE", 100);
    m_pSession->m_nPauseLimit = 300;
    m_pSession->m_nVolLinkErrors = 5;
    Tick();  // a leased line is never held
    EXPECT_EQ(TakeFrames().size(), 1u);
    AckAll();  // a completed file resets the rule
    EXPECT_EQ(m_pSession->m_nPauseLimit, 0);
    EXPECT_EQ(m_pSession->m_nPauseCount, 1);
    PutVol("1000.ABCDE", 100);
    m_pDlg->m_nCenterCommKind = 1;
    m_pSession->m_nVolLinkErrors = 11;
    m_pSession->m_nPauseLimit = 3;
    Tick();
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("연속 전송에러 !! [전송 일시 중지(50분) : 3/3]"), 1);
    Tick();  // the pause has run out
    EXPECT_EQ(TakeFrames().size(), 1u);
    EXPECT_EQ(m_pSession->m_nVolLinkErrors, 0);
    EXPECT_EQ(m_pSession->m_nPauseLimit, 0);
}

TEST_F(VolTest, RepliesOnTheLinkThreadAndStartsOnTheDialogThreadTakeTurns) {
    PutVol("1000.ABCDE", 20000);  // total 8
    PutFile("d/Capture_img/RoadImage.ABCDE", Pattern(4000));
    Tick();
    std::vector<int> packets;
    std::thread link([&] {
        for (int nSpin = 0; nSpin < 200000 && m_pSession->m_nVolSentCount == 0; ++nSpin) {
            for (const SentFrame& f : TakeFrames()) {
                if (f.Opcode() != OP_VOL_FILE) continue;
                packets.push_back(f.PacketNo());
                VolReply(f.PacketNo(), PACKET_OK);
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 5; ++i) m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    link.join();
    EXPECT_EQ(m_pSession->m_nVolSentCount, 1);
    EXPECT_EQ(packets, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
}  // namespace vtest
