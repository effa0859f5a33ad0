// velmoractl: the operator's view of a running station over the window bus. Shows the
// dialog's controls ("<id> <text>", UTF-8, one per line), clicks its buttons, and closes
// the dialog, so an operator on SSH and a test see what the dialog shows; and prints the
// link and transfer counters that the station publishes in the mapping "VelmoraStats".
//
//   velmoractl --root DIR show
//   velmoractl --root DIR click ID        (BN_CLICKED of a button: 1013 CDMA, 1014 send/stop)
//   velmoractl --root DIR close           (WM_CLOSE: the station program ends with status 1)
//   velmoractl --root DIR about           (the about box through the system menu)
//   velmoractl --root DIR stats           ("<name> <value>" lines: running, started, counters)
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

int Usage() {
    std::fprintf(stderr,
                 "usage: velmoractl [--root DIR] show | click ID | close | about | stats\n");
    return 2;
}

// The counters of the station program that runs (or ran last) in the root: whether it
// runs, the clock at its start, then every counter, one "<name> <value>" line each.
int PrintStats(bool bRunning) {
    vplat::MappedView view;
    StationStatsView stats;
    if (!vplat::env()->OpenMapping(kStatsMappingName, &view)) {
        std::fprintf(stderr, "velmoractl: no station statistics in %s\n",
                     vplat::StationRoot().c_str());
        return 1;
    }
    const bool bRead = ReadStationStats(view.pView, view.nSize, &stats);
    vplat::env()->CloseMapping(&view);
    if (!bRead) {
        std::fprintf(stderr, "velmoractl: the statistics in %s are of another layout\n",
                     vplat::StationRoot().c_str());
        return 1;
    }
    char szStarted[20] = {};
    FormatTimeText(szStarted, sizeof szStarted, stats.nStartTime);
    std::printf("running %d\nstarted %s\n", bRunning ? 1 : 0, szStarted[0] ? szStarted : "-");
    for (int k = 0; k < kStatCount && k < static_cast<int>(stats.nCount); ++k) {
        std::printf("%s %llu\n", StatCounterName(k),
                    static_cast<unsigned long long>(stats.nCounters[k]));
    }
    return 0;
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
    const vplat::WindowHandle hWnd = vplat::env()->FindWindowTitle(sib::kVelmora);
    if (rest[0] == "stats" && rest.size() == 1) return PrintStats(!hWnd.IsNull());
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
