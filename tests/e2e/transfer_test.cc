// Violation files pushed by the real station program to velmora-mgrpc: oldest number
// first, files of every packet boundary delivered byte-identical (the empty one retired),
// a resend request at each packet position, and a center or a station that is restarted
// in the middle of a file. A watcher fails the test if a file leaves the violation
// directory before the center has stored it or a copy lies in delete_img.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

using FileSet = std::map<std::string, std::string>;  // name -> bytes

size_t Count(const std::string& sz, const std::string& what) {
    size_t n = 0;
    for (size_t at = sz.find(what); at != std::string::npos; at = sz.find(what, at + 1)) ++n;
    return n;
}

// Lines of sz that contain every one of parts.
size_t CountLines(const std::string& sz, const std::vector<std::string>& parts) {
    size_t n = 0;
    for (size_t at = 0; at < sz.size();) {
        size_t end = sz.find('\n', at);
        if (end == std::string::npos) end = sz.size();
        const std::string line = sz.substr(at, end - at);
        n += std::all_of(parts.begin(), parts.end(),
                         [&](const std::string& p) { return line.find(p) != std::string::npos; });
        at = end + 1;
    }
    return n;
}

// Starts the station's center; a test whose address is taken (another run of the same
// test at the same time) fails here instead of talking to a foreign center.
e2e::Proc Center(e2e::Station& st, const std::vector<std::string>& args = {}) {
    e2e::Proc center = st.StartCenter(args);
    if (!e2e::WaitFor([&] { return e2e::ReadFile(center.szOut).find("LISTEN ") == 0; }, 5s)) {
        ADD_FAILURE() << "the center does not listen on " << st.Addr() << ": "
                      << e2e::ReadFile(center.szOut);
    }
    return center;
}

// Writes the files (sizes in name order from nFirstKey) with content seeded by the key.
FileSet PutFiles(const e2e::Station& st, int nFirstKey, const std::vector<size_t>& sizes) {
    FileSet files;
    for (size_t k = 0; k < sizes.size(); ++k) {
        const int nKey = nFirstKey + static_cast<int>(k);
        const std::string szName = std::to_string(nKey) + ".ABCDE";
        files[szName] = e2e::PatternBytes(sizes[k], static_cast<uint32_t>(nKey));
        e2e::PutVolFile(st, szName, files[szName]);
    }
    return files;
}

// True once the center has stored every file of names and none is left waiting.
bool AllDelivered(const e2e::Station& st, const std::vector<std::string>& names) {
    const auto stored = e2e::CenterVolFiles(st);
    for (const std::string& szName : names) {
        if (std::find(stored.begin(), stored.end(), szName) == stored.end()) return false;
        if (std::filesystem::exists(st.Path("d/ENF_IMG/" + szName))) return false;
    }
    return true;
}

std::vector<std::string> Names(const FileSet& files) {
    std::vector<std::string> names;
    for (const auto& [szName, szBytes] : files) names.push_back(szName);
    return names;
}

// Every file accounted for and none left too early; duplicates are only reported.
void ExpectNothingLost(const e2e::Station& st, const e2e::VolWatcher& watcher,
                       const FileSet& files) {
    const e2e::VolAccount account = e2e::AccountVolFiles(st, files);
    for (const std::string& szProblem : account.problems) ADD_FAILURE() << szProblem;
    for (const std::string& szFault : watcher.Faults()) ADD_FAILURE() << szFault;
    for (const std::string& szDup : account.duplicates) {
        std::printf("[ DUPLICATE] %s\n", szDup.c_str());
    }
}

TEST(TransferOrder, OldestNumberGoesFirstAndEachIsCounted) {
    e2e::Station st(60);
    FileSet files;
    for (const auto& [szName, nSize] :
         std::map<std::string, size_t>{{"999.ABCDE", 700}, {"1000.ABCDE", 800}, {"7.ABCDE", 900}}) {
        files[szName] = e2e::PatternBytes(nSize, static_cast<uint32_t>(nSize));
        e2e::PutVolFile(st, szName, files[szName]);
    }
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, Names(files)); }, 20s))
        << e2e::ReadFile(center.szOut);
    EXPECT_EQ(e2e::CenterVolFiles(st),
              (std::vector<std::string>{"7.ABCDE", "999.ABCDE", "1000.ABCDE"}));
    EXPECT_TRUE(st.WaitControl(1007, "3"));
    // A completed file is recorded with bytes 7 to 42 of its content (they hold NULs
    // here, so only the start of the line is certain).
    EXPECT_NE(st.SystemLog().find("Send MGR_PC[7.ABCDE] : "), std::string::npos);
    ExpectNothingLost(st, watcher, files);
}

