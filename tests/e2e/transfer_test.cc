// Violation files pushed by the real station program to velmora-mgrpc, one driver for every
// scenario: files of every packet boundary in number order, and a center or a link that
// misbehaves (resend requests at each packet, refusals, answers withheld, doubled,
// misnumbered, empty or unasked for, a link cut at every packet or gone silent, a center
// away for ten station-minutes, the station or the center killed and started again at each
// step of a transfer, a soak of random faults). Whatever happens, a file ends stored
// byte-identical, retired to d:/delete_img by the give-up rules or still waiting: every
// center prints LOST for a file that leaves the violation directory early, and the harness
// accounts for every file at the end. The give-up counts, the busy rule and the drain mode
// step by step are the unit tests' (transfer_vol_test.cc).
//
// The soak rows are the short run; the long run, outside ctest (five minutes a test):
//   VELMORA_SOAK_FILES=1000 build/bin/e2e_tests --gtest_filter='Files/Transfer.*/Soak*'
// VELMORA_SOAK_SEED repeats a run (the seed is printed), VELMORA_SOAK_SCALE sets the
// station's time scale (default 40: a ten-second tick takes a quarter of a second).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

using namespace std::chrono_literals;
using e2e::Contains;
using e2e::Names;
using Step = std::function<void(e2e::Station&)>;
using Fates = std::map<std::string, std::string>;
namespace fs = std::filesystem;

// A number of lines of the centers' output or of the system log that match every part.
struct Lines {
    bool bLog;
    Names parts;
    size_t n;
    bool bAtLeast = false;
};
Lines Out(const Names& parts, size_t n = 1) { return {false, parts, n}; }
Lines Log(const Names& parts, size_t n = 1) { return {true, parts, n}; }
Lines AtLeast(Lines l) { return {l.bLog, l.parts, l.n, true}; }
// Info packets of the file / times a center stored it whole.
Lines Offers(const std::string& szFile, size_t n) {
    return Out({"^RX code=51 ", " pkt=0000 ", "file=\"" + szFile + "\""}, n);
}
Lines Stores(const std::string& szFile, size_t n) {
    return Out({"^FILE ", " code=51 ", "file=\"" + szFile + "\""}, n);
}

struct Scenario {
    const char* szName = "";
    int nHost = 0;
    std::vector<size_t> sizes{};      // files 1000.ABCDE, 1001.ABCDE, ...
    Names center{};                   // options of the first center
    std::vector<Lines> lines{};       // counts once every file reached its fate
    Fates fates{};                    // "stored", "retired", "waiting" or "gone"
    const char* szFate = "stored";    // the fate of the files not named
    Names order{};                    // the files stored, in order (if given)
    int nScale = 10;                  // VELMORA_TIME_SCALE
    const char* szAtOnce = nullptr;   // SEND_NEXT_AT_ONCE
    Step setup{}, during{}, after{};  // before the start, after it, at the end
    bool bRevive = false;             // start the station again whenever it ends
    int nSeconds = 40;                // to reach the fates and counts
    std::vector<Scenario> beside{};   // scenes run at the same time
};

void PrintTo(const Scenario& c, std::ostream* pOut) { *pOut << c.szName; }

// The fate a scene wants for a file, and whether the one it had fits it.
std::string Want(const Scenario& c, const std::string& szName) {
    return c.fates.count(szName) != 0 ? c.fates.at(szName) : std::string(c.szFate);
}

bool Fits(const std::string& szWant, const std::string& szFate) {
    return szFate == szWant || (szWant == "gone" && (szFate == "stored" || szFate == "retired"));
}

size_t Counted(e2e::Station& st, const Lines& l) {
    return e2e::CountLines(l.bLog ? st.SystemLog() : st.CenterText(), l.parts);
}

