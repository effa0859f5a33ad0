// Faults of the link and of the Manager PC's answers, against the real station program and
// velmora-mgrpc, in the manner of at-least-once shippers: the link cut at every packet of
// files of every boundary size, the station killed at each step of a transfer, answers
// withheld, doubled, misnumbered or unasked for, a link that goes silent without closing,
// a center away for ten station-minutes, and frames that are not quite frames. Whatever
// happens, a violation file leaves the violation directory only once the center held it
// whole (or gave it up by its own answers): every center here watches the directory and
// prints LOST otherwise. Duplicates are counted, not failed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/tcp_common.h"
#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

using e2e::Contains;
using e2e::Count;

// The time scale here: station time runs twenty times faster than real time (the
// harness's default is ten), so a ten-second tick takes half a second.
constexpr int kFast = 20;

// Under AddressSanitizer freed memory sits in its quarantine and stays resident, so the
// resident size of a program that allocates and frees grows without any leak; leaks are
// caught there by the leak check at the program's end instead.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_TEST_ASAN 1
#endif
#ifdef VELMORA_TEST_ASAN
constexpr bool kRssIsFlatWhenIdle = false;
#else
constexpr bool kRssIsFlatWhenIdle = true;
#endif

// Info packets of the file that the centers of the scene received.
size_t Offers(const e2e::VolScene& s, const std::string& szName) {
    size_t n = 0;
    for (const std::string& line : e2e::CenterLines(s.st, "RX code=51 "))
        n += Contains(line, " pkt=0000 ") && Contains(line, "file=\"" + szName + "\"");
    return n;
}

// Times the file was stored whole by a center of the scene.
size_t StoredTimes(const e2e::VolScene& s, const std::string& szName) {
    const auto names = e2e::CenterVolFiles(s.st);
    return static_cast<size_t>(std::count(names.begin(), names.end(), szName));
}

// Reaps the process if it ended; true while it runs.
bool Alive(e2e::Station& st, e2e::Proc& p) {
    st.Wait(p, 1ms);
    return p.nPid > 0;
}

TEST(CenterWatch, JudgesEveryFileThatLeavesTheViolationDirectory) {
    namespace fs = std::filesystem;
    e2e::VolScene s(100, {10, 20, 0, 30});  // no station runs: files leave by hand
    s.StartCenter({"--fail-on-loss"});
    // Removed; moved aside although this center never refused it; empty and moved aside (the
    // station's rule for empty files); reported stored by some other center, corrupted there.
    fs::remove(s.st.Path("d/ENF_IMG/1000.ABCDE"));
    e2e::WriteFile(s.st.Path("d/delete_img/1001.ABCDE"), s.files.at("1001.ABCDE"));
    fs::remove(s.st.Path("d/ENF_IMG/1001.ABCDE"));
    e2e::WriteFile(s.st.Path("d/delete_img/1002.ABCDE"), "");
    fs::remove(s.st.Path("d/ENF_IMG/1002.ABCDE"));
    e2e::WriteFile(s.st.Path("center/ABCDE/1003.ABCDE"), "not the bytes sent");
    e2e::WriteFile(s.st.Path("velmora-mgrpc.9.out"),
                   "FILE peer=127.0.0.1:1 id=\"ABCDE\" code=51 file=\"1003.ABCDE\" size=30 "
                   "packets=2 stored=\"x\"\n");
    fs::remove(s.st.Path("d/ENF_IMG/1003.ABCDE"));
    // Written beside its name and renamed in, as the main operation program does: no departure.
    e2e::WriteFile(s.st.Path("d/ENF_IMG/1004.ABCDE.part"), "new");
    fs::rename(s.st.Path("d/ENF_IMG/1004.ABCDE.part"), s.st.Path("d/ENF_IMG/1004.ABCDE"));
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            return e2e::CenterLines(s.st, "LOST ").size() +
                       e2e::CenterLines(s.st, "LEFT ").size() >=
                   4;
        },
        5s))
        << s.Out();
    kill(s.center.nPid, SIGTERM);
    EXPECT_EQ(s.st.Wait(s.center, 5s), 3) << "--fail-on-loss";
    const std::string out = s.Out();
    EXPECT_TRUE(Contains(out, "LOST file=\"1000.ABCDE\" aside=no answered-bad=no")) << out;
    EXPECT_TRUE(Contains(out, "LOST file=\"1001.ABCDE\" aside=yes answered-bad=no"));
    EXPECT_TRUE(Contains(out, "LEFT file=\"1002.ABCDE\" as=aside-empty"));
    EXPECT_TRUE(Contains(out, "LOST file=\"1003.ABCDE\" aside=no"));
    EXPECT_FALSE(Contains(out, "1004.ABCDE"));
    EXPECT_TRUE(Contains(out, "EXIT lost=3"));
    const e2e::VolAccount account = e2e::AccountVolFiles(s.st, s.files);
    EXPECT_EQ(account.fates.at("1000.ABCDE"), "lost");
    EXPECT_EQ(account.fates.at("1001.ABCDE"), "retired");
    EXPECT_EQ(account.problems,
              (std::vector<std::string>{"1000.ABCDE is lost",
                                        "1003.ABCDE stored corrupted (18 of 30 bytes)"}));
}

