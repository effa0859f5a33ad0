// Violation files under opcode 51, with the counters.
#include <fstream>
#include <functional>

#include "status/station_stats.h"
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
    // Descriptors this process holds (Linux; 0 elsewhere: under Wine the listing would be
    // Wine's own, which changes meanwhile).
    static size_t OpenDescriptors() {
        size_t n = 0;
#ifdef __linux__
        std::error_code ec;
        fs::directory_iterator it("/proc/self/fd", ec), end;
        for (; !ec && it != end; it.increment(ec)) ++n;
#endif
        return n;
    }
    uint64_t Stat(StatCounter n) { return m_pDlg->m_stats.Get(n); }
    // The file's progress as a second's tick shows it to a monitor: "acked/packets".
    std::string Progress() {
        m_pDlg->OnTimer(kTimerSecond);
        return std::to_string(m_pDlg->m_stats.GetGauge(kGaugeFileAcked)) + "/" +
               std::to_string(m_pDlg->m_stats.GetGauge(kGaugeFilePackets));
    }
    void PutVol(const std::string& szName, size_t nSize) {
        PutFile("d/ENF_IMG/" + szName, Pattern(nSize));
    }
    void VolReply(int nPacket, uint8_t nStatus) {
        m_pSession->OnVolReply(Reply(OP_VOL_FILE, nPacket, nStatus).data(), 0);
    }
    // The tick that starts a file: the data of its info packet.
    std::string StartVol() {
        Tick();
        return TakeOne().DataText();
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

// The file's header bytes go on record as the station wrote them (a CP949 plate number
// neither converted nor replaced, up to the first zero byte); the file is deleted by its
// full path whatever directory is current.
TEST_F(VolTest, FiveThousandBytesGoInThreePacketsAndTheFileIsDeletedByItsFullPath) {
    std::vector<uint8_t> file = Pattern(5000);
    const std::string szHeader = "12\xB0\xA1 3456\xC7\xD1";  // 12가 3456한
    std::copy(szHeader.begin(), szHeader.end(), file.begin() + 7);
    file[7 + szHeader.size()] = 0;
    PutFile("d/ENF_IMG/1000.ABCDE", file);
    const size_t nOpenBefore = OpenDescriptors();
    Tick();
    EXPECT_EQ(OpenDescriptors(), nOpenBefore) << "the file is closed once read";
    EXPECT_EQ(CountDebug("1000.ABCDE"), 1) << "the file chosen, on the debug output";
    const SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 51);
    EXPECT_EQ(info.PacketNo(), 0);
    EXPECT_EQ(info.DataText(), "00050001000.ABCDE");
    EXPECT_EQ(m_pSession->m_nVolTotalPacket, 3);
    EXPECT_EQ(Control(IDC_VOL_TOTAL), "[3]");
    EXPECT_EQ(Control(IDC_SEND_BOX), "51-17");
    EXPECT_EQ(Progress(), "0/3");
    for (int k = 0; k < 2; ++k) {
        VolReply(k, PACKET_OK);
        EXPECT_EQ(Progress(), std::to_string(k + 1) + "/3");
        const SentFrame p = TakeOne();
        EXPECT_EQ(p.PacketNo(), k + 1);
        EXPECT_TRUE(p.DataEquals(file.data() + 3000 * k, 3000 - 1000 * k));
    }
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(Stat(kStatFilesSent), 0u);
    PutFile("d/not_plate/1000.ABCDE", {1, 2, 3});
    ASSERT_TRUE(m_pEnv->SetCurrentDir("d:/not_plate/"));  // as the midnight cleanup leaves it
    VolReply(2, PACKET_OK);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_TRUE(Exists("d/not_plate/1000.ABCDE"));
    EXPECT_EQ(Control(IDC_VOL_SENT), "1");
    EXPECT_EQ(Stat(kStatFilesSent), 1u);
    EXPECT_EQ(Stat(kStatFramesOut), 0u);  // queued only: no link thread sends here
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(Progress(), "0/0") << "no file in transfer";
    EXPECT_STREQ(m_pSession->m_szVolFileName, "");
    EXPECT_EQ(CountDebug("Send MGR_PC[1000.ABCDE] : " + szHeader), 1);
    EXPECT_EQ(CountDebugPrefix("<< MGR_PC"), 0) << "read once, no read error";
    EXPECT_NE(ReadFile("d/System_Log/2024/20240305.ABCDE")
                  .find("[ABCDE] Send MGR_PC[1000.ABCDE] : " + szHeader + " \r\n"),
              std::string::npos);
}

