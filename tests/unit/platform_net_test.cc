// Events, TCP sockets and the serial port of the POSIX back-end, with the Winsock and
// serial conventions the link and modem code rely on: auto- and manual-reset events in one
// wait with a socket, a refused connect seen as an error, FD_READ / FD_CLOSE bits, recv of
// nothing as 0, and a pseudo-terminal standing in for the modem.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/env_wrapper.h"
#include "platform/platform.h"
#include "tests/unit/platform_test_util.h"

namespace {

class NetTest : public ::testing::Test {
  protected:
    NetTest() : m_pEnv(vplat::NewHostEnv(m_root.Path())) {}
    vtest::TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv;
};

TEST_F(NetTest, AutoResetEventsClearWhenAWaitReturnsThem) {
    auto pStop = m_pEnv->NewEvent(true);
    auto pSend = m_pEnv->NewEvent(false);
    vplat::Event* events[] = {pStop.get(), pSend.get()};
    EXPECT_EQ(-1, m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0));
    pSend->Set();
    pSend->Set();
    EXPECT_EQ(1, m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 1000));
    EXPECT_EQ(-1, m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0)) << "cleared once";
    pStop->Set();
    pSend->Set();
    EXPECT_EQ(0, m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0)) << "lowest index wins";
    EXPECT_EQ(0, m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0)) << "manual stays set";
    pStop->Reset();
    EXPECT_EQ(1, m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0));
}

TEST_F(NetTest, EventSetFromAnotherThreadWakesTheWait) {
    auto pEvent = m_pEnv->NewEvent(false);
    vplat::Event* events[] = {pEvent.get()};
    std::thread setter([&] { pEvent->Set(); });
    EXPECT_EQ(0, m_pEnv->WaitEventsOrSocket(events, 1, vplat::kNoSocket, 0xFFFFFFFFu));
    setter.join();
}

TEST_F(NetTest, RefusedConnectIsAnErrorNotWritable) {
    uint16_t nClosedPort;
    {
        vtest::LoopbackServer gone;  // a port that was free a moment ago
        nClosedPort = gone.Port();
    }
    const vplat::SocketHandle s = m_pEnv->SockOpenTcp();
    ASSERT_NE(vplat::kNoSocket, s);
    ASSERT_TRUE(m_pEnv->SockSetBlocking(s, false));
    EXPECT_EQ(1, m_pEnv->SockConnect(s, 0x7F000001, nClosedPort)) << "under way";
    const int nReady = m_pEnv->SockWait(s, vplat::kSockWritable | vplat::kSockError, 3000);
    EXPECT_EQ(vplat::kSockError, nReady);
    m_pEnv->SockClose(s);
}

