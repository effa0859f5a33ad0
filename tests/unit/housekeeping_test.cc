// Housekeeping: the system log (the day's file under "d:/System_Log/<year>" once the
// shared memory is open, exact CP949 bytes with CR LF, outside bytes kept raw, long lines
// cut between characters keeping their end, a new file after midnight, whole lines from
// two threads) and the midnight cleanup (cut-offs at exactly 30 and 20 days, the
// station-ID extension, "d:/delete_img" with replacement, "d:/not_plate/").
#include "housekeeping/cleanup.h"
#include "housekeeping/system_log.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class SystemLogTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 5, 9, 5, 7));
        MakeLinkedDialog();
        fs::create_directories(Host("d/System_Log/2026"));
    }
    static constexpr const char* kToday = "d/System_Log/2026/20260305.ABCDE";
};

TEST_F(SystemLogTest, LineInTheDaysFileInCp949WithPercentKept) {
    WriteSystemLog("MGR_PC: 위반 화일 전송 / 중지 = 1");
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 5, 9, 5, 8));
    WriteSystemLog("100% %s %d");
    WriteSystemLogF("count=%d name=%s", 7, "x%y");
    EXPECT_EQ(ReadFile(kToday),
              "09:05:07 [ABCDE] "
              "MGR_PC: \xC0\xA7\xB9\xDD \xC8\xAD\xC0\xCF \xC0\xFC\xBC\xDB / \xC1\xDF\xC1\xF6 = 1"
              " \r\n"
              "09:05:08 [ABCDE] 100% %s %d \r\n"
              "09:05:08 [ABCDE] count=7 name=x%y \r\n");
    ASSERT_EQ(m_pEnv->DebugLines().size(), 3u);
    EXPECT_EQ(m_pEnv->DebugLines()[0], "MGR_PC: 위반 화일 전송 / 중지 = 1")
        << "the debug copy as given";
    // An empty station text (offset 0 of the area is NUL) is kept as the station has it.
    m_local[0] = 0;
    WriteSystemLog("no station text");
    EXPECT_EQ(ReadFile("d/System_Log/2026/20260305."), "09:05:08 [] no station text \r\n");
    // Bytes from outside reach the file as they are, while the own text around them is
    // converted: a CP949 plate number as the station text (tag and file name) and as the
    // text and sender of an SMS.
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 5, 9, 5, 7));
    const std::string szPlate = "\xB0\xA1\xB3\xAA";  // 가나 in CP949, not UTF-8
    std::memcpy(m_local.data(), (szPlate + "12").c_str(), 7);
    m_pDlg->m_nCenterCommKind = 1;
    std::snprintf(m_pDlg->m_szCdmaTelNumber, sizeof m_pDlg->m_szCdmaTelNumber, "0101234");
    const std::string szTime = "20260305090507";
    for (const auto& [szSender, szHex] :
         {std::pair<std::string, std::string>{"0101234", "B0A1B3AA31323334"},  // 가나1234
          {"010" + szPlate, "41"}}) {
        const std::string sz = szTime + "," + szSender + ",x,x,x," + szHex + ",x\r\n";
        m_pSession->OnSmsMessage(sz.data(), static_cast<int>(sz.size()));
    }
    const std::string szTag = "09:05:07 [" + szPlate + "12] ";
    EXPECT_EQ(ReadFile("d/System_Log/2026/20260305." + szPlate + "12"),
              szTag + "CDMA Control [" + szTime + "] = " + szPlate + "1234 \r\n" + szTag +
                  "SMS Center Tel Number\xC0\xCC \xBE\xC6\xB4\xD4 : 010" + szPlate + " \r\n");
    ASSERT_EQ(m_pEnv->DebugLines().size(), 6u);
    EXPECT_EQ(m_pEnv->DebugLines()[5], "SMS Center Tel Number이 아님 : 010" + szPlate)
        << "the debug copy: own text as given, outside bytes raw";
}