// Without a station ID (LOCAL_ADDRESS empty) nothing is looked for or sent: "*." would
// take files that are not the station's and delete them once sent.
TEST_F(VolTest, OldestNumberFirstNoSentLineOutsideNormalOperationAndNothingWithoutAnId) {
    m_pDlg->m_nOperationMode = 1;
    PutVol("1000.ABCDE", 10);
    PutVol("999.ABCDE", 10);
    EXPECT_EQ(StartVol(), "0000010999.ABCDE");
    AckAll();
    EXPECT_EQ(StartVol(), "00000101000.ABCDE");
    AckAll();
    EXPECT_EQ(Control(IDC_VOL_SENT), "2");
    EXPECT_EQ(CountDebugPrefix("Send MGR_PC["), 0);
    std::memset(Link().m_szLocalId, 0, sizeof Link().m_szLocalId);
    PutVol("1000.", 10);
    PutVol("1001", 10);
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.") && Exists("d/ENF_IMG/1001"));
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
    EXPECT_EQ(Progress(), "0/0") << "no file in transfer any more";
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1);
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    ASSERT_TRUE(Exists("d/delete_img/1000.ABCDE"));
    EXPECT_EQ(fs::file_size(Host("d/delete_img/1000.ABCDE")), 5000u);
    EXPECT_EQ(m_pSession->m_nResendCount, 0);
    EXPECT_EQ(m_pSession->m_nRetryRound, 0);
    EXPECT_EQ(Stat(kStatResends), 5u);
    EXPECT_EQ(Stat(kStatFilesMoved), 1u);
}

TEST_F(VolTest, FourthRefusalMovesTheFileAndOneThatCannotMoveIsSetAside) {
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
        EXPECT_EQ(Stat(kStatRefusals), bCopyFails ? 8u : 4u);
        EXPECT_EQ(Stat(kStatFilesMoved), 1u);
        // Not moved: set aside for the rest of the run, on record once, and the later
        // files go.
        PutVol("1001.ABCDE", 10);
        EXPECT_EQ(StartVol(), "00000101001.ABCDE");
        AckAll();
        Tick();
        EXPECT_TRUE(TakeFrames().empty());
        EXPECT_EQ(Exists("d/ENF_IMG/1000.ABCDE"), bCopyFails);
        fs::remove_all(Host("d/delete_img"));
        fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
    }
    EXPECT_EQ(CountDebug("MGR_PC: VOL ERROR_FILE= File:1000.ABCDE"), 8);
    EXPECT_EQ(CountDebugPrefix("MGR_PC: 위반화일 이동 실패 [1000.ABCDE]"), 1);
    EXPECT_EQ(CountDebug("getSendFileName ERROR....."), 1) << "only a set-aside file left";
}

