// The POSIX back-end's own file: the unit tests' machine helpers on POSIX (a shell script as
// the probe program, BSD sockets as the Manager PC's side), then what only this back-end has:
// the service manager's notify socket, the station's time kept as an offset while the
// environment forces it, a pseudo-terminal as the modem (raw bytes, the stop event, the modem
// vanishing), windows as socket files (escaped titles, stale sockets), and the manager link's
// socket as the kernel reports it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <fstream>

#include "tests/unit/station_fixture.h"

namespace vtest {
namespace host {

const char* BackendName() { return "posix"; }

bool InstallProbe(const std::string& szPath) {
    std::ofstream(szPath) << "#!/bin/sh\necho \"$PWD|$VELMORA_ROOT|$#|$1|$2\" > s.tmp\n"
                             "mv s.tmp started.txt\n";
    std::error_code ec;
    std::filesystem::permissions(szPath, std::filesystem::perms::owner_all, ec);
    return !ec;
}

Conn ListenLoopback(int* pnPort) {
    const int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (nFd < 0 || ::bind(nFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(nFd, 4) != 0 || ::getsockname(nFd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        CloseConn(nFd);
        return kNoConn;
    }
    *pnPort = ntohs(a.sin_port);
    return nFd;
}

Conn AcceptWithin(Conn listener, int nMs) {
    const int nFd =
        ReadableWithin(listener, nMs) ? ::accept(static_cast<int>(listener), nullptr, nullptr) : -1;
    return nFd >= 0 ? nFd : kNoConn;
}

bool ReadableWithin(Conn c, int nMs) {
    pollfd p{static_cast<int>(c), POLLIN, 0};
    return ::poll(&p, 1, nMs) == 1;
}

long ReceiveSome(Conn c, void* pBuf, size_t nSize) {
    return static_cast<long>(::recv(static_cast<int>(c), pBuf, nSize, 0));
}

bool SendAll(Conn c, const void* pBuf, size_t nSize) {
    for (const char* p = static_cast<const char*>(pBuf); nSize > 0;) {
        const ssize_t n = ::send(static_cast<int>(c), p, nSize, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

void CloseConn(Conn c) {
    if (c >= 0) ::close(static_cast<int>(c));
}

}  // namespace host

namespace {

// A Unix-domain socket of nType bound to szName ('@' first: in the abstract namespace);
// -1 when it cannot be made.
int BoundUnixSocket(const std::string& szName, int nType) {
    const int nFd = socket(AF_UNIX, nType | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, szName.data(), std::min(szName.size(), sizeof addr.sun_path - 1));
    if (szName[0] == '@') addr.sun_path[0] = '\0';
    const auto nLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + szName.size());
    if (bind(nFd, reinterpret_cast<sockaddr*>(&addr), nLen) == 0) return nFd;
    close(nFd);
    return -1;
}

// The service manager's notify protocol: one datagram per state line to NOTIFY_SOCKET
// (a path, or '@' for the abstract namespace); nothing at all without it.
TEST(ServiceNotify, StateLinesGoToTheNotifySocketOnlyWhenThereIsOne) {
    // Names of this run's own, so that nothing a run before left behind can hold them.
    const TempRoot root;
    const std::string szUnique = std::filesystem::path(root.Path()).filename().string();
    for (const std::string& szName : {root.Host("notify"), "@" + szUnique + "-notify"}) {
        SCOPED_TRACE(szName);
        const int fd = BoundUnixSocket(szName, SOCK_DGRAM);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        setenv("NOTIFY_SOCKET", szName.c_str(), 1);
        EXPECT_TRUE(vplat::NotifyServiceManager("WATCHDOG=1"));
        char buf[32] = {};
        EXPECT_EQ(recv(fd, buf, sizeof buf, MSG_DONTWAIT), 10);
        EXPECT_STREQ(buf, "WATCHDOG=1");
        unsetenv("NOTIFY_SOCKET");
        EXPECT_FALSE(vplat::NotifyServiceManager("WATCHDOG=1"));
        close(fd);
    }
}

class PosixHostTest : public ::testing::Test {
  protected:
    TempRoot m_root;
    std::unique_ptr<vplat::Env> m_pEnv = vplat::NewHostEnv(m_root.Path());
};

// Tests run as root: the machine's clock must never move, whatever the station is told.
// The variable is left at "1", the value every test run has.
TEST_F(PosixHostTest, TheEnvironmentForcesTheClockOffset) {
    for (const char* szValue : {"", "0", static_cast<const char*>(nullptr), "1"}) {
        if (szValue != nullptr) setenv("VELMORA_CLOCK_OFFSET", szValue, 1);
        if (szValue == nullptr) unsetenv("VELMORA_CLOCK_OFFSET");
        EXPECT_EQ(szValue != nullptr && *szValue == '1', vplat::ClockOffsetForced())
            << (szValue != nullptr ? szValue : "unset");
    }
    ASSERT_TRUE(vplat::ClockOffsetForced());
    m_pEnv->SetMachineClockAllowed(true);
    const int64_t nMachine = static_cast<int64_t>(time(nullptr));
    ASSERT_TRUE(m_pEnv->SetLocalClock(vplat::LocalTimeFromTime64(nMachine + 2 * 86400)));
    EXPECT_LE(static_cast<int64_t>(time(nullptr)) - nMachine, 5) << "the machine clock stayed";
    EXPECT_GE(m_pEnv->Time64() - nMachine, 2 * 86400 - 5) << "the station's time moved";
}

TEST_F(PosixHostTest, PseudoTerminalModemLinesStopAndVanishing) {
    int nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(nMaster, 0);
    ASSERT_EQ(0, grantpt(nMaster));
    ASSERT_EQ(0, unlockpt(nMaster));
    const vplat::SerialHandle h = m_pEnv->SerialOpen(ptsname(nMaster), 115200);
    ASSERT_TRUE(h.IsOpen());
    auto pStop = m_pEnv->NewEvent(false);
    int nQueued = -1;
    EXPECT_EQ(0, m_pEnv->SerialWait(h, pStop.get(), 20, &nQueued));
    ASSERT_EQ(10, write(nMaster, "+CMTI: 1\r\n", 10));
    ASSERT_TRUE(WaitFor(
        [&] { return m_pEnv->SerialWait(h, pStop.get(), 50, &nQueued) == 1 && nQueued == 10; }));
    char buf[32];
    EXPECT_EQ(10, m_pEnv->SerialRead(h, buf, sizeof buf, nullptr));
    EXPECT_EQ("+CMTI: 1\r\n", std::string(buf, 10)) << "raw: no CR/LF translation";
    EXPECT_EQ(9, m_pEnv->SerialWrite(h, "AT+CMGR=1", 9, nullptr));
    pStop->Set();
    EXPECT_EQ(-1, m_pEnv->SerialWait(h, pStop.get(), 5000, &nQueued));
    close(nMaster);
    EXPECT_EQ(-2, m_pEnv->SerialWait(h, nullptr, 5000, &nQueued)) << "the modem vanished";
    m_pEnv->SerialClose(h);
}

TEST_F(PosixHostTest, WindowSocketsAreEscapedTitlesAndStaleOnesAreReplaced) {
    // A socket whose listener died without removing its file.
    const std::string szPath = m_root.Host(".windows/Morwick");
    fs::create_directories(m_root.Host(".windows"));
    const int nFd = BoundUnixSocket(szPath, SOCK_STREAM);
    ASSERT_GE(nFd, 0);
    close(nFd);
    EXPECT_TRUE(m_pEnv->FindWindowTitle("Morwick").IsNull());
    EXPECT_FALSE(fs::exists(szPath)) << "the stale file is removed";
    WriteHostFile(szPath, "junk");  // a leftover that is not even a socket
    auto pOwner = vplat::NewHostEnv(m_root.Path());
    ASSERT_TRUE(pOwner->OpenOwnWindow("Morwick")) << "a new owner takes the title over";
    EXPECT_FALSE(m_pEnv->FindWindowTitle("Morwick").IsNull());
    ASSERT_TRUE(m_pEnv->OpenOwnWindow("Harwent Console v1.0"));
    EXPECT_TRUE(fs::exists(m_root.Host(".windows/Harwent%20Console%20v1.0")));
}

// A socket option as the kernel reports it.
template <class T = int>
T Option(int nFd, int nLevel, int nName) {
    T v{};
    socklen_t nLen = sizeof v;
    getsockopt(nFd, nLevel, nName, &v, &nLen);
    return v;
}
uint64_t Ms(const timeval& t) { return uint64_t(t.tv_sec) * 1000 + t.tv_usec / 1000; }
// What the kernel grants a fresh TCP socket that asks for nBytes of buffer (Linux doubles
// the request, caps it at net.core.[rw]mem_max and raises it to its minimum).
int GrantedBuffer(int nName, int nBytes) {
    const int nFd = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(nFd, SOL_SOCKET, nName, &nBytes, sizeof nBytes);
    const int n = Option(nFd, SOL_SOCKET, nName);
    close(nFd);
    return n;
}

class LinkSocketTest : public StationTest {};

TEST_F(LinkSocketTest, TheLinkThreadsSocketIsSetUpAsTheStationAsks) {
    LoopbackServer server;
    MakeLinkedDialog("ABCDE", 0);
    LinkEntry& link = Link();
    link.m_dwManagerIp = 0x7F000001;
    link.m_nManagerPort = server.Port();
    link.m_bRun = 1;
    link.m_nIndex = 0;
    link.m_hThread = std::thread(LinkThreadProc, m_pDlg.get(), 0);
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(WaitFor([&] { return link.m_nLinkState.load() == 1; }));
    const int nFd = static_cast<int>(link.m_hSocket.load());
    const linger l = Option<linger>(nFd, SOL_SOCKET, SO_LINGER);
    EXPECT_EQ(l.l_onoff, 1) << "abortive close";
    EXPECT_EQ(l.l_linger, 0);
    EXPECT_EQ(Option(nFd, IPPROTO_TCP, TCP_NODELAY), 1);
    const uint64_t nIoMs = m_pEnv->Target()->ScaleMs(5000);  // the real back-end's scale
    EXPECT_EQ(Ms(Option<timeval>(nFd, SOL_SOCKET, SO_SNDTIMEO)), nIoMs);
    EXPECT_EQ(Ms(Option<timeval>(nFd, SOL_SOCKET, SO_RCVTIMEO)), nIoMs);
    EXPECT_EQ(Option(nFd, SOL_SOCKET, SO_SNDBUF), GrantedBuffer(SO_SNDBUF, 0)) << "the least";
    EXPECT_EQ(Option(nFd, SOL_SOCKET, SO_RCVBUF), GrantedBuffer(SO_RCVBUF, 1536000));
    // The connect alone hands the socket over blocking (the link thread then makes it
    // event-driven); address 0 is this machine.
    const SOCKET_T s =
        CWinSock::ConnectTcp(0, static_cast<uint16_t>(server.Port()), 5000, 5000, true, 0, 1536000);
    ASSERT_NE(s, INVALID_SOCKET_T);
    EXPECT_EQ(fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK, 0);
    CWinSock::CloseSocket(s);
}

}  // namespace
}  // namespace vtest