// True once every file reached its fate and every count its number; starts the station
// again if it ended and the scene asks for it.
bool Reached(e2e::Station& st, const Scenario& c) {
    if (c.bRevive) st.Revive();
    for (const auto& [szName, szBytes] : st.files) {
        const std::string szWant = Want(c, szName);
        if (szWant != "waiting" && !Fits(szWant, st.Fate(szName))) return false;
    }
    return std::all_of(c.lines.begin(), c.lines.end(),
                       [&](const Lines& l) { return Counted(st, l) >= l.n; });
}

// Checks one scene once every file reached its fate and every count its number.
void Check(e2e::Station& st, const Scenario& c) {
    SCOPED_TRACE(c.szName);
    for (const Lines& l : c.lines) {
        const size_t n = Counted(st, l);
        std::string szParts;
        for (const std::string& sz : l.parts) szParts += "[" + sz + "]";
        EXPECT_TRUE(l.bAtLeast ? n >= l.n : n == l.n)
            << n << " lines " << szParts << ", not " << l.n;
    }
    Names problems, duplicates;
    for (const auto& [szName, szFate] : st.Account(&problems, &duplicates)) {
        EXPECT_TRUE(Fits(Want(c, szName), szFate))
            << szName << " is " << szFate << ", not " << Want(c, szName);
    }
    if (!c.order.empty()) {
        EXPECT_EQ(st.CenterVolFiles(), c.order);
    }
    if (!c.bRevive) {
        EXPECT_TRUE(st.Running(st.velmora));
    }
    if (c.after) c.after(st);
}

class Transfer : public ::testing::TestWithParam<Scenario> {};

// A row's scene and the scenes beside it run at the same time, each with its own station.
TEST_P(Transfer, EveryFileEndsStoredRetiredOrWaiting) {
    std::vector<const Scenario*> scenes{&GetParam()};
    for (const Scenario& c : GetParam().beside) scenes.push_back(&c);
    std::vector<std::unique_ptr<e2e::Station>> stations;
    for (const Scenario* c : scenes) {
        stations.push_back(std::make_unique<e2e::Station>(c->nHost, c->nScale));
        if (c->szAtOnce != nullptr) stations.back()->Set("Velmora/SEND_NEXT_AT_ONCE", c->szAtOnce);
        stations.back()->Files(c->sizes);
        if (c->setup) c->setup(*stations.back());
        stations.back()->Up(c->center);
    }
    for (size_t k = 0; k < scenes.size(); ++k) {
        if (scenes[k]->during) scenes[k]->during(*stations[k]);
    }
    auto Tail = [](const std::string& sz) {
        return sz.substr(sz.size() - std::min<size_t>(sz.size(), 6000));
    };
    for (size_t k = 0; k < scenes.size(); ++k) {
        e2e::Station& st = *stations[k];
        ASSERT_TRUE(e2e::WaitFor(
            [&] {
                for (size_t j = k + 1; j < scenes.size(); ++j) Reached(*stations[j], *scenes[j]);
                return Reached(st, *scenes[k]);
            },
            std::chrono::seconds(scenes[k]->nSeconds)))
            << scenes[k]->szName << "\n"
            << Tail(st.CenterText()) << Tail(st.SystemLog());
        Check(st, *scenes[k]);
    }
}

// Waits until the first center printed szAwait beside the first file (nullptr: until a file
// was stored), kills the station and/or the center, and starts them again (a center that
// behaves). The first file is still waiting unchanged when the center did not hold it.
Step Interrupt(const char* szAwait, bool bStation, bool bCenter) {
    return [=](e2e::Station& st) {
        ASSERT_TRUE(e2e::WaitFor(
            [&] {
                const std::string out = st.center.Out();
                return szAwait == nullptr
                           ? !st.CenterVolFiles().empty()
                           : Contains(out, "file=\"1000.ABCDE\"") && Contains(out, szAwait);
            },
            20s))
            << st.center.Out();
        if (bStation) st.Kill(st.velmora);
        if (bCenter) st.Kill(st.center);
        if (szAwait != nullptr) {
            EXPECT_EQ(e2e::ReadFile(st.Path("d/ENF_IMG/1000.ABCDE")), st.files.at("1000.ABCDE"));
        }
        if (bCenter) st.StartCenter();
        if (bStation) st.StartVelmora();
    };
}

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_E2E_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_E2E_ASAN 1
#endif
#endif

