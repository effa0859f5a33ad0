// HostEnv's WinExec on Win32: "<dir>/<name>[ args]" in Windows form started with CreateProcessA,
// without a shell and without a search of PATH, in the program's own directory, shown
// as nShow asks, with VELMORA_ROOT naming this station root. The process handles are
// closed at once: nobody waits for a sibling program.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/win32_env.h"

namespace vplat {

namespace {

// One argument as the C runtime of the child splits it again.
std::string QuoteArgument(const std::string& szArg) {
    if (!szArg.empty() && szArg.find_first_of(" \t\"") == std::string::npos) return szArg;
    std::string szOut = "\"";
    size_t nBackslashes = 0;
    for (const char c : szArg) {
        if (c == '\\') {
            ++nBackslashes;
            continue;
        }
        if (c == '"')
            szOut.append(nBackslashes * 2 + 1, '\\');
        else
            szOut.append(nBackslashes, '\\');
        nBackslashes = 0;
        szOut += c;
    }
    szOut.append(nBackslashes * 2, '\\');
    szOut += '"';
    return szOut;
}

// The process's environment block with VELMORA_ROOT replaced.
std::vector<char> EnvironmentWithRoot(const std::string& szRoot) {
    std::vector<char> block;
    LPCH pStrings = GetEnvironmentStringsA();
    if (pStrings != nullptr) {
        for (const char* p = pStrings; *p != '\0';) {
            const std::string szEntry = p;
            p += szEntry.size() + 1;
            if (_strnicmp(szEntry.c_str(), "VELMORA_ROOT=", 13) == 0) continue;
            block.insert(block.end(), szEntry.begin(), szEntry.end());
            block.push_back('\0');
        }
        FreeEnvironmentStringsA(pStrings);
    }
    const std::string szRootEntry = "VELMORA_ROOT=" + szRoot;
    block.insert(block.end(), szRootEntry.begin(), szRootEntry.end());
    block.push_back('\0');
    block.push_back('\0');
    return block;
}

}  // namespace

bool HostEnv::StartProgram(const char* szWinCommandLine, int nShow) {
    std::string szProgram;
    std::vector<std::string> args;
    if (!ReadCommandLine(szWinCommandLine, &szProgram, &args)) return false;
    const std::string szApplication = ToBackslashes(szProgram);
    std::string szCommand = QuoteArgument(szApplication);
    for (const std::string& szArg : args) szCommand += " " + QuoteArgument(szArg);
    std::vector<char> command(szCommand.begin(), szCommand.end());
    command.push_back('\0');

    const size_t nSlash = szApplication.rfind('\\');
    const std::string szDir =
        nSlash == std::string::npos ? "." : szApplication.substr(0, nSlash + 1);
    std::vector<char> environment = EnvironmentWithRoot(m_opts.szRoot);

    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(nShow);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(szApplication.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                        environment.data(), szDir.c_str(), &si, &pi)) {
        DebugFailure("StartProgram", szProgram, GetLastError());
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

}  // namespace vplat
