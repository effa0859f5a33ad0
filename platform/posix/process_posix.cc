// PosixEnv's WinExec: "<dir>/<name>[ args]" in Windows form started with posix_spawn,
// without a shell, in its own directory, with VELMORA_ROOT naming this station root. A
// thread per child waits for it so that no zombie is left.
#include <errno.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_env.h"

extern char** environ;

namespace vplat {

namespace {

std::vector<std::string> SplitBlanks(const std::string& s) {
    std::vector<std::string> words;
    size_t nPos = 0;
    while (nPos < s.size()) {
        while (nPos < s.size() && (s[nPos] == ' ' || s[nPos] == '\t')) ++nPos;
        if (nPos >= s.size()) break;
        if (s[nPos] == '"') {
            const size_t nClose = s.find('"', nPos + 1);
            const size_t nEnd = nClose == std::string::npos ? s.size() : nClose;
            words.push_back(s.substr(nPos + 1, nEnd - nPos - 1));
            nPos = nEnd + 1;
            continue;
        }
        size_t nEnd = nPos;
        while (nEnd < s.size() && s[nEnd] != ' ' && s[nEnd] != '\t') ++nEnd;
        words.push_back(s.substr(nPos, nEnd - nPos));
        nPos = nEnd;
    }
    return words;
}

bool IsRegularFile(const std::string& szPath) {
    struct stat st {};
    return stat(szPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool PosixEnv::StartProgram(const char* szWinCommandLine, int nShow) {
    (void)nShow;  // there is no window to show
    const std::string szLine = szWinCommandLine != nullptr ? szWinCommandLine : "";
    std::vector<std::string> words = SplitBlanks(szLine);
    if (words.empty()) return false;
    // An unquoted program path with blanks: like WinExec, try ever longer prefixes.
    std::string szProgram = MapPath(words[0].c_str());
    size_t nArgsFrom = 1;
    if (szLine.find('"') == std::string::npos) {
        std::string szJoined = words[0];
        for (size_t i = 1; i < words.size() && !IsRegularFile(szProgram); ++i) {
            szJoined += " " + words[i];
            const std::string szTry = MapPath(szJoined.c_str());
            if (IsRegularFile(szTry)) {
                szProgram = szTry;
                nArgsFrom = i + 1;
            }
        }
    }
    std::vector<std::string> args{szProgram};
    for (size_t i = nArgsFrom; i < words.size(); ++i) args.push_back(words[i]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envs;
    for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
        if (std::strncmp(*p, "VELMORA_ROOT=", 13) != 0) envs.push_back(*p);
    }
    envs.push_back("VELMORA_ROOT=" + m_opts.szRoot);
    std::vector<char*> envp;
    for (std::string& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);

    const size_t nSlash = szProgram.rfind('/');
    const std::string szDir = nSlash == std::string::npos ? "." : szProgram.substr(0, nSlash + 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, szDir.c_str());
    pid_t nPid = -1;
    const int nErr =
        posix_spawn(&nPid, szProgram.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (nErr != 0) {
        DebugFailure("StartProgram", szProgram, nErr);
        return false;
    }
    std::thread([nPid] {
        int nStatus = 0;
        while (waitpid(nPid, &nStatus, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace vplat