// A line is cut to 255 bytes, never inside a two-byte character, own or raw; no byte value
// of an outside field is replaced, whatever surrounds it (marker bytes of the wrapping,
// bytes that are not UTF-8, a field without its NUL); a stray marker in own text stays.
TEST_F(SystemLogTest, CutsAndOutsideBytes) {
    std::string szAll, szKorean, szRaw;
    for (int c = 1; c < 256; ++c) szAll += static_cast<char>(c);
    for (int i = 0; i < 130; ++i) szKorean += "가";
    for (int i = 0; i < 117; ++i) szRaw += "\xB3\xAA";
    std::string szCp949Korean;
    for (int i = 0; i < 117; ++i) szCp949Korean += "\xB0\xA1";
    const char szField[4] = {'\x01', '\xFF', '\x02', '\x80'};  // no NUL
    const struct {
        std::string szMessage, szExpected;
    } kCases[] = {
        {std::string(400, 'L'), std::string(235, 'L')},
        {szKorean, szCp949Korean},  // 117 syllables are 234 bytes; one more would not fit 235
        {"ab" + LogBytes(szRaw.data(), szRaw.size()), "ab" + szRaw.substr(0, 232)},
        {"a" + LogBytes(szRaw.data(), szRaw.size()), "a" + szRaw},  // 235 bytes fit
        {"a " + LogBytes(szAll.data(), 100) + " b", "a " + szAll.substr(0, 100) + " b"},
        {LogBytes(szAll.data() + 100, 200), szAll.substr(100, 155)},  // up to the end
        {"[" + LogBytes(szField) + "]", "[\x01\xFF\x02\x80]"},
        {"x" + LogBytes("ab\0cd", 5) + "y", "xaby"},
        {std::string("own \x01") + "4G\x02 \x01", std::string("own \x01") + "4G\x02 \x01"},
        {"가" + LogBytes("\xEA\xB0\x80", 3) + "가", "\xB0\xA1\xEA\xB0\x80\xB0\xA1"},
    };
    for (const auto& c : kCases) {
        fs::remove(Host(kToday));
        WriteSystemLogF("%s", c.szMessage.c_str());
        EXPECT_EQ(ReadFile(kToday), "09:05:07 [ABCDE] " + c.szExpected + " \r\n");
    }
}

// Midnight starts a new file in the new year's folder; before the shared memory is open,
// without a dialog or without the year's folder only the debug copy is made.
TEST_F(SystemLogTest, TheDaysFileAndOnlyTheDebugCopyWhileNoneCanBeWritten) {
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 12, 31, 23, 59, 59));
    WriteSystemLog("last of the year");
    fs::create_directories(Host("d/System_Log/2027"));
    m_pEnv->SetTime64(vplat::Time64FromLocal(2027, 1, 1, 0, 0, 0));
    WriteSystemLog("first of the year");
    EXPECT_EQ(ReadFile("d/System_Log/2026/20261231.ABCDE"),
              "23:59:59 [ABCDE] last of the year \r\n");
    EXPECT_EQ(ReadFile("d/System_Log/2027/20270101.ABCDE"),
              "00:00:00 [ABCDE] first of the year \r\n");
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 5, 9, 5, 7));
    m_pEnv->ClearDebugLines();
    m_pDlg->m_bMmfOpen = 0;  // before the shared memory is open
    WriteSystemLog("early line");
    EXPECT_FALSE(Exists(kToday));
    m_pDlg->m_bMmfOpen = 1;
    g_pMainDlg = nullptr;
    WriteSystemLog("no dialog");
    g_pMainDlg = m_pDlg.get();
    EXPECT_FALSE(Exists(kToday));
    m_pEnv->SetTime64(vplat::Time64FromLocal(2031, 6, 1, 12, 0, 0));
    WriteSystemLog("lost line");
    EXPECT_FALSE(Exists("d/System_Log/2031")) << "a missing year folder is not created";
    EXPECT_EQ(m_pEnv->DebugLines(),
              (std::vector<std::string>{"early line", "no dialog", "lost line"}));
}

TEST_F(SystemLogTest, LinesFromTwoThreadsAreWrittenWhole) {
    std::thread other([] {
        for (int i = 0; i < 100; ++i) WriteSystemLogF("link thread line %03d", i);
    });
    for (int i = 0; i < 100; ++i) WriteSystemLogF("dialog thread line %03d", i);
    other.join();
    std::istringstream in(ReadFile(kToday));
    std::string szLine;
    int nLines = 0;
    while (std::getline(in, szLine)) {
        ++nLines;
        const bool bWhole = szLine.rfind("09:05:07 [ABCDE] link thread line ", 0) == 0 ||
                            szLine.rfind("09:05:07 [ABCDE] dialog thread line ", 0) == 0;
        EXPECT_TRUE(bWhole) << szLine;
        EXPECT_EQ(szLine.substr(szLine.size() - 2), " \r");
    }
    EXPECT_EQ(nLines, 200);
}

class CleanupTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        WriteIni("[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\n",
                 "[AdditionItem]\r\nENF_IMG_DIRECTORY=D:/VolData\r\n");
        // 2026-03-31 local; noon keeps the dates clear of any daylight-saving hour.
        m_tNow = vplat::Time64FromLocal(2026, 3, 31, 12, 0, 0);
        m_pEnv->SetTime64(m_tNow);
        MakeDialog();
    }
    std::string Cwd() {
        char sz[128] = {};
        m_pEnv->GetCurrentDir(sz, sizeof sz);
        return sz;
    }
    int64_t m_tNow = 0;
};

