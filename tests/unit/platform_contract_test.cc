// The platform's contract, run against the build's real back-end (POSIX or Win32) and the
// fake alike: station paths and the current directory in Windows form, listings with Windows
// wildcards, copy / remove / make-directory results, INI values by the GetPrivateProfileString
// rules, named mappings shared by name, events and sockets with the Winsock conventions the
// link code relies on. Then what only the real back-end does (programs, devices, a Win32
// process's own drives), the fake's own promises the other tests build on, the INI lookup,
// the CP949 golden bytes and the calendar. Windows and timers: platform_window_test.cc.
#include <algorithm>

#include "platform/env_wrapper.h"
#include "platform/host_env.h"
#include "platform/ini_parse.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

std::string CurrentDir(vplat::Env* pEnv) {
    char szBuf[512];
    return std::string(szBuf, pEnv->GetCurrentDir(szBuf, sizeof szBuf));
}

class ContractTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        m_pEnv = std::string(GetParam()) == "host"
                     ? vplat::NewHostEnv(m_root.Path())
                     : std::make_unique<vplat::FakeEnv>(m_root.Path());
    }
    std::vector<std::string> Find(const char* szPattern) {
        std::vector<std::string> v = m_pEnv->FindFiles(szPattern);
        std::sort(v.begin(), v.end());
        return v;
    }
    std::string Profile(const char* szSection, const char* szKey, const char* szDefault,
                        size_t nSize = 256) {
        std::vector<char> buf(nSize + 1, 'X');
        const size_t n = m_pEnv->ReadProfileString(szSection, szKey, szDefault, buf.data(), nSize,
                                                   "D:/QN64-ABRIX/Data/Test.ini");
        EXPECT_EQ(std::string(buf.data()).size(), n);
        return std::string(buf.data(), n);
    }
    TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv;
};

TEST_P(ContractTest, PathsMapUnderTheRootAndFollowTheCurrentDirectory) {
    const std::pair<const char*, const char*> kPaths[] = {
        {"D:/QN64-ABRIX/Data/ConfigInfoSetup.ini", "d/QN64-ABRIX/Data/ConfigInfoSetup.ini"},
        {"E:\\QN64-ABRIX\\Bin\\x.exe", "e/QN64-ABRIX/Bin/x.exe"},
        {"d:/not_plate/", "d/not_plate"},
        {"D:/../../etc/passwd", "d/etc/passwd"},  // never out of the drive
        {"D:/a/./../b", "d/b"}};
    for (const auto& [szIn, szOut] : kPaths) EXPECT_EQ(m_pEnv->MapPath(szIn), m_root.Host(szOut));
    EXPECT_EQ("D:/", CurrentDir(m_pEnv.get()));
    fs::create_directories(m_root.Host("e/QN64-ABRIX/Bin"));
    ASSERT_TRUE(m_pEnv->SetCurrentDir("E:/QN64-ABRIX/Bin"));
    EXPECT_EQ("E:/QN64-ABRIX/Bin", CurrentDir(m_pEnv.get()));
    EXPECT_EQ(m_root.Host("e/QN64-ABRIX/Data/x.ini"), m_pEnv->MapPath("../Data/x.ini"));
    EXPECT_EQ(m_root.Host("e/z"), m_pEnv->MapPath("../../../../z"));
    EXPECT_EQ(m_root.Host("e/Data"), m_pEnv->MapPath("/Data"));
    EXPECT_FALSE(m_pEnv->SetCurrentDir("E:/nowhere"));
    EXPECT_EQ("E:/QN64-ABRIX/Bin", CurrentDir(m_pEnv.get()));
    char szSmall[6];
    EXPECT_EQ(5u, m_pEnv->GetCurrentDir(szSmall, sizeof szSmall));
    EXPECT_STREQ("E:/QN", szSmall);
}

