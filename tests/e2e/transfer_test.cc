// Violation files pushed by the real station program to velmora-mgrpc: oldest number
// first, files of every packet boundary delivered byte-identical (the empty one retired),
// and a center that misbehaves: a resend request at each packet position, resends up to
// and past the give-up count, refusals, a center that never answers, and a center or a
// station restarted in the middle of a file. Every file must end up stored byte-identical,
// still waiting, or in delete_img by the give-up rules; the center's watch fails the test
// if one leaves the violation directory early. (Cuts of the link are in fault_test.cc.)
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

using e2e::Count;
using e2e::CountLines;
using Names = std::vector<std::string>;

TEST(TransferOrder, OldestNumberGoesFirstAndEachIsCounted) {
    e2e::VolScene s(60, {});
    for (const auto& [szName, nSize] :
         std::map<std::string, size_t>{{"999.ABCDE", 700}, {"1000.ABCDE", 800}, {"7.ABCDE", 900}})
        s.Put(szName, nSize);
    s.Start();
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 20s)) << s.Out();
    EXPECT_EQ(e2e::CenterVolFiles(s.st), (Names{"7.ABCDE", "999.ABCDE", "1000.ABCDE"}));
    EXPECT_TRUE(s.st.WaitControl(1007, "3"));
    // A completed file is recorded with bytes 7 to 42 of its content (they hold NULs
    // here, so only the start of the line is certain).
    EXPECT_NE(s.st.SystemLog().find("Send MGR_PC[7.ABCDE] : "), std::string::npos);
    s.ExpectNothingLost();
}

// A backlog drained with SEND_NEXT_AT_ONCE: all three files within one tick of the
// transfer timer (2 s at this time scale), in order, whole, also with a resend request in
// the middle; without the setting, one file per tick as before.
TEST(TransferDrain, ABacklogGoesWithinOneTickOnlyWithTheSetting) {
    for (bool bAtOnce : {true, false}) {
        SCOPED_TRACE(bAtOnce);
        e2e::VolScene s(bAtOnce ? 124 : 125, {5000, 1000, 1000}, 5);
        s.st.m_ini["Velmora/SEND_NEXT_AT_ONCE"] = bAtOnce ? "1" : "0";
        s.st.WriteConfig();
        s.Start({"--resend", "51:1"});
        ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::CenterVolFiles(s.st).empty(); }, 20s))
            << s.Out();
        const auto tFirst = std::chrono::steady_clock::now();
        ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 20s)) << s.Out();
        const auto tAll = std::chrono::steady_clock::now() - tFirst;
        EXPECT_EQ(e2e::CenterVolFiles(s.st), (Names{"1000.ABCDE", "1001.ABCDE", "1002.ABCDE"}));
        if (bAtOnce) {
            EXPECT_LT(tAll, 2s) << "the two files after the first came without a tick";
        } else {
            EXPECT_GE(tAll, 2s) << "one file per tick";
        }
        s.ExpectNothingLost();
    }
}

TEST(TransferSizes, EveryPacketBoundaryArrivesWholeAndTheEmptyFileIsRetired) {
    // The empty file has the smallest number: left in place it would block the others.
    e2e::VolScene s(61, {0, 1, 2999, 3000, 3001, 30001});
    s.Start();
    const Names sent{"1001.ABCDE", "1002.ABCDE", "1003.ABCDE", "1004.ABCDE", "1005.ABCDE"};
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return std::all_of(sent.begin(), sent.end(), [&](auto& n) { return s.Stored(n); }); },
        30s))
        << s.Out();
    EXPECT_EQ(e2e::CenterVolFiles(s.st), sent);
    EXPECT_TRUE(s.Retired("1000.ABCDE"));
    EXPECT_EQ(e2e::ReadFile(s.st.Path("d/delete_img/1000.ABCDE")), "");
    EXPECT_TRUE(e2e::Contains(s.st.SystemLog(), "MGR_PC: 빈 위반화일 이동 [1000.ABCDE]"))
        << s.st.SystemLog();
    // Packet counts and the cut of the last data packet, as the center saw them.
    const std::string out = s.Out();
    for (const char* szLine :
         {"file=\"1001.ABCDE\" size=1 packets=2 ", "file=\"1002.ABCDE\" size=2999 packets=2 ",
          "file=\"1003.ABCDE\" size=3000 packets=2 ", "file=\"1004.ABCDE\" size=3001 packets=3 ",
          "file=\"1005.ABCDE\" size=30001 packets=12 ",
          "RX code=51 name=OP_VOL_FILE len=17 pkt=0000 id=\"ABCDE\" crc=ok",
          "len=1 pkt=0011 id=\"ABCDE\" crc=ok"})
        EXPECT_TRUE(e2e::Contains(out, szLine)) << szLine << "\n" << out;
    EXPECT_FALSE(e2e::Contains(out, "size=0 file=\"1000.ABCDE\""))
        << "the empty file is retired without being offered to the center";
    EXPECT_TRUE(s.st.WaitControl(1007, "5"));
    s.ExpectNothingLost();
}

