// Trigger images and today's running log (opcodes 52-54, 68), the '.' splitter and the
// choice of the oldest violation file by its numeric key; with the counters.
#include <set>

#include "status/station_stats.h"
#include "tests/unit/station_fixture.h"
#include "transfer/split_fields.h"

namespace vtest {
namespace {

class ImageTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        MakeTransferStation();
    }
    void PutImage(const std::string& szFile, size_t nSize) {
        PutFile("d/Capture_img/" + szFile, Pattern(nSize, 3));
    }
    void ImageReply(int nOp, int nPacket, uint8_t nStatus) {
        m_pSession->OnImageReply(nOp, 0, Reply(nOp, nPacket, nStatus).data());
    }
    void LogReply(int nPacket, uint8_t nStatus) {
        m_pSession->OnLogReply(OP_RUN_LOG, 0, Reply(OP_RUN_LOG, nPacket, nStatus).data());
    }
    // Acknowledges packets 0 .. n-1 one by one; the frames each ack released.
    std::vector<SentFrame> AckThrough(int nOp, int n) {
        std::vector<SentFrame> out;
        for (int k = 0; k < n; ++k) {
            ImageReply(nOp, k, PACKET_OK);
            for (auto& f : TakeFrames()) out.push_back(f);
        }
        return out;
    }
    uint64_t Stat(StatCounter n) { return m_pDlg->m_stats.Get(n); }
    int Find(char* szPath, char* szName) {
        return m_pSession->getSendFileName(SEND_VOL, 0, szPath, 256, szName, 128);
    }
    static constexpr const char* kLogRel = "d/System_Log/2024/20240305.ABCDE";
};

TEST_F(ImageTest, PacketLayoutAndCounts) {
    const struct {
        int nKind, nOp;
        const char* szFile;
        size_t nSize;
        int nTotal;
        std::vector<int> lengths;
    } kCases[] = {
        {SEND_ROAD_IMAGE, 52, "RoadImage.ABCDE", 7500, 4, {3000, 3000, 1500}},
        {SEND_CAR_IMAGE, 53, "CarImage.ABCDE", 3000, 2, {3000}},
        {SEND_CAR_IMAGE, 53, "CarImage.ABCDE", 3001, 3, {3000, 1}},
        {SEND_TRACKING_IMAGE, 54, "TrackingImage.ABCDE", 450000, 101, {}},  // cut to 300,000
    };
    uint64_t nSent = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.nSize);
        PutImage(c.szFile, c.nSize);
        m_pSession->SendImageFile(c.nKind, 0);
        const SentFrame info = TakeOne();
        const std::string szPath = std::string("d:/Capture_img/") + c.szFile;
        const std::string szSize = std::to_string(std::min<size_t>(c.nSize, 300000));
        EXPECT_EQ(info.Opcode(), c.nOp);
        EXPECT_EQ(info.DataText(), std::string(7 - szSize.size(), '0') + szSize + szPath);
        EXPECT_EQ(m_pSession->m_nImageTotalPacket, c.nTotal);
        if (c.lengths.empty()) {
            m_pSession->m_nSendKind = SEND_NONE;
            continue;
        }
        const std::vector<uint8_t> image = Pattern(c.nSize, 3);
        const std::vector<SentFrame> data = AckThrough(c.nOp, c.nTotal - 1);
        ASSERT_EQ(data.size(), c.lengths.size());
        for (size_t k = 0; k < data.size(); ++k) {
            EXPECT_EQ(data[k].PacketNo(), static_cast<int>(k) + 1);
            EXPECT_TRUE(data[k].DataEquals(image.data() + k * 3000, c.lengths[k])) << k;
        }
        EXPECT_EQ(Stat(kStatImagesSent), nSent);
        ImageReply(c.nOp, c.nTotal - 1, PACKET_OK);
        EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
        EXPECT_EQ(Stat(kStatImagesSent), ++nSent);
    }
    EXPECT_EQ(CountDebug("MGR_PC: Send IMG PackNo: 3/4"), 1);
    EXPECT_EQ(CountDebug("MGR_PC: Send Image OK !!"), 3);
    EXPECT_TRUE(Exists("d/Capture_img/RoadImage.ABCDE")) << "the picture stays";
}