// What /proc tells of one process: CPU time (user and system) in clock ticks, resident
// memory, and open files: the fewest of a few counts, since a reconnect attempt or a
// window message holds a socket for a moment.
struct Usage {
    long nCpuTicks = 0, nRssKb = 0;
    size_t nFds = static_cast<size_t>(-1);
};

Usage Sample(pid_t pid) {
    Usage u;
    const std::string szProc = "/proc/" + std::to_string(pid),
                      stat = e2e::ReadFile(szProc + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));  // fields 3.. after the name
    std::string szField;
    for (int k = 3; k <= 15 && in >> szField; ++k)
        u.nCpuTicks += k >= 14 ? std::atol(szField.c_str()) : 0;
    const std::string status = e2e::ReadFile(szProc + "/status");
    if (Contains(status, "VmRSS:"))
        u.nRssKb = std::atol(status.c_str() + status.find("VmRSS:") + 6);
    for (int k = 0; k < 5; ++k, std::this_thread::sleep_for(20ms)) {
        std::error_code ec;
        const auto fds = fs::directory_iterator(szProc + "/fd", ec);
        u.nFds = std::min<size_t>(u.nFds, std::distance(fds, fs::directory_iterator()));
    }
    return u;
}

// Ten station-minutes without a center (30 s here): the station keeps trying to connect
// without growing in files, memory (but under AddressSanitizer, whose quarantine keeps
// freed memory resident) or CPU use (a tenth of one core at most at twenty times its pace).
// The center comes back with one time request as soon as the station connects: after a
// long silence the station restarts itself at the first watchdog tick after the connect
// unless a frame came first, and the request leaves a window of the 300 ms pause after a
// connect (one in about thirty). Each file of the backlog then goes once.
void CenterAwayTenMinutes(e2e::Station& st) {
    ASSERT_TRUE(e2e::WaitFor([&] { return st.Fate("1000.ABCDE") == "stored"; }, 20s))
        << st.center.Out();
    st.Kill(st.center);
    for (int k = 1; k <= 4; ++k) st.Put(std::to_string(1000 + k) + ".ABCDE", 20000 * k);
    const auto tSample = 600'000ms / 20 / 6;
    const long nTicksPerSample = sysconf(_SC_CLK_TCK) * tSample.count() / 1000;
    std::vector<Usage> samples{Sample(st.velmora.nPid)};
    for (size_t k = 1; k <= 6; ++k) {
        std::this_thread::sleep_for(tSample);
        samples.push_back(Sample(st.velmora.nPid));
        std::printf("[ USAGE    ] cpu=%ld ticks rss=%ld kB fds=%zu\n", samples[k].nCpuTicks,
                    samples[k].nRssKb, samples[k].nFds);
        EXPECT_EQ(samples[k].nFds, samples[0].nFds) << k;
#ifndef VELMORA_E2E_ASAN
        EXPECT_LE(samples[k].nRssKb, samples[0].nRssKb + 1024) << k;
#endif
        EXPECT_LE(samples[k].nCpuTicks - samples[k - 1].nCpuTicks, nTicksPerSample / 10) << k;
    }
    st.StartCenter({"--id", "ABCDE", "--", "57"});
    ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "CONNECT "); }, 20s));
}

long EnvNumber(const char* szName, long nDefault) {
    const char* sz = std::getenv(szName);
    return sz != nullptr && *sz != '\0' ? std::atol(sz) : nDefault;
}

// ---- Scenarios ----

// clang-format off

const Names kTwo{"1000.ABCDE", "1001.ABCDE"};
const char* const kBackup = "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]";
const Fates kFirstRetired{{"1000.ABCDE", "retired"}};

