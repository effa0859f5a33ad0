// Named mappings and program start on the POSIX back-end: a mapping is created once and
// then opened with its bytes intact by another back-end of the station; WinExec starts a
// program of the station's drive without a shell, in its own directory, with the root.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/env_wrapper.h"
#include "platform/platform.h"
#include "tests/unit/platform_test_util.h"

namespace {

class SystemTest : public ::testing::Test {
  protected:
    SystemTest() : m_pEnv(vplat::NewHostEnv(m_root.Path())) {}
    vtest::TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv;
};

TEST_F(SystemTest, MappingIsCreatedOnceAndSharedByName) {
    vplat::MappedView view;
    EXPECT_FALSE(m_pEnv->OpenMapping("LOCALSTATUSINFO", &view)) << "nobody created it yet";
    EXPECT_EQ(nullptr, view.pView);

    bool bCreated = false;
    ASSERT_TRUE(m_pEnv->CreateMapping("LOCALSTATUSINFO", 4096, &view, &bCreated));
    EXPECT_TRUE(bCreated);
    ASSERT_EQ(4096u, view.nSize);
    const char* p = static_cast<const char*>(view.pView);
    EXPECT_EQ(4096, std::count(p, p + 4096, '\0')) << "new mappings are zero-filled";
    std::memcpy(view.pView, "12345", 5);

    // Another program of the station sees the same bytes, and creating again keeps them.
    auto pOther = vplat::NewHostEnv(m_root.Path());
    vplat::MappedView other;
    ASSERT_TRUE(pOther->OpenMapping("LOCALSTATUSINFO", &other));
    EXPECT_EQ(0, std::memcmp(other.pView, "12345", 5));
    vplat::MappedView again;
    ASSERT_TRUE(pOther->CreateMapping("LOCALSTATUSINFO", 4096, &again, &bCreated));
    EXPECT_FALSE(bCreated);
    EXPECT_EQ(0, std::memcmp(again.pView, "12345", 5));
    static_cast<char*>(again.pView)[0] = '9';
    EXPECT_EQ('9', p[0]) << "mapped shared";

    pOther->CloseMapping(&other);
    EXPECT_EQ(nullptr, other.pView);
    pOther->CloseMapping(&again);
    m_pEnv->CloseMapping(&view);
    m_pEnv->CloseMapping(&view);  // twice is harmless
    EXPECT_TRUE(std::filesystem::exists(m_root.Host(".shm/LOCALSTATUSINFO")));
}

TEST_F(SystemTest, StartProgramRunsItInItsDirectoryWithTheRoot) {
    const std::string szScript = m_root.Host("d/QN64-ABRIX/Bin/Quillamor.exe");
    vtest::WriteHostFile(szScript,
                         "#!/bin/sh\n"
                         "echo \"$PWD|$VELMORA_ROOT|$#|$1|$2\" > started.tmp\n"
                         "mv started.tmp started.txt\n");
    std::filesystem::permissions(szScript, std::filesystem::perms::owner_all);
    ASSERT_TRUE(m_pEnv->StartProgram("D:/QN64-ABRIX/Bin/Quillamor.exe 7 x", 1));
    const std::string szOut = m_root.Host("d/QN64-ABRIX/Bin/started.txt");
    ASSERT_TRUE(vtest::WaitFor([&] { return std::filesystem::exists(szOut); }));
    EXPECT_EQ(m_root.Host("d/QN64-ABRIX/Bin") + "|" + m_root.Path() + "|2|7|x\n",
              vtest::ReadHostFile(szOut));
}

TEST_F(SystemTest, StartProgramFindsAPathWithBlanksAndFailsOnMissingOnes) {
    const std::string szScript = m_root.Host("d/Program Files/Brisketon.exe");
    vtest::WriteHostFile(szScript, "#!/bin/sh\necho \"$#\" > ran.txt\n");
    std::filesystem::permissions(szScript, std::filesystem::perms::owner_all);
    ASSERT_TRUE(m_pEnv->StartProgram("D:/Program Files/Brisketon.exe", 0));
    ASSERT_TRUE(vtest::WaitFor(
        [&] { return vtest::ReadHostFile(m_root.Host("d/Program Files/ran.txt")) == "0\n"; }));
    EXPECT_TRUE(m_pEnv->StartProgram("\"D:/Program Files/Brisketon.exe\" a", 0));

    EXPECT_FALSE(m_pEnv->StartProgram("D:/QN64-ABRIX/Bin/Missing.exe", 1));
    EXPECT_FALSE(m_pEnv->StartProgram("", 1));
    vtest::WriteHostFile(m_root.Host("d/plain.exe"), "not executable");
    EXPECT_FALSE(m_pEnv->StartProgram("D:/plain.exe", 1));
}

}  // namespace