TEST_F(ImageTest, NothingToSendOrNothingCounted) {
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);  // no file
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    PutImage("RoadImage.ABCDE", 0);  // empty: total 1, waits for the busy rule
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    EXPECT_EQ(TakeOne().DataText(), "0000000d:/Capture_img/RoadImage.ABCDE");
    ImageReply(52, 0, PACKET_OK);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    m_pSession->m_nSendKind = SEND_NONE;
    m_pSession->m_nMaxImagePackets = 3;  // the table limit, lowered to reach the error
    PutImage("RoadImage.ABCDE", 6000);
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    EXPECT_EQ(CountDebug("MGR_PC: Send Vehice Image Size ERROR : 3/6000"), 1);
    Link().m_nLinkState = 2;
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
}

TEST_F(ImageTest, SeventhAttemptWhileBusyAbandonsAndSends) {
    PutImage("RoadImage.ABCDE", 5000);
    PutImage("CarImage.ABCDE", 5000);
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    TakeFrames();
    for (int i = 1; i <= 6; ++i) {
        m_pSession->SendImageFile(SEND_CAR_IMAGE, 0);
        EXPECT_TRUE(TakeFrames().empty()) << i;
        EXPECT_EQ(m_pSession->sendRetryCenter, i);
    }
    m_pSession->SendImageFile(SEND_CAR_IMAGE, 0);
    EXPECT_EQ(TakeOne().Opcode(), 53);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
}

TEST_F(ImageTest, TwoResendsThenFrozenAndStrayRepliesIgnored) {
    PutImage("RoadImage.ABCDE", 9000);  // total 4
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    TakeFrames();
    for (int nPacket : {4, 2, -1}) ImageReply(52, nPacket, PACKET_OK);  // none is in flight
    m_pSession->m_nImagePacketInFlight = -1;  // as a lost link leaves it: "-001" is no packet
    ImageReply(52, -1, PACKET_OK);
    m_pSession->m_nImagePacketInFlight = 0;
    EXPECT_TRUE(TakeFrames().empty());
    AckThrough(52, 2);             // packet 2 in flight
    ImageReply(52, 0, PACKET_OK);  // a duplicate acknowledgement
    ImageReply(53, 2, PACKET_OK);  // the car image is not in transfer
    EXPECT_TRUE(TakeFrames().empty());
    for (int i = 0; i < 2; ++i) {
        ImageReply(52, 2, ERROR_RESEND);
        EXPECT_EQ(TakeOne().PacketNo(), 2);
    }
    ImageReply(52, 2, ERROR_RESEND);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(CountDebug("MGR_PC: Image ERROR_RESEND= 2"), 2);
    EXPECT_EQ(Stat(kStatResends), 2u);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    m_pSession->m_nSendKind = SEND_NONE;  // a device command ended it; a refusal marks it again
    ImageReply(52, 2, ERROR_FILE);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    EXPECT_EQ(Control(IDC_SEND_BOX), "52-99");
}