// A resend request at packet k of a five-packet file: packet k of the first file goes twice
// (the one of the second file, if any, once), with no retry round.
Scenario ResendAt(const char* szName, int k) {
    char szPacket[16];
    std::snprintf(szPacket, sizeof szPacket, " pkt=%04d ", k);
    return {.szName = szName, .nHost = 62 + k, .sizes = {9001, 3001},
            .center = {"--resend", "51:" + std::to_string(k)},
            .lines = {Out({"RX code=51 ", szPacket}, k <= 2 ? 3 : 2),
                      Out({"TX code=51 ", szPacket, "status=3"}), Out({"status=3"}),
                      Log({"MGR_PC: VOL ERROR_RESEND= PackNo:" + std::to_string(k)}),
                      Log({"PACKET_SEND_RETRY"}, 0)},
            .order = kTwo};
}

// Refusals (status 4) of packet k: each ends the attempt and the fourth retires the file,
// replacing a stale copy in delete_img. With k = 4 the center held all but the last packet;
// the second file is one packet long after its info packet, so --refuse 4 spares it.
Scenario RefuseAt(const char* szName, int k) {
    return {.szName = szName, .nHost = k == 0 ? 77 : 78,
            .sizes = k == 0 ? std::vector<size_t>{9001} : std::vector<size_t>{9001, 1},
            .center = {"--refuse", std::to_string(k)},
            .lines = {Out({"status=4"}, 4), Out({"size=9001 file=\"1000.ABCDE\""}, 4),
                      Log({"MGR_PC: VOL ERROR_FILE= File:1000.ABCDE"}, 4), Log({kBackup}),
                      Log({"MGR_PC: PACKET_SEND_RETRY= Retry:1"}),
                      Log({"MGR_PC: PACKET_SEND_RETRY= Retry:2"}),
                      Log({"MGR_PC: PACKET_SEND_RETRY= Retry:3"})},
            .fates = kFirstRetired,
            .setup = [](e2e::Station& st) {
                e2e::WriteFile(st.Path("d/delete_img/1000.ABCDE"), "stale");
            }};
}

// Answers that do not fit (9,001 bytes: packets 0 to 4): the station must neither delete a
// file the center does not hold whole nor skip a packet. A reply it cannot use leaves the
// attempt current until the busy rule sends the file again from its info packet.
Scenario AckFault(const char* szName, int nHost, Names args, size_t nOffers, size_t nStores,
                  size_t nPackets, std::vector<size_t> sizes = {9001}) {
    return {.szName = szName, .nHost = nHost, .sizes = sizes, .center = args,
            .lines = {AtLeast(Out({"^FAULT "})), Offers("1000.ABCDE", nOffers),
                      Stores("1000.ABCDE", nStores), Out({"RX code=51 "}, nPackets)},
            .nScale = 20};
}

// The station SIGKILLed while the center holds back its answer to packet k of a 12-packet
// file, and started again: the file goes again from its info packet. Killed after the last
// packet, the center already held it and stores it twice.
Scenario KilledAt(const char* szName, int nHost, int k, size_t nStores) {
    return {.szName = szName, .nHost = nHost, .sizes = {30001, 1},
            .center = {"--withhold", std::to_string(k)},
            .lines = {Stores("1000.ABCDE", nStores), Offers("1000.ABCDE", 2)}, .nScale = 20,
            .during = Interrupt("FAULT ", true, false)};
}

