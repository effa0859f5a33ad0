// The Windows back-end where it differs from the shared contract: WinExec in the program's
// own directory with the station root and the arguments handed on (quoted or not), serial
// devices that are no port, and the station's paths on the machine's real drives.
#include <windows.h>

#include "platform/env_wrapper.h"
#include "platform/host_env.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

// Forward slashes and lower case: Windows paths compared as the file system compares them.
std::string Folded(std::string s) {
    for (char& c : s) {
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// start_probe.exe, built beside this test program.
std::string ProbeProgram() {
    char szPath[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    std::string s(szPath, n < sizeof(szPath) ? n : 0);
    const size_t nSlash = s.find_last_of("\\/");
    return (nSlash == std::string::npos ? std::string() : s.substr(0, nSlash + 1)) +
           "start_probe.exe";
}

class Win32HostTest : public ::testing::Test {
  protected:
    Win32HostTest() : m_pEnv(vplat::NewHostEnv(m_root.Path())) {}
    TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv;
};

TEST_F(Win32HostTest, StartProgramRunsItInItsDirectoryWithTheRootAndArguments) {
    const std::string szDir = m_root.Host("d/Program Files");
    fs::create_directories(szDir);
    ASSERT_TRUE(CopyFileA(ProbeProgram().c_str(), (szDir + "/Quillamor.exe").c_str(), FALSE))
        << ProbeProgram();
    const std::string szOut = szDir + "/started.txt";
    const std::string szWant = Folded(szDir) + "|" + Folded(m_root.Path()) + "|2|7|x y\n";

    ASSERT_TRUE(m_pEnv->StartProgram("\"D:/Program Files/Quillamor.exe\" 7 \"x y\"", 1));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(szOut); }));
    EXPECT_EQ(szWant, Folded(ReadHostFile(szOut)));
    fs::remove(szOut);
    // Unquoted, the blank in the path is found the way WinExec finds it.
    ASSERT_TRUE(m_pEnv->StartProgram("D:/Program Files/Quillamor.exe 7", 0));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(szOut); }));
    EXPECT_EQ(Folded(szDir) + "|" + Folded(m_root.Path()) + "|1|7|\n", Folded(ReadHostFile(szOut)));

    EXPECT_FALSE(m_pEnv->StartProgram("D:/QN64-ABRIX/Bin/Missing.exe", 1));
    WriteHostFile(m_root.Host("d/plain.exe"), "not executable");
    EXPECT_FALSE(m_pEnv->StartProgram("D:/plain.exe", 1));
    EXPECT_FALSE(m_pEnv->StartProgram("   ", 1));
}

TEST_F(Win32HostTest, SerialDevicesThatAreNoPortDoNotOpen) {
    EXPECT_FALSE(m_pEnv->SerialOpen("COM1", 12345).IsOpen()) << "no such speed";
    EXPECT_FALSE(m_pEnv->SerialOpen(m_root.Path().c_str(), 9600).IsOpen()) << "a directory";
    WriteHostFile(m_root.Host("plain.txt"), "x");
    EXPECT_FALSE(m_pEnv->SerialOpen(m_root.Host("plain.txt").c_str(), 9600).IsOpen())
        << "a file has no port settings";
    EXPECT_FALSE(m_pEnv->SerialOpen("COM199", 9600).IsOpen());
    int nQueued = -1;
    EXPECT_EQ(-2, m_pEnv->SerialWait(vplat::SerialHandle{}, nullptr, 10, &nQueued));
    EXPECT_EQ(0, nQueued);
}

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
    EXPECT_EQ(Folded(root.Path() + "/QN64-ABRIX/Bin"), Folded(szCwd));
    EXPECT_EQ(szCwd.substr(0, 2) + "/", env.MapPath("/")) << "rooted on the current drive";
    EXPECT_EQ(Folded(root.Path() + "/QN64-ABRIX/Data/x.ini"), Folded(env.MapPath("../Data/x.ini")));
    EXPECT_FALSE(env.SetCurrentDir((root.Path() + "/nowhere").c_str()));
    EXPECT_EQ(Folded(szCwd), Folded(std::string(szBuf, env.GetCurrentDir(szBuf, sizeof szBuf))));
    SetCurrentDirectoryA(szOld);
}

}  // namespace
}  // namespace vtest