// The link cut once at every packet of every file, on its first arrival and before the
// center answers it, and once more right after the center answered the last packet (that
// answer may or may not reach the station). Every cut leaves the attempt current until the
// busy rule ends it, so a file of N packets goes about N + 2 times. The scenes run side by
// side; the empty file is retired without being offered.
TEST(FaultLinkCut, AtEveryPacketOfFilesOfEveryBoundarySize) {
    // The third scene drains its backlog at once (SEND_NEXT_AT_ONCE).
    const std::vector<std::vector<size_t>> sizes{
        {0, 1, 2999, 3000, 3001}, {30001}, {0, 1, 3001}};
    std::vector<std::unique_ptr<e2e::VolScene>> scenes;
    for (size_t k = 0; k < sizes.size(); ++k) {
        scenes.push_back(std::make_unique<e2e::VolScene>(k < 2 ? 101 + static_cast<int>(k) : 126,
                                                         sizes[k], 2 * kFast));
        scenes.back()->st.m_ini["Velmora/SEND_NEXT_AT_ONCE"] = k < 2 ? "0" : "1";
        scenes.back()->st.WriteConfig();
        scenes.back()->Start({"--cut-each"});
    }
    for (size_t k = 0; k < scenes.size(); ++k) {
        e2e::VolScene& s = *scenes[k];
        size_t nCuts = 0;
        for (const auto& [szName, szBytes] : s.files)
            nCuts += szBytes.empty() ? 0 : (szBytes.size() + 2999) / 3000 + 2;
        SCOPED_TRACE("scene " + std::to_string(k));
        ASSERT_TRUE(e2e::WaitFor(
            [&] {
                // A center that only cuts says nothing else: after two silent busy-rule
                // waits in a row the station's watchdog ends it, and it is started again.
                s.st.Wait(s.velmora, 1ms);
                if (s.velmora.nPid < 0) s.velmora = s.st.StartVelmora();
                for (const auto& [szName, szBytes] : s.files) {
                    if (!(szBytes.empty() ? s.Retired(szName) : s.Stored(szName))) return false;
                }
                return true;
            },
            180s))
            << s.Out();
        EXPECT_EQ(Count(s.Out(), "reason=cut-each"), nCuts) << s.Out();
        for (const auto& [szName, szBytes] : s.files) {
            const size_t nPackets = szBytes.empty() ? 0 : (szBytes.size() + 2999) / 3000 + 1;
            EXPECT_GE(Offers(s, szName), nPackets == 0 ? 0 : nPackets + 1) << szName;
        }
        s.ExpectNothingLost();
    }
}

