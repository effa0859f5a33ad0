// Draining a backlog: violation files of realistic sizes (50 to 300 kB) waiting in the
// violation directory when the link comes up, sent by the real velmora to the real
// velmora-mgrpc over loopback at time scale 1, once with SEND_NEXT_AT_ONCE=1 (every file)
// and once without it (the first few files at the pace of the transfer tick, the rate
// extrapolated). The center's output lines are time-stamped as they arrive on a pipe.
//
// Each file's time is the span from the end of the file before it (or the first info
// packet) to its last acknowledgement. It splits into the station's own read pauses (the
// two waits of 100 ms before and between its two reads of the file, a rule of the
// station), the wire (the file's info packet to its last acknowledgement) and the rest
// (finding the file, reading it, the hand-over between threads). The stop-and-wait floor
// of a file is its packets times one round trip of a 3,036-byte packet and a 37-byte
// acknowledgement over loopback TCP, measured in the same run.
//
//   drain_bench [--files N] [--tick-files N] [--seed N]
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_peer.h"
#include "bench/bench_rig.h"

namespace {

using vbench::Clock;

constexpr int kPacketFrame = 3036;  // a full data packet on the wire
constexpr int kAckFrame = 37;       // the Manager PC's acknowledgement
constexpr double kReadPausesMs = 200;  // the station's two 100-ms waits around its reads

struct FileTimes {
    std::string szName;
    int nPackets = 0;           // the info packet and the data packets
    Clock::time_point tInfo;    // the center received the info packet
    Clock::time_point tLast;    // the center sent the last acknowledgement
};

struct Drain {
    std::vector<FileTimes> files;  // in the order they went
    double dSeconds = 0;           // first info packet to last acknowledgement
};

int Packets(size_t nBytes) { return static_cast<int>((nBytes + 2999) / 3000) + 1; }

std::string FileName(int k) { return std::to_string(100000 + k) + ".ABCDE"; }

// Puts nFiles files in the violation directory, starts the center, the main program
// stand-in and the station, and follows the first nTake files to their last
// acknowledgement.
bool RunDrain(bool bAtOnce, int nFiles, int nTake, uint32_t nSeed, Drain* pOut) {
    const std::string szAddr = vbench::FreeManagerAddress();
    vbench::BenchStation st(szAddr, 1);
    if (bAtOnce) {
        std::ofstream(st.Path("d/QN64-ABRIX/Data/ConfigInfoSetup.ini"), std::ios::app)
            << "SEND_NEXT_AT_ONCE=1\r\n";  // the [Velmora] section is the last one
    }
    std::mt19937 rng(nSeed);
    std::uniform_int_distribution<size_t> size(50000, 300000);
    std::map<std::string, int> packets;
    for (int k = 0; k < nFiles; ++k) {
        const size_t nBytes = size(rng);
        st.PutViolationFile(FileName(k), vbench::PatternBytes(nBytes, static_cast<uint32_t>(k)));
        packets[FileName(k)] = Packets(nBytes);
    }
    vbench::LineReader out;
    size_t nFrom = 0;
    if (!vbench::StartCenterAndStation(st, szAddr, &out, &nFrom)) return false;
    for (int k = 0; k < nTake; ++k) {
        FileTimes f;
        vbench::StampedLine info;
        const bool bInfo = out.WaitLine(
            [&](const std::string& sz) {
                return vbench::StartsWith(sz, "RX code=51 ") && sz.find(" pkt=0000 ") != std::string::npos;
            },
            &nFrom, std::chrono::seconds(60), &info);
        const size_t nAt = bInfo ? info.szText.find("file=\"") : std::string::npos;
        if (nAt == std::string::npos) {
            std::fprintf(stderr, "file %d never started\n", k + 1);
            return false;
        }
        f.szName = info.szText.substr(nAt + 6, info.szText.find('"', nAt + 6) - nAt - 6);
        f.nPackets = packets[f.szName];
        f.tInfo = info.tAt;
        char szLast[32];
        std::snprintf(szLast, sizeof szLast, " pkt=%04d ", f.nPackets - 1);
        vbench::StampedLine last;
        if (!out.WaitLine(
                [&](const std::string& sz) {
                    return vbench::StartsWith(sz, "TX code=51 ") && sz.find(szLast) != std::string::npos &&
                           sz.find(" status=1") != std::string::npos;
                },
                &nFrom, std::chrono::seconds(30), &last)) {
            std::fprintf(stderr, "file %s did not complete\n", f.szName.c_str());
            return false;
        }
        f.tLast = last.tAt;
        pOut->files.push_back(f);
        if (bAtOnce && (k + 1) % 100 == 0) {
            std::printf("  ... %d files\n", k + 1);
            std::fflush(stdout);
        }
    }
    pOut->dSeconds = std::chrono::duration<double>(pOut->files.back().tLast -
                                                   pOut->files.front().tInfo)
                         .count();
    return true;
}

// One round trip of a full packet and its acknowledgement, best of three runs of 300.
double RoundTripUs(const std::string& szAddr) {
    double dBest = 0;
    for (int k = 0; k < 3; ++k) {
        std::vector<double> trips;
        double dTotalUs = 0;
        if (!vbench::PingPong(szAddr, kPacketFrame, kAckFrame, 300, &trips, &dTotalUs)) return 0;
        if (k == 0 || dTotalUs / 300 < dBest) dBest = dTotalUs / 300;
    }
    return dBest;
}

// Figures per file over the files after the first: each one's span runs from the end of
// the file before it to its own last acknowledgement, its read pauses included.
void Report(const char* szMode, const Drain& d, double dTripUs) {
    double dWire = 0;
    double dTotal = 0;
    double dFloor = 0;
    for (size_t k = 1; k < d.files.size(); ++k) {
        const FileTimes& f = d.files[k];
        dTotal += vbench::Millis(f.tLast - d.files[k - 1].tLast);
        dWire += vbench::Millis(f.tLast - f.tInfo);
        dFloor += f.nPackets * dTripUs / 1000.0;
    }
    const double dN = static_cast<double>(d.files.size() - 1);
    const double dPauses = kReadPausesMs * dN;
    const double dRest = dTotal - dPauses - dWire;
    std::printf(
        "  %-10s %4zu files in %8.1f s: %6.2f files/s (%7.0f files/h), %6.1f ms per file\n"
        "             per file: read pauses %6.1f ms, wire %6.1f ms (floor %5.1f ms), rest %6.1f "
        "ms\n"
        "             neither pause nor floor: %4.1f %% of the total\n",
        szMode, d.files.size(), d.dSeconds, 1000.0 * dN / dTotal, 3600.0 * 1000.0 * dN / dTotal,
        dTotal / dN, dPauses / dN, dWire / dN, dFloor / dN, dRest / dN,
        100.0 * (dTotal - dPauses - dFloor) / dTotal);
    std::fflush(stdout);
}

// Files per second over the files after the first.
double Rate(const Drain& d) {
    return 1000.0 * static_cast<double>(d.files.size() - 1) /
           vbench::Millis(d.files.back().tLast - d.files.front().tLast);
}

}  // namespace

