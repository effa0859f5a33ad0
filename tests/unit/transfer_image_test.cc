// Trigger images and the packets every transfer shares: frame layout, packet counts, the
// read limit, stop-and-wait on acknowledgements, resend requests, the busy rule's image
// limit and the judging of replies against the transfer in progress.
#include "tests/unit/transfer_fixture.h"

namespace transfer_test {
namespace {

class ImageTest : public TransferTest {
  protected:
    void PutImage(const std::string& szFile, size_t nSize) {
        PutFile("d/Capture_img/" + szFile, Pattern(nSize, 3));
    }
    void ImageReply(int nOpcode, int nPacket, uint8_t nStatus) {
        m_pSession->OnImageReply(nOpcode, 0, Reply(nOpcode, nPacket, nStatus).data());
    }
    // Acknowledges packets 0 .. n-1 one by one and returns the frames each ack released.
    std::vector<SentFrame> AckThrough(int nOpcode, int n) {
        std::vector<SentFrame> out;
        for (int k = 0; k < n; ++k) {
            ImageReply(nOpcode, k, PACKET_OK);
            for (auto& f : TakeFrames()) out.push_back(f);
        }
        return out;
    }
};

TEST_F(ImageTest, PacketLayoutOfA7500ByteRoadImage) {
    PutImage("RoadImage.ABCDE", 7500);
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);

    SentFrame info = TakeOne();
    ASSERT_GE(info.bytes.size(), 36u);
    const std::string szPath = "d:/Capture_img/RoadImage.ABCDE";
    EXPECT_EQ(info.bytes[0], 0xAA);
    EXPECT_EQ(info.bytes[1], 0xAA);
    EXPECT_EQ(info.Opcode(), 52);
    EXPECT_EQ(info.PacketNo(), 0);
    EXPECT_EQ(info.StationId(), "ABCDE");
    EXPECT_EQ(info.bytes[29], '0');
    EXPECT_EQ(info.DataLength(), 7 + static_cast<int>(szPath.size()));
    EXPECT_EQ(info.DataText(), "0007500" + szPath);  // the name without a terminating zero
    EXPECT_EQ(info.LengthField(), info.DataLength() + 36);
    EXPECT_EQ(info.bytes.size(), static_cast<size_t>(info.DataLength() + 36));
    EXPECT_EQ(info.bytes[info.bytes.size() - 1], 0x55);
    EXPECT_EQ(m_pSession->m_nImageTotalPacket, 4);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    EXPECT_EQ(Control(IDC_SEND_BOX), "52-37");

    const std::vector<uint8_t> image = Pattern(7500, 3);
    std::vector<SentFrame> data = AckThrough(52, 3);
    ASSERT_EQ(data.size(), 3u);
    const int kLengths[3] = {3000, 3000, 1500};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(data[k].PacketNo(), k + 1);
        EXPECT_EQ(data[k].DataLength(), kLengths[k]);
        EXPECT_EQ(data[k].bytes.size(), static_cast<size_t>(kLengths[k] + 36));
        EXPECT_TRUE(data[k].DataEquals(image.data() + k * 3000, kLengths[k])) << k;
    }
    EXPECT_EQ(CountDebug("MGR_PC: Send IMG PackNo: 3/4"), 1);

    ImageReply(52, 3, PACKET_OK);  // the last packet: complete
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pSession->m_nImageTotalPacket, 0);
    EXPECT_EQ(CountDebug("MGR_PC: Send Image OK !!"), 1);
    EXPECT_TRUE(Exists("d/Capture_img/RoadImage.ABCDE"));  // the picture stays
}

TEST_F(ImageTest, PacketCountsFollowTheSize) {
    struct Case {
        size_t nSize;
        int nTotal;
        int nLastLength;
    } kCases[] = {{3000, 2, 3000}, {1200, 2, 1200}, {3001, 3, 1}};
    for (const Case& c : kCases) {
        PutImage("CarImage.ABCDE", c.nSize);
        m_pSession->SendImageFile(SEND_CAR_IMAGE, 0);
        SentFrame info = TakeOne();
        EXPECT_EQ(info.Opcode(), 53);
        EXPECT_EQ(m_pSession->m_nImageTotalPacket, c.nTotal) << c.nSize;
        std::vector<SentFrame> data = AckThrough(53, c.nTotal - 1);
        ASSERT_EQ(data.size(), static_cast<size_t>(c.nTotal - 1));
        EXPECT_EQ(data.back().DataLength(), c.nLastLength);
        ImageReply(53, c.nTotal - 1, PACKET_OK);
        EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE) << c.nSize;
    }
}

