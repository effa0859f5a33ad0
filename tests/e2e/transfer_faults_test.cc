// Violation files against a center that misbehaves: the link cut after each packet of a
// file, resend requests up to and past the give-up count, refusals, and a center that
// never answers. Every file must end up stored byte-identical, still waiting, or in
// delete_img by the give-up rules; a watcher fails the test if one leaves early.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
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

// Files 1000.ABCDE, 1001.ABCDE, ... of the given sizes, content seeded by the key.
FileSet PutFiles(const e2e::Station& st, const std::vector<size_t>& sizes) {
    FileSet files;
    for (size_t k = 0; k < sizes.size(); ++k) {
        const int nKey = 1000 + static_cast<int>(k);
        const std::string szName = std::to_string(nKey) + ".ABCDE";
        files[szName] = e2e::PatternBytes(sizes[k], static_cast<uint32_t>(nKey) * 7u);
        e2e::PutVolFile(st, szName, files[szName]);
    }
    return files;
}

bool Stored(const e2e::Station& st, const std::string& szName) {
    const auto stored = e2e::CenterVolFiles(st);
    return std::find(stored.begin(), stored.end(), szName) != stored.end() &&
           !std::filesystem::exists(st.Path("d/ENF_IMG/" + szName));
}

bool Retired(const e2e::Station& st, const std::string& szName) {
    return std::filesystem::exists(st.Path("d/delete_img/" + szName)) &&
           !std::filesystem::exists(st.Path("d/ENF_IMG/" + szName));
}

void ExpectNothingLost(const e2e::Station& st, const e2e::VolWatcher& watcher,
                       const FileSet& files) {
    const e2e::VolAccount account = e2e::AccountVolFiles(st, files);
    for (const std::string& szProblem : account.problems) ADD_FAILURE() << szProblem;
    for (const std::string& szFault : watcher.Faults()) ADD_FAILURE() << szFault;
    for (const std::string& szDup : account.duplicates) {
        std::printf("[ DUPLICATE] %s\n", szDup.c_str());
    }
}

// One station with its own center, for scenarios that run side by side.
struct Scene {
    explicit Scene(int nHost) : st(nHost) {}
    e2e::Station st;
    FileSet files;
    std::unique_ptr<e2e::VolWatcher> watcher;
    e2e::Proc harwent, center, velmora;
};

TEST(TransferFaults, LinkCutAtEachPacketOfAFileNeverLosesIt) {
    // 9,001 bytes: the info packet and four data packets. Center k cuts the link when
    // the k-th packet arrives, before answering or storing it.
    std::vector<std::unique_ptr<Scene>> scenes;
    for (int k = 1; k <= 5; ++k) {
        auto s = std::make_unique<Scene>(69 + k);
        s->files = PutFiles(s->st, {9001, 3001});
        s->watcher = std::make_unique<e2e::VolWatcher>(s->st);
        s->harwent = s->st.StartHarwent();
        s->center = Center(s->st, {"--drop-after", std::to_string(k)});
        s->velmora = s->st.StartVelmora();
        scenes.push_back(std::move(s));
    }
    for (auto& s : scenes) {
        // Each cut leaves the attempt current until the busy rule ends it (about twelve
        // transfer ticks); the file is then sent again from its info packet.
        EXPECT_TRUE(e2e::WaitFor(
            [&] { return Stored(s->st, "1000.ABCDE") && Stored(s->st, "1001.ABCDE"); }, 40s))
            << e2e::ReadFile(s->center.szOut);
    }
    for (size_t k = 0; k < scenes.size(); ++k) {
        SCOPED_TRACE("cut at packet " + std::to_string(k + 1));
        Scene& s = *scenes[k];
        const std::string out = e2e::ReadFile(s.center.szOut);
        EXPECT_EQ(Count(out, "reason=drop-after"), 1u) << out;
        EXPECT_EQ(e2e::CenterVolFiles(s.st),
                  (std::vector<std::string>{"1000.ABCDE", "1001.ABCDE"}));
        ExpectNothingLost(s.st, *s.watcher, s.files);
    }
}