// SIGKILL of the station at each step of a transfer of a 12-packet file, then a restart:
// the center holds back its answer to packet K so that the station is caught waiting for
// it. After the info packet, in the middle of the file, and after the last packet (the
// center already holds the file; the station never heard so and sends it again).
struct KillPoint {
    const char* szName;
    int nHost;
    int nPacket;          // the packet whose answer is held back
    size_t nStoredTimes;  // times the center ends up storing the file
};

void PrintTo(const KillPoint& c, std::ostream* pOut) { *pOut << c.szName; }

class StationKilled : public ::testing::TestWithParam<KillPoint> {};

TEST_P(StationKilled, AndRestartedLosesNothing) {
    const KillPoint& c = GetParam();
    e2e::VolScene s(c.nHost, {30001, 1}, kFast);
    s.Start({"--withhold", std::to_string(c.nPacket)});
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(s.Out(), "FAULT "); }, 20s)) << s.Out();
    s.st.Kill(s.velmora);
    EXPECT_EQ(e2e::ReadFile(s.st.Path("d/ENF_IMG/1000.ABCDE")), s.files.at("1000.ABCDE"));
    s.velmora = s.st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 30s)) << s.Out();
    EXPECT_EQ(StoredTimes(s, "1000.ABCDE"), c.nStoredTimes) << s.Out();
    EXPECT_EQ(Offers(s, "1000.ABCDE"), 2u);
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(
    Fault, StationKilled,
    ::testing::Values(KillPoint{"AfterTheInfoPacket", 103, 0, 1}, KillPoint{"MidFile", 104, 6, 1},
                      KillPoint{"AfterTheLastPacketBeforeTheDelete", 105, 11, 2}),
    [](const auto& info) { return std::string(info.param.szName); });

// Answers that do not fit: the station must neither delete a file that the center does not
// hold whole nor skip a packet. A reply it cannot use leaves the attempt current until the
// busy rule sends the file again from its info packet.
struct AckFault {
    const char* szName;
    int nHost;
    std::vector<std::string> centerArgs;
    std::vector<size_t> sizes;
    size_t nOffers;       // info packets of 1000.ABCDE (9,001 bytes: packets 0 to 4)
    size_t nStoredTimes;  // FILE lines of 1000.ABCDE
    size_t nVolPackets;   // file packets the center received in all
};

void PrintTo(const AckFault& c, std::ostream* pOut) { *pOut << c.szName; }

class AckFaults : public ::testing::TestWithParam<AckFault> {};

TEST_P(AckFaults, NeverDeleteAFileTheCenterDoesNotHold) {
    const AckFault& c = GetParam();
    e2e::VolScene s(c.nHost, c.sizes, kFast);
    s.Start(c.centerArgs);
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 40s)) << s.Out();
    const std::string out = s.Out();
    EXPECT_TRUE(Contains(out, "FAULT ")) << out;
    EXPECT_EQ(Offers(s, "1000.ABCDE"), c.nOffers) << out;
    EXPECT_EQ(StoredTimes(s, "1000.ABCDE"), c.nStoredTimes);
    EXPECT_EQ(Count(out, "RX code=51 "), c.nVolPackets);
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(
    Fault, AckFaults,
    ::testing::Values(
        AckFault{"WithheldMidFile", 106, {"--withhold", "2"}, {9001}, 2, 1, 3 + 5},
        // The center holds the file but the station never hears so: it goes twice.
        AckFault{"WithheldLastPacket", 107, {"--withhold", "4"}, {9001}, 2, 2, 5 + 5},
        AckFault{"DuplicateAck", 108, {"--dup-ack", "2"}, {9001}, 1, 1, 5},
        // Packet 1 answered as if it were the last one.
        AckFault{"WrongNumberMidFile", 109, {"--wrong-ack", "1"}, {9001}, 2, 1, 2 + 5},
        // A reply without data for the last packet: no status, so the file goes again.
        AckFault{"EmptyReplyForTheLastPacket", 123, {"--empty-ack", "4"}, {9001}, 2, 2, 5 + 5},
        AckFault{"WrongNumberForTheLastPacket", 110, {"--wrong-ack", "4"}, {9001}, 2, 2, 5 + 5},
        AckFault{"UnsolicitedAfterConnectAndBetweenFiles",
                 111,
                 {"--unsolicited"},
                 {9001, 3001},
                 1,
                 1,
                 5 + 3},
        // The link cut at packet 2, then an ack of packet 2 on the new link: the attempt of
        // the old link must not go on (unless a transfer tick saw the link down first).
        AckFault{"UnsolicitedForThePacketInFlightAfterACut",
                 112,
                 {"--drop-after", "3", "--unsolicited"},
                 {9001},
                 2,
                 1,
                 3 + 5}),
    [](const auto& info) { return std::string(info.param.szName); });

