// velmoractl: the operator's view of a running station over the window bus. Shows the
// dialog's controls ("<id> <text>", UTF-8, one per line), clicks its buttons, and closes
// the dialog, so an operator on SSH and a test see what the dialog shows; and prints the
// link and transfer counters and the health gauges that the station publishes in the
// mapping "VelmoraStats", and judges them as a monitoring plugin does (health).
//
//   velmoractl --root DIR show
//   velmoractl --root DIR click ID        (BN_CLICKED of a button: 1013 CDMA, 1014 send/stop)
//   velmoractl --root DIR close           (WM_CLOSE: the station program ends with status 1)
//   velmoractl --root DIR about           (the about box through the system menu)
//   velmoractl --root DIR stats           ("<name> <value>" lines: running, started, counters,
//                                         health)
//   velmoractl --root DIR health [--warn-link SEC] [--crit-link SEC] [--max-backlog N]
//                                [--max-age SEC]   (one line; exit 0 OK, 1 WARNING,
//                                         2 CRITICAL, 3 UNKNOWN)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/siblings.h"
#include "platform/platform.h"
#include "platform/window_bus.h"
#include "status/station_stats.h"
#include "status/time_format.h"

namespace {

constexpr const char* kUsage =
    "usage: velmoractl [--root DIR] COMMAND\n"
    "  show                the dialog's controls, \"<id> <text>\" per line\n"
    "  click ID            click a button (1013 CDMA, 1014 send/stop)\n"
    "  close               close the dialog (the station ends with status 1)\n"
    "  about               the about box\n"
    "  stats               counters and health, \"<name> <value>\" per line\n"
    "  health [--warn-link SEC] [--crit-link SEC] [--max-backlog N] [--max-age SEC]\n"
    "                      one line for a monitoring system; exit 0 OK, 1 WARNING (link\n"
    "                      down for --warn-link, default 30 s; more than --max-backlog files\n"
    "                      waiting, default 100; this year's system log folder missing),\n"
    "                      2 CRITICAL (station not running, link down for --crit-link,\n"
    "                      default 300 s; oldest file older than --max-age, default 3600 s),\n"
    "                      3 UNKNOWN (a bad threshold, no statistics)\n"
    "  --root DIR          station root (default $VELMORA_ROOT or the current directory)\n"
    "  --version, --help\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

enum { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

// The published statistics; false with *pszWhy when there are none to read.
bool ReadStats(StationStatsView* pStats, std::string* pszWhy) {
    vplat::MappedView view;
    if (!vplat::env()->OpenMapping(kStatsMappingName, &view)) {
        *pszWhy = "no station statistics in " + vplat::StationRoot();
        return false;
    }
    const bool bRead = ReadStationStats(view.pView, view.nSize, pStats);
    vplat::env()->CloseMapping(&view);
    if (!bRead) *pszWhy = "the statistics in " + vplat::StationRoot() + " are of another layout";
    return bRead;
}

const char* LinkWords(int64_t nState) {
    return nState == 1 ? "up" : nState == 2 ? "down" : "not yet connected";
}

std::string TimeOrDash(int64_t t) {
    char sz[20] = {};
    if (t > 0) FormatTimeText(sz, sizeof sz, t);
    return sz[0] ? sz : "-";
}

// The counters of the station program that runs (or ran last) in the root: whether it
// runs, the clock at its start, then every counter, one "<name> <value>" line each.
int PrintStats(bool bRunning) {
    StationStatsView stats;
    std::string szWhy;
    if (!ReadStats(&stats, &szWhy)) {
        std::fprintf(stderr, "velmoractl: %s\n", szWhy.c_str());
        return 1;
    }
    char szStarted[20] = {};
    FormatTimeText(szStarted, sizeof szStarted, stats.nStartTime);
    std::printf("running %d\nstarted %s\n", bRunning ? 1 : 0, szStarted[0] ? szStarted : "-");
    for (int k = 0; k < kStatCount && k < static_cast<int>(stats.nCount); ++k) {
        std::printf("%s %llu\n", StatCounterName(k),
                    static_cast<unsigned long long>(stats.nCounters[k]));
    }
    const int64_t* g = stats.nGauges;
    const std::string szOldest = g[kGaugeOldestAge] < 0 ? "-" : std::to_string(g[kGaugeOldestAge]);
    const std::string szFile = g[kGaugeFilePackets] > 0
                                   ? std::to_string(g[kGaugeFileAcked]) + "/" +
                                         std::to_string(g[kGaugeFilePackets]) + " packets"
                                   : "none";
    std::printf("link %s\nlink_down_for %lld\nlast_frame_in %s\nlast_frame_out %s\n"
                "connect_attempts %lld\nconnect_failures %lld\nlast_failure %s\n"
                "backlog %lld\noldest_age %s\ncurrent_file %s\nsyslog_folder %s\n",
                LinkWords(g[kGaugeLinkState]), static_cast<long long>(g[kGaugeLinkDownFor]),
                TimeOrDash(g[kGaugeLastFrameIn]).c_str(), TimeOrDash(g[kGaugeLastFrameOut]).c_str(),
                static_cast<long long>(g[kGaugeConnectAttempts]),
                static_cast<long long>(g[kGaugeConnectFailures]),
                ConnectFailureText(static_cast<int>(g[kGaugeLastFailure])),
                static_cast<long long>(g[kGaugeBacklog]), szOldest.c_str(), szFile.c_str(),
                g[kGaugeSysLogMissing] != 0 ? "missing" : "ok");
    return 0;
}

// A threshold of health: a whole number from 0 up.
bool ParseThreshold(const std::string& sz, int64_t* pOut) {
    char* pEnd = nullptr;
    errno = 0;
    const long long n = std::strtoll(sz.c_str(), &pEnd, 10);
    if (sz.empty() || *pEnd != '\0' || errno != 0 || n < 0) return false;
    *pOut = n;
    return true;
}

// The monitoring plugin: one line "VELMORA <STATE> - what | perfdata", its exit status.
int Health(const std::vector<std::string>& args, bool bRunning) {
    int64_t nWarnLink = 30, nCritLink = 300, nMaxBacklog = 100, nMaxAge = 3600;
    for (size_t k = 1; k < args.size(); k += 2) {
        int64_t* pTarget = args[k] == "--warn-link"     ? &nWarnLink
                           : args[k] == "--crit-link"   ? &nCritLink
                           : args[k] == "--max-backlog" ? &nMaxBacklog
                           : args[k] == "--max-age"     ? &nMaxAge
                                                        : nullptr;
        if (pTarget == nullptr) {
            std::printf("VELMORA UNKNOWN - unknown option %s\n", args[k].c_str());
            return kUnknown;
        }
        if (k + 1 >= args.size() || !ParseThreshold(args[k + 1], pTarget)) {
            std::printf("VELMORA UNKNOWN - %s needs a whole number from 0, not \"%s\"\n",
                        args[k].c_str(), k + 1 < args.size() ? args[k + 1].c_str() : "");
            return kUnknown;
        }
    }
    if (!bRunning) {
        std::printf("VELMORA CRITICAL - station not running in %s\n", vplat::StationRoot().c_str());
        return kCritical;
    }
    StationStatsView stats;
    std::string szWhy;
    if (!ReadStats(&stats, &szWhy)) {
        std::printf("VELMORA UNKNOWN - %s\n", szWhy.c_str());
        return kUnknown;
    }
    const int64_t* g = stats.nGauges;
    const bool bUp = g[kGaugeLinkState] == 1;
    const int64_t nDown = bUp ? 0 : g[kGaugeLinkDownFor];
    int nState = kOk;
    std::string szText;
    auto Judge = [&](int nLevel, const std::string& sz) {
        if (nLevel > nState) nState = nLevel;
        szText += (szText.empty() ? "" : ", ") + sz;
    };
    if (!bUp) {
        std::string sz = std::string("link ") + LinkWords(g[kGaugeLinkState]) + " for " +
                         std::to_string(nDown) + " s";
        if (g[kGaugeConnectFailures] > 0) {
            sz += " (" + std::to_string(g[kGaugeConnectFailures]) + " connects failed, last " +
                  ConnectFailureText(static_cast<int>(g[kGaugeLastFailure])) + ")";
        }
        Judge(nDown >= nCritLink ? kCritical : nDown >= nWarnLink ? kWarning : kOk, sz);
    } else {
        Judge(kOk, "link up");
    }
    Judge(g[kGaugeBacklog] > nMaxBacklog ? kWarning : kOk,
          std::to_string(g[kGaugeBacklog]) + " files waiting");
    if (g[kGaugeOldestAge] >= 0) {
        Judge(g[kGaugeOldestAge] > nMaxAge ? kCritical : kOk,
              "oldest " + std::to_string(g[kGaugeOldestAge]) + " s");
    }
    if (g[kGaugeSysLogMissing] != 0) Judge(kWarning, "system log folder missing");
    static const char* const kNames[] = {"OK", "WARNING", "CRITICAL"};
    std::printf("VELMORA %s - %s | link_down=%llds backlog=%lld oldest_age=%llds\n",
                kNames[nState], szText.c_str(), static_cast<long long>(nDown),
                static_cast<long long>(g[kGaugeBacklog]),
                static_cast<long long>(g[kGaugeOldestAge] < 0 ? 0 : g[kGaugeOldestAge]));
    return nState;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> rest;
    std::string szError;
    if (!vplat::InitPlatform(argc, argv, &rest, &szError)) {
        std::fprintf(stderr, "velmoractl: %s\n", szError.c_str());
        return 2;
    }
    if (rest.empty()) return Usage();
    if (rest[0] == "--help" || rest[0] == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (rest[0] == "--version") {
        std::printf("velmoractl %s\n", vplat::VelmoraVersion());
        return 0;
    }
    const vplat::WindowHandle hWnd = vplat::env()->FindWindowTitle(sib::kVelmora);
    if (rest[0] == "stats" && rest.size() == 1) return PrintStats(!hWnd.IsNull());
    if (rest[0] == "health") return Health(rest, !hWnd.IsNull());
    if (hWnd.IsNull()) {
        std::fprintf(stderr, "velmoractl: no station program runs in %s\n",
                     vplat::StationRoot().c_str());
        return 1;
    }
    const std::string& szVerb = rest[0];
    if (szVerb == "show" && rest.size() == 1) {
        std::string szText;
        if (!vplat::QueryControls(sib::kVelmora, &szText)) {
            std::fprintf(stderr, "velmoractl: the station program does not answer\n");
            return 1;
        }
        std::fputs(szText.c_str(), stdout);
        return 0;
    }
    if (szVerb == "click" && rest.size() == 2) {
        char* pEnd = nullptr;
        const long nId = std::strtol(rest[1].c_str(), &pEnd, 10);
        if (*pEnd != '\0' || nId <= 0 || nId > 0xFFFF) return Usage();
        vplat::env()->SendWindowMessage(hWnd, vplat::kMsgCommand, static_cast<uintptr_t>(nId), 0);
        return 0;
    }
    if (szVerb == "close" && rest.size() == 1) {
        return vplat::env()->PostWindowMessage(hWnd, vplat::kMsgClose, 0, 0) ? 0 : 1;
    }
    if (szVerb == "about" && rest.size() == 1) {
        vplat::env()->SendWindowMessage(hWnd, 0x0112, 0x10, 0);
        return 0;
    }
    return Usage();
}
