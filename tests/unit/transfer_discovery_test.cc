// Choosing the file to send: the '.' splitter, the oldest violation file by its numeric
// key (order, canonical rebuild, the 365-entry table, long names), and the fixed names of
// the trigger images.
#include <set>

#include "tests/unit/transfer_fixture.h"
#include "transfer/split_fields.h"

namespace transfer_test {
namespace {

TEST(SplitFieldsTest, CutsAtDotsLikeStrtokIntoBoundedBuffers) {
    char a[8], b[8], c[8];
    std::memset(c, 'z', sizeof c);
    EXPECT_EQ(SplitFields("..12...ABCDE.", a, sizeof a, b, sizeof b, c, sizeof c, nullptr), 2);
    EXPECT_STREQ(a, "12");
    EXPECT_STREQ(b, "ABCDE");
    EXPECT_EQ(c[0], 'z');  // no third piece: untouched

    // Pieces longer than their buffers are cut, never overflow; extra pieces are dropped.
    char szShort[4];
    char szTail[3];
    EXPECT_EQ(
        SplitFields("123456.abcdef.x", szShort, sizeof szShort, szTail, sizeof szTail, nullptr), 2);
    EXPECT_STREQ(szShort, "123");
    EXPECT_STREQ(szTail, "ab");

    // A buffer of size 0 is skipped; a null text yields nothing.
    char szNone[1] = {'q'};
    EXPECT_EQ(SplitFields("a.b", szNone, static_cast<size_t>(0), nullptr), 0);
    EXPECT_EQ(szNone[0], 'q');
    EXPECT_EQ(SplitFields(nullptr, a, sizeof a, nullptr), 0);
    EXPECT_EQ(SplitFields("...", a, sizeof a, nullptr), 0);
}

TEST(SplitFieldsTest, LooksAtTheFirst1023CharactersOnly) {
    std::string szLong(1100, 'x');
    szLong[1050] = '.';
    char szA[2000] = {};
    char szB[16] = {};
    EXPECT_EQ(SplitFields(szLong.c_str(), szA, sizeof szA, szB, sizeof szB, nullptr), 1);
    EXPECT_EQ(std::strlen(szA), 1023u);
}

class DiscoveryTest : public TransferTest {
  protected:
    int Find(char* szPath, char* szName) {
        return m_pSession->getSendFileName(SEND_VOL, 0, szPath, 256, szName, 128);
    }
    void Touch(const std::string& szName) { PutVol(szName, 10); }
};

TEST_F(DiscoveryTest, PicksTheSmallestKeyAndLeavesTheDirectoryCurrent) {
    Touch("1001.ABCDE");
    Touch("1000.ABCDE");
    Touch("999.ABCDE");
    Touch("5.OTHER");  // another extension is never looked at
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "999.ABCDE");
    EXPECT_STREQ(szPath, "d:/ENF_IMG/999.ABCDE");
    EXPECT_EQ(Control(IDC_FILE_NAME), "999.ABCDE");
    char szCwd[256] = {};
    m_pEnv->GetCurrentDir(szCwd, sizeof szCwd);
    EXPECT_NE(std::string(szCwd).find("ENF_IMG"), std::string::npos) << szCwd;
}

TEST_F(DiscoveryTest, ExtensionMatchesWithoutRegardToCase) {
    Touch("42.abcde");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    // The name is rebuilt from the key and the extension found on disk.
    EXPECT_STREQ(szName, "42.abcde");
}

TEST_F(DiscoveryTest, KeysAreReadAsNumbersAndTheNameIsRebuilt) {
    Touch("007.ABCDE");
    Touch("7.ABCDE");
    Touch("8.ABCDE");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "7.ABCDE");  // either order: the canonical form
}

TEST_F(DiscoveryTest, LettersReadAsZeroAndWin) {
    Touch("abc.ABCDE");
    Touch("3.ABCDE");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "0.ABCDE");  // names no existing file; the open will fail
}

TEST_F(DiscoveryTest, NothingMatchingOrNoDirectoryGivesNoFile) {
    char szPath[256] = {}, szName[128] = {};
    EXPECT_EQ(Find(szPath, szName), 0);
    fs::remove_all(Host("d/ENF_IMG"));
    EXPECT_EQ(Find(szPath, szName), 0);
    EXPECT_STREQ(szName, "");
}

