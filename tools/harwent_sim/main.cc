// harwent-sim: stands in for the station's main operation program ("Harwent Console
// v1.0"). It creates the two shared-memory areas with plausible content when they do not
// exist yet (never overwriting existing ones), holds the window, records every message it
// receives (like sibling-stub), and can write violation files into the violation
// directory and announce them to Velmora with WM_USER+15 code 101.
//
//   harwent-sim --root DIR [--log FILE] [--vol-every SEC] [--vol-max BYTES]
//   harwent-sim --root DIR send CODE VALUE      (WM_USER+15 to "Velmora", prints the result)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/siblings.h"
#include "platform/platform.h"
#include "tools/common/message_log.h"
#include "tools/harwent_sim/station_files.h"

namespace {

constexpr uint32_t kVolTimer = 1;

class HarwentHandler final : public vplat::LoopHandler {
public:
    HarwentHandler(const std::string& szLog, StationFiles* pFiles)
        : m_log(szLog), m_pFiles(pFiles) {}
    void OnLoopTimer(uint32_t nId) override {
        if (nId != kVolTimer) return;
        std::string szName;
        if (!m_pFiles->WriteViolationFile(&szName)) return;
        std::printf("harwent-sim: wrote %s\n", szName.c_str());
        std::fflush(stdout);
        sib::PostToSibling(sib::kVelmora, sib::WM_MGR_VIOLATION, sib::kNoticeVolFile, 0);
    }
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        m_log.Append(nMsg, wParam, lParam);
        if (nMsg == vplat::kMsgDestroy || nMsg == vplat::kMsgClose) vplat::env()->EndProcess(0);
        return 0;
    }

private:
    MessageLog m_log;        // every message received
    StationFiles* m_pFiles;  // shared memory and violation files
};

int Usage(FILE* out = stderr) {
    std::fprintf(out,
                 "usage: harwent-sim --root DIR [--log FILE] [--vol-every SEC] [--vol-max BYTES]\n"
                 "       harwent-sim --root DIR send CODE VALUE\n"
                 "       harwent-sim --version | --help\n");
    return out == stderr ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> rest;
    std::string szError;
    if (!vplat::InitPlatform(argc, argv, &rest, &szError)) {
        std::fprintf(stderr, "harwent-sim: %s\n", szError.c_str());
        return 2;
    }
    if (!rest.empty() && (rest[0] == "--help" || rest[0] == "-h")) return Usage(stdout);
    if (!rest.empty() && rest[0] == "--version") {
        std::printf("harwent-sim %s\n", vplat::VelmoraVersion());
        return 0;
    }
    if (!rest.empty() && rest[0] == "send") {
        if (rest.size() != 3) return Usage();
        const vplat::WindowHandle hWnd = vplat::env()->FindWindowTitle(sib::kVelmora);
        if (hWnd.IsNull()) {
            std::fprintf(stderr, "harwent-sim: no window \"Velmora\"\n");
            return 1;
        }
        const intptr_t nResult =
            vplat::env()->SendWindowMessage(hWnd, sib::WM_MGR_VIOLATION,
                                            std::strtoul(rest[1].c_str(), nullptr, 10),
                                            std::strtol(rest[2].c_str(), nullptr, 10));
        std::printf("%ld\n", static_cast<long>(nResult));
        return 0;
    }
    std::string szLog = vplat::StationRoot() + "/.windows/harwent-sim.log";
    int nVolEvery = 0;
    long nVolMax = 60000;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--log" && i + 1 < rest.size()) {
            szLog = rest[++i];
        } else if (rest[i] == "--vol-every" && i + 1 < rest.size()) {
            nVolEvery = std::atoi(rest[++i].c_str());
        } else if (rest[i] == "--vol-max" && i + 1 < rest.size()) {
            nVolMax = std::atol(rest[++i].c_str());
        } else {
            return Usage();
        }
    }
    StationFiles files(nVolMax);
    if (!files.CreateSharedAreas()) {
        std::fprintf(stderr, "harwent-sim: cannot create the shared-memory areas\n");
        return 1;
    }
    if (!vplat::env()->OpenOwnWindow(sib::kHarwent)) {
        std::fprintf(stderr, "harwent-sim: the window \"%s\" is already held\n", sib::kHarwent);
        return 1;
    }
    HarwentHandler handler(szLog, &files);
    if (nVolEvery > 0) vplat::env()->StartTimer(kVolTimer, static_cast<uint32_t>(nVolEvery) * 1000u);
    vplat::env()->RunLoop(&handler);
    return 0;
}