TEST(FaultBlackhole, SilentLinkEndsTheStationAndTheFileArrivesAfterARestart) {
    e2e::VolScene s(113, {30001, 1}, kFast);
    s.Start({"--blackhole-after", "3"});
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(s.Out(), "FAULT "); }, 20s)) << s.Out();
    // More than 20 silent ten-second ticks on a connected link: the station ends itself.
    EXPECT_EQ(s.st.Wait(s.velmora, 120s), 1);
    EXPECT_TRUE(Contains(s.st.SystemLog(), "일정시간 수신데이타 없어서 통신프로그램 Restart !!"))
        << s.st.SystemLog();
    EXPECT_EQ(Count(s.Out(), "CONNECT "), 1u) << "the link was held open all along";
    EXPECT_EQ(e2e::ReadFile(s.st.Path("d/ENF_IMG/1000.ABCDE")), s.files.at("1000.ABCDE"));
    s.st.Kill(s.center);
    s.StartCenter();
    s.velmora = s.st.StartVelmora();  // as the service manager would
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 30s)) << s.Out();
    s.ExpectNothingLost();
}

// What /proc tells of one process: CPU time in clock ticks, resident memory, open files.
struct Usage {
    long nCpuTicks = 0;
    long nRssKb = 0;
    size_t nFds = 0;
};

