// The settings as the client's constructor loads them from the station's two INI files:
// defaults, the conditions under which keys are read at all, the drive of the first file,
// the loop digits, cut texts, the drawn log time, the Manager PC's address, Velmora's own
// section, and the link entries and queues the constructor prepares.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/profile_load.h"
#include "link/tcp_client_comm.h"
#include "status_fixture.h"

namespace {

using station_test::StationTest;

constexpr const char* kFileA = "d/QN64-ABRIX/Data/ConfigInfoSetup.ini";
constexpr const char* kFileB = "d/QN64-ABRIX/Data/LocalMemorySet.ini";

// Every key of the station's first file, each with a distinct value.
std::string FullConfig(int nProgramKind, int nCommKind, int nCameraCnt) {
    return "[SelectSystem]\r\nTHIS_PROGRAM_KIND=" + std::to_string(nProgramKind) +
           "\r\n"
           "[LocalInfo]\r\n"
           "LOCAL_ADDRESS=ABCDE01\r\n"
           "LOCAL_NAME=Riverside Crossing\r\n"
           "CENTER_COMM_KIND=" +
           std::to_string(nCommKind) +
           "\r\n"
           "CDMA_TEL_NUMBER=01099998888\r\n"
           "WAIT_CDMA_CONNECT=30\r\n"
           "WAKEUP_CDMA=60\r\n"
           "SINULATION_MODE=1\r\n"
           "VOL_FILE_SEND_SYSTEM=0\r\n"
           "AUTO_SEND_LOG=0\r\n"
           "MANAGE_PC_IP=10.20.30.40\r\n"
           "ENF_CAMERA_CNT=" +
           std::to_string(nCameraCnt) +
           "\r\n"
           "[OperationInfo]\r\nOPERATION_MODE=3\r\n"
           "[DigitalCAM_1]\r\nTARGET_LANE_1=1\r\nLOOP1_CHASUN_1=2,3\r\nLOOP1_CHASUN_2=4,5\r\n"
           "LOOP1_CHASUN_3=6,7\r\n"
           "[DigitalCAM_2]\r\nTARGET_LANE_2=2\r\nLOOP2_CHASUN_1=1-8\r\nLOOP2_CHASUN_2=9,1\r\n"
           "LOOP2_CHASUN_3=3,4\r\n"
           "[Velmora]\r\nMODEM_PORT=/dev/ttyUSB3\r\n";
}

class LoadConfigTest : public StationTest {
  protected:
    CTcpClientComm& Load() {
        m_pComm = std::make_unique<CTcpClientComm>();
        return *m_pComm;
    }
    void TearDown() override {
        m_pComm.reset();
        StationTest::TearDown();
    }
    std::unique_ptr<CTcpClientComm> m_pComm;
};

TEST_F(LoadConfigTest, NoFilesGiveTheDefaults) {
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nProgramKind, 0);
    EXPECT_STREQ(c.m_pConn[0].m_szLocalId, "");
    EXPECT_STREQ(c.m_pConn[0].m_szLocalName, "");
    EXPECT_EQ(c.m_nCenterCommKind, 0);
    EXPECT_EQ(c.m_nOperationMode, 0);
    EXPECT_EQ(c.m_nVolFileSendSystem, 1);  // violation files go to the Manager PC
    EXPECT_EQ(c.m_nAutoSendLog, 0);
    EXPECT_EQ(c.m_nLogSendMinute, 0);
    EXPECT_EQ(c.m_nEnfCameraCnt, 0);
    EXPECT_EQ(c.m_pConn[0].m_dwManagerIp, kIpv4None);  // inet_addr of the empty text
    EXPECT_STREQ(c.m_szEnfImgDirectory, "");
    EXPECT_EQ(c.m_nStdServerVersion, 0);
    EXPECT_STREQ(c.m_szModemDevice, "");
    EXPECT_EQ(c.m_nModemBaud, 115200);
    EXPECT_EQ(c.m_bSetMachineClock, 0);
}

