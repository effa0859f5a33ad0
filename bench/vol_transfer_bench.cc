// Violation-file throughput end to end: one 894,000-byte file (299 packets, the largest
// file the station sends) from the info packet that the Manager PC receives to the last
// acknowledgement it sends. The real velmora runs in a fresh station root against the
// real velmora-mgrpc (whose output lines are time-stamped as they arrive on a pipe) and
// against the rig's minimal Manager PC (time-stamped at its socket). Each run is set
// against the stop-and-wait floor measured right after it: as many round trips of a
// 3,036-byte packet out and a 37-byte acknowledgement back over loopback TCP with
// TCP_NODELAY. The station finds a file on its transfer tick (every 10 s); that wait is
// not measured, and nothing inside the measured window depends on the time scale.
//
// Each peer runs on every core the machine gives this benchmark ("all cores") and then
// with the benchmark, the programs it starts, its own Manager PC thread and the floor's
// ping-pong all on one core (the first core of the benchmark's affinity mask, as
// `taskset -c 0` would put them): there every microsecond either side spends per packet
// adds to the round trip, where on two cores part of it overlaps the other side's.
//
// On a machine that others load, --fifo runs the benchmark and everything it starts in
// the real-time class (SCHED_FIFO, priority 1; root only), so that no other process takes
// the core between a packet and its acknowledgement (the kernel still leaves the others
// 5 % of every second). A FIFO thread is not preempted by the thread it wakes, so on one
// core the station then waits in its poll for every acknowledgement: a little more CPU
// per packet than under the normal scheduler, where the Manager PC runs as soon as the
// packet is sent and the reply is there when the station looks.
//
//   vol_transfer_bench [--runs N] [--time-scale N] [--peer mgrpc|rig|both]
//                      [--cores all|one|both] [--fifo]
#include <errno.h>
#include <sched.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_peer.h"
#include "bench/bench_rig.h"

