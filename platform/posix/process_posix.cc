// HostEnv's WinExec on POSIX: "<dir>/<name>[ args]" in Windows form started with posix_spawn,
// without a shell, in its own directory, with VELMORA_ROOT naming this station root. A
// thread per child waits for it so that no zombie is left.
#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_env.h"

extern char** environ;

namespace vplat {

bool HostEnv::StartProgram(const char* szWinCommandLine, int nShow) {
    (void)nShow;  // there is no window to show
    std::string szProgram;
    std::vector<std::string> args;
    if (!ReadCommandLine(szWinCommandLine, &szProgram, &args)) return false;
    args.insert(args.begin(), szProgram);
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
