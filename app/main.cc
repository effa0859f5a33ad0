// The station program: the application object builds the main dialog and runs it.
// Options: --root DIR (station root, or VELMORA_ROOT), --headless (no terminal view).
#include <cstdio>
#include <string>
#include <vector>

#include "app/velmora_dlg.h"
#include "platform/platform.h"

namespace {

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
        return 2;
    }
    for (const std::string& arg : rest) {
        if (arg == "--help" || arg == "-h") {
            std::printf("usage: velmora [--root DIR] [--headless]\n"
                        "  --root DIR   station root (drive letters are its folders d/, e/, ...);\n"
                        "               default $VELMORA_ROOT or the current directory\n"
                        "  --headless   no terminal view of the dialog\n");
            return 0;
        }
        std::fprintf(stderr, "velmora: unknown option %s (try --help)\n", arg.c_str());
        return 2;
    }
    CVelmoraApp theApp;
    return theApp.InitInstance();
}
