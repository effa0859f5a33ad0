// HostEnv's station paths where every system reads them alike: a rooted instance's
// mapping of "X:/rest" to ROOT/x/rest and of its current directory back to Windows form,
// listings that apply the Windows wildcards themselves, and WinExec's reading of a
// command line.
#include "platform/host_env.h"

namespace vplat {

using hosttext::DriveOf;
using hosttext::IsDriveSpec;
using hosttext::NormalizePath;

std::string HostEnv::CurrentHostDir() {
    std::lock_guard<std::mutex> lock(m_cwdMutex);
    return m_szCwd;
}

std::string HostEnv::MapUnderRoot(const std::string& s) {
    const std::string& szRoot = m_opts.szRoot;
    if (IsDriveSpec(s)) return szRoot + "/" + hosttext::LowerAscii(s[0]) + NormalizePath(s.substr(2));
    std::string szCwdRest;
    const char cDrive = DriveOf(szRoot, CurrentHostDir(), &szCwdRest, kFoldCase);
    if (!s.empty() && s[0] == '/') {  // rooted on the current drive
        return szRoot + "/" + (cDrive != 0 ? cDrive : 'd') + NormalizePath(s);
    }
    // Inside the root a relative name cannot climb out of its drive.
    if (cDrive != 0) return szRoot + "/" + cDrive + NormalizePath(szCwdRest + "/" + s);
    return std::string();
}

std::string HostEnv::WinDirUnderRoot() {
    std::string szRest;
    const char cDrive = DriveOf(m_opts.szRoot, CurrentHostDir(), &szRest, kFoldCase);
    if (cDrive == 0) return std::string();
    return std::string(1, hosttext::UpperAscii(cDrive)) + ":/" +
           (szRest.empty() ? std::string() : szRest.substr(1));
}

bool HostEnv::SetCurrentDir(const char* szWinPath) {
    const std::string szHost = MapPath(szWinPath);
    if (!EnterHostDir(szHost)) return false;
    std::lock_guard<std::mutex> lock(m_cwdMutex);
    m_szCwd = szHost;
    return true;
}

std::vector<std::string> HostEnv::FindFiles(const char* szWinPattern) {
    const std::string s = hosttext::ToSlashes(szWinPattern);
    const size_t nSlash = s.rfind('/');
    std::string szDir, szPattern;
    if (nSlash != std::string::npos) {
        szDir = s.substr(0, nSlash + 1);
        szPattern = s.substr(nSlash + 1);
    } else if (IsDriveSpec(s)) {
        szDir = s.substr(0, 2);
        szPattern = s.substr(2);
    } else {
        szDir = ".";
        szPattern = s;
    }
    std::vector<std::string> names;
    for (std::string& szName : ListHostDirectory(MapPath(szDir.c_str()))) {
        if (szName.empty() || szName == "." || szName == "..") continue;
        if (hosttext::WildcardMatch(szPattern, szName)) names.push_back(std::move(szName));
    }
    return names;
}

bool HostEnv::ReadCommandLine(const char* szCommandLine, std::string* pProgram,
                              std::vector<std::string>* pArgs) {
    const std::string szLine = szCommandLine != nullptr ? szCommandLine : "";
    const std::vector<std::string> words = hosttext::SplitBlanks(szLine);
    if (words.empty()) return false;
    std::string szProgram = MapPath(words[0].c_str());
    size_t nArgsFrom = 1;
    if (szLine.find('"') == std::string::npos) {
        std::string szJoined = words[0];
        for (size_t i = 1; i < words.size() && !hostos::IsRegularFile(szProgram); ++i) {
            szJoined += " " + words[i];
            const std::string szTry = MapPath(szJoined.c_str());
            if (hostos::IsRegularFile(szTry)) {
                szProgram = szTry;
                nArgsFrom = i + 1;
            }
        }
    }
    *pProgram = szProgram;
    pArgs->assign(words.begin() + static_cast<std::ptrdiff_t>(nArgsFrom), words.end());
    return true;
}

}  // namespace vplat