TEST(TransferFaults, FiveResendsAreStillDelivered) {
    e2e::Station st(75);
    const FileSet files = PutFiles(st, {9001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    std::vector<std::string> args;
    for (int n = 0; n < 5; ++n) args.insert(args.end(), {"--resend", "51:1"});
    auto center = Center(st, args);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return Stored(st, "1000.ABCDE"); }, 15s))
        << e2e::ReadFile(center.szOut);
    const std::string log = st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: VOL ERROR_RESEND= PackNo:1"), 5u) << log;
    for (int n = 1; n <= 3; ++n) {
        EXPECT_NE(log.find("MGR_PC: PACKET_SEND_RETRY= Retry:" + std::to_string(n)),
                  std::string::npos);
    }
    EXPECT_EQ(log.find("위반화일 삭제"), std::string::npos);
    ExpectNothingLost(st, watcher, files);
}

TEST(TransferFaults, SixthResendRetiresTheFileAndTheNextOneGoes) {
    e2e::Station st(76);
    const FileSet files = PutFiles(st, {9001, 3001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    std::vector<std::string> args;
    for (int n = 0; n < 6; ++n) args.insert(args.end(), {"--resend", "51:2"});
    auto center = Center(st, args);
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return Retired(st, "1000.ABCDE"); }, 15s))
        << e2e::ReadFile(center.szOut);
    ASSERT_TRUE(e2e::WaitFor([&] { return Stored(st, "1001.ABCDE"); }, 15s))
        << e2e::ReadFile(center.szOut);
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_EQ(Count(out, "status=3"), 6u) << out;
    EXPECT_EQ(Count(out, "len=3000 pkt=0002 id=\"ABCDE\" crc=ok"), 6u) << out;  // five resends
    const std::string log = st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: VOL ERROR_RESEND= PackNo:2"), 5u) << log;
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(Count(log, "MGR_PC: PACKET_SEND_RETRY= Retry:" + std::to_string(n)), 1u);
    }
    EXPECT_EQ(Count(log, "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u) << log;
    EXPECT_EQ(e2e::CenterVolFiles(st), std::vector<std::string>{"1001.ABCDE"});
    ExpectNothingLost(st, watcher, files);
}

// Refusal (status 4) of packet K: each refusal ends the attempt; the fourth retires the
// file. With K = 4 the center held every byte but the last packet's.
class RefuseAt : public ::testing::TestWithParam<int> {};

TEST_P(RefuseAt, FourthRefusalRetiresTheFile) {
    const int k = GetParam();
    e2e::Station st(77 + (k == 0 ? 0 : 1));
    // The second file is one packet long after its info packet, so --refuse 4 spares it.
    const FileSet files =
        PutFiles(st, k == 0 ? std::vector<size_t>{9001} : std::vector<size_t>{9001, 1});
    // A stale file of the same name in delete_img is replaced by the retired one.
    e2e::WriteFile(st.Path("d/delete_img/1000.ABCDE"), "stale");
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st, {"--refuse", std::to_string(k)});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return !std::filesystem::exists(st.Path("d/ENF_IMG/1000.ABCDE")); }, 20s))
        << e2e::ReadFile(center.szOut);
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_EQ(Count(out, "status=4"), 4u) << out;
    EXPECT_EQ(Count(out, "size=9001 file=\"1000.ABCDE\""), 4u);
    const std::string log = st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: VOL ERROR_FILE= File:1000.ABCDE"), 4u) << log;
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(Count(log, "MGR_PC: PACKET_SEND_RETRY= Retry:" + std::to_string(n)), 1u);
    }
    EXPECT_EQ(Count(log, "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u) << log;
    if (k != 0) {
        EXPECT_TRUE(e2e::WaitFor([&] { return Stored(st, "1001.ABCDE"); }, 10s)) << out;
    }
    ExpectNothingLost(st, watcher, files);
}

INSTANTIATE_TEST_SUITE_P(TransferRefuse, RefuseAt, ::testing::Values(0, 4));

TEST(TransferFaults, ResendsAndRefusalsCountTogether) {
    e2e::Station st(81);
    const FileSet files = PutFiles(st, {9001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    // Three resends of packet 1 end the first round; each refusal of packet 2 ends
    // another, so the third attempt's refusal is the one that retires the file.
    auto center =
        Center(st, {"--resend", "51:1", "--resend", "51:1", "--resend", "51:1", "--refuse", "2"});
    auto velmora = st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return Retired(st, "1000.ABCDE"); }, 20s))
        << e2e::ReadFile(center.szOut);
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_EQ(Count(out, "size=9001 file=\"1000.ABCDE\""), 3u) << out;
    EXPECT_EQ(Count(out, "status=4"), 3u) << out;
    const std::string log = st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: PACKET_SEND_RETRY= Retry:"), 3u) << log;
    EXPECT_EQ(Count(log, "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u) << log;
    ExpectNothingLost(st, watcher, files);
}

TEST(TransferFaults, GivenUpFileStaysWhenDeleteImgCannotTakeIt) {
    e2e::Station st(84);
    const FileSet files = PutFiles(st, {9001});
    e2e::WriteFile(st.Path("d/delete_img"), "a file where the directory should be");
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st, {"--refuse", "0"});
    auto velmora = st.StartVelmora();
    // The fourth refusal gives the file up, the copy fails, so the file must stay and be
    // offered again.
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return Count(e2e::ReadFile(center.szOut), "size=9001 file=\"1000.ABCDE\"") >= 5; },
        20s))
        << e2e::ReadFile(center.szOut);
    EXPECT_EQ(Count(st.SystemLog(), "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u);
    EXPECT_EQ(e2e::ReadFile(st.Path("d/ENF_IMG/1000.ABCDE")), files.at("1000.ABCDE"));
    EXPECT_TRUE(watcher.Left().empty());
    ExpectNothingLost(st, watcher, files);
}

TEST(TransferFaults, SilentCenterKeepsEveryFileAndTheAttemptStartsAgain) {
    e2e::Station st(79);
    const FileSet files = PutFiles(st, {9001, 3001});
    e2e::VolWatcher watcher(st);
    auto harwent = st.StartHarwent();
    auto center = Center(st, {"--silent"});
    auto velmora = st.StartVelmora();
    // Nothing answers: after about twelve ticks the busy rule starts the oldest file again.
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return Count(e2e::ReadFile(center.szOut), "size=9001 file=\"1000.ABCDE\"") >= 2; },
        30s))
        << e2e::ReadFile(center.szOut);
    const std::string out = e2e::ReadFile(center.szOut);
    EXPECT_EQ(out.find("1001.ABCDE"), std::string::npos) << "only the oldest file is tried";
    EXPECT_EQ(Count(out, "RX code=51"), Count(out, "RX code=51 name=OP_VOL_FILE len=17 pkt=0000"))
        << "a silent center gets info packets only";
    EXPECT_TRUE(watcher.Left().empty());
    EXPECT_FALSE(std::filesystem::exists(st.Path("d/delete_img")));
    ExpectNothingLost(st, watcher, files);
}

