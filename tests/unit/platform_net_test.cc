// Events and sockets on the build's real back-end, with the Winsock conventions the link
// code relies on (auto- and manual-reset events in one wait with a socket, a refused
// connect as an error, FD_READ / FD_CLOSE bits, recv of nothing as 0), and the fake
// back-end's own promises the other tests build on (windows, messages, counted faults).
// The serial port and programs have tests of their own per back-end.
#include "platform/env_wrapper.h"
#include "tests/unit/station_fixture.h"

namespace vtest {
namespace {

class NetTest : public ::testing::Test {
  protected:
    NetTest() : m_pEnv(vplat::NewHostEnv(m_root.Path())) {}
    TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv;
};

TEST_F(NetTest, AutoResetEventsClearWhenAWaitReturnsThem) {
    auto pStop = m_pEnv->NewEvent(true);
    auto pSend = m_pEnv->NewEvent(false);
    vplat::Event* events[] = {pStop.get(), pSend.get()};
    auto Wait = [&](uint32_t nMs) {
        return m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, nMs);
    };
    EXPECT_EQ(-1, Wait(0));
    std::thread setter([&] { pSend->Set(); });
    EXPECT_EQ(1, Wait(0xFFFFFFFFu));
    setter.join();
    EXPECT_EQ(-1, Wait(0)) << "cleared once";
    pStop->Set();
    pSend->Set();
    EXPECT_EQ(0, Wait(0)) << "lowest index wins";
    EXPECT_EQ(0, Wait(0)) << "manual stays set";
    pStop->Reset();
    EXPECT_EQ(1, Wait(0));
}

TEST_F(NetTest, SocketsFollowTheWinsockConventions) {
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
    auto pStop = m_pEnv->NewEvent(true);
    vplat::Event* events[] = {pStop.get()};
    server.Send(Bytes("abc"));
    EXPECT_EQ(1, m_pEnv->WaitEventsOrSocket(events, 1, s, 5000)) << "the socket's index";
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

TEST(FakeEnvTest, WindowsMessagesProgramsAndProcessEnd) {
    TempRoot root;
    vplat::FakeEnv env(root.Path());
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
    EXPECT_EQ(250u, msgs[1].nAtMs);
    env.OpenWindowOnStart("Brisketon.exe", "Brisketon");
    EXPECT_TRUE(env.StartProgram("D:/QN64-ABRIX/Bin/Brisketon.exe", 1));
    EXPECT_FALSE(env.FindWindowTitle("Brisketon").IsNull());
    env.FailStartProgram(true);
    EXPECT_FALSE(env.StartProgram("D:/QN64-ABRIX/Bin/Quillamor.exe", 0));
    EXPECT_EQ(1u, env.StartedPrograms().size());
    try {
        env.EndProcess(1);
        FAIL() << "EndProcess returned";
    } catch (const vplat::FakeProcessEnd& e) {
        EXPECT_EQ(1, e.nStatus);
    }
}

TEST(FakeEnvTest, CountedFaultsFailTheNthCallOnce) {
    TempRoot root;
    vplat::FakeEnv env(root.Path());
    LoopbackServer server;
    const uint16_t nPort = static_cast<uint16_t>(server.Port());
    env.FailConnect(2, false);
    const vplat::SocketHandle s1 = env.SockOpenTcp();
    ASSERT_EQ(1, env.SockConnect(s1, 0x7F000001, nPort));
    const vplat::SocketHandle s2 = env.SockOpenTcp();
    EXPECT_EQ(0, env.SockConnect(s2, 0x7F000001, nPort)) << "the 2nd connect fails";
    env.SockClose(s2);
    ASSERT_TRUE(server.Accept());
    env.FailSend(2, false);
    EXPECT_EQ(1, env.SockSend(s1, "a", 1));
    EXPECT_EQ(-1, env.SockSend(s1, "b", 1));
    EXPECT_EQ(1, env.SockSend(s1, "c", 1)) << "once, not persistent";
    env.LimitSendBytes(3);
    EXPECT_EQ(3, env.SockSend(s1, "defghi", 6));
    env.LimitSendBytes(0);
    EXPECT_EQ(Bytes("acdef"), server.Recv(5));
    env.DropLinkAfterSends(1);
    EXPECT_EQ(1, env.SockSend(s1, "g", 1));
    EXPECT_NE(0, env.EnumNetworkEvents(s1) & vplat::kNetClose) << "the link dropped";
    EXPECT_EQ(-1, env.SockSend(s1, "h", 1));
    env.SockClose(s1);
}

}  // namespace
}  // namespace vtest