// The link cut once at every packet of every file, on its first arrival and before the
// center answers it, and once more right after the center answered the last packet (that
// answer may or may not reach the station). Every cut leaves the attempt current until the
// busy rule ends it, so a file of N packets goes about N + 2 times; a center that only cuts
// says nothing else, so the station's watchdog ends it now and then. The empty file is
// retired without being offered. Three scenes side by side: files of every boundary size,
// a file of twelve packets, and a backlog drained at once.
Scenario CutEach(const char* szName, int nHost, const std::vector<size_t>& sizes,
                 const char* szAtOnce, std::vector<Scenario> beside = {}) {
    Scenario c{.szName = szName, .nHost = nHost, .sizes = sizes, .center = {"--cut-each"},
               .nScale = 40, .szAtOnce = szAtOnce, .bRevive = true, .nSeconds = 180,
               .beside = beside};
    size_t nCuts = 0;
    for (size_t k = 0; k < sizes.size(); ++k) {
        const std::string szFile = std::to_string(1000 + k) + ".ABCDE";
        const size_t nPackets = sizes[k] == 0 ? 0 : (sizes[k] + 2999) / 3000 + 1;
        if (nPackets == 0) c.fates[szFile] = "retired";
        if (nPackets > 0) c.lines.push_back(AtLeast(Offers(szFile, nPackets + 1)));
        nCuts += nPackets == 0 ? 0 : nPackets + 1;
    }
    c.lines.push_back(Out({"reason=cut-each"}, nCuts));
    return c;
}

// A soak: many files of random sizes up to the largest that is sent, skewed to the small
// end (the cube of a uniform share) so that many get through whole and the large ones meet
// enough faults to be given up; a center that answers about one packet in ten with "send
// again" or "refuse" and now and then cuts the link, restarted once half the files are
// gone, and the station restarted whenever it ends itself. Every file must be gone in the
// end, stored or retired.
Scenario Soak(const char* szName, int nHost, const char* szAtOnce) {
    const long nFiles = EnvNumber("VELMORA_SOAK_FILES", 60);
    const int nScale = static_cast<int>(EnvNumber("VELMORA_SOAK_SCALE", 40));
    const auto nSeed = static_cast<uint32_t>(
        EnvNumber("VELMORA_SOAK_SEED",
                  std::chrono::system_clock::now().time_since_epoch().count() % 1000000007));
    auto Faulty = [](uint32_t n) {
        return Names{"--fault-rate", "0.1", "--cut-rate", "0.002", "--seed", std::to_string(n)};
    };
    return {
        .szName = szName, .nHost = nHost, .center = Faulty(nSeed), .szFate = "gone",
        .nScale = nScale, .szAtOnce = szAtOnce,
        .setup = [=](e2e::Station& st) {
            std::printf("[ SOAK     ] files=%ld scale=%d seed=%u (VELMORA_SOAK_SEED repeats it)\n",
                        nFiles, nScale, nSeed);
            std::mt19937 rng(nSeed);
            std::uniform_real_distribution<double> share(0.0, 1.0);
            for (long k = 0; k < nFiles; ++k) {
                st.Put(std::to_string(1000 + k) + ".ABCDE",
                       static_cast<size_t>(894000.0 * std::pow(share(rng), 3.0)));
            }
        },
        .during = [=](e2e::Station& st) {
            ASSERT_TRUE(e2e::WaitFor(
                [&] {
                    st.Revive();
                    const auto files = fs::directory_iterator(st.Path("d/ENF_IMG"));
                    return std::distance(files, fs::directory_iterator()) <= nFiles / 2;
                },
                std::chrono::seconds(60 + 3 * nFiles)));
            st.Kill(st.center);
            st.StartCenter(Faulty(nSeed + 1));
        },
        .after = [](e2e::Station& st) {
            const std::string out = st.CenterText();
            std::printf("[ SOAK     ] answers=%zu of which 3 or 4: %zu; cuts=%zu; restarts=%d\n",
                        e2e::CountLines(out, {"^TX code=51 "}),
                        e2e::CountLines(out, {"^TX code=51 ", " status=3"}) +
                            e2e::CountLines(out, {"^TX code=51 ", " status=4"}),
                        e2e::CountLines(out, {"^CLOSE ", " reason=cut"}), st.nRevived);
        },
        .bRevive = true, .nSeconds = static_cast<int>(60 + 3 * nFiles)};
}

