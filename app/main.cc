// The station program: the application object builds the main dialog and runs it.
// Options: --root DIR (station root, or VELMORA_ROOT), --headless (no terminal view),
// --check-config (report the settings and their problems, then end), --version, --help.
// One station per root: the lock is taken before anything else touches the root.
#include <cstdio>
#include <string>
#include <vector>

#include "app/check_config.h"
#include "app/velmora_dlg.h"
#include "platform/platform.h"

namespace {

constexpr int kExitUsage = 2;  // a bad option, or the root taken by another station

class CVelmoraApp final : public CWinApp {
public:
    int InitInstance() override {
        CVelmoraDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        return 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> rest;
    std::string szError;
    if (!vplat::InitPlatform(argc, argv, &rest, &szError)) {
        std::fprintf(stderr, "velmora: %s\n", szError.c_str());
        return kExitUsage;
    }
    bool bCheck = false;
    for (const std::string& arg : rest) {
        if (arg == "--help" || arg == "-h") {
            std::printf("usage: velmora [--root DIR] [--headless] [--check-config] [--version]\n"
                        "  --root DIR       station root (drive letters are its folders d/, e/, ...);\n"
                        "                   default $VELMORA_ROOT or the current directory\n"
                        "  --headless       no terminal view of the dialog\n"
                        "  --check-config   print every setting, its value and where it came from,\n"
                        "                   then the problems found; exit 0 when there is none, 1\n"
                        "                   otherwise\n"
                        "  --version        the version\n"
                        "exit status: 1 after a normal stop, 2 for a bad option or a root that\n"
                        "another station holds\n");
            return 0;
        }
        if (arg == "--version") {
            std::printf("velmora %s\n", vplat::VelmoraVersion());
            return 0;
        }
        if (arg == "--check-config") {
            bCheck = true;
            continue;
        }
        std::fprintf(stderr, "velmora: unknown option %s (try --help)\n", arg.c_str());
        return kExitUsage;
    }
    if (bCheck) return CheckConfig(stdout);
    // First of all: a second station on the root must not touch the first one's windows,
    // mappings or files.
    switch (vplat::LockStationRoot(&szError)) {
        case vplat::RootLock::kTaken:
            break;
        case vplat::RootLock::kHeld:
            std::fprintf(stderr,
                         "velmora: another station already runs on %s (%s); not started\n",
                         vplat::StationRoot().c_str(), szError.c_str());
            return kExitUsage;
        case vplat::RootLock::kFailed:
            std::fprintf(stderr, "velmora: cannot lock the station root: %s\n", szError.c_str());
            return kExitUsage;
    }
    CVelmoraApp theApp;
    return theApp.InitInstance();
}