TEST(TransferSizes, LargestFileGoesAndALargerOneStaysForever) {
    // 894,000 bytes fill 298 data packets; one byte more needs a 300th slot.
    e2e::VolScene s(82, {894000, 894001});
    s.Start();
    ASSERT_TRUE(e2e::WaitFor([&] { return s.Stored("1000.ABCDE"); }, 20s)) << s.Out();
    // The size error is logged on every tick and the file is never offered.
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            return Count(s.st.SystemLog(), "MGR_PC: Send VOL File Size ERROR : 300/894001") >= 2;
        },
        10s))
        << s.st.SystemLog();
    EXPECT_TRUE(e2e::Contains(s.Out(), "file=\"1000.ABCDE\" size=894000 packets=299 "));
    EXPECT_FALSE(e2e::Contains(s.Out(), "1001.ABCDE"));
    EXPECT_EQ(e2e::ReadFile(s.st.Path("d/ENF_IMG/1001.ABCDE")), s.files.at("1001.ABCDE"));
    s.ExpectNothingLost();
}

// A single resend request at packet K of a five-packet file (9,001 bytes).
class ResendAt : public ::testing::TestWithParam<int> {};

TEST_P(ResendAt, OnePacketStillDelivers) {
    const int k = GetParam();
    e2e::VolScene s(62 + k, {9001, 3001});
    s.Start({"--resend", "51:" + std::to_string(k)});
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 20s)) << s.Out();
    char szPacket[32];
    std::snprintf(szPacket, sizeof szPacket, " pkt=%04d ", k);
    const std::string out = s.Out();
    // Packet K of the first file went twice, the one of the second file (if any) once.
    EXPECT_EQ(CountLines(out, {"RX code=51 ", szPacket}), k <= 2 ? 3u : 2u) << out;
    EXPECT_EQ(CountLines(out, {"TX code=51 ", szPacket, "status=3"}), 1u);
    EXPECT_EQ(Count(out, "status=3"), 1u);
    const std::string log = s.st.SystemLog();
    EXPECT_TRUE(e2e::Contains(log, "MGR_PC: VOL ERROR_RESEND= PackNo:" + std::to_string(k))) << log;
    EXPECT_FALSE(e2e::Contains(log, "PACKET_SEND_RETRY"));
    EXPECT_EQ(e2e::CenterVolFiles(s.st), (Names{"1000.ABCDE", "1001.ABCDE"}));
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(TransferResend, ResendAt, ::testing::Range(0, 5));