// A reply without a data byte has no status: the first byte after its header is the low
// byte of its checksum, which one reply in 256 has at 1. Such replies are ignored for every
// kind of transfer, whatever their header's data length says.
TEST_F(VolTest, RepliesWithoutDataNeverAcknowledge) {
    auto EmptyReply = [](const char* szCode, int nPacket, const char* szLength) {
        for (int b = 0; b < 256; ++b) {
            std::vector<uint8_t> f = MakeFrame(szCode, {}, "ABCDE", nPacket);
            std::memcpy(&f[13], szLength, 7);
            f[29] = static_cast<uint8_t>(b);  // a byte nobody checks, to steer the checksum
            const uint32_t nCrc = ComputeCrc32(&f[2], 28);
            if ((nCrc & 0xFF) != PACKET_OK) continue;
            for (int k = 0; k < 4; ++k) f[30 + k] = static_cast<uint8_t>(nCrc >> (8 * k));
            return f;
        }
        ADD_FAILURE() << "no checksum ends in 01";
        return std::vector<uint8_t>{};
    };
    PutVol("1000.ABCDE", 10);  // total 2: packet 1, the last, in flight
    Tick();
    VolReply(0, PACKET_OK);
    TakeFrames();
    // And the image and the log in transfer likewise.
    const struct {
        const char* szCode;
        int nKind;
        std::atomic<int>* pTotal;
        std::atomic<int>* pInFlight;
    } kCases[] = {
        {"51", SEND_VOL, &m_pSession->m_nVolTotalPacket, &m_pSession->m_nVolPacketInFlight},
        {"52", SEND_ROAD_IMAGE, &m_pSession->m_nImageTotalPacket,
         &m_pSession->m_nImagePacketInFlight},
        {"68", SEND_RUN_LOG, &m_pSession->m_nLogTotalPacket, &m_pSession->m_nLogPacketInFlight}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szCode);
        m_pSession->m_nSendKind = c.nKind;
        *c.pTotal = 2;
        *c.pInFlight = 1;
        for (const char* szLength : {"0000000", "0000001"}) {
            const std::vector<uint8_t> f = EmptyReply(c.szCode, 1, szLength);
            m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
        }
        EXPECT_EQ(m_pSession->m_nSendKind, c.nKind);
        EXPECT_EQ(c.pTotal->load(), 2);
    }
    m_pSession->m_nSendKind = SEND_NONE;  // nor does one mark an image ended meanwhile again
    const std::vector<uint8_t> f = EmptyReply("52", 1, "0000001");
    m_pDlg->TcpMessageRecvFromCenter(f.data(), static_cast<int>(f.size()), 0);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_TRUE(Exists("d/ENF_IMG/1000.ABCDE"));
}