// Violation files 30 days old or older move to "d:/delete_img" (an older copy there is
// replaced); pictures without a plate are deleted from 20 days on, nothing copied. A
// missing violation directory lists nothing (not the current one); without a station ID
// or a dialog nothing is touched.
TEST_F(CleanupTest, OldFilesMoveAsideOrAreDeletedAndNothingElseIsTouched) {
    EXPECT_EQ(CutoffDate(m_tNow, 2592000), 20260301LL);  // 30 days
    EXPECT_EQ(CutoffDate(m_tNow, 1728000), 20260311LL);  // 20 days
    EXPECT_EQ(CutoffDate(vplat::Time64FromLocal(2026, 1, 15, 12, 0, 0), 2592000), 20251216LL);
    EXPECT_EQ(CutoffDate(vplat::Time64FromLocal(2024, 3, 30, 12, 0, 0), 2592000), 20240229LL);
    WriteFile("d/QN64-ABRIX/Bin/20200101000000_01.ABCDE", "not in the violation folder");
    ASSERT_TRUE(m_pEnv->SetCurrentDir("D:/QN64-ABRIX/Bin"));
    MoveOldImageFiles(m_tNow);
    EXPECT_TRUE(Exists("d/QN64-ABRIX/Bin/20200101000000_01.ABCDE"));
    EXPECT_FALSE(Exists("d/delete_img"));
    const struct {
        std::string szName;
        bool bGone;
    } kFiles[] = {
        {"VolData/20260301093000_01.ABCDE", true},                      // exactly 30 days
        {"VolData/20260302000000_02.ABCDE", false},                     // 29 days
        {"VolData/20250101120000_03.abcde", true},                      // extension in another case
        {"VolData/Lane1_noplate.ABCDE", true},                          // no date: always old
        {"VolData/20200101000000_04.FGHIJ", false},                     // another station
        {"VolData/20200101000000_05.ABCDE.bak", false},                 // not the extension
        {"VolData/20200101" + std::string(50, 'x') + ".ABCDE", false},  // 64 characters: skipped
        {"VolData/20200101" + std::string(49, 'x') + ".ABCDE", true},   // 63: moved
        {"not_plate/20260311120000.ABCDE", true},                       // exactly 20 days
        {"not_plate/20260312000000.ABCDE", false},                      // 19 days
        {"not_plate/plate.ABCDE", true},                                // no date
        {"not_plate/20200101000000.XYZ", false},                        // another extension
    };
    for (const auto& f : kFiles) WriteFile("d/" + f.szName, f.szName);
    WriteFile("d/delete_img/20250101120000_03.abcde", "older copy");
    DeleteOldNoPlateFiles(m_tNow);
    EXPECT_EQ(Cwd().rfind("D:/not_plate", 0), 0u) << Cwd();
    EXPECT_EQ(std::distance(fs::directory_iterator(Host("d/delete_img")), fs::directory_iterator()),
              1);
    MoveOldImageFiles(m_tNow);
    EXPECT_EQ(Cwd().rfind("D:/VolData", 0), 0u) << Cwd();
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.szName);
        EXPECT_EQ(Exists("d/" + f.szName), !f.bGone);
        if (f.bGone && f.szName.rfind("VolData/", 0) == 0) {
            EXPECT_EQ(ReadFile("d/delete_img/" + f.szName.substr(8)), f.szName) << "replaced";
        }
    }
    m_pDlg->m_pConn[0].m_szLocalId[0] = '\0';
    WriteFile("d/VolData/20200101000000_01", "no extension");
    WriteFile("d/VolData/20200101000000_02.", "an empty one");
    MoveOldImageFiles(m_tNow);
    EXPECT_TRUE(Exists("d/VolData/20200101000000_01"));
    EXPECT_TRUE(Exists("d/VolData/20200101000000_02."));
    WriteFile("d/not_plate/20200101000000.ABCDE", "old");
    m_pDlg->m_pConn[0].m_szLocalId[0] = 'A';
    g_pMainDlg = nullptr;
    DeleteOldNoPlateFiles(m_tNow);
    MoveOldImageFiles(m_tNow);
    g_pMainDlg = m_pDlg.get();
    EXPECT_TRUE(Exists("d/not_plate/20200101000000.ABCDE")) << "no dialog";
}

}  // namespace
}  // namespace vtest