// N resend requests of packet P: five are still delivered, the sixth retires the file and
// the next one goes. Either way packet P went six times.
class ResendsOf : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ResendsOf, PacketRetiresTheFileOnlyFromTheSixth) {
    const auto [n, p] = GetParam();
    const bool bGiveUp = n >= 6;
    e2e::VolScene s(70 + n, {9001, 1});
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) args.insert(args.end(), {"--resend", "51:" + std::to_string(p)});
    s.Start(args);
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return (bGiveUp ? s.Retired("1000.ABCDE") : true) && s.Stored("1001.ABCDE"); }, 20s))
        << s.Out();
    const std::string out = s.Out();
    EXPECT_EQ(Count(out, "status=3"), static_cast<size_t>(n)) << out;
    EXPECT_EQ(Count(out, "len=3000 pkt=000" + std::to_string(p) + " id=\"ABCDE\" crc=ok"), 6u);
    const std::string log = s.st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: VOL ERROR_RESEND= PackNo:" + std::to_string(p)), 5u) << log;
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(Count(log, "MGR_PC: PACKET_SEND_RETRY= Retry:" + std::to_string(i)), 1u);
    EXPECT_EQ(Count(log, "위반화일 삭제"), bGiveUp ? 1u : 0u) << log;
    EXPECT_EQ(Count(log, "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), bGiveUp ? 1u : 0u);
    EXPECT_EQ(e2e::CenterVolFiles(s.st),
              (bGiveUp ? Names{"1001.ABCDE"} : Names{"1000.ABCDE", "1001.ABCDE"}));
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(TransferFaults, ResendsOf,
                         ::testing::Values(std::pair{5, 1}, std::pair{6, 2}));

// Refusal (status 4) of packet K: each refusal ends the attempt; the fourth retires the
// file. With K = 4 the center held every byte but the last packet's.
class RefuseAt : public ::testing::TestWithParam<int> {};

TEST_P(RefuseAt, FourthRefusalRetiresTheFile) {
    const int k = GetParam();
    // The second file is one packet long after its info packet, so --refuse 4 spares it.
    e2e::VolScene s(77 + (k == 0 ? 0 : 1),
                    k == 0 ? std::vector<size_t>{9001} : std::vector<size_t>{9001, 1});
    // A stale file of the same name in delete_img is replaced by the retired one.
    e2e::WriteFile(s.st.Path("d/delete_img/1000.ABCDE"), "stale");
    s.Start({"--refuse", std::to_string(k)});
    // The refusal is logged just after the file was moved aside: wait for both.
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            return !std::filesystem::exists(s.st.Path("d/ENF_IMG/1000.ABCDE")) &&
                   Count(s.st.SystemLog(), "MGR_PC: VOL ERROR_FILE= File:1000.ABCDE") >= 4;
        },
        20s))
        << s.Out();
    const std::string out = s.Out();
    EXPECT_EQ(Count(out, "status=4"), 4u) << out;
    EXPECT_EQ(Count(out, "size=9001 file=\"1000.ABCDE\""), 4u);
    const std::string log = s.st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: VOL ERROR_FILE= File:1000.ABCDE"), 4u) << log;
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(Count(log, "MGR_PC: PACKET_SEND_RETRY= Retry:" + std::to_string(n)), 1u);
    EXPECT_EQ(Count(log, "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u) << log;
    EXPECT_TRUE(k == 0 || e2e::WaitFor([&] { return s.Stored("1001.ABCDE"); }, 10s)) << out;
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(TransferRefuse, RefuseAt, ::testing::Values(0, 4));

TEST(TransferFaults, ResendsAndRefusalsCountTogether) {
    e2e::VolScene s(81, {9001});
    // Three resends of packet 1 end the first round; each refusal of packet 2 ends
    // another, so the third attempt's refusal is the one that retires the file.
    s.Start({"--resend", "51:1", "--resend", "51:1", "--resend", "51:1", "--refuse", "2"});
    ASSERT_TRUE(e2e::WaitFor([&] { return s.Retired("1000.ABCDE"); }, 20s)) << s.Out();
    EXPECT_EQ(Count(s.Out(), "size=9001 file=\"1000.ABCDE\""), 3u) << s.Out();
    EXPECT_EQ(Count(s.Out(), "status=4"), 3u);
    const std::string log = s.st.SystemLog();
    EXPECT_EQ(Count(log, "MGR_PC: PACKET_SEND_RETRY= Retry:"), 3u) << log;
    EXPECT_EQ(Count(log, "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u) << log;
    s.ExpectNothingLost();
}

// A center that refuses every time while delete_img cannot take the file (the give-up copy
// fails, so the file must stay and be offered again), and one that never answers (after
// about twelve ticks the busy rule starts the oldest file again, from its info packet).
class NothingLeaves : public ::testing::TestWithParam<bool> {};

TEST_P(NothingLeaves, WhenTheCenterRefusesOrIsSilent) {
    const bool bSilent = GetParam();
    e2e::VolScene s(bSilent ? 79 : 84,
                    bSilent ? std::vector<size_t>{9001, 3001} : std::vector<size_t>{9001});
    if (!bSilent) e2e::WriteFile(s.st.Path("d/delete_img"), "a file where the folder should be");
    s.Start(bSilent ? std::vector<std::string>{"--silent"}
                    : std::vector<std::string>{"--refuse", "0"});
    ASSERT_TRUE(e2e::WaitFor(
        [&] { return Count(s.Out(), "size=9001 file=\"1000.ABCDE\"") >= (bSilent ? 2u : 4u); },
        30s))
        << s.Out();
    if (!bSilent) {
        // Refused four times but it cannot be moved aside: it stays, set aside for the rest
        // of the run, and a later file goes.
        ASSERT_TRUE(e2e::WaitFor(
            [&] {
                return Count(s.st.SystemLog(), "MGR_PC: 위반화일 이동 실패 [1000.ABCDE]") == 1;
            },
            10s));
        s.Put("1001.ABCDE", 100);
        ASSERT_TRUE(e2e::WaitFor([&] { return e2e::Contains(s.Out(), "file=\"1001.ABCDE\""); }, 20s))
            << s.Out();
        EXPECT_EQ(Count(s.Out(), "size=9001 file=\"1000.ABCDE\""), 4u);
    }
    const std::string out = s.Out();
    if (bSilent) {
        EXPECT_FALSE(e2e::Contains(out, "1001.ABCDE")) << "only the oldest file is tried";
        EXPECT_EQ(Count(out, "RX code=51"),
                  Count(out, "RX code=51 name=OP_VOL_FILE len=17 pkt=0000"))
            << "a silent center gets info packets only";
        EXPECT_FALSE(std::filesystem::exists(s.st.Path("d/delete_img")));
    } else {
        EXPECT_EQ(Count(s.st.SystemLog(), "MGR_PC: 위반화일 삭제 & Backup [1000.ABCDE]"), 1u);
    }
    EXPECT_EQ(e2e::ReadFile(s.st.Path("d/ENF_IMG/1000.ABCDE")), s.files.at("1000.ABCDE"));
    EXPECT_TRUE(e2e::CenterLines(s.st, "LEFT ").empty());
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(TransferFaults, NothingLeaves, ::testing::Bool());

// A file interrupted and then delivered once the failed side is back.
struct Interruption {
    const char* szName;
    int nHost;
    std::vector<size_t> sizes;
    std::vector<std::string> centerArgs;  // the first center
    const char* szWaitFor;  // in its output beside the first file (nullptr: a file stored)
    bool bKillStation;      // SIGKILL the station and start it again
    bool bKillCenter;       // kill the center and start a well-behaved one
};

class Interrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, FileIsDeliveredAfterwards) {
    const Interruption& c = GetParam();
    e2e::VolScene s(c.nHost, c.sizes);
    s.Start(c.centerArgs);
    ASSERT_TRUE(e2e::WaitFor(
        [&] {
            return c.szWaitFor == nullptr ? !e2e::CenterVolFiles(s.st).empty()
                                          : e2e::Contains(s.Out(), "file=\"1000.ABCDE\"") &&
                                                e2e::Contains(s.Out(), c.szWaitFor);
        },
        10s))
        << s.Out();
    if (c.bKillStation) s.st.Kill(s.velmora);
    if (c.bKillCenter) s.st.Kill(s.center);
    if (c.bKillStation && c.bKillCenter) {
        EXPECT_EQ(e2e::ReadFile(s.st.Path("d/ENF_IMG/1000.ABCDE")), s.files.at("1000.ABCDE"));
    }
    if (c.bKillCenter) s.StartCenter();
    if (c.bKillStation) s.velmora = s.st.StartVelmora();
    ASSERT_TRUE(e2e::WaitFor([&] { return s.AllStored(); }, 30s)) << s.Out();
    if (c.bKillCenter) {
        EXPECT_EQ(e2e::CenterVolFiles(s.st), (Names{"1000.ABCDE", "1001.ABCDE"}));
    }
    EXPECT_TRUE(s.st.Running(s.velmora));
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(
    TransferRestart, Interrupted,
    ::testing::Values(
        // The station holds the file as current until the busy rule gives the attempt up
        // (about twelve transfer ticks), then starts it again from its info packet.
        Interruption{
            "CenterRestartedAfterTheInfoPacket", 67, {30001, 5000}, {"--silent"}, "", false, true},
        // The station killed while a file is current and unanswered: by a silent center
        // after the info packet, or by a center that cut the link at the third packet.
        Interruption{
            "StationKilledWhileTheCenterIsSilent", 68, {9001, 1}, {"--silent"}, "", true, true},
        Interruption{"StationKilledAfterTheLinkWasCut",
                     80,
                     {9001, 1},
                     {"--drop-after", "3"},
                     "reason=drop-after",
                     true,
                     true},
        // Killed as soon as the center reports the first file: the kill lands around the
        // last acknowledgement and the delete that follows it.
        Interruption{"StationKilledRightAfterAFileArrived",
                     69,
                     {30001, 30001, 30001, 1},
                     {},
                     nullptr,
                     true,
                     false}),
    [](const auto& info) { return std::string(info.param.szName); });

}  // namespace
