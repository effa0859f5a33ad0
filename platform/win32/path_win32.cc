// The string work behind the Win32 back-end's paths (see path_win32.h).
#include "platform/win32/path_win32.h"

#include <vector>

namespace vplat {
namespace win32path {

std::string Normalize(const std::string& szPath) {
    std::vector<std::string> parts;
    size_t nPos = 0;
    while (nPos <= szPath.size()) {
        size_t nSlash = szPath.find('/', nPos);
        if (nSlash == std::string::npos) nSlash = szPath.size();
        const std::string szPart = szPath.substr(nPos, nSlash - nPos);
        nPos = nSlash + 1;
        if (szPart.empty() || szPart == ".") continue;
        if (szPart == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(szPart);
    }
    std::string szOut;
    for (const std::string& p : parts) szOut += "/" + p;
    return szOut;
}

bool WildcardMatch(const std::string& szPattern, const std::string& szName) {
    if (szPattern == "*" || szPattern == "*.*") return true;
    size_t p = 0, n = 0, nStarP = std::string::npos, nStarN = 0;
    while (n < szName.size()) {
        if (p < szPattern.size() &&
            (szPattern[p] == '?' || LowerAscii(szPattern[p]) == LowerAscii(szName[n]))) {
            ++p;
            ++n;
        } else if (p < szPattern.size() && szPattern[p] == '*') {
            nStarP = p++;
            nStarN = n;
        } else if (nStarP != std::string::npos) {
            p = nStarP + 1;
            n = ++nStarN;
        } else {
            return false;
        }
    }
    while (p < szPattern.size() && szPattern[p] == '*') ++p;
    return p == szPattern.size();
}

char DriveOf(const std::string& szRoot, const std::string& szHost, std::string* pRest) {
    const size_t n = szRoot.size();
    if (szHost.size() < n + 2 || szHost[n] != '/') return 0;
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(szHost[i]) != LowerAscii(szRoot[i])) return 0;
    }
    const char c = LowerAscii(szHost[n + 1]);
    if (c < 'a' || c > 'z' || (szHost.size() > n + 2 && szHost[n + 2] != '/')) return 0;
    *pRest = szHost.substr(n + 2);
    return c;
}

}  // namespace win32path
}  // namespace vplat