namespace {

using vbench::Clock;

constexpr int kFileBytes = 894000;  // 298 data packets and the info packet
constexpr int kPackets = 299;
constexpr int kPacketFrame = 3036;  // a data packet on the wire
constexpr int kAckFrame = 37;       // the Manager PC's acknowledgement

struct Figures {
    std::vector<double> transferMs;  // info packet to last acknowledgement, per run
    std::vector<double> floorMs;     // the floor measured right after each run
    // CPU time per packet: the station's link thread, the peer, and both sides of the floor.
    std::vector<double> stationCpuUs;
    std::vector<double> peerCpuUs;
    std::vector<double> floorCpuUs;
};

struct Floor {
    double dMs = 0;     // best of three ping-pongs
    double dCpuUs = 0;  // CPU time per round trip of both sides, median of the three
};

// The floor right now: the best of three ping-pongs, as the load of the machine allows.
Floor MeasureFloor(const std::string& szAddr) {
    Floor f;
    std::vector<double> cpu;
    for (int k = 0; k < 3; ++k) {
        std::vector<double> trips;
        double dTotalUs = 0;
        double dCpuUs = 0;
        if (!vbench::PingPong(szAddr, kPacketFrame, kAckFrame, kPackets, &trips, &dTotalUs, false,
                              &dCpuUs))
            return Floor{};
        if (k == 0 || dTotalUs / 1000.0 < f.dMs) f.dMs = dTotalUs / 1000.0;
        cpu.push_back(dCpuUs / kPackets);
    }
    f.dCpuUs = vbench::Median(cpu);
    return f;
}

// One run's figures, printed and kept.
void Record(const char* szPeer, int nRun, double dMs, const Floor& fl, double dStationCpuUs,
            double dPeerCpuUs, Figures* pOut) {
    pOut->transferMs.push_back(dMs);
    pOut->floorMs.push_back(fl.dMs);
    pOut->stationCpuUs.push_back(dStationCpuUs);
    pOut->peerCpuUs.push_back(dPeerCpuUs);
    pOut->floorCpuUs.push_back(fl.dCpuUs);
    std::printf(
        "  %-14s run %d: %7.2f ms (%6.1f us/packet, %5.1f MB/s); floor %6.2f ms; ratio %.2f; "
        "CPU/packet station %.1f + peer %.1f us, floor %.1f us\n",
        szPeer, nRun, dMs, dMs * 1000.0 / kPackets, kFileBytes / (dMs * 1000.0), fl.dMs,
        fl.dMs > 0 ? dMs / fl.dMs : 0.0, dStationCpuUs, dPeerCpuUs, fl.dCpuUs);
    std::fflush(stdout);
}

void PrintSummary(const char* szPeer, const Figures& f) {
    if (f.transferMs.empty()) return;
    const double dMs = vbench::Median(f.transferMs);
    const double dBest = vbench::Percentile(f.transferMs, 0);
    const double dFloor = vbench::Median(f.floorMs);
    std::vector<double> ratios;
    for (size_t k = 0; k < f.transferMs.size(); ++k) {
        if (f.floorMs[k] > 0) ratios.push_back(f.transferMs[k] / f.floorMs[k]);
    }
    // On a machine that others load, a run is either clean or disturbed by a whole time
    // slice of someone else's; the first quartile of the runs' ratios shows the clean ones.
    std::printf(
        "  %-14s median %7.2f ms (%6.1f us/packet, %5.1f MB/s), best %7.2f ms; floor %6.2f ms "
        "(%5.1f us/round trip); ratio: median of the runs %.2f (first quartile %.2f), of the "
        "medians %.2f, best %.2f\n",
        szPeer, dMs, dMs * 1000.0 / kPackets, kFileBytes / (dMs * 1000.0), dBest, dFloor,
        dFloor * 1000.0 / kPackets, vbench::Median(ratios), vbench::Percentile(ratios, 25),
        dFloor > 0 ? dMs / dFloor : 0.0, dFloor > 0 ? dBest / dFloor : 0.0);
    const double dStation = vbench::Median(f.stationCpuUs);
    const double dPeer = vbench::Median(f.peerCpuUs);
    const double dFloorCpu = vbench::Median(f.floorCpuUs);
    std::printf(
        "  %-14s CPU per packet: station's link thread %.1f us + peer %.1f us = %.1f us; floor "
        "(both sides) %.1f us; CPU ratio %.2f\n",
        szPeer, dStation, dPeer, dStation + dPeer, dFloorCpu,
        dFloorCpu > 0 ? (dStation + dPeer) / dFloorCpu : 0.0);
}

std::string FileName(int nRun) { return std::to_string(1000 + nRun) + ".ABCDE"; }

// The time the first tick may take, and a whole transfer with room to spare.
Clock::duration TickWait(int nScale) { return std::chrono::seconds(40 / nScale + 20); }

bool WaitGone(const vbench::BenchStation& st, const std::string& szName) {
    const Clock::time_point tEnd = Clock::now() + std::chrono::seconds(10);
    while (st.Exists("d/ENF_IMG/" + szName)) {
        if (Clock::now() > tEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Pins this process (and so every thread and program it starts from now on) to the first
// core of *pAll, or gives it back every core of *pAll.
bool UseCores(const cpu_set_t& all, bool bOneCore) {
    cpu_set_t set = all;
    if (bOneCore) {
        CPU_ZERO(&set);
        for (int k = 0; k < CPU_SETSIZE; ++k) {
            if (!CPU_ISSET(k, &all)) continue;
            CPU_SET(k, &set);
            break;
        }
    }
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

int CoreCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

bool RunAgainstMgrpc(int nRuns, int nScale, const char* szLabel, Figures* pOut) {
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, nScale);
    vbench::LineReader out;
    size_t nFrom = 0;
    pid_t nCenter = -1;
    pid_t nStation = -1;
    if (!vbench::StartCenterAndStation(st, szAddr, &out, &nFrom, &nCenter, &nStation))
        return false;
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        const std::string szName = FileName(nRun);
        const auto stationBefore = vbench::ThreadRunNs(nStation);
        const auto centerBefore = vbench::ThreadRunNs(nCenter);
        st.PutViolationFile(szName, vbench::PatternBytes(kFileBytes, static_cast<uint32_t>(nRun)));
        vbench::StampedLine info;
        vbench::StampedLine last;
        const bool bInfo = out.WaitLine(
            [&](const std::string& sz) {
                return vbench::StartsWith(sz, "RX code=51 ") &&
                       sz.find(" pkt=0000 ") != std::string::npos &&
                       sz.find("file=\"" + szName + "\"") != std::string::npos;
            },
            &nFrom, TickWait(nScale), &info);
        const bool bLast = bInfo && out.WaitLine(
                                        [&](const std::string& sz) {
                                            return vbench::StartsWith(sz, "TX code=51 ") &&
                                                   sz.find(" pkt=0298 ") != std::string::npos &&
                                                   sz.find(" status=1") != std::string::npos;
                                        },
                                        &nFrom, std::chrono::seconds(30), &last);
        if (!bLast) {
            std::fprintf(stderr, "the transfer of %s against velmora-mgrpc did not complete\n",
                         szName.c_str());
            return false;
        }
        const double dMs = vbench::Millis(last.tAt - info.tAt);
        double dCenterNs = 0;
        const double dLinkNs = vbench::BusiestThreadNs(nStation, stationBefore,
                                                       vbench::ThreadRunNs(nStation), nullptr);
        vbench::BusiestThreadNs(nCenter, centerBefore, vbench::ThreadRunNs(nCenter), &dCenterNs);
        WaitGone(st, szName);
        Record(szLabel, nRun + 1, dMs, MeasureFloor(szAddr), dLinkNs / 1000.0 / kPackets,
               dCenterNs / 1000.0 / kPackets, pOut);
    }
    return true;
}

bool RunAgainstRig(int nRuns, int nScale, const char* szLabel, Figures* pOut) {
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, nScale);
    vbench::MiniCenter center(szAddr);
    if (!center.Listening()) {
        std::fprintf(stderr, "cannot listen on %s\n", szAddr.c_str());
        return false;
    }
    st.Start("harwent-sim", {});
    const pid_t nStation = st.Start("velmora", {"--headless"});
    // A small file first, not counted: it finds the station's link thread (the thread that
    // ran most while it went), whose CPU time the Manager PC then reads at the info packet
    // and at the last acknowledgement of every counted file.
    {
        const auto before = vbench::ThreadRunNs(nStation);
        st.PutViolationFile("999.ABCDE", vbench::PatternBytes(30000, 999));
        vbench::FileRun run;
        if (!center.WaitFile(TickWait(nScale), &run)) {
            std::fprintf(stderr, "the first transfer against the rig did not complete\n");
            return false;
        }
        const auto after = vbench::ThreadRunNs(nStation);
        long nLinkTid = -1;
        double dMost = -1;
        for (const auto& [nTid, dNs] : after) {
            double dFrom = 0;
            for (const auto& [nTid0, dNs0] : before) {
                if (nTid0 == nTid) dFrom = dNs0;
            }
            if (nTid != static_cast<long>(nStation) && dNs - dFrom > dMost) {
                dMost = dNs - dFrom;
                nLinkTid = nTid;
            }
        }
        if (nLinkTid > 0) center.WatchThread(nLinkTid);
        WaitGone(st, "999.ABCDE");
    }
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        const std::string szName = FileName(nRun);
        const auto stationBefore = vbench::ThreadRunNs(nStation);
        st.PutViolationFile(szName, vbench::PatternBytes(kFileBytes, static_cast<uint32_t>(nRun)));
        vbench::FileRun run;
        if (!center.WaitFile(TickWait(nScale), &run) || run.nPackets != kPackets ||
            run.nSize != kFileBytes) {
            std::fprintf(stderr,
                         "the transfer of %s against the rig did not complete (%d packets)\n",
                         szName.c_str(), run.nPackets);
            return false;
        }
        const double dMs = vbench::Millis(run.tLastAck - run.tInfo);
        const double dLinkNs = vbench::BusiestThreadNs(nStation, stationBefore,
                                                       vbench::ThreadRunNs(nStation), nullptr);
        WaitGone(st, szName);
        // The link thread's time inside the transfer when it was watched; otherwise from
        // before the file was put down to after its last acknowledgement.
        const double dLinkUs = run.dWatchedUs >= 0 ? run.dWatchedUs : dLinkNs / 1000.0;
        Record(szLabel, nRun + 1, dMs, MeasureFloor(szAddr), dLinkUs / kPackets,
               run.dCpuUs / kPackets, pOut);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (vbench::HelpAsked(argc, argv)) {
        std::printf(
            "usage: vol_transfer_bench [--runs N] [--time-scale N] [--peer mgrpc|rig|both]\n"
            "                          [--cores all|one|both] [--fifo]\n"
            "  one %d-byte violation file (%d packets) per run, info packet to last\n"
            "  acknowledgement, against the stop-and-wait floor of loopback TCP, on all\n"
            "  cores and then with everything pinned to one core; --fifo: all of it in the\n"
            "  real-time class, away from the machine's other load (root only)\n",
            kFileBytes, kPackets);
        return 0;
    }
    const int nRuns = std::max(1, vbench::IntOption(argc, argv, "--runs", 3));
    const int nScale = std::max(1, vbench::IntOption(argc, argv, "--time-scale", 1));
    const std::string szPeer = vbench::TextOption(argc, argv, "--peer", "both");
    const std::string szCores = vbench::TextOption(argc, argv, "--cores", "both");
    cpu_set_t all;
    CPU_ZERO(&all);
    if (::sched_getaffinity(0, sizeof all, &all) != 0) {
        std::fprintf(stderr, "cannot read the CPU affinity of this process\n");
        return 1;
    }
    bool bFifo = false;
    for (int k = 1; k < argc; ++k) bFifo = bFifo || std::strcmp(argv[k], "--fifo") == 0;
    if (bFifo) {
        const sched_param param{1};
        if (::sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
            std::fprintf(stderr, "cannot enter SCHED_FIFO (root only): %s\n", std::strerror(errno));
            return 1;
        }
    }
    std::printf("violation-file transfer: %d bytes, %d packets, %d run(s), time scale %d%s\n",
                kFileBytes, kPackets, nRuns, nScale, bFifo ? ", SCHED_FIFO" : "");
    std::printf(
        "  floor: %d round trips of %d bytes out and %d bytes back, loopback TCP, "
        "TCP_NODELAY (best of 3 after each run); %d core(s) available; load average %s\n",
        kPackets, kPacketFrame, kAckFrame, CPU_COUNT(&all), vbench::LoadAverage().c_str());
    std::fflush(stdout);
    struct Setting {
        bool bOneCore;
        const char* szMgrpc;
        const char* szRig;
        Figures mgrpc;
        Figures rig;
    };
    Setting settings[2] = {{false, "mgrpc, all", "rig, all", {}, {}},
                           {true, "mgrpc, 1 core", "rig, 1 core", {}, {}}};
    bool bOk = true;
    for (Setting& s : settings) {
        if (s.bOneCore ? szCores == "all" : szCores == "one") continue;
        if (!UseCores(all, s.bOneCore)) {
            std::fprintf(stderr, "cannot set the CPU affinity of this process\n");
            return 1;
        }
        std::printf("  on %s (%d core(s))\n", s.bOneCore ? "one core" : "all cores", CoreCount());
        std::fflush(stdout);
        if (szPeer == "mgrpc" || szPeer == "both")
            bOk = RunAgainstMgrpc(nRuns, nScale, s.szMgrpc, &s.mgrpc) && bOk;
        if (szPeer == "rig" || szPeer == "both")
            bOk = RunAgainstRig(nRuns, nScale, s.szRig, &s.rig) && bOk;
    }
    UseCores(all, false);
    std::printf("  load average now %s\n", vbench::LoadAverage().c_str());
    for (const Setting& s : settings) {
        PrintSummary(s.szMgrpc, s.mgrpc);
        PrintSummary(s.szRig, s.rig);
    }
    return bOk ? 0 : 1;
}