TEST_F(ImageTest, TodaysLogGoesUnderItsDateName) {
    PutFile(kLogRel, std::vector<uint8_t>(6001, 'L'));
    m_pDlg->StartTimer(kTimerRunLog, 33000);
    m_pSession->SendRunningLog(0);
    // The "Make LOG File" line is appended to the very file just before it is read.
    const std::string szAll = ReadFile(kLogRel);
    ASSERT_NE(szAll.find("MGR_PC: Make LOG File : 20240305.ABCDE", 6001), std::string::npos);
    const int nSize = static_cast<int>(szAll.find("\r\n", 6001) + 2);
    char szDigits[8];
    std::snprintf(szDigits, sizeof szDigits, "%07d", nSize);
    const SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 68);
    EXPECT_EQ(info.DataText(), std::string(szDigits) + "20240305.ABCDE");
    EXPECT_EQ(m_pSession->m_nLogTotalPacket, 4);
    EXPECT_EQ(CountDebug("MGR_PC: Make LOG Total Packet : 4/" + std::to_string(nSize)), 1);
    std::vector<int> lengths;
    for (int k = 0; k < 3; ++k) {
        LogReply(k, k == 1 ? ERROR_RESEND : PACKET_OK);
        if (k == 1) {
            EXPECT_EQ(TakeOne().PacketNo(), 1);
            LogReply(1, PACKET_OK);
        }
        const SentFrame f = TakeOne();
        EXPECT_EQ(f.PacketNo(), k + 1);
        lengths.push_back(f.DataLength());
    }
    EXPECT_EQ(lengths, (std::vector<int>{3000, 3000, nSize - 6000}));
    EXPECT_EQ(Stat(kStatLogsSent), 0u);
    LogReply(3, PACKET_OK);
    EXPECT_EQ(Stat(kStatLogsSent), 1u);
    EXPECT_EQ(Stat(kStatResends), 1u);
    EXPECT_EQ(Stat(kStatFilesSent), 0u);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pDlg->m_bLogSentToday, 1);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    EXPECT_EQ(CountDebug("MGR_PC: Send Running LOG OK !!"), 1);
}

TEST_F(ImageTest, LogPreconditionsAndTheBusyRule) {
    m_pSession->SendRunningLog(0);  // no log today
    PutFile(kLogRel, std::vector<uint8_t>(38, 'L'));
    m_pSession->SendRunningLog(0);  // too short: 99 bytes with the 61 of its "Make LOG File" line
    EXPECT_EQ(CountDebug("MGR_PC: Make LOG File Read ERROR : 20240305.ABCDE[99]"), 1);
    PutFile(kLogRel, std::vector<uint8_t>(39, 'L'));  // 100 bytes: enough
    m_pSession->SendRunningLog(0);
    EXPECT_EQ(TakeFrames().size(), 1u);
    m_pSession->m_nSendKind = SEND_NONE;
    std::memcpy(m_local.data(), "A\0", 2);  // a one-letter station has its log too
    PutFile("d/System_Log/2024/20240305.A", std::vector<uint8_t>(500, 'L'));
    m_pSession->SendRunningLog(0);
    EXPECT_EQ(TakeFrames().size(), 1u);
    m_pSession->m_nSendKind = SEND_NONE;
    m_pSession->sendRetryCenter = 0;
    PutFile(kLogRel, std::vector<uint8_t>(500, 'L'));
    m_pDlg->m_bMmfOpen = 0;
    m_pSession->SendRunningLog(0);
    m_pDlg->m_bMmfOpen = 1;
    std::memcpy(m_local.data(), "../x\0", 5);  // a station text that is no file name
    m_pSession->SendRunningLog(0);
    std::memcpy(m_local.data(), "ABCDE", 5);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    m_pDlg->StartTimer(kTimerRunLog, 33000);
    m_pSession->m_nSendKind = SEND_CAR_IMAGE;
    for (int i = 1; i <= 4; ++i) m_pSession->SendRunningLog(0);
    EXPECT_EQ(m_pSession->sendRetryCenter, 4);
    EXPECT_NE(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    m_pSession->SendRunningLog(0);  // above 3: ends the stale one, sends nothing now
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pEnv->TimerPeriod(kTimerRunLog), 0u);
    EXPECT_TRUE(TakeFrames().empty());
    m_pSession->SendRunningLog(0);  // the Manager PC may still ask
    EXPECT_EQ(TakeFrames().size(), 1u);
}

TEST(SplitFieldsTest, CutsAtDotsLikeStrtokIntoBoundedBuffers) {
    char a[8], b[8], c[8];
    for (char* p : {a, b, c}) std::memset(p, 'z', 8);
    EXPECT_EQ(SplitFields("..12...ABCDE.", a, sizeof a, b, sizeof b, c, sizeof c, nullptr), 2);
    EXPECT_STREQ(a, "12");
    EXPECT_STREQ(b, "ABCDE");
    EXPECT_EQ(c[0], 'z');
    char szShort[4], szTail[3];
    EXPECT_EQ(SplitFields("1234.abcdef.x", szShort, sizeof szShort, szTail, sizeof szTail, nullptr),
              2);
    EXPECT_STREQ(szShort, "123");
    EXPECT_STREQ(szTail, "ab");
    EXPECT_EQ(SplitFields(nullptr, a, sizeof a, nullptr), 0);
    std::string szLong(1100, 'x');
    szLong[1050] = '.';
    char szA[2000] = {}, szB[16] = {};
    EXPECT_EQ(SplitFields(szLong.c_str(), szA, sizeof szA, szB, sizeof szB, nullptr), 1);
    EXPECT_EQ(std::strlen(szA), 1023u) << "only the first 1023 characters";
}