TEST_F(LoadConfigTest, FixedValuesAndQueues) {
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nConnCount, 1);
    EXPECT_EQ(c.m_pConn[0].m_bRun, 1);
    EXPECT_EQ(c.m_pConn[0].m_nManagerPort, 11001);
    EXPECT_EQ(c.m_pConn[0].m_hSocket, INVALID_SOCKET_T);
    EXPECT_FALSE(c.m_pConn[0].m_hThread.joinable());
    EXPECT_EQ(c.m_pConn[0].m_nLinkState, 0);
    EXPECT_EQ(c.m_pConn[1].m_bRun, 0);
    ASSERT_NE(c.m_pSendQueues, nullptr);
    for (int i = 0; i < kMaxLinks; ++i) {
        EXPECT_EQ(c.m_pConn[i].m_pQueue, &c.m_pSendQueues[i]);
        EXPECT_EQ(c.m_pSendQueues[i].nCount, 0);
        const QueueSlot& last = c.m_pSendQueues[i].slots[kQueueSlots - 1];
        EXPECT_EQ(last.nLength, 0);
        EXPECT_EQ(last.bytes[kQueueSlotBytes - 1], 0);
    }
}

TEST_F(LoadConfigTest, SignalStationWithCdmaAndTwoCamerasReadsEveryKey) {
    WriteFile(kFileA, FullConfig(1, 1, 2));
    WriteFile(kFileB, "[AdditionItem]\r\nENF_IMG_DIRECTORY=D:/VolData\r\n");
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nProgramKind, 1);
    EXPECT_STREQ(c.m_pConn[0].m_szLocalId, "ABCDE01");
    EXPECT_STREQ(c.m_pConn[0].m_szLocalName, "Riverside Crossing");
    EXPECT_EQ(c.m_nCenterCommKind, 1);
    EXPECT_STREQ(c.m_szCdmaTelNumber, "01099998888");
    EXPECT_EQ(c.m_nWaitCdmaConnect, 30);
    EXPECT_EQ(c.m_nWakeupCdma, 60);
    EXPECT_EQ(c.m_nSimulationMode, 1);
    EXPECT_EQ(c.m_nOperationMode, 3);
    EXPECT_EQ(c.m_nVolFileSendSystem, 0);
    EXPECT_EQ(c.m_pConn[0].m_dwManagerIp, 0x0A141E28u);
    EXPECT_EQ(c.m_nEnfCameraCnt, 2);
    EXPECT_EQ(c.m_nTargetLane[0], 1);
    EXPECT_EQ(c.m_nTargetLane[1], 2);
    const int kFirst[2][3] = {{2, 4, 6}, {1, 9, 3}};
    const int kThird[2][3] = {{3, 5, 7}, {8, 1, 4}};
    for (int cam = 0; cam < 2; ++cam) {
        for (int lane = 0; lane < 3; ++lane) {
            EXPECT_EQ(c.m_nLoopLane[0][cam][lane], kFirst[cam][lane]) << cam << lane;
            EXPECT_EQ(c.m_nLoopLane[1][cam][lane], kThird[cam][lane]) << cam << lane;
        }
    }
    EXPECT_STREQ(c.m_szEnfImgDirectory, "D:/VolData");
    EXPECT_STREQ(c.m_szModemDevice, "/dev/ttyUSB3");
}

TEST_F(LoadConfigTest, CommKindTwoSkipsTheCdmaKeysButReadsTheModem) {
    WriteFile(kFileA, FullConfig(1, 2, 2));
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nCenterCommKind, 2);
    EXPECT_STREQ(c.m_szCdmaTelNumber, "");
    EXPECT_EQ(c.m_nWaitCdmaConnect, 0);
    EXPECT_EQ(c.m_nWakeupCdma, 0);
    EXPECT_STREQ(c.m_szModemDevice, "/dev/ttyUSB3");
}

