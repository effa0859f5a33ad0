// The shared-memory areas as the dialog opens them: both or none (an area that appears
// late, or is too small, leaves nothing open and no view), the destination flag written
// at opening, the station text read from the area, and closing.
#include <gtest/gtest.h>

#include <cstring>

#include "status/share_mem.h"
#include "status_fixture.h"

namespace {

using station_test::StationTest;

class ShareMemTest : public StationTest {};

TEST_F(ShareMemTest, OpensBothAreasAndPublishesTheDestination) {
    CVelmoraDlg& dlg = MakeDialog();
    dlg.m_bSendToManager = 1;
    m_pLocal = CreateArea("LOCALSTATUSINFO", 4096);
    m_pTraffic = CreateArea("TRAFFICSENDINFO", 68);
    ASSERT_TRUE(dlg.OpenSharedMemory());
    ASSERT_NE(dlg.m_hLocalStatusMem, nullptr);
    ASSERT_NE(dlg.m_hTrafficMem, nullptr);
    // The dialog's views see what the main operation program wrote.
    EXPECT_EQ(dlg.m_pLocalStatus[100], station_test::PatternByte(100));
    EXPECT_EQ(dlg.m_pTrafficInfo[67], station_test::PatternByte(67));
    // m_bSendToManager at 2336, 32-bit little-endian; the next field is untouched.
    EXPECT_EQ(m_pLocal[2336], 1);
    EXPECT_EQ(m_pLocal[2337], 0);
    EXPECT_EQ(m_pLocal[2338], 0);
    EXPECT_EQ(m_pLocal[2339], 0);
    EXPECT_EQ(m_pLocal[2340], station_test::PatternByte(2340));
    EXPECT_EQ(m_pLocal[2335], station_test::PatternByte(2335));
}

TEST_F(ShareMemTest, MissingTrafficAreaLeavesNothingOpen) {
    CVelmoraDlg& dlg = MakeDialog();
    m_pLocal = CreateArea("LOCALSTATUSINFO", 4096);
    m_pEnv->ClearDebugLines();
    EXPECT_FALSE(dlg.OpenSharedMemory());
    EXPECT_EQ(dlg.m_hLocalStatusMem, nullptr);
    EXPECT_EQ(dlg.m_pLocalStatus, nullptr);
    EXPECT_EQ(dlg.m_hTrafficMem, nullptr);
    EXPECT_EQ(dlg.m_pTrafficInfo, nullptr);
    EXPECT_NE(m_pLocal[2336], 0);  // nothing written while not open
    // Once the area exists, the next attempt opens both.
    m_pTraffic = CreateArea("TRAFFICSENDINFO", 68);
    EXPECT_TRUE(dlg.OpenSharedMemory());
    EXPECT_NE(dlg.m_pTrafficInfo, nullptr);
}

TEST_F(ShareMemTest, NoAreasAtAll) {
    CVelmoraDlg& dlg = MakeDialog();
    EXPECT_FALSE(dlg.OpenSharedMemory());
    EXPECT_EQ(dlg.m_pLocalStatus, nullptr);
    EXPECT_EQ(dlg.m_pTrafficInfo, nullptr);
}

TEST_F(ShareMemTest, AreaSmallerThanNeededIsRefused) {
    CVelmoraDlg& dlg = MakeDialog();
    m_pLocal = CreateArea("LOCALSTATUSINFO", kLocalStatusMinSize - 1);
    m_pTraffic = CreateArea("TRAFFICSENDINFO", 68);
    m_pEnv->ClearDebugLines();
    EXPECT_FALSE(dlg.OpenSharedMemory());
    EXPECT_EQ(dlg.m_pLocalStatus, nullptr);
    int nTooSmall = 0;
    for (const auto& line : m_pEnv->DebugLines()) {
        if (line.find("LOCALSTATUSINFO") != std::string::npos &&
            line.find("too small") != std::string::npos) {
            ++nTooSmall;
        }
    }
    EXPECT_EQ(nTooSmall, 2);  // the attempt and its one retry
}

TEST_F(ShareMemTest, ShareMemRecordOpenAndClose) {
    m_pTraffic = CreateArea("TRAFFICSENDINFO", 68);
    CShareMem shm;
    EXPECT_EQ(shm.OpenShareMem("NOSUCHAREA", 1), nullptr);
    EXPECT_EQ(shm.OpenShareMem("TRAFFICSENDINFO", 69), nullptr);
    ShareMemHandle* h = shm.OpenShareMem("TRAFFICSENDINFO", 68);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(shm.GetShareMemView(h)[10], station_test::PatternByte(10));
    EXPECT_EQ(shm.CloseShareMem(h, 0), 1);
    EXPECT_EQ(shm.CloseShareMem(nullptr, 0), 1);
    EXPECT_EQ(shm.GetShareMemView(nullptr), nullptr);
}

TEST_F(ShareMemTest, StationTextIsBoundedAndEmptyWhileClosed) {
    CVelmoraDlg& dlg = MakeDialog();
    char sz[16];
    std::memset(sz, 'Z', sizeof sz);
    dlg.GetStationText(sz, sizeof sz);
    EXPECT_STREQ(sz, "");

    OpenAreas(dlg);
    std::memcpy(m_pLocal, "ABCDE\0\0\0", 8);
    dlg.GetStationText(sz, sizeof sz);
    EXPECT_STREQ(sz, "ABCDE");
    // A text that fills its field without a NUL stops at 7 characters.
    std::memcpy(m_pLocal, "ABCDEFGHIJ", 10);
    dlg.GetStationText(sz, sizeof sz);
    EXPECT_STREQ(sz, "ABCDEFG");
    char szSmall[4];
    dlg.GetStationText(szSmall, sizeof szSmall);
    EXPECT_STREQ(szSmall, "ABC");
    // Not counted as open: nothing is read.
    dlg.m_bMmfOpen = 0;
    dlg.GetStationText(sz, sizeof sz);
    EXPECT_STREQ(sz, "");
}

}  // namespace