TEST_P(ContractTest, ListingsCopiesAndRemovalsGiveWindowsResults) {
    for (const char* szName : {"a.ABCDE", "b.abcde", "c.AbCdE", "d.ABCDEF", "e.txt", "noext"})
        WriteHostFile(m_root.Host(std::string("d/not_plate/") + szName), "x");
    fs::create_directories(m_root.Host("d/not_plate/sub.abcde"));
    EXPECT_EQ((std::vector<std::string>{"a.ABCDE", "b.abcde", "c.AbCdE", "sub.abcde"}),
              Find("d:/not_plate/*.ABCDE"));
    EXPECT_TRUE(Find("D:\\not_plate\\[ab]*.abcde").empty()) << "'[' is no wildcard";
    EXPECT_EQ((std::vector<std::string>{"a.ABCDE", "b.abcde", "c.AbCdE"}),
              Find("D:/not_plate/?.?bcde"));
    EXPECT_EQ(7u, Find("d:/not_plate/*.*").size()) << "every entry, never . or ..";
    EXPECT_TRUE(Find("d:/missing/*.ABCDE").empty());
    WriteHostFile(m_root.Host("d/a/src.bin"), std::string("\0\x01\xff data", 8));
    WriteHostFile(m_root.Host("d/a/dst.bin"), "old");
    EXPECT_FALSE(m_pEnv->CopyFileTo("d:/a/src.bin", "d:/a/dst.bin", true));
    EXPECT_EQ("old", ReadHostFile(m_root.Host("d/a/dst.bin")));
    EXPECT_TRUE(m_pEnv->CopyFileTo("d:/a/src.bin", "d:/a/dst.bin", false));
    EXPECT_EQ(std::string("\0\x01\xff data", 8), ReadHostFile(m_root.Host("d/a/dst.bin")));
    EXPECT_FALSE(m_pEnv->CopyFileTo("d:/a/none.bin", "d:/a/new.bin", false));
    EXPECT_TRUE(m_pEnv->RemoveFile("D:/a/dst.bin"));
    EXPECT_FALSE(m_pEnv->RemoveFile("D:/a/dst.bin"));
    EXPECT_FALSE(m_pEnv->RemoveFile("D:/a")) << "a directory is not a file";
    EXPECT_TRUE(m_pEnv->MakeDirectory("d:/delete_img"));
    EXPECT_FALSE(m_pEnv->MakeDirectory("d:/delete_img"));
    EXPECT_FALSE(m_pEnv->MakeDirectory("d:/x/y/z")) << "one level at a time";
    EXPECT_EQ(nullptr, m_pEnv->OpenFile("d:/a/none.txt", "rb"));
}

TEST_P(ContractTest, ProfileValuesFollowGetPrivateProfileString) {
    WriteHostFile(m_root.Host("d/QN64-ABRIX/Data/Test.ini"),
                  "[LocalInfo]\r\n  LOCAL_ADDRESS =  12345ABC  \r\n; MANAGE_PC_IP=1.1.1.1\r\n"
                  "MANAGE_PC_IP=10.0.0.7 ; not a comment\r\nEMPTY=\r\nQUOTED=\" a b \"\r\n"
                  "local_address=second\r\n[localinfo]\r\nLATE=only in the second section\r\n");
    EXPECT_EQ("12345ABC", Profile("LOCALINFO", "local_address", "dflt"));
    EXPECT_EQ("10.0.0.7 ; not a comment", Profile("LocalInfo", "MANAGE_PC_IP", ""));
    EXPECT_EQ("", Profile("LocalInfo", "EMPTY", "dflt"));
    EXPECT_EQ(" a b ", Profile("LocalInfo", "QUOTED", ""));
    EXPECT_EQ("dflt", Profile("LocalInfo", "LATE", "dflt")) << "the first section only";
    EXPECT_EQ("dflt", Profile("LocalInfo", "MISSING", "dflt   "));
    EXPECT_EQ("1234", Profile("LocalInfo", "LOCAL_ADDRESS", "", 5));
    EXPECT_EQ("", Profile("LocalInfo", "LOCAL_ADDRESS", "", 1));
    fs::remove(m_root.Host("d/QN64-ABRIX/Data/Test.ini"));
    EXPECT_EQ("0", Profile("LocalInfo", "LOCAL_ADDRESS", "0"));
}

