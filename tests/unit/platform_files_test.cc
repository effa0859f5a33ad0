// Contract of the file services, run against the POSIX back-end and the fake (whose files
// go through it): station path mapping, the current directory in Windows form, listings
// with Windows wildcards, copy / remove / make directory results and INI values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/env_wrapper.h"
#include "platform/fake/fake_env.h"
#include "platform/platform.h"
#include "tests/unit/platform_test_util.h"

namespace {

class FilesContractTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        if (std::string(GetParam()) == "fake") {
            m_pEnv = std::make_unique<vplat::FakeEnv>(m_root.Path());
        } else {
            m_pEnv = vplat::NewHostEnv(m_root.Path());
        }
    }
    std::vector<std::string> Sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }
    std::string CurrentDir() {
        char szBuf[512];
        const size_t n = m_pEnv->GetCurrentDir(szBuf, sizeof(szBuf));
        return std::string(szBuf, n);
    }
    std::string Profile(const char* szSection, const char* szKey, const char* szDefault,
                        size_t nSize = 256) {
        std::vector<char> buf(nSize + 1, 'X');
        const size_t n = m_pEnv->ReadProfileString(szSection, szKey, szDefault, buf.data(), nSize,
                                                   "D:/QN64-ABRIX/Data/Test.ini");
        EXPECT_EQ(std::string(buf.data()).size(), n);
        return std::string(buf.data(), n);
    }

    vtest::TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv;
};

TEST_P(FilesContractTest, DrivePathsMapUnderTheRootWithTheLetterLowerCased) {
    const std::string& r = m_root.Path();
    EXPECT_EQ(r + "/d/QN64-ABRIX/Data/ConfigInfoSetup.ini",
              m_pEnv->MapPath("D:/QN64-ABRIX/Data/ConfigInfoSetup.ini"));
    EXPECT_EQ(r + "/d/System_Log/2026", m_pEnv->MapPath("d:/System_Log/2026"));
    EXPECT_EQ(r + "/e/QN64-ABRIX/Bin/x.exe", m_pEnv->MapPath("E:\\QN64-ABRIX\\Bin\\x.exe"));
    EXPECT_EQ(r + "/d/not_plate", m_pEnv->MapPath("d:/not_plate/"));
    // A path cannot climb out of its drive, let alone the root.
    EXPECT_EQ(r + "/d/etc/passwd", m_pEnv->MapPath("D:/../../etc/passwd"));
    EXPECT_EQ(r + "/d/b", m_pEnv->MapPath("D:/a/./../b"));
}

TEST_P(FilesContractTest, CurrentDirectoryAnswersInWindowsFormWithItsDriveLetter) {
    EXPECT_EQ("D:/", CurrentDir());
    std::filesystem::create_directories(m_root.Host("e/QN64-ABRIX/Bin"));
    ASSERT_TRUE(m_pEnv->SetCurrentDir("E:/QN64-ABRIX/Bin"));
    EXPECT_EQ("E:/QN64-ABRIX/Bin", CurrentDir());
    // Relative and drive-rooted names follow the current directory's drive.
    EXPECT_EQ(m_root.Host("e/QN64-ABRIX/Bin/Quillamor.exe"), m_pEnv->MapPath("Quillamor.exe"));
    EXPECT_EQ(m_root.Host("e/QN64-ABRIX/Data/x.ini"), m_pEnv->MapPath("../Data/x.ini"));
    EXPECT_EQ(m_root.Host("e/z"), m_pEnv->MapPath("../../../../z"));
    EXPECT_EQ(m_root.Host("e/Data"), m_pEnv->MapPath("/Data"));
    // A missing directory leaves the current one as it was.
    EXPECT_FALSE(m_pEnv->SetCurrentDir("E:/nowhere"));
    EXPECT_EQ("E:/QN64-ABRIX/Bin", CurrentDir());
}

TEST_P(FilesContractTest, CurrentDirectoryIsCutToTheBuffer) {
    std::filesystem::create_directories(m_root.Host("d/QN64-ABRIX"));
    ASSERT_TRUE(m_pEnv->SetCurrentDir("d:/QN64-ABRIX"));
    char szBuf[6];
    EXPECT_EQ(5u, m_pEnv->GetCurrentDir(szBuf, sizeof(szBuf)));
    EXPECT_STREQ("D:/QN", szBuf);
    EXPECT_EQ(0u, m_pEnv->GetCurrentDir(szBuf, 0));
}

