// The system log: the debug copy of every line, the day's file under "d:/System_Log" once
// the shared memory is open (its path, and each line's exact bytes in the Korean code page
// with CR LF), a new file after midnight, nothing created when the year folder is missing,
// and long lines cut so that they keep their end.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "housekeeping/system_log.h"
#include "status_fixture.h"

namespace {

using station_test::StationTest;

class SystemLogTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 5, 9, 5, 7));
        CVelmoraDlg& dlg = MakeDialog();
        m_local.assign(4096, 0);
        std::memcpy(m_local.data(), "ABCDE", 5);
        dlg.m_pLocalStatus = m_local.data();
        dlg.m_bMmfOpen = 1;
        std::filesystem::create_directories(Host("d/System_Log/2026"));
        m_pEnv->ClearDebugLines();
    }
    void TearDown() override {
        m_pDlg->m_pLocalStatus = nullptr;
        StationTest::TearDown();
    }
    std::vector<uint8_t> m_local;
};

TEST_F(SystemLogTest, LineInTheDaysFileInTheKoreanCodePage) {
    WriteSystemLog("MGR_PC: 위반 화일 전송 / 중지 = 1");
    const std::string szExpected =
        "09:05:07 [ABCDE] "
        "MGR_PC: \xC0\xA7\xB9\xDD \xC8\xAD\xC0\xCF \xC0\xFC\xBC\xDB / \xC1\xDF\xC1\xF6 = 1"
        " \r\n";
    EXPECT_EQ(ReadFile("d/System_Log/2026/20260305.ABCDE"), szExpected);
    // The debug copy is the message as given.
    ASSERT_EQ(m_pEnv->DebugLines().size(), 1u);
    EXPECT_EQ(m_pEnv->DebugLines()[0], "MGR_PC: 위반 화일 전송 / 중지 = 1");
}

TEST_F(SystemLogTest, LinesAreAppendedAndPercentSignsKept) {
    WriteSystemLog("first");
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 3, 5, 9, 5, 8));
    WriteSystemLog("100% %s %d");
    WriteSystemLogF("count=%d name=%s", 7, "x%y");
    EXPECT_EQ(ReadFile("d/System_Log/2026/20260305.ABCDE"),
              "09:05:07 [ABCDE] first \r\n"
              "09:05:08 [ABCDE] 100% %s %d \r\n"
              "09:05:08 [ABCDE] count=7 name=x%y \r\n");
}

TEST_F(SystemLogTest, MidnightStartsANewFile) {
    m_pEnv->SetTime64(vplat::Time64FromLocal(2026, 12, 31, 23, 59, 59));
    WriteSystemLog("last of the year");
    std::filesystem::create_directories(Host("d/System_Log/2027"));
    m_pEnv->SetTime64(vplat::Time64FromLocal(2027, 1, 1, 0, 0, 0));
    WriteSystemLog("first of the year");
    EXPECT_EQ(ReadFile("d/System_Log/2026/20261231.ABCDE"),
              "23:59:59 [ABCDE] last of the year \r\n");
    EXPECT_EQ(ReadFile("d/System_Log/2027/20270101.ABCDE"),
              "00:00:00 [ABCDE] first of the year \r\n");
}

TEST_F(SystemLogTest, BeforeTheSharedMemoryIsOpenOnlyTheDebugCopy) {
    m_pDlg->m_bMmfOpen = 0;
    WriteSystemLog("early line");
    EXPECT_FALSE(Exists("d/System_Log/2026/20260305.ABCDE"));
    EXPECT_FALSE(Exists("d/System_Log/2026/20260305."));
    ASSERT_EQ(m_pEnv->DebugLines().size(), 1u);
    EXPECT_EQ(m_pEnv->DebugLines()[0], "early line");
}

TEST_F(SystemLogTest, WithoutTheDialogOnlyTheDebugCopy) {
    g_pMainDlg = nullptr;
    WriteSystemLog("no dialog");
    g_pMainDlg = m_pDlg.get();
    EXPECT_FALSE(Exists("d/System_Log/2026/20260305.ABCDE"));
    EXPECT_EQ(m_pEnv->DebugLines().size(), 1u);
}