TEST_P(ContractTest, MappingIsCreatedOnceAndSharedByName) {
    vplat::MappedView view, other, again;
    EXPECT_FALSE(m_pEnv->OpenMapping("LOCALSTATUSINFO", &view)) << "nobody created it yet";
    bool bCreated = false;
    ASSERT_TRUE(m_pEnv->CreateMapping("LOCALSTATUSINFO", 4096, &view, &bCreated));
    EXPECT_TRUE(bCreated);
    ASSERT_EQ(4096u, view.nSize);
    char* p = static_cast<char*>(view.pView);
    EXPECT_EQ(4096, std::count(p, p + 4096, '\0')) << "zero-filled";
    std::memcpy(p, "12345", 5);
    auto pOther = vplat::NewHostEnv(m_root.Path());  // another program of the station
    ASSERT_TRUE(pOther->OpenMapping("LOCALSTATUSINFO", &other));
    EXPECT_EQ(0, std::memcmp(other.pView, "12345", 5));
    ASSERT_TRUE(pOther->CreateMapping("LOCALSTATUSINFO", 4096, &again, &bCreated));
    EXPECT_FALSE(bCreated);
    static_cast<char*>(again.pView)[0] = '9';
    EXPECT_EQ('9', p[0]);
    pOther->CloseMapping(&other);
    pOther->CloseMapping(&again);
    m_pEnv->CloseMapping(&view);
    m_pEnv->CloseMapping(&view);  // twice is harmless
    EXPECT_EQ(nullptr, view.pView);
}

