// What an idle station costs: the real velmora in a fresh station root, with the main
// operation program stand-in running and connected to the rig's minimal Manager PC, which
// reads what the station sends and sends nothing. After the start-up has settled, the CPU
// time (user + system, all threads), the context switches of all its threads, and the
// resident memory are read from /proc at the start and the end of the window. Real time
// only: the time scale would multiply the station's timers.
//
//   idle_bench [--seconds N]     (default 60)
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_peer.h"
#include "bench/bench_rig.h"

int main(int argc, char** argv) {
    if (vbench::HelpAsked(argc, argv)) {
        std::printf(
            "usage: idle_bench [--seconds N]\n"
            "  CPU time, context switches and memory of a connected, idle station\n");
        return 0;
    }
    const int nSeconds = std::max(1, vbench::IntOption(argc, argv, "--seconds", 60));
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, 1);
    vbench::MiniCenter center(szAddr);
    if (!st.Ok() || !center.Listening()) {
        std::fprintf(stderr, "idle_bench: cannot set up on %s\n", szAddr.c_str());
        return 1;
    }
    st.Start("harwent-sim", {});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const pid_t nPid = st.Start("velmora", {"--headless"});
    if (nPid < 0 || !center.WaitConnected(std::chrono::seconds(20))) {
        std::fprintf(stderr, "idle_bench: the station did not connect\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up settles
    vbench::ProcUsage u0;
    vbench::ProcUsage u1;
    const size_t nFrames0 = center.FramesSeen();
    const vbench::Clock::time_point t0 = vbench::Clock::now();
    if (!vbench::ReadProcUsage(nPid, &u0)) return 1;
    std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
    if (!vbench::ReadProcUsage(nPid, &u1) || !st.Running(nPid)) {
        std::fprintf(stderr, "idle_bench: the station ended during the window\n");
        return 1;
    }
    const double dWall = vbench::Millis(vbench::Clock::now() - t0) / 1000.0;
    const double dCpuMs = u1.dCpuMs - u0.dCpuMs;
    const double dRunMs = u1.dRunMs - u0.dRunMs;
    std::printf("idle station over %.1f s (connected, main operation program running):\n", dWall);
    std::printf("  CPU time            %8.1f ms   (utime + stime, in clock ticks)\n", dCpuMs);
    std::printf(
        "  CPU time            %8.2f ms   (scheduler run time: %.4f%% of one core, "
        "%.3f ms/s)\n",
        dRunMs, dRunMs / (dWall * 10.0), dRunMs / dWall);
    std::printf("  context switches    %8ld      (%.1f/s, %d threads)\n",
                u1.nSwitches - u0.nSwitches,
                static_cast<double>(u1.nSwitches - u0.nSwitches) / dWall, u1.nThreads);
    std::printf("  resident memory     %8ld kB   (peak %ld kB)\n", u1.nRssKb, u1.nHwmKb);
    std::printf("  frames sent         %8zu\n", center.FramesSeen() - nFrames0);
    return 0;
}
