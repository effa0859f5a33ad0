// The settings: atoi without overflow and inet_addr's address forms, CProfileLoad's limits
// (7 characters for numbers, 31 for texts, cut to the destination), and the constructor
// reading the two INI files: defaults, empty values, keys read only under their
// conditions, the drive of the first file, long values cut, the drawn log time.
#include <climits>
#include <cstdlib>
#include <regex>

#include "app/check_config.h"
#include "config/profile_load.h"
#include "link/tcp_client_comm.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

TEST(ConfigConversionTest, AtoiSaturatesAndInetAddrForms) {
    const std::pair<const char*, int> kInts[] = {
        {"42", 42}, {"  +12x", 12}, {"\t\n -7", -7},         {"2,3", 2},
        {"abc", 0}, {"- 5", 0},     {"2147483648", INT_MAX}, {"-99999999999", INT_MIN}};
    for (const auto& [sz, n] : kInts) EXPECT_EQ(SafeAtoi(sz), n) << sz;
    EXPECT_EQ(SafeAtoi(nullptr), 0);
    EXPECT_EQ(SafeAtoi64("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(SafeAtoi64("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(SafeAtoi64("20260315.ABCDE"), 20260315LL);
    const std::pair<const char*, uint32_t> kGood[] = {
        {"192.168.10.20", 0xC0A80A14u},   {"10.1.2", 0x0A010002u}, {"1.16777215", 0x01FFFFFFu},
        {"3232238100", 0xC0A80A14u},      {"0x7f.1", 0x7F000001u}, {"010.0.0.1", 0x08000001u},
        {"1.2.3.4 trailing", 0x01020304u}};
    for (const auto& [sz, n] : kGood) EXPECT_EQ(Ipv4FromText(sz), n) << sz;
    for (const char* sz :
         {"", "abc", "1.2.3.256", "1.2.3.4.5", "1..2.3", "1.2.3.", "08.1.1.1", "1.2.3.4x",
          "4294967296", "0x", "256.1.1", "1.65536.1", "-1.2.3.4", "255.255.255.255", "1.16777216",
          "1.2.65536"}) {
        EXPECT_EQ(Ipv4FromText(sz), kIpv4None) << sz;
    }
    EXPECT_EQ(Ipv4FromText(nullptr), kIpv4None);
}

constexpr const char* kFileA = "d/QN64-ABRIX/Data/ConfigInfoSetup.ini";
constexpr const char* kFileB = "d/QN64-ABRIX/Data/LocalMemorySet.ini";

// Every key of the station's first file, each with a distinct value.
std::string FullConfig(int nProgramKind, int nCommKind, int nCameraCnt) {
    return "[SelectSystem]\r\nTHIS_PROGRAM_KIND=" + std::to_string(nProgramKind) +
           "\r\n[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE01\r\nLOCAL_NAME=Riverside Crossing\r\n"
           "CENTER_COMM_KIND=" +
           std::to_string(nCommKind) +
           "\r\nCDMA_TEL_NUMBER=01099998888\r\nWAIT_CDMA_CONNECT=30\r\nWAKEUP_CDMA=60\r\n"
           "SINULATION_MODE=1\r\nVOL_FILE_SEND_SYSTEM=0\r\nAUTO_SEND_LOG=0\r\n"
           "MANAGE_PC_IP=10.20.30.40\r\nENF_CAMERA_CNT=" +
           std::to_string(nCameraCnt) +
           "\r\n[OperationInfo]\r\nOPERATION_MODE=3\r\n"
           "[DigitalCAM_1]\r\nTARGET_LANE_1=1\r\nLOOP1_CHASUN_1=2,3\r\nLOOP1_CHASUN_2=4,5\r\n"
           "LOOP1_CHASUN_3=6,7\r\n"
           "[DigitalCAM_2]\r\nTARGET_LANE_2=2\r\nLOOP2_CHASUN_1=1-8\r\nLOOP2_CHASUN_2=9,1\r\n"
           "LOOP2_CHASUN_3=3,4\r\n[Velmora]\r\nMODEM_PORT=/dev/ttyUSB3\r\n";
}

// Every setting the station took, as KEY=value words; LOOPS are the digit pairs of
// LOOP1_CHASUN_1..3, then LOOP2_CHASUN_1..3.
std::string Taken(const CTcpClientComm& c) {
    std::ostringstream s;
    s << "KIND=" << c.m_nProgramKind << " ID=" << c.m_pConn[0].m_szLocalId
      << " NAME=" << c.m_pConn[0].m_szLocalName << " COMM=" << c.m_nCenterCommKind
      << " TEL=" << c.m_szCdmaTelNumber << " WAIT=" << c.m_nWaitCdmaConnect
      << " WAKE=" << c.m_nWakeupCdma << " SIM=" << c.m_nSimulationMode
      << " MODE=" << c.m_nOperationMode << " VOL=" << c.m_nVolFileSendSystem << " IP=" << std::hex
      << c.m_pConn[0].m_dwManagerIp << std::dec << " PORT=" << c.m_pConn[0].m_nManagerPort
      << " LINKS=" << c.m_nConnCount << " CAMS=" << c.m_nEnfCameraCnt
      << " LANES=" << c.m_nTargetLane[0] << "," << c.m_nTargetLane[1] << " LOOPS=";
    for (int k = 0; k < 6; ++k)
        s << (k ? "/" : "") << c.m_nLoopLane[0][k / 3][k % 3] << ","
          << c.m_nLoopLane[1][k / 3][k % 3];
    s << " DIR=" << c.m_szEnfImgDirectory << " STD=" << c.m_nStdServerVersion
      << " MODEM=" << c.m_szModemDevice << " BAUD=" << c.m_nModemBaud
      << " CLOCK=" << c.m_bSetMachineClock << " ATONCE=" << c.m_nSendNextAtOnce;
    return s.str();
}

// szBase with the KEY=value words of szChanges put in place of its own (a value runs up
// to the next KEY=).
std::string With(std::string szBase, const std::string& szChanges) {
    static const std::regex kWord("([A-Z]+)=.*?(?= [A-Z]+=|$)");
    for (std::sregex_iterator it(szChanges.begin(), szChanges.end(), kWord), end; it != end; ++it) {
        szBase = std::regex_replace(
            szBase, std::regex("\\b" + (*it)[1].str() + "=.*?(?= [A-Z]+=|$)"), (*it)[0].str());
    }
    return szBase;
}
const std::string kDefaults =
    "KIND=0 ID= NAME= COMM=0 TEL= WAIT=0 WAKE=0 SIM=0 MODE=0 VOL=1 IP=ffffffff PORT=11001 "
    "LINKS=1 CAMS=0 LANES=0,0 LOOPS=0,0/0,0/0,0/0,0/0,0/0,0 DIR= STD=0 MODEM= BAUD=115200 "
    "CLOCK=1 ATONCE=0";

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

TEST_F(LoadConfigTest, ProfileNumbersTextsAndRawReadsStayInTheirLimits) {
    WriteFile("d/cfg/test.ini",
              "[Numbers]\r\nPlain=15\r\nPadded =   -42abc   \r\nLong=123456789\r\nEmpty=\r\n"
              "[Texts]\r\nShort=ABCDE\r\nLong=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n");
    CProfileLoad ini("D:/cfg/test.ini");
    int n = 77;
    EXPECT_EQ(ini.GetProfileInt("Numbers", "Empty", &n), 0);
    EXPECT_EQ(ini.GetProfileInt("Nowhere", "Plain", &n), 0);
    EXPECT_EQ(n, 77) << "missing or empty keeps the default";
    EXPECT_EQ(ini.GetProfileInt("numbers", "PADDED", &n), 1);
    EXPECT_EQ(n, -42);
    EXPECT_EQ(ini.GetProfileInt("Numbers", "Long", &n), 1);
    EXPECT_EQ(n, 1234567) << "seven characters";
    struct {
        char szField[16];
        char szNext[8];
    } fields;
    std::memset(&fields, 'Z', sizeof fields);
    EXPECT_EQ(ini.GetProfileString("Texts", "Long", fields.szField, sizeof fields.szField), 1);
    EXPECT_STREQ(fields.szField, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(std::string(fields.szNext, 8), std::string(8, 'Z')) << "no spill";
    char szWide[64];
    EXPECT_EQ(ini.GetProfileString("Texts", "Long", szWide, sizeof szWide), 1);
    EXPECT_STREQ(szWide, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234") << "31 characters at most";
    char sz[8];
    std::memset(sz, 'Z', sizeof sz);
    EXPECT_EQ(ini.GetProfileRaw("Texts", "Short", sz, sizeof sz), 5);
    EXPECT_EQ(std::string(sz, sizeof sz), std::string("ABCDE\0\0\0", 8));
    EXPECT_EQ(ini.GetProfileRaw("Texts", "Absent", sz, sizeof sz), 0);
    EXPECT_EQ(std::string(sz, sizeof sz), std::string(8, '\0'));
    const std::string szLong(300, 'x');
    CProfileLoad longPath(szLong.c_str());
    EXPECT_EQ(std::strlen(longPath.m_szIniPath), sizeof longPath.m_szIniPath - 1);
}

// Without the files, or with empty or unreadable values, every setting keeps its default:
// violation files go to the Manager PC, the center sets the clock, one file per tick.
TEST_F(LoadConfigTest, NoFilesOrEmptyValuesGiveTheDefaults) {
    for (bool bEmpty : {false, true}) {
        SCOPED_TRACE(bEmpty);
        if (bEmpty) {
            WriteFile(
                kFileA,
                "[SelectSystem]\r\nTHIS_PROGRAM_KIND=signal\r\n[LocalInfo]\r\nLOCAL_ADDRESS=\r\n"
                "VOL_FILE_SEND_SYSTEM=\r\nCENTER_COMM_KIND=x1\r\nMANAGE_PC_IP=manager-pc\r\n"
                "[Velmora]\r\nSEND_NEXT_AT_ONCE=2\r\n");
        }
        EXPECT_EQ(Taken(Load()), kDefaults);
    }
}

// Every key of a signal station with CDMA and two cameras, then which keys are read only
// under their conditions: the CDMA keys on CDMA (1) only, MODEM_PORT on any CDMA kind,
// the second camera's keys with two cameras, LOOP..._3 on a signal station.
TEST_F(LoadConfigTest, EveryKeyAndTheConditionalKeys) {
    WriteFile(kFileB, "[AdditionItem]\r\nENF_IMG_DIRECTORY=  D:/VolData  \r\n");  // trimmed
    const std::string kFull =
        With(kDefaults,
             "KIND=1 ID=ABCDE01 NAME=Riverside Crossing COMM=1 TEL=01099998888 "
             "WAIT=30 WAKE=60 SIM=1 MODE=3 VOL=0 IP=a141e28 CAMS=2 LANES=1,2 "
             "LOOPS=2,3/4,5/6,7/1,8/9,1/3,4 DIR=D:/VolData MODEM=/dev/ttyUSB3");
    const struct {
        int nKind, nComm, nCameras;
        const char* szChanges;  // what differs from every key read
    } kCases[] = {
        {1, 2, 2, "COMM=2 TEL= WAIT=0 WAKE=0"},
        {1, 0, 2, "COMM=0 TEL= WAIT=0 WAKE=0 MODEM="},
        {1, 0, 1,
         "COMM=0 TEL= WAIT=0 WAKE=0 MODEM= CAMS=1 LANES=1,0 LOOPS=2,3/4,5/6,7/0,0/0,0/0,0"},
        {2, 0, 2, "KIND=2 COMM=0 TEL= WAIT=0 WAKE=0 MODEM= LOOPS=2,3/4,5/0,0/1,8/9,1/0,0"},
        {1, 1, 2, ""},  // last: the check below shows it
    };
    for (const auto& k : kCases) {
        WriteFile(kFileA, FullConfig(k.nKind, k.nComm, k.nCameras));
        EXPECT_EQ(Taken(Load()), With(kFull, k.szChanges));
    }
    std::FILE* f = std::tmpfile();  // velmora --check-config shows each value
    CheckConfig(f);
    std::rewind(f);
    std::string szShown(4096, '\0');
    szShown.resize(std::fread(&szShown[0], 1, szShown.size(), f));
    std::fclose(f);
    EXPECT_NE(szShown.find("  DigitalCAM_2/LOOP2_CHASUN_2      9,1 "), std::string::npos)
        << szShown;
    EXPECT_NE(szShown.find("  LocalInfo/MANAGE_PC_IP           10.20.30.40 "), std::string::npos);
    EXPECT_EQ(szShown.find("PROBLEM MANAGE_PC_IP"), std::string::npos) << "10.20.30.40 read";
}

// The first file (and the own section in it) is read on the drive of the current directory,
// the second always on D:; long texts are cut to their fields, the neighbour untouched.
TEST_F(LoadConfigTest, FirstFileFollowsTheDriveAndLongTextsAreCut) {
    WriteFile("c/QN64-ABRIX/Data/ConfigInfoSetup.ini",
              "[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE0123456789XYZ\r\n"
              "LOCAL_NAME=A station name well beyond thirty-one characters\r\n"
              "CENTER_COMM_KIND=1\r\nCDMA_TEL_NUMBER=+82-10-1234-5678-99\r\n"
              "[Velmora]\r\nMODEM_PORT=/dev/serial/by-id/usb-Modem_Maker_CDMA_0001-if00\r\n"
              "STD_SERVER_VERSION=2100\r\nMODEM_BAUD=9600\r\nSET_MACHINE_CLOCK=0\r\n"
              "SEND_NEXT_AT_ONCE=1\r\n");
    WriteFile(kFileA, "[LocalInfo]\r\nLOCAL_ADDRESS=DDRIV\r\n");
    WriteFile(kFileB,
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=D:/QN64-ABRIX/Violation/Data/Lane1/x\r\n");
    WriteFile("c/QN64-ABRIX/Data/LocalMemorySet.ini",
              "[AdditionItem]\r\nENF_IMG_DIRECTORY=C:/W\r\n");
    fs::create_directories(Host("c/QN64-ABRIX/Bin"));
    ASSERT_TRUE(m_pEnv->SetCurrentDir("C:/QN64-ABRIX/Bin"));
    EXPECT_EQ(Taken(Load()),
              With(kDefaults,
                   "ID=ABCDE0123456789 NAME=A station name well beyond thir COMM=1 "
                   "TEL=+82-10-1234-567 DIR=D:/QN64-ABRIX/Violation/Data/La STD=2100 "
                   "MODEM=/dev/serial/by-id/usb-Modem_Maker_CDMA_0001-if00 BAUD=9600 "
                   "CLOCK=0 ATONCE=1"));
}

TEST_F(LoadConfigTest, AutoSendLogDrawsMinuteThenSecondOnlyForOne) {
    WriteFile(kFileA, "[LocalInfo]\r\nAUTO_SEND_LOG=1\r\n");
    std::srand(12345);
    const int nMinute = 10 + std::rand() % 40;
    const int nSecond = std::rand() % 50;
    std::srand(12345);
    CTcpClientComm& c = Load();
    EXPECT_EQ(c.m_nLogSendMinute, nMinute);
    EXPECT_EQ(c.m_nLogSendSecond, nSecond);
    WriteFile(kFileA, "[LocalInfo]\r\nAUTO_SEND_LOG=2\r\n");
    std::srand(777);
    const int nFirst = std::rand();
    std::srand(777);
    CTcpClientComm& d = Load();
    EXPECT_EQ(d.m_nLogSendMinute, 0);
    EXPECT_EQ(std::rand(), nFirst) << "the generator was not consumed";
}

}  // namespace
}  // namespace vtest