// The center holds only what was read: a file written in place, grown, or replaced under
// its name since is neither deleted at its last acknowledgement nor given up; it stays, is
// on record once each time, and the next tick sends it again whole.
TEST_F(VolTest, AFileThatChangedAfterItsReadIsKeptAndSentAgainWhole) {
    const std::string szRel = "d/ENF_IMG/1000.ABCDE";
    const std::function<void()> kChanges[] = {
        [&] {  // written in place, same size
            std::fstream f(Host(szRel), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(100);
            f.put('Z');
        },
        [&] { std::ofstream(Host(szRel), std::ios::app | std::ios::binary) << "more"; },
        [&] {  // replaced by a file of the same name and the same bytes
            fs::remove(Host(szRel));
            PutVol("1000.ABCDE", 5000);
        },
    };
    int nChanged = 0;
    for (bool bGiveUp : {false, true}) {
        for (const auto& change : kChanges) {
            SCOPED_TRACE(testing::Message() << "give-up " << bGiveUp << " change " << nChanged);
            PutVol("1000.ABCDE", 5000);
            // Written an hour ago, so that any write now shows in its time.
            fs::last_write_time(Host(szRel),
                                fs::last_write_time(Host(szRel)) - std::chrono::hours(1));
            Tick();
            TakeFrames();
            // Up to the last acknowledgement, or the fourth refusal, with the change before it:
            // three refusals of the info packet, each attempt made again, or packets 0 and 1.
            for (int k = 0; k < (bGiveUp ? 3 : 2); ++k) {
                VolReply(bGiveUp ? 0 : k, bGiveUp ? ERROR_FILE : PACKET_OK);
                if (bGiveUp) Tick();
                TakeFrames();
            }
            change();
            VolReply(bGiveUp ? 0 : 2, bGiveUp ? ERROR_FILE : PACKET_OK);
            ++nChanged;
            EXPECT_EQ(CountDebug("MGR_PC: 위반화일 변경 - 재전송 [1000.ABCDE]"), nChanged);
            EXPECT_FALSE(Exists("d/delete_img/1000.ABCDE"));
            EXPECT_EQ(m_pSession->m_nVolSentCount.load(), nChanged - 1) << "not counted as sent";
            EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
            const std::string szNow = ReadHostFile(Host(szRel));
            Tick();  // sent again from its info packet, as it is now
            EXPECT_EQ(TakeOne().DataText(), "000" + std::to_string(szNow.size()) + "1000.ABCDE");
            AckAll();
            EXPECT_FALSE(Exists(szRel));
        }
    }
    // Bytes 7 to 42 of the file go on record as text.
    const std::vector<uint8_t> file = Pattern(5000);
    EXPECT_EQ(
        CountDebug("Send MGR_PC[1000.ABCDE] : " + std::string(file.begin() + 7, file.begin() + 43)),
        6);
}

// Draining a backlog: the next file starts as one completes, without a tick; what the
// center asked for meanwhile (a short status) and a trigger image go between two files.
TEST_F(VolTest, DrainModeSendsTheNextFileAtOnceAndWhatWasHeldBackBetweenFiles) {
    for (int nAtOnce : {0, 1}) {
        SCOPED_TRACE(nAtOnce);
        m_pDlg->m_nSendNextAtOnce = nAtOnce;
        m_pDlg->m_bSendToManager = 1;
        m_pDlg->m_bSendEnable = 1;
        PutVol("1000.ABCDE", 10);
        PutVol("1001.ABCDE", 10);
        PutFile("d/Capture_img/RoadImage.ABCDE", Pattern(10));
        EXPECT_EQ(StartVol(), "00000101000.ABCDE");
        m_pSession->SendShortStatus(0);                 // the center asks: held back
        m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);  // a trigger image: busy
        EXPECT_TRUE(TakeFrames().empty());
        VolReply(0, PACKET_OK);
        TakeFrames();
        VolReply(1, PACKET_OK);  // the file is complete
        std::vector<SentFrame> f = TakeFrames();
        m_pEnv->RunPostedTasks();
        for (SentFrame& g : TakeFrames()) f.push_back(g);
        if (nAtOnce == 0) {
            EXPECT_TRUE(f.empty()) << "the next file waits for the tick";
            EXPECT_EQ(StartVol(), "00000101001.ABCDE");
            AckAll();
            continue;
        }
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[0].Opcode(), 59) << "the status first";
        EXPECT_EQ(f[1].Opcode(), 52) << "then the picture";
        m_pSession->OnImageReply(OP_ROAD_IMAGE, 0, Reply(OP_ROAD_IMAGE, 0, PACKET_OK).data());
        TakeFrames();
        m_pSession->OnImageReply(OP_ROAD_IMAGE, 0, Reply(OP_ROAD_IMAGE, 1, PACKET_OK).data());
        EXPECT_TRUE(TakeFrames().empty());
        m_pEnv->RunPostedTasks();
        EXPECT_EQ(TakeOne().DataText(), "00000101001.ABCDE") << "and the next file, no tick";
        AckAll();
        m_pEnv->RunPostedTasks();
        EXPECT_TRUE(TakeFrames().empty()) << "nothing waits any more";
    }
}