int main(int argc, char** argv) {
    if (vbench::HelpAsked(argc, argv)) {
        std::printf(
            "usage: drain_bench [--files N] [--tick-files N] [--seed N]\n"
            "  N violation files of 50 to 300 kB waiting when the link comes up, drained\n"
            "  against velmora-mgrpc at time scale 1: all N with SEND_NEXT_AT_ONCE=1, the first\n"
            "  --tick-files without it (one per transfer tick, 10 s each)\n");
        return 0;
    }
    const int nFiles = std::max(2, vbench::IntOption(argc, argv, "--files", 1000));
    const int nTick = std::max(0, vbench::IntOption(argc, argv, "--tick-files", 20));
    const auto nSeed = static_cast<uint32_t>(vbench::IntOption(argc, argv, "--seed", 1));
    std::printf("backlog drain: %d files of 50-300 kB, time scale 1, seed %u; load average %s\n",
                nFiles, nSeed, vbench::LoadAverage().c_str());
    std::fflush(stdout);
    Drain atOnce;
    if (!RunDrain(true, nFiles, nFiles, nSeed, &atOnce)) return 1;
    const double dTripUs = RoundTripUs(vbench::FreeManagerAddress());
    std::printf("  floor: one round trip of %d bytes out and %d back: %.1f us\n", kPacketFrame,
                kAckFrame, dTripUs);
    Report("at once", atOnce, dTripUs);
    if (nTick >= 2) {
        Drain tick;
        if (!RunDrain(false, nFiles, nTick, nSeed, &tick)) return 1;
        Report("per tick", tick, dTripUs);
        const double dRateAtOnce = Rate(atOnce);
        const double dRateTick = Rate(tick);
        std::printf("  at once / per tick: %.1f times the files per hour; %d files per tick would "
                    "take %.1f h\n",
                    dRateAtOnce / dRateTick, nFiles, nFiles / dRateTick / 3600.0);
    }
    return 0;
}