Usage Sample(pid_t pid) {
    Usage u;
    const std::string szProc = "/proc/" + std::to_string(pid);
    const std::string stat = e2e::ReadFile(szProc + "/stat");
    // Fields after the command name in parentheses; utime and stime are fields 14 and 15.
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string szField;
    long nUser = 0;
    long nSystem = 0;
    for (int k = 3; k <= 15 && in >> szField; ++k) {
        if (k == 14) nUser = std::atol(szField.c_str());
        if (k == 15) nSystem = std::atol(szField.c_str());
    }
    u.nCpuTicks = nUser + nSystem;
    std::istringstream status(e2e::ReadFile(szProc + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) u.nRssKb = std::atol(line.c_str() + 6);
    }
    // A reconnect attempt or a window message holds a socket for a moment: the fewest
    // of a few counts is the number that stays.
    u.nFds = static_cast<size_t>(-1);
    for (int k = 0; k < 5; ++k) {
        std::error_code ec;
        size_t n = 0;
        for (auto it = std::filesystem::directory_iterator(szProc + "/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            ++n;
        u.nFds = std::min(u.nFds, n);
        std::this_thread::sleep_for(20ms);
    }
    return u;
}

// Ten station-minutes without a center (30 s here): the station keeps trying to connect
// without growing in files, memory or CPU use; once the center is back the link comes up
// within one reconnect period and the backlog goes out, each file once. The first file
// waits for the busy rule (about twelve ticks): the last tick while the link was down
// marked an attempt current whose info packet the queue refused.
TEST(FaultCenterDown, TenStationMinutesCostNothingAndTheBacklogDrainsAfterwards) {
    e2e::VolScene s(114, {5000}, kFast);
    s.Start();
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 20s)) << s.Out();
    s.st.Kill(s.center);
    for (int k = 1; k <= 4; ++k) s.Put(std::to_string(1000 + k) + ".ABCDE", 20000 * k);
    const auto tSample = std::chrono::milliseconds(600'000 / kFast / 6);
    std::vector<Usage> samples{Sample(s.velmora.nPid)};
    for (int k = 0; k < 6; ++k) {
        std::this_thread::sleep_for(tSample);
        samples.push_back(Sample(s.velmora.nPid));
    }
    const long nTicksPerSample = sysconf(_SC_CLK_TCK) * tSample.count() / 1000;
    for (size_t k = 1; k < samples.size(); ++k) {
        SCOPED_TRACE("sample " + std::to_string(k));
        std::printf("[ USAGE    ] cpu=%ld ticks rss=%ld kB fds=%zu\n", samples[k].nCpuTicks,
                    samples[k].nRssKb, samples[k].nFds);
        EXPECT_EQ(samples[k].nFds, samples[0].nFds);
        if (kRssIsFlatWhenIdle) {
            EXPECT_LE(samples[k].nRssKb, samples[0].nRssKb + 1024);
        }
        // A tenth of one core at most, at twenty times the station's pace.
        EXPECT_LE(samples[k].nCpuTicks - samples[k - 1].nCpuTicks, nTicksPerSample / 10);
    }
    const auto tBack = std::chrono::steady_clock::now();
    // A center talks to a station: here one time request as soon as the station connects.
    // After a long silence the station restarts itself at the first watchdog tick after the
    // connect unless a frame came first; the request leaves a window of the 300 ms pause
    // after a connect (one in about thirty), and then it is started again as its service
    // manager would.
    s.StartCenter({"--id", "ABCDE", "--", "57"});
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(s.Out(), "CONNECT "); }, 20s));
    const auto tConnected = std::chrono::steady_clock::now();
    int nRestarts = 0;
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            if (!Alive(s.st, s.velmora)) {
                ++nRestarts;
                s.velmora = s.st.StartVelmora();
            }
            return s.AllStored();
        },
        60s))
        << s.Out();
    const auto tDrained = std::chrono::steady_clock::now();
    auto StationSeconds = [](auto d) { return std::chrono::duration<double>(d).count() * kFast; };
    std::printf(
        "[ BACKLOG  ] connected after %.1f, drained after %.1f station seconds, %d "
        "restart(s)\n",
        StationSeconds(tConnected - tBack), StationSeconds(tDrained - tBack), nRestarts);
    EXPECT_LE(nRestarts, 1);
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(Offers(s, std::to_string(1000 + k) + ".ABCDE"), 1u);
    s.ExpectNothingLost();
}

// Frames from the center that are not quite frames, each sent alone as raw bytes, then a
// time request that must be answered once the link is usable again. A frame error closes
// the link (not counted as a break) and the station comes back; a wrong checksum drops
// the frame and counts it; the fields that only handlers read are taken as far as they go.
struct BadFrame {
    const char* szName;
    int nHost;
    std::string header;         // the 30 header bytes of a time request (code 57, no data)
    bool bBadCrc;               // the stored checksum is the standard (inverted) one
    bool bNoTrailer;            // the trailer is 00 00
    size_t nCut;                // only the first nCut bytes go, then the center closes (0: all)
    size_t nFrameErrors;        // "통신 Frame ERROR" lines in the system log
    size_t nConnects;           // connections the center accepted
    size_t nTimeReports;        // time reports the station sent back
    const char* szCrcErrors;    // control 1016 ("cnt" until the first bad checksum)
    const char* szDisconnects;  // control 1000
};

void PrintTo(const BadFrame& c, std::ostream* pOut) { *pOut << c.szName; }

std::string Hex(const std::string& bytes) {
    std::string sz;
    char szByte[4];
    for (unsigned char c : bytes) {
        std::snprintf(szByte, sizeof szByte, "%02X", c);
        sz += szByte;
    }
    return sz;
}