TEST(TransferSizes, EveryPacketBoundaryArrivesWholeAndTheEmptyFileIsRetired) {
    e2e::Station st(61);
    // The empty file has the smallest number: left in place it would block the others.
    const FileSet files = PutFiles(st, 1000, {0, 1, 2999, 3000, 3001, 30001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st);
    auto velmora = st.StartVelmora();
    const std::vector<std::string> sent{"1001.ABCDE", "1002.ABCDE", "1003.ABCDE", "1004.ABCDE",
                                        "1005.ABCDE"};
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, sent); }, 30s))
        << e2e::ReadFile(center.szOut);
    EXPECT_EQ(e2e::CenterVolFiles(st), sent);
    EXPECT_EQ(e2e::ReadFile(st.Path("d/delete_img/1000.ABCDE")), "");
    EXPECT_TRUE(std::filesystem::exists(st.Path("d/delete_img/1000.ABCDE")));
    EXPECT_NE(st.SystemLog().find("MGR_PC: 빈 위반화일 이동 [1000.ABCDE]"), std::string::npos)
        << st.SystemLog();

    // Packet counts and the cut of the last data packet, as the center saw them.
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_NE(out.find("file=\"1001.ABCDE\" size=1 packets=2 "), std::string::npos) << out;
    EXPECT_NE(out.find("file=\"1002.ABCDE\" size=2999 packets=2 "), std::string::npos);
    EXPECT_NE(out.find("file=\"1003.ABCDE\" size=3000 packets=2 "), std::string::npos);
    EXPECT_NE(out.find("file=\"1004.ABCDE\" size=3001 packets=3 "), std::string::npos);
    EXPECT_NE(out.find("file=\"1005.ABCDE\" size=30001 packets=12 "), std::string::npos);
    EXPECT_NE(out.find("RX code=51 name=OP_VOL_FILE len=17 pkt=0000 id=\"ABCDE\" crc=ok"),
              std::string::npos);
    EXPECT_NE(out.find("len=1 pkt=0011 id=\"ABCDE\" crc=ok"), std::string::npos);
    EXPECT_EQ(out.find("size=0 file=\"1000.ABCDE\""), std::string::npos)
        << "the empty file is retired without being offered to the center";
    EXPECT_TRUE(st.WaitControl(1007, "5"));
    ExpectNothingLost(st, watcher, files);
}

TEST(TransferSizes, LargestFileGoesAndALargerOneStaysForever) {
    e2e::Station st(82);
    // 894,000 bytes fill 298 data packets; one byte more needs a 300th slot.
    const FileSet files = PutFiles(st, 1000, {894000, 894001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, {"1000.ABCDE"}); }, 20s))
        << e2e::ReadFile(center.szOut);
    // The size error is logged on every tick and the file is never offered.
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            const std::string log = st.SystemLog();
            return Count(log, "MGR_PC: Send VOL File Size ERROR : 300/894001") >= 2;
        },
        10s))
        << st.SystemLog();
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_NE(out.find("file=\"1000.ABCDE\" size=894000 packets=299 "), std::string::npos);
    EXPECT_EQ(out.find("1001.ABCDE"), std::string::npos);
    EXPECT_EQ(e2e::ReadFile(st.Path("d/ENF_IMG/1001.ABCDE")), files.at("1001.ABCDE"));
    ExpectNothingLost(st, watcher, files);
}

// A single resend request at packet K of a five-packet file (9,001 bytes).
class ResendAt : public ::testing::TestWithParam<int> {};

