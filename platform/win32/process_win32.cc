// Win32Env's WinExec: "<dir>/<name>[ args]" in Windows form started with CreateProcessA,
// without a shell and without a search of PATH, in the program's own directory, shown
// as nShow asks, with VELMORA_ROOT naming this station root. The process handles are
// closed at once: nobody waits for a sibling program.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/path_win32.h"
#include "platform/win32/win32_env.h"

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
    const DWORD nAttr = GetFileAttributesA(win32path::ToBackslashes(szPath).c_str());
    return nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

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

bool Win32Env::StartProgram(const char* szWinCommandLine, int nShow) {
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
    const std::string szApplication = win32path::ToBackslashes(szProgram);
    std::string szCommand = QuoteArgument(szApplication);
    for (size_t i = nArgsFrom; i < words.size(); ++i) szCommand += " " + QuoteArgument(words[i]);
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