TEST_F(ImageTest, LongPictureIsCutTo300000Bytes) {
    PutImage("TrackingImage.ABCDE", 450000);
    m_pSession->SendImageFile(SEND_TRACKING_IMAGE, 0);
    SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 54);
    EXPECT_EQ(info.DataText().substr(0, 7), "0300000");
    EXPECT_EQ(m_pSession->m_nImageTotalPacket, 101);
}

TEST_F(ImageTest, EmptyPictureWaitsForTheBusyRule) {
    PutImage("RoadImage.ABCDE", 0);
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    SentFrame info = TakeOne();
    EXPECT_EQ(info.DataText(), "0000000d:/Capture_img/RoadImage.ABCDE");
    EXPECT_EQ(m_pSession->m_nImageTotalPacket, 1);
    ImageReply(52, 0, PACKET_OK);  // below a total of 2: ignored
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    EXPECT_TRUE(TakeFrames().empty());
}

TEST_F(ImageTest, MissingPictureOrLinkDownSendsNothing) {
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);  // no file
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    PutImage("RoadImage.ABCDE", 100);
    m_pDlg->m_pConn[0].m_nLinkState = 2;
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
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
        EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    }
    m_pSession->SendImageFile(SEND_CAR_IMAGE, 0);
    SentFrame info = TakeOne();
    EXPECT_EQ(info.Opcode(), 53);
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_CAR_IMAGE);
    EXPECT_EQ(m_pSession->sendRetryCenter, 0);
}

TEST_F(ImageTest, TwoResendsThenTheTransferFreezes) {
    PutImage("RoadImage.ABCDE", 9000);
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    TakeFrames();
    AckThrough(52, 2);  // packet 2 in flight
    ImageReply(52, 2, ERROR_RESEND);
    SentFrame again = TakeOne();
    EXPECT_EQ(again.PacketNo(), 2);
    ImageReply(52, 2, ERROR_RESEND);
    EXPECT_EQ(TakeOne().PacketNo(), 2);
    EXPECT_EQ(CountDebug("MGR_PC: Image ERROR_RESEND= 2"), 2);
    ImageReply(52, 2, ERROR_RESEND);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
}

TEST_F(ImageTest, RefusalOnlyMarksTheTransferAgain) {
    PutImage("RoadImage.ABCDE", 9000);
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    TakeFrames();
    m_pSession->m_nSendKind = SEND_NONE;  // a device command ended it
    ImageReply(52, 0, ERROR_FILE);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_ROAD_IMAGE);
    EXPECT_EQ(Control(IDC_SEND_BOX), "52-99");
}

TEST_F(ImageTest, RepliesNotForThePacketInFlightAreIgnored) {
    PutImage("RoadImage.ABCDE", 9000);  // total 4
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    TakeFrames();
    ImageReply(52, 4, PACKET_OK);  // beyond the total
    ImageReply(52, 2, PACKET_OK);  // not in flight: would skip packets 1 and 2
    ImageReply(52, -1, PACKET_OK);
    EXPECT_TRUE(TakeFrames().empty());
    ImageReply(52, 0, PACKET_OK);
    EXPECT_EQ(TakeOne().PacketNo(), 1);
    ImageReply(52, 0, PACKET_OK);  // a duplicate acknowledgement
    EXPECT_TRUE(TakeFrames().empty());
    ImageReply(53, 1, PACKET_OK);  // the car image is not in transfer
    EXPECT_TRUE(TakeFrames().empty());
    m_pSession->m_nSendKind = SEND_VOL;  // another kind is current
    ImageReply(52, 1, PACKET_OK);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_VOL);
}

TEST_F(ImageTest, SizeErrorSendsNothingAndKeepsTheState) {
    // The table of 200 slots cannot take a total of 200 or more; the read limit keeps
    // images below that, so the limit is lowered to reach the error.
    m_pSession->m_nMaxImagePackets = 3;
    PutImage("RoadImage.ABCDE", 6000);  // total 3
    m_pSession->SendImageFile(SEND_ROAD_IMAGE, 0);
    EXPECT_TRUE(TakeFrames().empty());
    EXPECT_EQ(m_pSession->m_nSendKind, SEND_NONE);
    EXPECT_EQ(CountDebug("MGR_PC: Send Vehice Image Size ERROR : 3/6000"), 1);
}

}  // namespace
}  // namespace transfer_test