TEST_F(SystemLogTest, MissingYearFolderCreatesNothing) {
    m_pEnv->SetTime64(vplat::Time64FromLocal(2031, 6, 1, 12, 0, 0));
    WriteSystemLog("lost line");
    EXPECT_FALSE(Exists("d/System_Log/2031"));
    std::filesystem::remove_all(Host("d/System_Log"));
    WriteSystemLog("lost too");
    EXPECT_FALSE(Exists("d/System_Log"));
    EXPECT_EQ(m_pEnv->DebugLines().size(), 2u);
}

TEST_F(SystemLogTest, LongLinesAreCutAndKeepTheirEnd) {
    const std::string szLong(400, 'L');
    WriteSystemLog(szLong.c_str());
    std::string szFile = ReadFile("d/System_Log/2026/20260305.ABCDE");
    ASSERT_EQ(szFile.size(), 255u);
    EXPECT_EQ(szFile.substr(0, 17), "09:05:07 [ABCDE] ");
    EXPECT_EQ(szFile.substr(17, 235), std::string(235, 'L'));
    EXPECT_EQ(szFile.substr(252), " \r\n");

    // A two-byte character is never split: 117 Korean syllables are 234 bytes, one more
    // would not fit the 235 bytes left for the message.
    std::filesystem::remove(Host("d/System_Log/2026/20260305.ABCDE"));
    std::string szKorean;
    for (int i = 0; i < 130; ++i) szKorean += "가";
    WriteSystemLog(szKorean.c_str());
    szFile = ReadFile("d/System_Log/2026/20260305.ABCDE");
    ASSERT_EQ(szFile.size(), 17u + 234u + 3u);
    EXPECT_EQ(szFile.substr(17, 2), "\xB0\xA1");
    EXPECT_EQ(szFile.substr(17 + 234), " \r\n");
}

TEST_F(SystemLogTest, StationTextNamesTheFile) {
    std::memcpy(m_local.data(), "XY\0", 3);
    WriteSystemLog("short id");
    EXPECT_EQ(ReadFile("d/System_Log/2026/20260305.XY"), "09:05:07 [XY] short id \r\n");
}

TEST_F(SystemLogTest, LinesFromTwoThreadsAreWrittenWhole) {
    std::thread other([] {
        for (int i = 0; i < 100; ++i) WriteSystemLogF("link thread line %03d", i);
    });
    for (int i = 0; i < 100; ++i) WriteSystemLogF("dialog thread line %03d", i);
    other.join();
    std::istringstream in(ReadFile("d/System_Log/2026/20260305.ABCDE"));
    std::string szLine;
    int nLink = 0, nDialog = 0;
    while (std::getline(in, szLine)) {
        if (szLine.rfind("09:05:07 [ABCDE] link thread line ", 0) == 0)
            ++nLink;
        else if (szLine.rfind("09:05:07 [ABCDE] dialog thread line ", 0) == 0)
            ++nDialog;
        else
            ADD_FAILURE() << szLine;
        EXPECT_EQ(szLine.substr(szLine.size() - 2), " \r");
    }
    EXPECT_EQ(nLink, 100);
    EXPECT_EQ(nDialog, 100);
}

TEST(DebugFTest, FormatsIntoTheDebugOutputOnly) {
    char szTemplate[] = "/tmp/velmora-debugf-XXXXXX";
    const std::string szRoot = mkdtemp(szTemplate);
    {
        vplat::FakeEnv env(szRoot);
        env.Install();
        DebugF("value %d of %s", 3, "x");
        const std::string szLong(3000, 'q');
        DebugF("%s", szLong.c_str());
        ASSERT_EQ(env.DebugLines().size(), 2u);
        EXPECT_EQ(env.DebugLines()[0], "value 3 of x");
        EXPECT_LT(env.DebugLines()[1].size(), 3000u);
        env.Uninstall();
    }
    std::filesystem::remove_all(szRoot);
}

}  // namespace
