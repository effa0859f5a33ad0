// sibling-stub: stands in for any sibling program of the station by holding a window
// with the given title. Every message it receives is appended to the log as
// "<unix-ms> <message> <wParam> <lParam>" (decimal). WM_DESTROY ends it, as it ends the
// real programs. Started under the name X.exe (a link in the program directory) it
// holds the window X, so the dialer and the update receiver can be started for real.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/common/message_log.h"

namespace {

class StubHandler final : public vplat::LoopHandler {
public:
    explicit StubHandler(const std::string& szLog) : m_log(szLog) {}
    void OnLoopTimer(uint32_t) override {}
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override {
        m_log.Append(nMsg, wParam, lParam);
        if (nMsg == vplat::kMsgDestroy || nMsg == vplat::kMsgClose) vplat::env()->EndProcess(0);
        return 0;
    }

private:
    MessageLog m_log;  // where received messages are recorded
};

// The title a program started as "<dir>/Name.exe" holds: "Name".
std::string TitleFromProgramName(const char* szArgv0) {
    std::string szName = szArgv0;
    const size_t nSlash = szName.find_last_of("/\\");  // either slash: Windows paths too
    if (nSlash != std::string::npos) szName = szName.substr(nSlash + 1);
    if (szName.size() > 4 && strcasecmp(szName.c_str() + szName.size() - 4, ".exe") == 0) {
        return szName.substr(0, szName.size() - 4);
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> rest;
    std::string szError;
    if (!vplat::InitPlatform(argc, argv, &rest, &szError)) {
        std::fprintf(stderr, "sibling-stub: %s\n", szError.c_str());
        return 2;
    }
    std::string szTitle = TitleFromProgramName(argv[0]);
    std::string szLog;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--version") {
            std::printf("sibling-stub %s\n", vplat::VelmoraVersion());
            return 0;
        }
        if (rest[i] == "--help" || rest[i] == "-h") {
            std::printf("usage: sibling-stub --root DIR --title TITLE [--log FILE]\n"
                        "       (started as X.exe it holds the window X)\n");
            return 0;
        }
        if (rest[i] == "--title" && i + 1 < rest.size()) {
            szTitle = rest[++i];
        } else if (rest[i] == "--log" && i + 1 < rest.size()) {
            szLog = rest[++i];
        } else {
            std::fprintf(stderr,
                         "usage: sibling-stub --root DIR --title TITLE [--log FILE]\n"
                         "       (started as X.exe it holds the window X)\n");
            return 2;
        }
    }
    if (szTitle.empty()) {
        std::fprintf(stderr, "sibling-stub: no --title given\n");
        return 2;
    }
    if (szLog.empty()) szLog = vplat::StationRoot() + "/.windows/" + szTitle + ".log";
    if (!vplat::env()->OpenOwnWindow(szTitle.c_str())) {
        std::fprintf(stderr, "sibling-stub: the window \"%s\" is already held\n", szTitle.c_str());
        return 1;
    }
    StubHandler handler(szLog);
    vplat::env()->RunLoop(&handler);
    return 0;
}