// Replies for a packet not in flight are ignored; a late acknowledgement of an abandoned
// transfer cannot delete the next file; the twelfth tick without progress restarts (the
// acknowledgements of a file before count for nothing); a tick while the link is down
// clears the counters and replies are then ignored.
TEST_F(VolTest, TheTwelfthTickWithoutProgressRestartsAndStrayOrLateRepliesAreIgnored) {
    PutVol("999.ABCDE", 10);
    Tick();
    AckAll();
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
    for (int i = 1; i <= 11; ++i) {  // the Manager PC falls silent
        Tick();
        EXPECT_TRUE(TakeFrames().empty()) << i;
        EXPECT_EQ(m_pSession->sendRetryCenter, i);
    }
    EXPECT_EQ(StartVol(), "00050001000.ABCDE");
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
    EXPECT_EQ(CountDebug("sendRetryCenter 초과로 clear ....."), 1);
    VolReply(0, PACKET_OK);
    VolReply(1, PACKET_OK);
    TakeFrames();  // packet 2 in flight; then the file goes and the link falls silent
    fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
    PutVol("2000.ABCDE", 5000);
    for (int i = 0; i < 13; ++i) Tick();  // the first busy tick still sees the progress
    EXPECT_EQ(TakeOne().DataText(), "00050002000.ABCDE");
    VolReply(2, PACKET_OK);
    EXPECT_TRUE(Exists("d/ENF_IMG/2000.ABCDE"));
    EXPECT_TRUE(TakeFrames().empty());
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

// The largest file that goes is 894,000 bytes in 299 packets. A slow line acknowledges a
// packet every 0.5 s: they take about 150 s, fourteen ticks; ticks that see
// acknowledgements never end the transfer.
TEST_F(VolTest, SizeAndReadLimitsAndALargeTransferStillAcknowledgedIsNeverAbandoned) {
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
    fs::resize_file(Host("d/ENF_IMG/1000.ABCDE"), 894000);
    EXPECT_EQ(StartVol(), "08940001000.ABCDE");
    ASSERT_EQ(m_pSession->m_nVolTotalPacket, 299);
    for (int k = 0; k < 299; ++k) {
        if (k % 20 == 19) Tick();  // one tick every ten seconds
        VolReply(k, PACKET_OK);
        for (const SentFrame& f : TakeFrames()) ASSERT_EQ(f.PacketNo(), k + 1) << "no restart";
    }
    EXPECT_FALSE(Exists("d/ENF_IMG/1000.ABCDE"));
    EXPECT_EQ(Control(IDC_VOL_SENT), "1");
}

// A directory by a violation file's name: POSIX opens it and fails the read, Windows
// fails the open. A name that is no number is read as 0: the rebuilt name does not exist.
// An empty file is moved aside on its second tick and the next one goes.
TEST_F(VolTest, UnreadableUnopenableEmptyOrUndeletableFiles) {
    fs::create_directories(Host("d/ENF_IMG/1000.ABCDE"));
    Tick();
    EXPECT_EQ(CountDebug(std::string(host::BackendName()) == "posix"
                             ? "MGR_PC: Read error & delete = 1000.ABCDE"
                             : "File Open ERROR.....d:/ENF_IMG/1000.ABCDE"),
              1);
    fs::remove(Host("d/ENF_IMG/1000.ABCDE"));
    PutVol("abc.ABCDE", 10);
    m_pSession->sendRetryCenter = 4;
    Tick();
    EXPECT_EQ(CountDebug("File Open ERROR.....d:/ENF_IMG/0.ABCDE"), 1);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
    EXPECT_TRUE(TakeFrames().empty());
    fs::remove(Host("d/ENF_IMG/abc.ABCDE"));
    PutVol("500.ABCDE", 0);
    PutVol("600.ABCDE", 100);
    Tick();  // just created? it stays for one tick
    EXPECT_TRUE(Exists("d/ENF_IMG/500.ABCDE"));
    Tick();
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: 빈 위반화일 이동 [500.ABCDE]"), 1);
    EXPECT_TRUE(Exists("d/delete_img/500.ABCDE"));
    EXPECT_EQ(Stat(kStatFilesMoved), 1u);
    EXPECT_EQ(StartVol(), "0000100600.ABCDE");
    // A delete that fails after the last acknowledgement (a read-only directory) is on
    // record once, with the reason; the file stays and goes again.
    m_pEnv->FailRemoveFile(true);
    for (int i = 0; i < 2; ++i) {
        if (i > 0) {
            Tick();
            EXPECT_EQ(TakeOne().PacketNo(), 0);
        }
        AckAll();
        EXPECT_TRUE(Exists("d/ENF_IMG/600.ABCDE"));
    }
    EXPECT_EQ(CountDebug("MGR_PC: 위반화일 삭제 실패 [600.ABCDE] Permission denied"), 1);
    m_pEnv->FailRemoveFile(false);
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