TEST_F(LoadConfigTest, LeasedLineHasNoModem) {
    WriteFile(kFileA, FullConfig(1, 0, 2));
    CTcpClientComm& c = Load();
    EXPECT_STREQ(c.m_szModemDevice, "");
    EXPECT_STREQ(c.m_szCdmaTelNumber, "");
}

TEST_F(LoadConfigTest, OneCameraSkipsTheSecondCameraKeys) {
    WriteFile(kFileA, FullConfig(1, 0, 1));
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nTargetLane[0], 1);
    EXPECT_EQ(c.m_nTargetLane[1], 0);
    for (int lane = 0; lane < 3; ++lane) {
        EXPECT_EQ(c.m_nLoopLane[0][1][lane], 0);
        EXPECT_EQ(c.m_nLoopLane[1][1][lane], 0);
    }
    EXPECT_EQ(c.m_nLoopLane[0][0][2], 6);  // the signal station's third lane of camera 1
}

TEST_F(LoadConfigTest, SpeedStationSkipsTheThirdLaneKeys) {
    WriteFile(kFileA, FullConfig(2, 0, 2));
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nLoopLane[0][0][1], 4);
    EXPECT_EQ(c.m_nLoopLane[0][0][2], 0);
    EXPECT_EQ(c.m_nLoopLane[1][0][2], 0);
    EXPECT_EQ(c.m_nLoopLane[0][1][1], 9);
    EXPECT_EQ(c.m_nLoopLane[0][1][2], 0);
    EXPECT_EQ(c.m_nLoopLane[1][1][2], 0);
}

TEST_F(LoadConfigTest, EmptyAndNonNumericValues) {
    WriteFile(kFileA,
              "[SelectSystem]\r\nTHIS_PROGRAM_KIND=signal\r\n"
              "[LocalInfo]\r\nLOCAL_ADDRESS=\r\nVOL_FILE_SEND_SYSTEM=\r\n"
              "CENTER_COMM_KIND=x1\r\nMANAGE_PC_IP=manager-pc\r\nENF_CAMERA_CNT=2cams\r\n"
              "[DigitalCAM_2]\r\nTARGET_LANE_2=  7\r\n");
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nProgramKind, 0);
    EXPECT_STREQ(c.m_pConn[0].m_szLocalId, "");
    EXPECT_EQ(c.m_nVolFileSendSystem, 1);  // empty is the same as missing
    EXPECT_EQ(c.m_nCenterCommKind, 0);
    EXPECT_EQ(c.m_pConn[0].m_dwManagerIp, kIpv4None);
    EXPECT_EQ(c.m_nEnfCameraCnt, 2);
    EXPECT_EQ(c.m_nTargetLane[1], 7);
}