// The checks themselves: a file removed by hand is flagged, one retired properly is not,
// and a stored copy that differs from the original is reported.
TEST(TransferWatcher, FlagsFilesThatLeaveUnaccountedOrArriveChanged) {
    e2e::Station st(83);  // no program runs
    const FileSet files = PutFiles(st, {10, 20, 30});
    e2e::VolWatcher watcher(st);
    namespace fs = std::filesystem;
    fs::remove(st.Path("d/ENF_IMG/1000.ABCDE"));
    e2e::WriteFile(st.Path("d/delete_img/1001.ABCDE"), files.at("1001.ABCDE"));
    fs::remove(st.Path("d/ENF_IMG/1001.ABCDE"));
    e2e::WriteFile(st.Path("center/ABCDE/1002.ABCDE"), "not the bytes sent");
    e2e::WriteFile(st.Path("velmora-mgrpc.0.out"),
                   "FILE peer=127.0.0.1:1 id=\"ABCDE\" code=51 file=\"1002.ABCDE\" size=30 "
                   "packets=2 stored=\"x\"\n");
    fs::remove(st.Path("d/ENF_IMG/1002.ABCDE"));
    ASSERT_TRUE(e2e::WaitFor([&] { return watcher.Left().size() == 3; }, 5s));
    ASSERT_EQ(watcher.Faults().size(), 1u);
    EXPECT_NE(watcher.Faults()[0].find("1000.ABCDE"), std::string::npos);
    const e2e::VolAccount account = e2e::AccountVolFiles(st, files);
    EXPECT_EQ(account.fates.at("1000.ABCDE"), "lost");
    EXPECT_EQ(account.fates.at("1001.ABCDE"), "retired");
    EXPECT_EQ(account.problems,
              (std::vector<std::string>{"1000.ABCDE is lost",
                                        "1002.ABCDE stored corrupted (18 of 30 bytes)"}));
}

}  // namespace