TEST_F(NetTest, ConnectedSocketReadsWritesAndSeesTheClose) {
    vtest::LoopbackServer server;
    const vplat::SocketHandle s = m_pEnv->SockOpenTcp();
    EXPECT_TRUE(m_pEnv->SockSetLingerOff(s));
    EXPECT_TRUE(m_pEnv->SockSetNoDelay(s));
    EXPECT_TRUE(m_pEnv->SockSetSendBuffer(s, 0)) << "the kernel keeps its minimum";
    EXPECT_TRUE(m_pEnv->SockSetRecvBuffer(s, 65536));
    EXPECT_TRUE(m_pEnv->SockSetSendTimeout(s, 5000));
    EXPECT_TRUE(m_pEnv->SockSetRecvTimeout(s, 5000));
    ASSERT_TRUE(m_pEnv->SockSetBlocking(s, false));
    ASSERT_EQ(1, m_pEnv->SockConnect(s, 0x7F000001, server.Port()));
    EXPECT_EQ(vplat::kSockWritable, m_pEnv->SockWait(s, vplat::kSockWritable, 65535));
    ASSERT_TRUE(server.Accept());

    char buf[64];
    EXPECT_EQ(0, m_pEnv->SockRecv(s, buf, sizeof(buf))) << "nothing there yet";
    EXPECT_EQ(0, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(5, m_pEnv->SockSend(s, "hello", 5));
    EXPECT_EQ("hello", server.Receive(5));

    auto pStop = m_pEnv->NewEvent(true);
    vplat::Event* events[] = {pStop.get()};
    ASSERT_TRUE(server.SendText("abc"));
    EXPECT_EQ(1, m_pEnv->WaitEventsOrSocket(events, 1, s, 5000)) << "the socket's index";
    EXPECT_EQ(vplat::kNetRead, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(3, m_pEnv->SockRecv(s, buf, sizeof(buf)));

    // Data that arrives with the close is still a read; after it only the close is left.
    ASSERT_TRUE(server.SendText("zz"));
    server.CloseConnection();
    ASSERT_TRUE(
        vtest::WaitFor([&] { return (m_pEnv->EnumNetworkEvents(s) & vplat::kNetClose) != 0; }));
    EXPECT_EQ(vplat::kNetRead | vplat::kNetClose, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(2, m_pEnv->SockRecv(s, buf, sizeof(buf)));
    EXPECT_EQ(vplat::kNetClose, m_pEnv->EnumNetworkEvents(s));
    EXPECT_EQ(-1, m_pEnv->SockRecv(s, buf, sizeof(buf))) << "an orderly close reads as -1";
    EXPECT_TRUE(m_pEnv->SockClose(s));
}

TEST_F(NetTest, LocalAddressIsIPv4OrZero) {
    const uint32_t nAddr = m_pEnv->LocalIPv4();
    if (nAddr != 0) {
        EXPECT_NE(0u, nAddr >> 24) << "host order: the first octet is high";
    }
}

// A pseudo-terminal: the test holds the master side and plays the modem.
class SerialTest : public NetTest {
  protected:
    void SetUp() override {
        m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_nMaster, 0);
        ASSERT_EQ(0, grantpt(m_nMaster));
        ASSERT_EQ(0, unlockpt(m_nMaster));
        m_szSlave = ptsname(m_nMaster);
    }
    void TearDown() override {
        if (m_nMaster >= 0) close(m_nMaster);
    }
    int m_nMaster = -1;
    std::string m_szSlave;
};

TEST_F(SerialTest, ModemLinesArriveAndStopEndsTheWait) {
    const vplat::SerialHandle h = m_pEnv->SerialOpen(m_szSlave.c_str(), 115200);
    ASSERT_TRUE(h.IsOpen());
    auto pStop = m_pEnv->NewEvent(false);
    int nQueued = -1;
    EXPECT_EQ(0, m_pEnv->SerialWait(h, pStop.get(), 20, &nQueued));
    EXPECT_EQ(0, nQueued);

    ASSERT_EQ(10, write(m_nMaster, "+CMTI: 1\r\n", 10));
    EXPECT_EQ(1, m_pEnv->SerialWait(h, pStop.get(), 5000, &nQueued));
    ASSERT_TRUE(vtest::WaitFor([&] {
        m_pEnv->SerialWait(h, pStop.get(), 0, &nQueued);
        return nQueued == 10;
    }));
    char buf[32];
    EXPECT_EQ(10, m_pEnv->SerialRead(h, buf, sizeof(buf)));
    EXPECT_EQ("+CMTI: 1\r\n", std::string(buf, 10)) << "raw: no CR/LF translation";
    EXPECT_EQ(0, m_pEnv->SerialRead(h, buf, sizeof(buf)));

    EXPECT_EQ(9, m_pEnv->SerialWrite(h, "AT+CMGR=1", 9));
    char got[16] = {};
    ASSERT_TRUE(vtest::WaitFor([&] { return read(m_nMaster, got, 9) == 9; }));
    EXPECT_EQ("AT+CMGR=1", std::string(got, 9));

    pStop->Set();
    EXPECT_EQ(-1, m_pEnv->SerialWait(h, pStop.get(), 5000, &nQueued));
    m_pEnv->SerialClose(h);
}

TEST_F(SerialTest, VanishedModemIsReported) {
    const vplat::SerialHandle h = m_pEnv->SerialOpen(m_szSlave.c_str(), 9600);
    ASSERT_TRUE(h.IsOpen());
    close(m_nMaster);
    m_nMaster = -1;
    int nQueued = 0;
    EXPECT_EQ(-2, m_pEnv->SerialWait(h, nullptr, 5000, &nQueued));
    m_pEnv->SerialClose(h);
}

TEST_F(SerialTest, BadDevicesAndSpeedsDoNotOpen) {
    EXPECT_FALSE(m_pEnv->SerialOpen("/dev/nonexistent-modem", 115200).IsOpen());
    EXPECT_FALSE(m_pEnv->SerialOpen(m_szSlave.c_str(), 12345).IsOpen());
    EXPECT_FALSE(m_pEnv->SerialOpen(m_root.Path().c_str(), 9600).IsOpen()) << "not a tty";
    int nQueued = 0;
    EXPECT_EQ(-2, m_pEnv->SerialWait(vplat::SerialHandle{}, nullptr, 0, &nQueued));
}

}  // namespace