TEST_P(ContractTest, EventsAndSocketsFollowTheWinsockConventions) {
    auto pStop = m_pEnv->NewEvent(true);
    auto pSend = m_pEnv->NewEvent(false);
    vplat::Event* events[] = {pStop.get(), pSend.get()};
    const auto Wait = [&](uint32_t nMs, vplat::SocketHandle s = vplat::kNoSocket) {
        return m_pEnv->WaitEventsOrSocket(events, 2, s, nMs);
    };
    EXPECT_EQ(-1, Wait(0));
    std::thread setter([&] { pSend->Set(); });
    EXPECT_EQ(1, Wait(0xFFFFFFFFu));
    setter.join();
    EXPECT_EQ(-1, Wait(0)) << "an auto-reset event is cleared once a wait returned it";
    pStop->Set();
    pSend->Set();
    EXPECT_EQ(0, Wait(0)) << "lowest index wins";
    EXPECT_EQ(0, Wait(0)) << "manual stays set";
    pStop->Reset();
    EXPECT_EQ(1, Wait(0));

    const vplat::SocketHandle r = m_pEnv->SockOpenTcp();
    ASSERT_TRUE(m_pEnv->SockSetBlocking(r, false));
    EXPECT_EQ(1, m_pEnv->SockConnect(r, 0x7F000001, static_cast<uint16_t>(FreePort())));
    EXPECT_EQ(vplat::kSockError,
              m_pEnv->SockWait(r, vplat::kSockWritable | vplat::kSockError, 3000))
        << "a refused connect is an error, not writable";
    m_pEnv->SockClose(r);
    LoopbackServer server;
    const vplat::SocketHandle s = m_pEnv->SockOpenTcp();
    ASSERT_TRUE(m_pEnv->SockSetBlocking(s, false));
    ASSERT_EQ(1, m_pEnv->SockConnect(s, 0x7F000001, static_cast<uint16_t>(server.Port())));
    EXPECT_EQ(vplat::kSockWritable, m_pEnv->SockWait(s, vplat::kSockWritable, 65535));
    ASSERT_TRUE(server.Accept());
    char buf[64];
    EXPECT_EQ(0, m_pEnv->SockRecv(s, buf, sizeof buf)) << "nothing there yet";
    EXPECT_EQ(5, m_pEnv->SockSend(s, "hello", 5));
    EXPECT_EQ(Bytes("hello"), server.Recv(5));
    server.Send(Bytes("abc"));
    EXPECT_EQ(2, Wait(5000, s)) << "the socket's index follows the events'";
    EXPECT_EQ(vplat::kNetRead, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(3, m_pEnv->SockRecv(s, buf, sizeof buf));
    server.Send(Bytes("zz"));  // data with the close is still a read; then only the close
    server.Drop();
    ASSERT_TRUE(WaitFor([&] { return (m_pEnv->EnumNetworkEvents(s) & vplat::kNetClose) != 0; }));
    EXPECT_EQ(vplat::kNetRead | vplat::kNetClose, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(2, m_pEnv->SockRecv(s, buf, sizeof buf));
    EXPECT_EQ(vplat::kNetClose, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(-1, m_pEnv->SockRecv(s, buf, sizeof buf)) << "an orderly close reads as -1";
    EXPECT_TRUE(m_pEnv->SockClose(s));
}

INSTANTIATE_TEST_SUITE_P(Backends, ContractTest, ::testing::Values("host", "fake"),
                         [](const auto& info) {
                             return std::string(info.param) == "host" ? host::BackendName()
                                                                      : std::string(info.param);
                         });

// Programs and devices, which the fake only records: the build's real back-end.
TEST(HostTest, ProgramsStartInTheirDirectoryAndDevicesThatAreNoPortDoNotOpen) {
    TempRoot root;
    const auto pEnv = vplat::NewHostEnv(root.Path());
    const std::string szDir = root.Host("d/Program Files"), szOut = szDir + "/started.txt";
    fs::create_directories(szDir);
    ASSERT_TRUE(host::InstallProbe(szDir + "/Quillamor.exe"));
    const auto Started = [&](const char* szLine) {
        fs::remove(szOut);
        EXPECT_TRUE(pEnv->StartProgram(szLine, 1)) << szLine;
        EXPECT_TRUE(WaitFor([&] { return fs::exists(szOut); }));
        return host::Folded(ReadHostFile(szOut));
    };
    const std::string szWhere = host::Folded(szDir + "|" + root.Path() + "|");
    EXPECT_EQ(szWhere + "2|7|x y\n", Started("\"D:/Program Files/Quillamor.exe\" 7 \"x y\""));
    // Unquoted, the blank in the path is found the way WinExec finds it.
    EXPECT_EQ(szWhere + "1|7|\n", Started("D:/Program Files/Quillamor.exe 7"));
    WriteHostFile(root.Host("d/plain.exe"), "not executable");
    for (const char* szLine : {"D:/QN64-ABRIX/Bin/Missing.exe", "D:/plain.exe", "   "})
        EXPECT_FALSE(pEnv->StartProgram(szLine, 1)) << szLine;

    EXPECT_FALSE(pEnv->SerialOpen("COM1", 12345).IsOpen()) << "no such speed";
    for (const std::string& szDevice :
         {root.Path(), root.Host("d/plain.exe"), std::string("COM199")})
        EXPECT_FALSE(pEnv->SerialOpen(szDevice.c_str(), 9600).IsOpen()) << szDevice;
    int nQueued = -1;
    EXPECT_EQ(-2, pEnv->SerialWait(vplat::SerialHandle{}, nullptr, 10, &nQueued));
    EXPECT_EQ(0, nQueued);
}

// A Win32 instance that follows the process's directory works on the machine's real drives.
TEST(HostTest, Win32StationPathsAreTheMachinesOwnAndFollowTheProcessDirectory) {
    if (std::string(host::BackendName()) != "win32") GTEST_SKIP() << "drive letters are Win32's";
    TempRoot root;
    fs::create_directories(root.Host("QN64-ABRIX/Bin"));
    const fs::path old = fs::current_path();
    vplat::HostOptions opts;
    opts.szRoot = root.Path();
    opts.bHeadless = true;
    opts.bProcessDir = true;
    vplat::HostEnv env(opts);
    EXPECT_EQ("D:/b", env.MapPath("d:\\a\\..\\..\\b")) << "never above the drive's root";
    EXPECT_EQ("E:/", env.MapPath("e:"));
    ASSERT_TRUE(env.SetCurrentDir((root.Path() + "/QN64-ABRIX/Bin").c_str()));
    const std::string szCwd = CurrentDir(&env);
    EXPECT_EQ(host::Folded(root.Path() + "/QN64-ABRIX/Bin"), host::Folded(szCwd));
    EXPECT_EQ(szCwd.substr(0, 2) + "/", env.MapPath("/")) << "rooted on the current drive";
    EXPECT_EQ(host::Folded(root.Path() + "/QN64-ABRIX/Data/x.ini"),
              host::Folded(env.MapPath("../Data/x.ini")));
    EXPECT_FALSE(env.SetCurrentDir((root.Path() + "/nowhere").c_str()));
    EXPECT_EQ(host::Folded(szCwd), host::Folded(CurrentDir(&env)));
    fs::current_path(old);
}

struct Recorder : vplat::LoopHandler {
    void OnLoopTimer(uint32_t nId) override {
        m_events.push_back("T" + std::to_string(nId) + "@" + std::to_string(pEnv->MonotonicMs()));
    }
    intptr_t OnLoopMessage(uint32_t, uintptr_t, intptr_t) override { return 0; }
    vplat::Env* pEnv = nullptr;
    std::vector<std::string> m_events;
};

TEST(FakeEnvTest, TimersWindowsProgramsAndCountedFaults) {
    TempRoot root;
    vplat::FakeEnv env(root.Path());
    Recorder rec;
    rec.pEnv = &env;
    env.SetLoopHandler(&rec);
    env.StartTimer(1, 1000);
    env.StartTimer(21, 2500);
    env.AdvanceMs(2999);
    env.StopTimer(1);
    EXPECT_EQ(0u, env.TimerPeriod(1));
    env.SleepMs(3000);  // 21 falls due while sleeping: one tick when time moves on
    EXPECT_EQ((std::vector<std::string>{"T1@1000", "T1@2000", "T21@2500"}), rec.m_events);
    env.AdvanceMs(1);
    EXPECT_EQ("T21@5999", rec.m_events.back());

    EXPECT_EQ(0, env.SendWindowMessage(vplat::WindowHandle{"Zentoral"}, 0x400 + 14, 1, 2));
    EXPECT_TRUE(env.Messages().empty()) << "nothing reaches an absent window";
    env.AddWindow("Zentoral", 7);
    const vplat::WindowHandle h = env.FindWindowTitle("Zentoral");
    env.AdvanceMs(250);
    EXPECT_EQ(7, env.SendWindowMessage(h, 0x400 + 14, 3, 4));
    EXPECT_TRUE(env.PostWindowMessage(h, 0x400 + 17, 5, 6));
    const std::vector<vplat::FakeMessage> msgs = env.Messages();
    ASSERT_EQ(2u, msgs.size());
    EXPECT_EQ(4, msgs[0].lParam);
    EXPECT_FALSE(msgs[0].bPosted);
    EXPECT_TRUE(msgs[1].bPosted);
    EXPECT_EQ(6250u, msgs[1].nAtMs);
    EXPECT_TRUE(env.StartProgram("D:/QN64-ABRIX/Bin/Brisketon.exe", 1));
    // A failing start and the process's end: ModemTest.DiallingAndHangingUp and the
    // watchdog's exit status in app_test.cc.

    LoopbackServer server;  // counted faults fail the nth call once
    const uint16_t nPort = static_cast<uint16_t>(server.Port());
    const vplat::SocketHandle s1 = env.SockOpenTcp();
    ASSERT_EQ(1, env.SockConnect(s1, 0x7F000001, nPort));
    ASSERT_TRUE(server.Accept());
    env.FailSend(2, false);
    EXPECT_EQ(1, env.SockSend(s1, "a", 1));
    EXPECT_EQ(-1, env.SockSend(s1, "b", 1));
    EXPECT_EQ(1, env.SockSend(s1, "c", 1)) << "once, not persistent";
    env.LimitSendBytes(3);
    EXPECT_EQ(3, env.SockSend(s1, "defghi", 6));
    env.LimitSendBytes(0);
    EXPECT_EQ(Bytes("acdef"), server.Recv(5));
    env.SockClose(s1);
}

TEST(IniParseTest, LookupRules) {
    const struct {
        std::string szText;
        const char *szSection, *szKey, *szValue;
    } kCases[] = {
        {"[ LocalInfo ]\n\tPort No = 11001 \n", "LOCALINFO", "port no", "11001"},
        {"[S]\nK=1\n[T]\nJ=2\n", "T", "K", "<missing>"},  // keys belong to their section
        {"KEY=before any section\n", "", "KEY", "<missing>"},
        {"[A]\nK=1\nK=2\n[a]\nJ=5\n", "A", "K", "1"},
        {"[A]\nK=1\n[a]\nJ=5\n", "A", "J", "<missing>"},  // only the first [A]
        {"[S]\n  ;J=commented\n", "S", "J", "<missing>"},
        {"[S]\nH='x'\n", "S", "H", "x"},
        {"[S]\nM=\"a'\n", "S", "M", "\"a'"},  // quotes must match to go
        {"[S]\nN\n", "S", "N", ""},
        {"\xEF\xBB\xBF[S]\r\nK=1\r\n", "S", "K", "1"},
        {"[S]\rK=0\nK=1", "S", "K", "1"},  // a lone CR ends no line
        {"[S\nK=1\n[S]\nK=2\n", "S", "K", "2"},
        {"[S]\nK=x=y\n", "S", "K", "x=y"},
        {std::string("[S]\nK\0=1\n", 9), "S", "K", "<missing>"},
    };
    for (const auto& c : kCases) {
        std::string szValue;
        const bool bFound = vplat::IniFindValue(c.szText, c.szSection, c.szKey, &szValue);
        EXPECT_EQ(bFound ? szValue : "<missing>", c.szValue) << c.szText;
    }
    // The bounded copy's cut: ContractTest.ProfileValuesFollowGetPrivateProfileString.
    EXPECT_EQ(0u, vplat::IniCopyResult("ab", nullptr, 8));
}

TEST(TextTest, Cp949GoldenBytesQuestionMarksAndTheCalendar) {
    const std::string szGolden =
        "\xB0\xFC\xB8\xAE"
        "PC\xB7\xCE \xC0\xFC\xBC\xDB\xC1\xDF.....";
    EXPECT_EQ(szGolden, vplat::Utf8ToCp949("관리PC로 전송중....."));
    EXPECT_EQ("관리PC로 전송중.....", vplat::Cp949ToUtf8(szGolden));
    EXPECT_EQ("a?b", vplat::Utf8ToCp949(std::string("a\xF0\x9F\x98\x80") + "b")) << "no form";
    EXPECT_EQ("a?b", vplat::Utf8ToCp949(std::string("a\xFF") + "b"));
    EXPECT_EQ("a?", vplat::Utf8ToCp949("a\xEA\xB4")) << "cut short";
    EXPECT_EQ("x?", vplat::Cp949ToUtf8("x\xB0"));
    const int64_t t = vplat::Time64FromLocal(2026, 3, 14, 23, 59, 58);
    EXPECT_EQ(6, vplat::LocalTimeFromTime64(t).nDayOfWeek) << "a Saturday";
    EXPECT_EQ(vplat::Time64FromLocal(2026, 3, 1, 0, 0, 0),
              vplat::Time64FromLocal(2026, 2, 29, 0, 0, 0));
}

}  // namespace
}  // namespace vtest