TEST_F(DiscoveryTest, SelectOldestLooksAtTheFirstCountEntriesOnly) {
    std::memset(m_pSession->m_szFileList, 0, sizeof m_pSession->m_szFileList);
    std::strcpy(m_pSession->m_szFileList[0], "50.ABCDE");
    std::strcpy(m_pSession->m_szFileList[1], "40.ABCDE");
    std::strcpy(m_pSession->m_szFileList[2], "1.ABCDE");
    char szResult[128] = {};
    m_pSession->SelectOldestFileName(szResult, sizeof szResult, 2);
    EXPECT_STREQ(szResult, "40.ABCDE");
    // Three fields: the key is the first, the extension of the last entry is its second.
    std::strcpy(m_pSession->m_szFileList[3], "12.34.ABCDE");
    m_pSession->SelectOldestFileName(szResult, sizeof szResult, 4);
    EXPECT_STREQ(szResult, "1.34");
    // A small result buffer is never overrun.
    char szTiny[4] = {};
    m_pSession->SelectOldestFileName(szTiny, sizeof szTiny, 2);
    EXPECT_STREQ(szTiny, "40.");
}

TEST_F(DiscoveryTest, ThreeFieldNameContributesItsSecondField) {
    Touch("12.34.ABCDE");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "12.34");
}

TEST_F(DiscoveryTest, AtMost365NamesAreCompared) {
    for (int i = 0; i < 400; ++i) Touch(std::to_string(1000 + i) + ".ABCDE");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    std::set<std::string> listed;
    long long nSmallest = -1;
    for (int i = 0; i < kFileListEntries; ++i) {
        std::string s = m_pSession->m_szFileList[i];
        ASSERT_FALSE(s.empty()) << i;
        listed.insert(s);
        long long n = std::stoll(s);
        if (nSmallest < 0 || n < nSmallest) nSmallest = n;
    }
    EXPECT_EQ(listed.size(), 365u);
    // The choice is the smallest of the names entered, whichever 365 the listing gave.
    EXPECT_EQ(std::string(szName), std::to_string(nSmallest) + ".ABCDE");
}

TEST_F(DiscoveryTest, NamesTooLongForAnEntryAreSkippedNotCut) {
    const std::string szLong = "1." + std::string(56, 'x') + ".ABCDE";  // 64 characters
    const std::string szFits = "2." + std::string(55, 'y') + ".ABCDE";  // 63 characters
    ASSERT_EQ(szLong.size(), 64u);
    ASSERT_EQ(szFits.size(), 63u);
    Touch(szLong);
    Touch("50.ABCDE");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "50.ABCDE");
    for (int i = 0; i < kFileListEntries; ++i) {
        EXPECT_NE(std::string(m_pSession->m_szFileList[i]).rfind("1.", 0), 0u) << i;
    }
    Touch(szFits);
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "2.yyyyyyy");  // entered, extension field cut to seven
}

TEST_F(DiscoveryTest, ImagesHaveFixedNamesWhetherOrNotThere) {
    char szPath[64] = {}, szName[64] = {};
    ASSERT_EQ(m_pSession->getSendFileName(SEND_ROAD_IMAGE, 0, szPath, sizeof szPath, szName,
                                          sizeof szName),
              1);
    EXPECT_STREQ(szPath, "d:/Capture_img/RoadImage.ABCDE");
    EXPECT_STREQ(szName, "d:/Capture_img/RoadImage.ABCDE");
    ASSERT_EQ(m_pSession->getSendFileName(SEND_CAR_IMAGE, 0, szPath, sizeof szPath, szName,
                                          sizeof szName),
              1);
    EXPECT_STREQ(szName, "d:/Capture_img/CarImage.ABCDE");
    ASSERT_EQ(m_pSession->getSendFileName(SEND_TRACKING_IMAGE, 0, szPath, sizeof szPath, szName,
                                          sizeof szName),
              1);
    EXPECT_STREQ(szName, "d:/Capture_img/TrackingImage.ABCDE");

    char szUntouched[64] = "keep";
    EXPECT_EQ(m_pSession->getSendFileName(SEND_RUN_LOG, 0, szUntouched, sizeof szUntouched, szName,
                                          sizeof szName),
              0);
    EXPECT_EQ(
        m_pSession->getSendFileName(7, 0, szUntouched, sizeof szUntouched, szName, sizeof szName),
        0);
    EXPECT_STREQ(szUntouched, "keep");
}

class LongIdDiscoveryTest : public DiscoveryTest {
  protected:
    std::string StationIdSetting() const override { return "ABCDEFG"; }
};

TEST_F(LongIdDiscoveryTest, OnlyTheFirstFiveCharactersFormTheExtension) {
    Touch("10.ABCDE");
    Touch("5.ABCDEFG");
    char szPath[256] = {}, szName[128] = {};
    ASSERT_EQ(Find(szPath, szName), 1);
    EXPECT_STREQ(szName, "10.ABCDE");
    char szImage[64] = {}, szImageName[64] = {};
    ASSERT_EQ(m_pSession->getSendFileName(SEND_CAR_IMAGE, 0, szImage, sizeof szImage, szImageName,
                                          sizeof szImageName),
              1);
    EXPECT_STREQ(szImage, "d:/Capture_img/CarImage.ABCDE");
}

}  // namespace
}  // namespace transfer_test