std::string FrameBytes(const BadFrame& c) {
    std::string f = c.header + std::string(6, '\0');
    auto* p = reinterpret_cast<uint8_t*>(f.data());
    CTcpCommon::PutFrameCrc(p, static_cast<int>(f.size()));
    if (c.bBadCrc) {
        for (size_t k = 30; k < 34; ++k) p[k] ^= 0xFF;
    }
    p[34] = p[35] = c.bNoTrailer ? 0x00 : 0x55;
    return c.nCut == 0 ? f : f.substr(0, c.nCut);
}

class BadFrames : public ::testing::TestWithParam<BadFrame> {};

TEST_P(BadFrames, HaveTheirOutcomeAndTheLinkStaysUsable) {
    const BadFrame& c = GetParam();
    e2e::Station st(c.nHost, kFast);
    auto harwent = st.StartHarwent();
    std::vector<std::string> commands{"--", "raw " + Hex(FrameBytes(c)), "sleep 1000"};
    if (c.nCut != 0) commands.insert(commands.end(), {"close", "57", "sleep 1000"});
    commands.push_back("57");
    auto center = st.StartCenter(commands);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return Count(e2e::ReadFile(center.szOut), "RX code=57 ") >= c.nTimeReports; }, 20s))
        << e2e::ReadFile(center.szOut);
    std::this_thread::sleep_for(300ms);  // nothing more is to come
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_EQ(Count(out, "RX code=57 "), c.nTimeReports) << out;
    EXPECT_EQ(Count(out, "CONNECT "), c.nConnects);
    EXPECT_EQ(Count(st.SystemLog(), "TCP 통신단절 [Thread- 통신 Frame ERROR...] = 0"),
              c.nFrameErrors)
        << st.SystemLog();
    EXPECT_EQ(st.Control(1016), c.szCrcErrors);
    EXPECT_EQ(st.Control(1000), c.szDisconnects);
    EXPECT_TRUE(Alive(st, velmora));
}

// A good time request: AA AA, length 36, "10", code 57, data length 0, packet 0, ABCDE, '0'.
const std::string kTimeRequest =
    "\xAA\xAA"
    "0000036"
    "10"
    "57"
    "0000000"
    "0000"
    "ABCDE"
    "0";

std::string With(size_t nAt, const std::string& sz) {
    std::string h = kTimeRequest;
    h.replace(nAt, sz.size(), sz);
    return h;
}

INSTANTIATE_TEST_SUITE_P(
    Fault, BadFrames,
    ::testing::Values(
        BadFrame{"BadStartByte", 115, With(0, "\xAB"), false, false, 0, 1, 2, 1, "cnt", "0"},
        BadFrame{"LetterInTheLength", 116, With(2, "00x0036"), false, false, 0, 1, 2, 1, "cnt",
                 "0"},
        // Waiting for 9,999,999 bytes would stall the link: an error at once.
        BadFrame{"HugeLength", 117, With(2, "9999999"), false, false, 0, 1, 2, 1, "cnt", "0"},
        BadFrame{"LengthBelowAFrame", 118, With(2, "0000035"), false, false, 0, 1, 2, 1, "cnt",
                 "0"},
        BadFrame{"WrongChecksum", 119, kTimeRequest, true, false, 0, 0, 1, 1, "1", "0"},
        BadFrame{"MissingTrailer", 120, kTimeRequest, false, true, 0, 1, 2, 1, "cnt", "0"},
        // The data length is read as far as its digits go: 0, a time request like any other.
        BadFrame{"LetterInTheDataLength", 121, With(19, "x"), false, false, 0, 0, 1, 2, "cnt", "0"},
        // Twenty bytes, then the center closes: a break; the bytes stay in the station's
        // buffer and spoil the first frame of the next link (a frame error), the next is fine.
        BadFrame{"TruncatedThenClosed", 122, kTimeRequest, false, false, 20, 1, 3, 1, "cnt", "1"}),
    [](const auto& info) { return std::string(info.param.szName); });

}  // namespace