TEST_F(ImageTest, OldestKeyIsChosenAndTheNameRebuiltAmongAtMost365) {
    const struct {
        std::vector<std::string> names;
        const char* szChosen;
    } kCases[] = {
        {{"1001.ABCDE", "1000.ABCDE", "999.ABCDE", "5.OTHER"}, "999.ABCDE"},
        {{"42.abcde"}, "42.abcde"},
        {{"007.ABCDE", "7.ABCDE", "8.ABCDE"}, "7.ABCDE"},
        {{"abc.ABCDE", "3.ABCDE"}, "0.ABCDE"},  // letters read as 0
        {{"12.34.ABCDE"}, "12.34"},             // three fields: the second joins the key
        {{"1." + std::string(56, 'x') + ".ABCDE", "50.ABCDE"}, "50.ABCDE"},  // 64: skipped
        {{"2." + std::string(55, 'y') + ".ABCDE"}, "2.yyyyyyy"},  // 63: entered, field cut
    };
    char szPath[256] = {}, szName[128] = {};
    EXPECT_EQ(Find(szPath, szName), 0);
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szChosen);
        fs::remove_all(Host("d/ENF_IMG"));
        for (const std::string& s : c.names) PutFile("d/ENF_IMG/" + s, Pattern(10));
        ASSERT_EQ(Find(szPath, szName), 1);
        EXPECT_STREQ(szName, c.szChosen);
    }
    EXPECT_STREQ(szPath, "d:/ENF_IMG/2.yyyyyyy");
    EXPECT_EQ(Control(IDC_FILE_NAME), "2.yyyyyyy");
    fs::remove_all(Host("d/ENF_IMG"));
    EXPECT_EQ(Find(szPath, szName), 0);
    // At most 365 names are compared.
    for (int i = 0; i < 400; ++i) PutFile("d/ENF_IMG/" + std::to_string(1000 + i) + ".ABCDE", {});
    ASSERT_EQ(Find(szPath, szName), 1);
    std::set<std::string> listed;
    long long nSmallest = -1;
    for (int i = 0; i < kFileListEntries; ++i) {
        const std::string s = m_pSession->m_szFileList[i];
        ASSERT_FALSE(s.empty()) << i;
        listed.insert(s);
        const long long n = std::stoll(s);
        if (nSmallest < 0 || n < nSmallest) nSmallest = n;
    }
    EXPECT_EQ(listed.size(), 365u);
    EXPECT_EQ(std::string(szName), std::to_string(nSmallest) + ".ABCDE");
}

class LongIdTest : public StationTest {};

TEST_F(LongIdTest, OnlyTheFirstFiveCharactersFormTheExtension) {
    MakeTransferStation("ABCDEFG");
    PutFile("d/ENF_IMG/10.ABCDE", Pattern(10));
    PutFile("d/ENF_IMG/5.ABCDEFG", Pattern(10));
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(m_pSession->getSendFileName(SEND_VOL, 0, szPath, 256, szName, 128), 1);
    EXPECT_STREQ(szName, "10.ABCDE");
    ASSERT_EQ(m_pSession->getSendFileName(SEND_CAR_IMAGE, 0, szPath, 256, szName, 128), 1);
    EXPECT_STREQ(szPath, "d:/Capture_img/CarImage.ABCDE");
    EXPECT_EQ(m_pSession->getSendFileName(SEND_RUN_LOG, 0, szPath, 256, szName, 128), 0);
}

}  // namespace
}  // namespace vtest
