// A soak of the violation-file transfer: many files of random sizes up to the largest that
// is sent (894,000 bytes), a center that answers about one packet in ten with "send again"
// or "refuse" and now and then cuts the link, one center restart half way, and the station
// restarted whenever it ends itself (as its service manager would). At the end every file
// is stored byte-identical by a center, or in d:/delete_img by the give-up rules, or still
// waiting; none is lost or corrupted, and no center saw one leave early.
//
// The registered test is the short run. The long run is the same test with more files, run
// outside ctest (whose limit per test is five minutes):
//   VELMORA_SOAK_FILES=1000 build/bin/e2e_tests --gtest_filter='Soak.*'
// VELMORA_SOAK_SEED repeats a run (the seed is printed), VELMORA_SOAK_SCALE sets the
// station's time scale (default 40: a ten-second tick takes a quarter of a second).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

using namespace std::chrono_literals;

namespace {

long EnvNumber(const char* szName, long nDefault) {
    const char* sz = std::getenv(szName);
    return sz != nullptr && *sz != '\0' ? std::atol(sz) : nDefault;
}

size_t FilesWaiting(const e2e::Station& st) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(st.Path("d/ENF_IMG"), ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// Both ways of sending a backlog: one file per tick, and at once (SEND_NEXT_AT_ONCE).
class Soak : public ::testing::TestWithParam<bool> {};

TEST_P(Soak, EveryFileEndsStoredRetiredOrWaitingThroughFaultsCutsAndARestart) {
    const bool bAtOnce = GetParam();
    const long nFiles = EnvNumber("VELMORA_SOAK_FILES", 60);
    const int nScale = static_cast<int>(EnvNumber("VELMORA_SOAK_SCALE", 40));
    const auto nSeed = static_cast<uint32_t>(
        EnvNumber("VELMORA_SOAK_SEED",
                  std::chrono::system_clock::now().time_since_epoch().count() % 1000000007));
    std::printf("[ SOAK     ] files=%ld scale=%d seed=%u at-once=%d (VELMORA_SOAK_SEED repeats it)\n",
                nFiles, nScale, nSeed, bAtOnce ? 1 : 0);

    // Sizes skewed to the small end (the cube of a uniform share), so that many files get
    // through whole and the large ones meet enough faults to be given up.
    std::mt19937 rng(nSeed);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    e2e::VolScene s(bAtOnce ? 131 : 130, {}, nScale);
    s.st.m_ini["Velmora/SEND_NEXT_AT_ONCE"] = bAtOnce ? "1" : "0";
    s.st.WriteConfig();
    for (long k = 0; k < nFiles; ++k)
        s.Put(std::to_string(1000 + k) + ".ABCDE",
              static_cast<size_t>(894000.0 * std::pow(share(rng), 3.0)));
    auto CenterArgs = [&](uint32_t nCenterSeed) {
        return std::vector<std::string>{"--fault-rate", "0.1",    "--cut-rate",
                                        "0.002",        "--seed", std::to_string(nCenterSeed)};
    };
    const auto tStart = std::chrono::steady_clock::now();
    s.Start(CenterArgs(nSeed));

    // Runs until the directory is empty, or nothing has left it for a long while.
    bool bCenterRestarted = false;
    int nStationRestarts = 0;
    size_t nLastWaiting = FilesWaiting(s.st);
    auto tLastProgress = std::chrono::steady_clock::now();
    const auto tStall = std::chrono::seconds(20 + 1200 / nScale);  // ten busy-rule waits
    for (;;) {
        const size_t nWaiting = FilesWaiting(s.st);
        if (nWaiting == 0) break;
        if (nWaiting != nLastWaiting) {
            nLastWaiting = nWaiting;
            tLastProgress = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() - tLastProgress > tStall) break;
        if (!bCenterRestarted && nWaiting <= static_cast<size_t>(nFiles / 2)) {
            bCenterRestarted = true;
            s.st.Kill(s.center);
            s.StartCenter(CenterArgs(nSeed + 1));
        }
        s.st.Wait(s.velmora, 1ms);
        if (s.velmora.nPid < 0) {
            ++nStationRestarts;
            s.velmora = s.st.StartVelmora();
        }
        std::this_thread::sleep_for(200ms);
    }
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();

    const e2e::VolAccount account = e2e::AccountVolFiles(s.st, s.files);
    std::map<std::string, size_t> fates;
    for (const auto& [szName, szFate] : account.fates) ++fates[szFate];
    size_t nAnswers = 0;
    size_t nBadAnswers = 0;
    for (const std::string& line : e2e::CenterLines(s.st, "TX code=51 ")) {
        ++nAnswers;
        nBadAnswers += e2e::Contains(line, " status=3") || e2e::Contains(line, " status=4");
    }
    size_t nCuts = 0;
    for (const std::string& line : e2e::CenterLines(s.st, "CLOSE "))
        nCuts += e2e::Contains(line, " reason=cut");
    std::printf(
        "[ SOAK     ] %.0f s: stored=%zu retired=%zu waiting=%zu duplicates=%zu; answers=%zu "
        "of which 3 or 4: %zu; cuts=%zu; station restarts=%d\n",
        dSeconds, fates["stored"], fates["retired"], fates["waiting"], account.duplicates.size(),
        nAnswers, nBadAnswers, nCuts, nStationRestarts);
    EXPECT_TRUE(bCenterRestarted);
    EXPECT_EQ(fates["waiting"], 0u)
        << "no file left the violation directory for " << tStall.count() << " s";
    s.ExpectNothingLost();
}

INSTANTIATE_TEST_SUITE_P(Modes, Soak, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AtOnce" : "OnePerTick"; });

}  // namespace