TEST_P(FilesContractTest, ListingMatchesWildcardsWithoutRegardToCase) {
    for (const char* szName : {"a.ABCDE", "b.abcde", "c.AbCdE", "d.ABCDEF", "e.txt", "noext"}) {
        vtest::WriteHostFile(m_root.Host(std::string("d/not_plate/") + szName), "x");
    }
    std::filesystem::create_directories(m_root.Host("d/not_plate/sub.abcde"));
    EXPECT_EQ((std::vector<std::string>{"a.ABCDE", "b.abcde", "c.AbCdE", "sub.abcde"}),
              Sorted(m_pEnv->FindFiles("d:/not_plate/*.ABCDE")));
    EXPECT_TRUE(m_pEnv->FindFiles("D:\\not_plate\\[ab]*.abcde").empty()) << "'[' is no wildcard";
    EXPECT_EQ((std::vector<std::string>{"a.ABCDE", "b.abcde", "c.AbCdE"}),
              Sorted(m_pEnv->FindFiles("D:\\not_plate\\?.?bcde")));
    // "*.*" lists every entry, as on Windows, but never "." or "..".
    EXPECT_EQ(7u, m_pEnv->FindFiles("d:/not_plate/*.*").size());
    EXPECT_TRUE(m_pEnv->FindFiles("d:/missing/*.ABCDE").empty());
    // A bare pattern lists the current directory.
    ASSERT_TRUE(m_pEnv->SetCurrentDir("d:/not_plate"));
    EXPECT_EQ((std::vector<std::string>{"e.txt"}), m_pEnv->FindFiles("*.TXT"));
}

TEST_P(FilesContractTest, CopyRemoveAndMakeDirectoryGiveWindowsResults) {
    vtest::WriteHostFile(m_root.Host("d/a/src.bin"), std::string("\0\x01\xff data", 8));
    vtest::WriteHostFile(m_root.Host("d/a/dst.bin"), "old");
    EXPECT_FALSE(m_pEnv->CopyFileTo("d:/a/src.bin", "d:/a/dst.bin", true));
    EXPECT_EQ("old", vtest::ReadHostFile(m_root.Host("d/a/dst.bin")));
    EXPECT_TRUE(m_pEnv->CopyFileTo("d:/a/src.bin", "d:/a/dst.bin", false));
    EXPECT_EQ(std::string("\0\x01\xff data", 8), vtest::ReadHostFile(m_root.Host("d/a/dst.bin")));
    EXPECT_FALSE(m_pEnv->CopyFileTo("d:/a/none.bin", "d:/a/new.bin", false));
    EXPECT_FALSE(std::filesystem::exists(m_root.Host("d/a/new.bin")));

    EXPECT_TRUE(m_pEnv->RemoveFile("D:/a/dst.bin"));
    EXPECT_FALSE(m_pEnv->RemoveFile("D:/a/dst.bin"));
    EXPECT_FALSE(m_pEnv->RemoveFile("D:/a")) << "a directory is not a file";

    EXPECT_TRUE(m_pEnv->MakeDirectory("d:/delete_img"));
    EXPECT_FALSE(m_pEnv->MakeDirectory("d:/delete_img"));
    EXPECT_FALSE(m_pEnv->MakeDirectory("d:/x/y/z")) << "one level at a time";
}

TEST_P(FilesContractTest, OpenFileWorksOnTheMappedPath) {
    std::filesystem::create_directories(m_root.Host("d/System_Log"));
    FILE* pOut = m_pEnv->OpenFile("d:/System_Log/today.txt", "ab");
    ASSERT_NE(nullptr, pOut);
    std::fputs("line\n", pOut);
    std::fclose(pOut);
    EXPECT_EQ("line\n", vtest::ReadHostFile(m_root.Host("d/System_Log/today.txt")));
    EXPECT_EQ(nullptr, m_pEnv->OpenFile("d:/System_Log/none.txt", "rb"));
}

TEST_P(FilesContractTest, ProfileValuesFollowGetPrivateProfileString) {
    vtest::WriteHostFile(m_root.Host("d/QN64-ABRIX/Data/Test.ini"),
                         "[LocalInfo]\r\n"
                         "  LOCAL_ADDRESS =  12345ABC  \r\n"
                         "; MANAGE_PC_IP=1.1.1.1\r\n"
                         "MANAGE_PC_IP=10.0.0.7 ; not a comment\r\n"
                         "EMPTY=\r\n"
                         "QUOTED=\" a b \"\r\n"
                         "local_address=second\r\n"
                         "[localinfo]\r\n"
                         "LATE=only in the second section\r\n");
    EXPECT_EQ("12345ABC", Profile("LOCALINFO", "local_address", "dflt"));
    EXPECT_EQ("10.0.0.7 ; not a comment", Profile("LocalInfo", "MANAGE_PC_IP", ""));
    EXPECT_EQ("", Profile("LocalInfo", "EMPTY", "dflt"));
    EXPECT_EQ(" a b ", Profile("LocalInfo", "QUOTED", ""));
    EXPECT_EQ("dflt", Profile("LocalInfo", "LATE", "dflt"));
    EXPECT_EQ("dflt", Profile("LocalInfo", "MISSING", "dflt   "));
    EXPECT_EQ("dflt", Profile("Nowhere", "LOCAL_ADDRESS", "dflt"));
    EXPECT_EQ("1234", Profile("LocalInfo", "LOCAL_ADDRESS", "", 5));
    EXPECT_EQ("", Profile("LocalInfo", "LOCAL_ADDRESS", "", 1));
    std::filesystem::remove(m_root.Host("d/QN64-ABRIX/Data/Test.ini"));
    EXPECT_EQ("0", Profile("LocalInfo", "LOCAL_ADDRESS", "0"));
}

INSTANTIATE_TEST_SUITE_P(Backends, FilesContractTest, ::testing::Values("posix", "fake"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