TEST_F(LoadConfigTest, LongTextsAreCutToTheirFields) {
    WriteFile(kFileA,
              "[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE0123456789XYZ\r\n"
              "LOCAL_NAME=A station name well beyond thirty-one characters\r\n"
              "CENTER_COMM_KIND=1\r\nCDMA_TEL_NUMBER=+82-10-1234-5678-99\r\n"
              "[Velmora]\r\nMODEM_PORT=/dev/serial/by-id/usb-Modem_Maker_CDMA_0001-if00\r\n");
    WriteFile(kFileB,
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=D:/QN64-ABRIX/Violation/Data/Lane1/x\r\n");
    CTcpClientComm& c = Load();
    EXPECT_STREQ(c.m_pConn[0].m_szLocalId, "ABCDE0123456789");
    EXPECT_STREQ(c.m_pConn[0].m_szLocalName, "A station name well beyond thir");
    EXPECT_STREQ(c.m_szCdmaTelNumber, "+82-10-1234-567");
    EXPECT_EQ(c.m_nWaitCdmaConnect, 0);  // the neighbour is untouched
    EXPECT_STREQ(c.m_szEnfImgDirectory, "D:/QN64-ABRIX/Violation/Data/La");
    EXPECT_STREQ(c.m_szModemDevice, "/dev/serial/by-id/usb-Modem_Maker_CDMA_0001-if00");
}

TEST_F(LoadConfigTest, FirstFileFollowsTheDriveOfTheCurrentDirectory) {
    WriteFile("c/QN64-ABRIX/Data/ConfigInfoSetup.ini",
              "[LocalInfo]\r\nLOCAL_ADDRESS=CDRIV\r\n[Velmora]\r\nSTD_SERVER_VERSION=2100\r\n");
    WriteFile(kFileA, "[LocalInfo]\r\nLOCAL_ADDRESS=DDRIV\r\n");
    WriteFile(kFileB, "[AdditionItem]\r\nENF_IMG_DIRECTORY=D:/VolData\r\n");
    WriteFile("c/QN64-ABRIX/Data/LocalMemorySet.ini",
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=C:/Wrong\r\n");
    std::filesystem::create_directories(Host("c/QN64-ABRIX/Bin"));
    ASSERT_TRUE(m_pEnv->SetCurrentDir("C:/QN64-ABRIX/Bin"));
    CTcpClientComm& c = Load();
    EXPECT_STREQ(c.m_pConn[0].m_szLocalId, "CDRIV");
    EXPECT_EQ(c.m_nStdServerVersion, 2100);  // the own section is in the same file
    EXPECT_STREQ(c.m_szEnfImgDirectory, "D:/VolData");
}

TEST_F(LoadConfigTest, AutoSendLogDrawsMinuteThenSecond) {
    WriteFile(kFileA, "[LocalInfo]\r\nAUTO_SEND_LOG=1\r\n");
    // The generator's sequence from a known state, minute first.
    std::srand(12345);
    const int nMinute = 10 + std::rand() % 40;
    const int nSecond = std::rand() % 50;
    std::srand(12345);
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nAutoSendLog, 1);
    EXPECT_EQ(c.m_nLogSendMinute, nMinute);
    EXPECT_EQ(c.m_nLogSendSecond, nSecond);
    for (int i = 0; i < 20; ++i) {
        m_pComm = std::make_unique<CTcpClientComm>();
        EXPECT_GE(m_pComm->m_nLogSendMinute, 10);
        EXPECT_LE(m_pComm->m_nLogSendMinute, 49);
        EXPECT_GE(m_pComm->m_nLogSendSecond, 0);
        EXPECT_LE(m_pComm->m_nLogSendSecond, 49);
    }
}

TEST_F(LoadConfigTest, AutoSendLogOtherThanOneDrawsNothing) {
    WriteFile(kFileA, "[LocalInfo]\r\nAUTO_SEND_LOG=2\r\n");
    std::srand(777);
    const int nFirst = std::rand();
    std::srand(777);
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nLogSendMinute, 0);
    EXPECT_EQ(c.m_nLogSendSecond, 0);
    EXPECT_EQ(std::rand(), nFirst);  // the generator was not consumed
}

TEST_F(LoadConfigTest, OwnSectionKeys) {
    WriteFile(kFileA,
              "[LocalInfo]\r\nCENTER_COMM_KIND=1\r\n"
              "[Velmora]\r\nSTD_SERVER_VERSION=1999\r\nMODEM_PORT=COM3\r\nMODEM_BAUD=9600\r\n"
              "SET_MACHINE_CLOCK=1\r\n");
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nStdServerVersion, 1999);
    EXPECT_STREQ(c.m_szModemDevice, "COM3");
    EXPECT_EQ(c.m_nModemBaud, 9600);
    EXPECT_EQ(c.m_bSetMachineClock, 1);
}

TEST_F(LoadConfigTest, SecondFileValueIsTrimmed) {
    WriteFile(kFileB, "[AdditionItem]\r\nENF_IMG_DIRECTORY=  D:/VolData  \r\n");
    CTcpClientComm& c = Load();
    EXPECT_STREQ(c.m_szEnfImgDirectory, "D:/VolData");
}

}  // namespace