TEST_P(ResendAt, OnePacketStillDelivers) {
    const int k = GetParam();
    e2e::Station st(62 + k);
    const FileSet files = PutFiles(st, 1000, {9001, 3001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st, {"--resend", "51:" + std::to_string(k)});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, Names(files)); }, 20s))
        << e2e::ReadFile(center.szOut);
    char szPacket[32];
    std::snprintf(szPacket, sizeof szPacket, " pkt=%04d ", k);
    const std::string out = e2e::ReadFile(center.szOut);
    // Packet K of the first file went twice, the one of the second file (if any) once.
    EXPECT_EQ(CountLines(out, {"RX code=51 ", szPacket}), k <= 2 ? 3u : 2u) << out;
    EXPECT_EQ(CountLines(out, {"TX code=51 ", szPacket, "status=3"}), 1u);
    EXPECT_EQ(Count(out, "status=3"), 1u);
    const std::string log = st.SystemLog();
    EXPECT_NE(log.find("MGR_PC: VOL ERROR_RESEND= PackNo:" + std::to_string(k)), std::string::npos)
        << log;
    EXPECT_EQ(log.find("PACKET_SEND_RETRY"), std::string::npos);
    EXPECT_EQ(e2e::CenterVolFiles(st), (std::vector<std::string>{"1000.ABCDE", "1001.ABCDE"}));
    ExpectNothingLost(st, watcher, files);
}

INSTANTIATE_TEST_SUITE_P(TransferResend, ResendAt, ::testing::Range(0, 5));

TEST(TransferRestart, CenterRestartedAfterTheInfoPacket) {
    e2e::Station st(67);
    const FileSet files = PutFiles(st, 1000, {30001, 5000});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto silent = Center(st, {"--silent"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            return e2e::ReadFile(silent.szOut).find("file=\"1000.ABCDE\"") != std::string::npos;
        },
        10s))
        << e2e::ReadFile(silent.szOut);
    st.Kill(silent);
    auto center = Center(st);
    // The station holds the file as current until the busy rule gives the attempt up
    // (about twelve transfer ticks), then starts it again from its info packet.
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, Names(files)); }, 30s))
        << e2e::ReadFile(center.szOut);
    EXPECT_EQ(e2e::CenterVolFiles(st), (std::vector<std::string>{"1000.ABCDE", "1001.ABCDE"}));
    EXPECT_TRUE(st.Running(velmora));
    ExpectNothingLost(st, watcher, files);
}

// The station killed (SIGKILL) while a file is current and unanswered: by a silent
// center after the info packet, or by a center that cut the link at the third packet.
class StationKilled : public ::testing::TestWithParam<const char*> {};

TEST_P(StationKilled, WhileAFileIsCurrentAndComesBackToDeliverIt) {
    const std::string szFault = GetParam();
    e2e::Station st(szFault == "--silent" ? 68 : 80);
    const FileSet files = PutFiles(st, 1000, {9001, 1});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    std::vector<std::string> args{szFault};
    if (szFault == "--drop-after") args.push_back("3");
    auto faulty = Center(st, args);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            const std::string out = e2e::ReadFile(faulty.szOut);
            return out.find("file=\"1000.ABCDE\"") != std::string::npos &&
                   (szFault == "--silent" || out.find("reason=drop-after") != std::string::npos);
        },
        10s))
        << e2e::ReadFile(faulty.szOut);
    st.Kill(velmora);
    st.Kill(faulty);
    EXPECT_EQ(e2e::ReadFile(st.Path("d/ENF_IMG/1000.ABCDE")), files.at("1000.ABCDE"));
    auto center = Center(st);
    auto velmora2 = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, Names(files)); }, 20s))
        << e2e::ReadFile(center.szOut);
    EXPECT_EQ(e2e::CenterVolFiles(st), (std::vector<std::string>{"1000.ABCDE", "1001.ABCDE"}));
    ExpectNothingLost(st, watcher, files);
}

INSTANTIATE_TEST_SUITE_P(TransferRestart, StationKilled,
                         ::testing::Values("--silent", "--drop-after"));

TEST(TransferRestart, StationKilledRightAfterAFileArrived) {
    e2e::Station st(69);
    const FileSet files = PutFiles(st, 1000, {30001, 30001, 30001, 1});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st);
    auto velmora = st.StartVelmora();
    // Killed as soon as the center reports the first file: the kill lands around the
    // last acknowledgement and the delete that follows it.
    ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::CenterVolFiles(st).empty(); }, 10s))
        << e2e::ReadFile(center.szOut);
    st.Kill(velmora);
    auto velmora2 = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return AllDelivered(st, Names(files)); }, 20s))
        << e2e::ReadFile(center.szOut);
    ExpectNothingLost(st, watcher, files);
}

}  // namespace
