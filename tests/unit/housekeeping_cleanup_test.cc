// The midnight cleanup: the cut-off dates of 30 and 20 days from the local date, which
// names count as old (by the date they start with; a name without digits is always old),
// the station-ID extension as the only files touched, moving into "d:/delete_img" with
// replacement, deleting from "d:/not_plate/", and the current directory left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "housekeeping/cleanup.h"
#include "status_fixture.h"

namespace {

using station_test::StationTest;

class CleanupTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        WriteFile("d/QN64-ABRIX/Data/ConfigInfoSetup.ini",
                  "[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\n");
        WriteFile("d/QN64-ABRIX/Data/LocalMemorySet.ini",
                  "[AdditionItem]\r\nENF_IMG_DIRECTORY=D:/VolData\r\n");
        // 2026-03-31, local time; noon keeps the dates clear of any daylight-saving hour.
        m_tNow = vplat::Time64FromLocal(2026, 3, 31, 12, 0, 0);
        m_pEnv->SetTime64(m_tNow);
        MakeDialog();
    }
    int64_t m_tNow = 0;
};

TEST_F(CleanupTest, CutoffIsTheLocalDateOfNowMinusTheAge) {
    EXPECT_EQ(CutoffDate(m_tNow, 2592000), 20260301LL);  // 30 days
    EXPECT_EQ(CutoffDate(m_tNow, 1728000), 20260311LL);  // 20 days
    EXPECT_EQ(CutoffDate(vplat::Time64FromLocal(2026, 1, 15, 12, 0, 0), 2592000), 20251216LL);
    EXPECT_EQ(CutoffDate(vplat::Time64FromLocal(2024, 3, 30, 12, 0, 0), 2592000), 20240229LL);
}

TEST_F(CleanupTest, OldViolationFilesMoveToTheDeleteFolder) {
    WriteFile("d/VolData/20260301093000_01.ABCDE", "thirty days");
    WriteFile("d/VolData/20260302000000_02.ABCDE", "twenty-nine days");
    WriteFile("d/VolData/20250101120000_03.abcde", "old, other case");
    WriteFile("d/VolData/Lane1_noplate.ABCDE", "no date");
    WriteFile("d/VolData/20200101000000_04.FGHIJ", "another station");
    WriteFile("d/VolData/20200101000000_05.ABCDE.bak", "not the extension");
    MoveOldImageFiles(m_tNow);

    EXPECT_EQ(ReadFile("d/delete_img/20260301093000_01.ABCDE"), "thirty days");
    EXPECT_FALSE(Exists("d/VolData/20260301093000_01.ABCDE"));
    EXPECT_TRUE(Exists("d/VolData/20260302000000_02.ABCDE"));
    EXPECT_FALSE(Exists("d/delete_img/20260302000000_02.ABCDE"));
    EXPECT_EQ(ReadFile("d/delete_img/20250101120000_03.abcde"), "old, other case");
    EXPECT_EQ(ReadFile("d/delete_img/Lane1_noplate.ABCDE"), "no date");
    EXPECT_FALSE(Exists("d/VolData/Lane1_noplate.ABCDE"));
    EXPECT_TRUE(Exists("d/VolData/20200101000000_04.FGHIJ"));
    EXPECT_TRUE(Exists("d/VolData/20200101000000_05.ABCDE.bak"));

    // The violation directory was made current.
    char szCwd[128] = {};
    m_pEnv->GetCurrentDir(szCwd, sizeof szCwd);
    EXPECT_EQ(std::string(szCwd).rfind("D:/VolData", 0), 0u) << szCwd;
}

TEST_F(CleanupTest, SameNameInTheDeleteFolderIsReplaced) {
    WriteFile("d/delete_img/20260101000000_01.ABCDE", "older copy");
    WriteFile("d/VolData/20260101000000_01.ABCDE", "newer move");
    MoveOldImageFiles(m_tNow);
    EXPECT_EQ(ReadFile("d/delete_img/20260101000000_01.ABCDE"), "newer move");
    EXPECT_FALSE(Exists("d/VolData/20260101000000_01.ABCDE"));
}

TEST_F(CleanupTest, OverlongNamesAreSkipped) {
    const std::string szLong = "20200101" + std::string(60, 'x') + ".ABCDE";
    WriteFile("d/VolData/" + szLong, "long");
    MoveOldImageFiles(m_tNow);
    EXPECT_TRUE(Exists("d/VolData/" + szLong));
}

TEST_F(CleanupTest, MissingViolationDirectoryTouchesNothingElse) {
    // The current directory holds an old file of the station; it must stay.
    WriteFile("d/QN64-ABRIX/Bin/20200101000000_01.ABCDE", "not in the violation folder");
    ASSERT_TRUE(m_pEnv->SetCurrentDir("D:/QN64-ABRIX/Bin"));
    MoveOldImageFiles(m_tNow);
    EXPECT_TRUE(Exists("d/QN64-ABRIX/Bin/20200101000000_01.ABCDE"));
    EXPECT_FALSE(Exists("d/delete_img"));
}

TEST_F(CleanupTest, EmptyStationIdTouchesNothing) {
    m_pDlg->m_pConn[0].m_szLocalId[0] = '\0';
    WriteFile("d/VolData/20200101000000_01", "no extension");
    WriteFile("d/VolData/20200101000000_02.ABCDE", "station file");
    MoveOldImageFiles(m_tNow);
    EXPECT_TRUE(Exists("d/VolData/20200101000000_01"));
    EXPECT_TRUE(Exists("d/VolData/20200101000000_02.ABCDE"));
}

TEST_F(CleanupTest, OldPicturesWithoutPlateAreDeleted) {
    WriteFile("d/not_plate/20260311120000.ABCDE", "twenty days");
    WriteFile("d/not_plate/20260312000000.ABCDE", "nineteen days");
    WriteFile("d/not_plate/plate.ABCDE", "no date");
    WriteFile("d/not_plate/20200101000000.XYZ", "another extension");
    DeleteOldNoPlateFiles(m_tNow);
    EXPECT_FALSE(Exists("d/not_plate/20260311120000.ABCDE"));
    EXPECT_TRUE(Exists("d/not_plate/20260312000000.ABCDE"));
    EXPECT_FALSE(Exists("d/not_plate/plate.ABCDE"));
    EXPECT_TRUE(Exists("d/not_plate/20200101000000.XYZ"));
    EXPECT_FALSE(Exists("d/delete_img"));
    char szCwd[128] = {};
    m_pEnv->GetCurrentDir(szCwd, sizeof szCwd);
    EXPECT_EQ(std::string(szCwd).rfind("D:/not_plate", 0), 0u) << szCwd;
}

TEST_F(CleanupTest, WithoutTheDialogNothingHappens) {
    WriteFile("d/not_plate/20200101000000.ABCDE", "old");
    g_pMainDlg = nullptr;
    DeleteOldNoPlateFiles(m_tNow);
    MoveOldImageFiles(m_tNow);
    g_pMainDlg = m_pDlg.get();
    EXPECT_TRUE(Exists("d/not_plate/20200101000000.ABCDE"));
}

}  // namespace
