// INI text lookup with the rules of GetPrivateProfileStringA (see ini_parse.h).
#include "platform/ini_parse.h"

#include <cstring>

namespace vplat {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    size_t nBegin = 0;
    while (nBegin < s.size() && IsBlank(s[nBegin])) ++nBegin;
    size_t nEnd = s.size();
    while (nEnd > nBegin && IsBlank(s[nEnd - 1])) --nEnd;
    return s.substr(nBegin, nEnd - nBegin);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view Unquote(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
        return s.substr(1, s.size() - 2);
    }
    return s;
}

// Walks the lines of an INI text that carry something (a byte order mark left by an
// editor is skipped, blank lines and comments are left out): fn(true, name) for a section
// header, fn(false, line) for any other line, trimmed. fn returns false to stop the walk.
template <typename Fn>
void WalkIniLines(std::string_view szText, Fn fn) {
    if (szText.size() >= 3 && szText.substr(0, 3) == "\xEF\xBB\xBF") szText.remove_prefix(3);
    size_t nPos = 0;
    while (nPos < szText.size()) {
        size_t nEol = szText.find('\n', nPos);
        if (nEol == std::string_view::npos) nEol = szText.size();
        const std::string_view szLine = Trim(szText.substr(nPos, nEol - nPos));
        nPos = nEol + 1;
        if (szLine.empty() || szLine.front() == ';') continue;
        if (szLine.front() == '[') {
            const size_t nClose = szLine.rfind(']');
            if (nClose == std::string_view::npos) continue;  // not a section header
            if (!fn(true, Trim(szLine.substr(1, nClose - 1)))) return;
            continue;
        }
        if (!fn(false, szLine)) return;
    }
}

}  // namespace

bool IniFindValue(std::string_view szText, std::string_view szSection, std::string_view szKey,
                  std::string* pValue) {
    const std::string_view szWantSection = Trim(szSection);
    const std::string_view szWantKey = Trim(szKey);
    bool bInSection = false;  // inside the first section with the wanted name
    bool bSectionSeen = false;
    bool bFound = false;
    WalkIniLines(szText, [&](bool bHeader, std::string_view szLine) {
        if (bHeader) {
            if (bInSection) return false;  // the first one had no such key
            bInSection = !bSectionSeen && SameNoCase(szLine, szWantSection);
            bSectionSeen = bSectionSeen || bInSection;
            return true;
        }
        if (!bInSection) return true;
        const size_t nEq = szLine.find('=');
        if (!SameNoCase(Trim(szLine.substr(0, nEq)), szWantKey)) return true;
        if (pValue != nullptr) {
            if (nEq == std::string_view::npos) {
                pValue->clear();
            } else {
                const std::string_view szValue = Unquote(Trim(szLine.substr(nEq + 1)));
                pValue->assign(szValue.data(), szValue.size());
            }
        }
        bFound = true;
        return false;
    });
    return bFound;
}

std::vector<std::pair<std::string, std::string>> IniListKeys(std::string_view szText) {
    std::vector<std::pair<std::string, std::string>> keys;
    std::string szSection;
    bool bInSection = false;
    WalkIniLines(szText, [&](bool bHeader, std::string_view szLine) {
        if (bHeader) {
            szSection = std::string(szLine);
            bInSection = true;
        } else if (bInSection) {
            const std::string_view szName = Trim(szLine.substr(0, szLine.find('=')));
            if (!szName.empty()) keys.emplace_back(szSection, std::string(szName));
        }
        return true;
    });
    return keys;
}

size_t IniCopyResult(std::string_view szValue, char* szOut, size_t nSize) {
    if (szOut == nullptr || nSize == 0) return 0;
    size_t nCopy = szValue.size();
    if (nCopy > nSize - 1) nCopy = nSize - 1;
    if (nCopy > 0) std::memcpy(szOut, szValue.data(), nCopy);
    szOut[nCopy] = '\0';
    return nCopy;
}

std::string IniDefault(const char* szDefault) {
    std::string szValue = szDefault != nullptr ? szDefault : "";
    while (!szValue.empty() && (szValue.back() == ' ' || szValue.back() == '\t')) szValue.pop_back();
    return szValue;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

}  // namespace vplat