const Scenario kScenarios[] = {
    // The longest first, so that a parallel run starts them early.
    {.szName = "CenterAwayTenStationMinutes", .nHost = 114, .sizes = {5000},
     .lines = {Offers("1001.ABCDE", 1), Offers("1002.ABCDE", 1), Offers("1003.ABCDE", 1),
               Offers("1004.ABCDE", 1)},
     .nScale = 20, .during = CenterAwayTenMinutes,
     .after = [](e2e::Station& st) { EXPECT_LE(st.nRevived, 1); }, .bRevive = true,
     .nSeconds = 60},
    Soak("SoakOnePerTick", 130, "0"),
    Soak("SoakAtOnce", 131, "1"),
    CutEach("CutAtEveryPacketOfEveryBoundarySize", 101, {0, 1, 2999, 3000, 3001}, "0",
            {CutEach("OfAWholeFile", 102, {30001}, "0"),
             CutEach("DrainingAtOnce", 126, {0, 1, 3001}, "1")}),
    // Every packet boundary whole, oldest number first (999 before 1000), each counted and
    // logged; the empty file (smallest number: left in place it would block the others) is
    // retired without being offered; 894,000 bytes fill 298 data packets and go, one byte
    // more would need a 300th slot: that file is never offered and its error logged on
    // every tick.
    {.szName = "SizesInNumberOrder", .nHost = 61,
     .lines = {Log({"MGR_PC: 빈 위반화일 이동 [5.ABCDE]"}), Log({"Send MGR_PC[999.ABCDE] : "}),
               AtLeast(Log({"MGR_PC: Send VOL File Size ERROR : 300/894001"}, 2)),
               Out({"file=\"7.ABCDE\" size=1 packets=2 "}),
               Out({"file=\"999.ABCDE\" size=2999 packets=2 "}),
               Out({"file=\"1000.ABCDE\" size=3000 packets=2 "}),
               Out({"file=\"1001.ABCDE\" size=3001 packets=3 "}),
               Out({"file=\"1002.ABCDE\" size=30001 packets=12 "}),
               Out({"file=\"1003.ABCDE\" size=894000 packets=299 "}),
               AtLeast(Out({"RX code=51 name=OP_VOL_FILE len=17 pkt=0000 id=\"ABCDE\" crc=ok"})),
               Out({"^RX code=51 ", "len=1 pkt=0011 id=\"ABCDE\" crc=ok"}),
               Out({"5.ABCDE", "!LEFT "}, 0), Out({"1004.ABCDE"}, 0)},
     .fates = {{"5.ABCDE", "retired"}, {"1004.ABCDE", "waiting"}},
     .order = {"7.ABCDE", "999.ABCDE", "1000.ABCDE", "1001.ABCDE", "1002.ABCDE", "1003.ABCDE"},
     .setup = [](e2e::Station& st) {
         for (const auto& [szNumber, nSize] : std::map<std::string, size_t>{
                  {"5", 0}, {"7", 1}, {"999", 2999}, {"1000", 3000}, {"1001", 3001},
                  {"1002", 30001}, {"1003", 894000}, {"1004", 894001}})
             st.Put(szNumber + ".ABCDE", nSize);
     },
     .after = [](e2e::Station& st) { EXPECT_TRUE(st.WaitControl(1007, "6")); }},
    ResendAt("ResendAt0", 0), ResendAt("ResendAt1", 1), ResendAt("ResendAt2", 2),
    ResendAt("ResendAt3", 3), ResendAt("ResendAt4", 4),
    RefuseAt("RefusedInfoPacket", 0),
    RefuseAt("RefusedLastPacket", 4),
    // Three resends of packet 1 end the first round; each refusal of packet 2 ends another,
    // so the third attempt's refusal is the one that retires the file.
    {.szName = "ResendsAndRefusalsCountTogether", .nHost = 81, .sizes = {9001},
     .center = {"--resend", "51:1", "--resend", "51:1", "--resend", "51:1", "--refuse", "2"},
     .lines = {Out({"size=9001 file=\"1000.ABCDE\""}, 3), Out({"status=4"}, 3),
               Log({"MGR_PC: PACKET_SEND_RETRY= Retry:"}, 3), Log({kBackup})},
     .fates = kFirstRetired},
    // A center that never answers: after about twelve ticks the busy rule starts the oldest
    // file again from its info packet; only that file is tried, and nothing leaves.
    {.szName = "SilentCenter", .nHost = 79, .sizes = {9001, 3001}, .center = {"--silent"},
     .lines = {AtLeast(Offers("1000.ABCDE", 2)), Out({"1001.ABCDE"}, 0),
               Out({"RX code=51", "!pkt=0000"}, 0), Out({"^LEFT "}, 0)},
     .szFate = "waiting",
     .after = [](e2e::Station& st) { EXPECT_FALSE(fs::exists(st.Path("d/delete_img"))); }},
    // The station holds the file as current until the busy rule gives the attempt up (about
    // twelve ticks), then starts it again from its info packet.
    {.szName = "CenterRestartedAfterTheInfoPacket", .nHost = 67, .sizes = {30001, 5000},
     .center = {"--silent"}, .order = kTwo, .during = Interrupt("", false, true)},
    // The station killed while a file is current and unanswered: by a silent center after
    // the info packet, or by a center that cut the link at the third packet.
    {.szName = "StationKilledWhileTheCenterIsSilent", .nHost = 68, .sizes = {9001, 1},
     .center = {"--silent"}, .order = kTwo, .during = Interrupt("", true, true)},
    {.szName = "StationKilledAfterTheLinkWasCut", .nHost = 80, .sizes = {9001, 1},
     .center = {"--drop-after", "3"}, .order = kTwo,
     .during = Interrupt("reason=drop-after", true, true)},
    // Killed as soon as the center reports the first file: the kill lands around the last
    // acknowledgement and the delete that follows it.
    {.szName = "StationKilledRightAfterAFileArrived", .nHost = 69,
     .sizes = {30001, 30001, 30001, 1}, .during = Interrupt(nullptr, true, false)},
    KilledAt("StationKilledAfterTheInfoPacket", 103, 0, 1),
    KilledAt("StationKilledMidFile", 104, 6, 1),
    KilledAt("StationKilledAfterTheLastPacketBeforeTheDelete", 105, 11, 2),
    AckFault("WithheldMidFile", 106, {"--withhold", "2"}, 2, 1, 3 + 5),
    // The center holds the file but the station never hears so: it goes twice.
    AckFault("WithheldLastPacket", 107, {"--withhold", "4"}, 2, 2, 5 + 5),
    AckFault("DuplicateAck", 108, {"--dup-ack", "2"}, 1, 1, 5),
    // Packet 1 answered as if it were the last one.
    AckFault("WrongNumberMidFile", 109, {"--wrong-ack", "1"}, 2, 1, 2 + 5),
    // A reply without data for the last packet: no status, so the file goes again.
    AckFault("EmptyReplyForTheLastPacket", 123, {"--empty-ack", "4"}, 2, 2, 5 + 5),
    AckFault("WrongNumberForTheLastPacket", 110, {"--wrong-ack", "4"}, 2, 2, 5 + 5),
    AckFault("UnsolicitedAfterConnectAndBetweenFiles", 111, {"--unsolicited"}, 1, 1, 5 + 3,
             {9001, 3001}),
    // The link cut at packet 2, then an ack of packet 2 on the new link: the attempt of the
    // old link must not go on (unless a transfer tick saw the link down first).
    AckFault("UnsolicitedForThePacketInFlightAfterACut", 112,
             {"--drop-after", "3", "--unsolicited"}, 2, 1, 3 + 5),
    // More than 20 silent ten-second ticks on a link held open: the station ends itself and
    // the file arrives once it was started again.
    {.szName = "SilentLinkEndsTheStation", .nHost = 113, .sizes = {30001, 1},
     .center = {"--blackhole-after", "3"},
     .lines = {AtLeast(Log({"일정시간 수신데이타 없어서 통신프로그램 Restart !!"}))}, .nScale = 20,
     .during = [](e2e::Station& st) {
         ASSERT_TRUE(e2e::WaitFor([&] { return Contains(st.center.Out(), "FAULT "); }, 20s));
         EXPECT_EQ(st.Wait(st.velmora, 120s), 1);
         EXPECT_EQ(e2e::Count(st.center.Out(), "CONNECT "), 1u) << "the link was held open";
         EXPECT_EQ(e2e::ReadFile(st.Path("d/ENF_IMG/1000.ABCDE")), st.files.at("1000.ABCDE"));
         st.Kill(st.center);
         st.StartCenter();
         st.StartVelmora();
     }},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Files, Transfer, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.szName); });

