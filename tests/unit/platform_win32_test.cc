// What only the Windows back-end has: the process's own instance works on the machine's
// real drives and the process's current directory.
#include <windows.h>

#include "platform/host_env.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

TEST(Win32DrivesTest, StationPathsAreTheMachinesOwnAndFollowTheProcessDirectory) {
    TempRoot root;
    fs::create_directories(root.Host("QN64-ABRIX/Bin"));
    char szOld[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof(szOld), szOld);
    vplat::HostOptions opts;
    opts.szRoot = root.Path();
    opts.bHeadless = true;
    opts.bProcessDir = true;
    vplat::HostEnv env(opts);

    EXPECT_EQ("D:/b", env.MapPath("d:\\a\\..\\..\\b")) << "never above the drive's root";
    EXPECT_EQ("E:/", env.MapPath("e:"));
    ASSERT_TRUE(env.SetCurrentDir((root.Path() + "/QN64-ABRIX/Bin").c_str()));
    char szBuf[MAX_PATH + 1];
    const std::string szCwd(szBuf, env.GetCurrentDir(szBuf, sizeof szBuf));
    EXPECT_EQ(host::Folded(root.Path() + "/QN64-ABRIX/Bin"), host::Folded(szCwd));
    EXPECT_EQ(szCwd.substr(0, 2) + "/", env.MapPath("/")) << "rooted on the current drive";
    EXPECT_EQ(host::Folded(root.Path() + "/QN64-ABRIX/Data/x.ini"), host::Folded(env.MapPath("../Data/x.ini")));
    EXPECT_FALSE(env.SetCurrentDir((root.Path() + "/nowhere").c_str()));
    EXPECT_EQ(host::Folded(szCwd), host::Folded(std::string(szBuf, env.GetCurrentDir(szBuf, sizeof szBuf))));
    SetCurrentDirectoryA(szOld);
}

}  // namespace
}  // namespace vtest
