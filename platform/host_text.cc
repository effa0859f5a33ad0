// The back-ends' plain text work (hosttext in host_env.h): Windows paths and wildcards,
// command-line words, escaped names, COM port names, the control model's lines, UTF-8
// and CP949 sequence lengths, the words of a socket failure; and local calendar time
// from and to Time64 seconds around the C library's localtime and mktime.
#include <cctype>
#include <cstring>

#include "platform/host_env.h"

namespace vplat {

namespace hosttext {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsDriveSpec(const std::string& s) {
    return s.size() >= 2 && ((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z')) &&
           s[1] == ':';
}

std::string ToSlashes(const char* szPath) {
    std::string s = szPath != nullptr ? szPath : "";
    for (char& c : s) {
        if (c == '\\') c = '/';
    }
    return s;
}

std::string NormalizePath(const std::string& szPath) {
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

char DriveOf(const std::string& szRoot, const std::string& szHost, std::string* pRest,
             bool bFoldCase) {
    const size_t n = szRoot.size();
    if (szHost.size() < n + 2 || szHost[n] != '/') return 0;
    for (size_t i = 0; i < n; ++i) {
        const bool bSame = bFoldCase ? LowerAscii(szHost[i]) == LowerAscii(szRoot[i])
                                     : szHost[i] == szRoot[i];
        if (!bSame) return 0;
    }
    const char c = LowerAscii(szHost[n + 1]);
    if (c < 'a' || c > 'z' || (szHost.size() > n + 2 && szHost[n + 2] != '/')) return 0;
    *pRest = szHost.substr(n + 2);
    return c;
}

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

std::string PercentEscape(const std::string& szText, const char* szAlsoKept) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string szOut;
    for (const char c : szText) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            u == '.' || u == '_' || u == '-' || (u != 0 && std::strchr(szAlsoKept, c) != nullptr)) {
            szOut += c;
        } else {
            szOut += '%';
            szOut += kHex[u >> 4];
            szOut += kHex[u & 15];
        }
    }
    return szOut;
}

bool IsComPortName(const std::string& s) {
    if (s.size() <= 3 || s.size() > 6 || LowerAscii(s[0]) != 'c' || LowerAscii(s[1]) != 'o' ||
        LowerAscii(s[2]) != 'm') {
        return false;
    }
    for (size_t i = 3; i < s.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(s[i])) == 0) return false;
    }
    return true;
}

std::string ControlLines(const std::map<int, std::string>& controls) {
    std::string szOut;
    for (const auto& [nId, szText] : controls) {
        szOut += std::to_string(nId);
        szOut += ' ';
        for (const char c : szText) szOut += (c == '\n' || c == '\r') ? ' ' : c;
        szOut += '\n';
    }
    return szOut;
}

size_t Utf8Length(unsigned char c) {
    if (c >= 0xF0 && c <= 0xF4) return 4;
    if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
    if (c >= 0xC2) return 2;
    return 1;
}

bool IsCp949Pair(const char* p, size_t nLeft) {
    const unsigned char c = static_cast<unsigned char>(p[0]);
    return c >= 0x81 && c <= 0xFE && nLeft >= 2 && static_cast<unsigned char>(p[1]) >= 0x41;
}

const char* SockFailureWords(int nErr, const SockErrorCodes& codes) {
    if (nErr == codes.nRefused) return "refused";
    if (nErr == codes.nTimedOut) return "timed out";
    for (const int n : codes.nNoRoute) {
        if (nErr == n) return "no route";
    }
    for (const int n : codes.nBadAddress) {
        if (nErr == n) return "bad address";
    }
    return "error";
}

}  // namespace hosttext

LocalTime LocalTimeFromTime64(int64_t t) {
    std::tm parts{};
    LocalTime out;
    if (!hostos::LocalTm(t, &parts)) return out;
    out.nYear = parts.tm_year + 1900;
    out.nMonth = parts.tm_mon + 1;
    out.nDay = parts.tm_mday;
    out.nDayOfWeek = parts.tm_wday;
    out.nHour = parts.tm_hour;
    out.nMinute = parts.tm_min;
    out.nSecond = parts.tm_sec;
    return out;
}

int64_t Time64FromLocal(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
    std::tm parts{};
    parts.tm_year = nYear - 1900;
    parts.tm_mon = nMonth - 1;
    parts.tm_mday = nDay;
    parts.tm_hour = nHour;
    parts.tm_min = nMinute;
    parts.tm_sec = nSecond;
    parts.tm_isdst = -1;
    return hostos::MakeTime64(&parts);
}

}  // namespace vplat
