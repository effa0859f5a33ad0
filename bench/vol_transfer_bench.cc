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
//   vol_transfer_bench [--runs N] [--time-scale N] [--peer mgrpc|rig|both]
#include <cstdio>
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
};

// The floor right now: the best of three ping-pongs, as the load of the machine allows.
double FloorMs(const std::string& szAddr) {
    double dBest = 0;
    for (int k = 0; k < 3; ++k) {
        std::vector<double> trips;
        double dTotalUs = 0;
        if (!vbench::PingPong(szAddr, kPacketFrame, kAckFrame, kPackets, &trips, &dTotalUs))
            return 0;
        if (k == 0 || dTotalUs / 1000.0 < dBest) dBest = dTotalUs / 1000.0;
    }
    return dBest;
}

void PrintRun(const char* szPeer, int nRun, double dMs, double dFloorMs) {
    std::printf(
        "  %-14s run %d: %7.2f ms (%6.1f us/packet, %5.1f MB/s); floor %6.2f ms; ratio %.2f\n",
        szPeer, nRun, dMs, dMs * 1000.0 / kPackets, kFileBytes / (dMs * 1000.0), dFloorMs,
        dFloorMs > 0 ? dMs / dFloorMs : 0.0);
    std::fflush(stdout);
}

void PrintSummary(const char* szPeer, const Figures& f) {
    if (f.transferMs.empty()) return;
    const double dMs = vbench::Median(f.transferMs);
    const double dBest = vbench::Percentile(f.transferMs, 0);
    const double dFloor = vbench::Median(f.floorMs);
    std::printf(
        "  %-14s median %7.2f ms (%6.1f us/packet, %5.1f MB/s), best %7.2f ms; floor %6.2f ms "
        "(%5.1f us/round trip); ratio %.2f (best %.2f)\n",
        szPeer, dMs, dMs * 1000.0 / kPackets, kFileBytes / (dMs * 1000.0), dBest, dFloor,
        dFloor * 1000.0 / kPackets, dFloor > 0 ? dMs / dFloor : 0.0,
        dFloor > 0 ? dBest / dFloor : 0.0);
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

bool RunAgainstMgrpc(int nRuns, int nScale, Figures* pOut) {
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, nScale);
    vbench::LineReader out;
    size_t nFrom = 0;
    if (!vbench::StartCenterAndStation(st, szAddr, &out, &nFrom)) return false;
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        const std::string szName = FileName(nRun);
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
        WaitGone(st, szName);
        const double dFloor = FloorMs(szAddr);
        pOut->transferMs.push_back(dMs);
        pOut->floorMs.push_back(dFloor);
        PrintRun("velmora-mgrpc", nRun + 1, dMs, dFloor);
    }
    return true;
}

bool RunAgainstRig(int nRuns, int nScale, Figures* pOut) {
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, nScale);
    vbench::MiniCenter center(szAddr);
    if (!center.Listening()) {
        std::fprintf(stderr, "cannot listen on %s\n", szAddr.c_str());
        return false;
    }
    st.Start("harwent-sim", {});
    st.Start("velmora", {"--headless"});
    for (int nRun = 0; nRun < nRuns; ++nRun) {
        const std::string szName = FileName(nRun);
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
        WaitGone(st, szName);
        const double dFloor = FloorMs(szAddr);
        pOut->transferMs.push_back(dMs);
        pOut->floorMs.push_back(dFloor);
        PrintRun("rig peer", nRun + 1, dMs, dFloor);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (vbench::HelpAsked(argc, argv)) {
        std::printf(
            "usage: vol_transfer_bench [--runs N] [--time-scale N] [--peer mgrpc|rig|both]\n"
            "  one %d-byte violation file (%d packets) per run, info packet to last\n"
            "  acknowledgement, against the stop-and-wait floor of loopback TCP\n",
            kFileBytes, kPackets);
        return 0;
    }
    const int nRuns = std::max(1, vbench::IntOption(argc, argv, "--runs", 3));
    const int nScale = std::max(1, vbench::IntOption(argc, argv, "--time-scale", 1));
    const std::string szPeer = vbench::TextOption(argc, argv, "--peer", "both");
    std::printf("violation-file transfer: %d bytes, %d packets, %d run(s), time scale %d\n",
                kFileBytes, kPackets, nRuns, nScale);
    std::printf(
        "  floor: %d round trips of %d bytes out and %d bytes back, loopback TCP, "
        "TCP_NODELAY (best of 3 after each run); load average %s\n",
        kPackets, kPacketFrame, kAckFrame, vbench::LoadAverage().c_str());
    std::fflush(stdout);
    Figures mgrpc;
    Figures rig;
    bool bOk = true;
    if (szPeer == "mgrpc" || szPeer == "both") bOk = RunAgainstMgrpc(nRuns, nScale, &mgrpc) && bOk;
    if (szPeer == "rig" || szPeer == "both") bOk = RunAgainstRig(nRuns, nScale, &rig) && bOk;
    PrintSummary("velmora-mgrpc", mgrpc);
    PrintSummary("rig peer", rig);
    return bOk ? 0 : 1;
}
