// Command turnaround end to end: the real velmora (with the main operation program
// stand-in, so that its shared memory is open) in a fresh station root, connected to the
// rig's minimal Manager PC; the Manager PC sends command 59 and waits for the short
// status report (code 59) that answers it, time-stamped at its socket. Set against one
// loopback round trip of the same sizes (36 bytes out, 60 back, TCP_NODELAY), measured in
// the same run in blocks of 100 that alternate with the commands (the machine's pace
// drifts), once with an answering side that blocks in its read and once with one that
// waits in poll as the station's link thread does. The station's own unasked reports (the
// first short status 5 s after the start) are let pass before the first measured command.
//
//   command_bench [--count N] [--time-scale N]
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_peer.h"
#include "bench/bench_rig.h"

namespace {

using vbench::Clock;

constexpr int kCommandFrame = 36;  // command 59 carries no data
constexpr int kReportFrame = 60;   // the short status report: 24 data bytes

void PrintFigures(const char* szWhat, const std::vector<double>& v) {
    std::printf("  %-34s median %7.1f us   mean %7.1f us   p90 %7.1f us   p99 %7.1f us   (%zu)\n",
                szWhat, vbench::Median(v), vbench::Mean(v), vbench::Percentile(v, 90),
                vbench::Percentile(v, 99), v.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (vbench::HelpAsked(argc, argv)) {
        std::printf(
            "usage: command_bench [--count N] [--time-scale N]\n"
            "  command 59 in, short status report out, against one loopback round trip\n");
        return 0;
    }
    const int nCount = std::max(1, vbench::IntOption(argc, argv, "--count", 500));
    const int nScale = std::max(1, vbench::IntOption(argc, argv, "--time-scale", 1));
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, nScale);
    vbench::MiniCenter center(szAddr);
    if (!st.Ok() || !center.Listening()) {
        std::fprintf(stderr, "command_bench: cannot set up on %s\n", szAddr.c_str());
        return 1;
    }
    std::printf("command turnaround: %d commands 59, time scale %d\n", nCount, nScale);
    std::fflush(stdout);
    st.Start("harwent-sim", {});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its window and areas first
    const Clock::time_point tStart = Clock::now();
    st.Start("velmora", {"--headless"});
    if (!center.WaitConnected(std::chrono::seconds(20))) {
        std::fprintf(stderr, "command_bench: the station did not connect\n");
        return 1;
    }

    // Until the first short status has gone by and a command is answered.
    const std::vector<uint8_t> command = vbench::CenterFrame(59, 0, {});
    const Clock::duration firstStatus = std::chrono::milliseconds(6000 / nScale + 500);
    bool bAnswered = false;
    while (!bAnswered || Clock::now() - tStart < firstStatus) {
        if (Clock::now() - tStart > std::chrono::seconds(60)) {
            std::fprintf(stderr, "command_bench: command 59 is never answered\n");
            return 1;
        }
        const Clock::time_point t0 = Clock::now();
        center.Send(command);
        Clock::time_point tAt;
        bAnswered = center.WaitFrame(59, t0, std::chrono::milliseconds(500), &tAt) || bAnswered;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    std::vector<double> turns;
    std::vector<double> floor;
    std::vector<double> polled;
    constexpr int kBlock = 100;
    for (int nDone = 0; nDone < nCount; nDone += kBlock) {
        for (int k = nDone; k < nCount && k < nDone + kBlock; ++k) {
            center.ForgetFrames();
            const Clock::time_point t0 = Clock::now();
            center.Send(command);
            Clock::time_point tAt;
            if (!center.WaitFrame(59, t0, std::chrono::seconds(5), &tAt)) {
                std::fprintf(stderr, "command_bench: command %d not answered\n", k + 1);
                return 1;
            }
            turns.push_back(vbench::Micros(tAt - t0));
        }
        std::vector<double> trips;
        double dTotalUs = 0;
        for (bool bEventDriven : {false, true}) {
            if (!vbench::PingPong(szAddr, kCommandFrame, kReportFrame, kBlock, &trips, &dTotalUs,
                                  bEventDriven)) {
                std::fprintf(stderr, "command_bench: the loopback round trip failed\n");
                return 1;
            }
            (bEventDriven ? polled : floor)
                .insert((bEventDriven ? polled : floor).end(), trips.begin(), trips.end());
        }
    }
    std::printf("  load average %s\n", vbench::LoadAverage().c_str());
    PrintFigures("command 59 -> short status report", turns);
    PrintFigures("floor: round trip 36/60 B, blocking", floor);
    PrintFigures("       the same, answered after poll", polled);
    std::printf("  ratio of medians %.2f (to the answer after poll %.2f)\n",
                vbench::Median(turns) / vbench::Median(floor),
                vbench::Median(turns) / vbench::Median(polled));
    return 0;
}