// The center's own watch: a file removed, moved aside although this center never refused
// it, empty and moved aside (the station's rule for empty files), or reported stored by
// some other center but corrupted there; and one renamed in as the main program does.
TEST(CenterWatch, JudgesEveryFileThatLeavesTheViolationDirectory) {
    e2e::Station st(100);  // no station runs: files leave by hand
    st.bCheckFiles = false;
    st.Files({10, 20, 0, 30});
    st.StartCenter({"--fail-on-loss"});
    fs::remove(st.Path("d/ENF_IMG/1000.ABCDE"));
    e2e::WriteFile(st.Path("d/delete_img/1001.ABCDE"), st.files.at("1001.ABCDE"));
    e2e::WriteFile(st.Path("d/delete_img/1002.ABCDE"), "");
    e2e::WriteFile(st.Path("center/ABCDE/1003.ABCDE"), "not the bytes sent");
    e2e::WriteFile(st.Path("velmora-mgrpc.9.out"),
                   "FILE peer=127.0.0.1:1 id=\"ABCDE\" code=51 file=\"1003.ABCDE\" size=30 "
                   "packets=2 stored=\"x\"\n");
    for (const char* szName : {"1001.ABCDE", "1002.ABCDE", "1003.ABCDE"})
        fs::remove(st.Path(std::string("d/ENF_IMG/") + szName));
    e2e::WriteFile(st.Path("d/ENF_IMG/1004.ABCDE.part"), "new");
    fs::rename(st.Path("d/ENF_IMG/1004.ABCDE.part"), st.Path("d/ENF_IMG/1004.ABCDE"));
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return st.CenterLines("LOST ").size() + st.CenterLines("LEFT ").size() >= 4; }, 5s))
        << st.center.Out();
    kill(st.center.nPid, SIGTERM);
    EXPECT_EQ(st.Wait(st.center, 5s), 3) << "--fail-on-loss";
    const std::string out = st.center.Out();
    for (const char* szLine : {"LOST file=\"1000.ABCDE\" aside=no answered-bad=no",
                               "LOST file=\"1001.ABCDE\" aside=yes answered-bad=no",
                               "LEFT file=\"1002.ABCDE\" as=aside-empty",
                               "LOST file=\"1003.ABCDE\" aside=no", "EXIT lost=3"})
        EXPECT_TRUE(Contains(out, szLine)) << szLine << "\n" << out;
    EXPECT_FALSE(Contains(out, "1004.ABCDE"));
    Names problems, duplicates;
    const auto fates = st.Account(&problems, &duplicates);
    EXPECT_EQ(fates.at("1000.ABCDE"), "lost");
    EXPECT_EQ(fates.at("1001.ABCDE"), "retired");
    EXPECT_EQ(problems,
              (Names{"1000.ABCDE is lost", "1003.ABCDE stored corrupted (18 of 30 bytes)"}));
}

}  // namespace
