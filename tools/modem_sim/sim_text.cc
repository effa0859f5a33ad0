// Texts of modem-sim: answer lines, time words, raw escapes and the quoted log form.
#include "tools/modem_sim/sim_text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace modemsim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a signed decimal number that must fill the whole text.
bool ParseSeconds(const std::string& szText, long long* pnOut) {
    if (szText.empty() || szText.size() > 12) return false;
    for (char c : szText) {
        if (c < '0' || c > '9') return false;
    }
    *pnOut = std::strtoll(szText.c_str(), nullptr, 10);
    return true;
}

}  // namespace

std::string HexUpper(const std::string& szBytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string szOut;
    szOut.reserve(szBytes.size() * 2);
    for (unsigned char c : szBytes) {
        szOut += kDigits[c >> 4];
        szOut += kDigits[c & 0x0F];
    }
    return szOut;
}

std::string QuoteBytes(const std::string& szBytes) {
    std::string szOut = "\"";
    for (unsigned char c : szBytes) {
        if (c == '"' || c == '\\') {
            szOut += '\\';
            szOut += static_cast<char>(c);
        } else if (c == '\r') {
            szOut += "\\r";
        } else if (c == '\n') {
            szOut += "\\n";
        } else if (c == '\t') {
            szOut += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            szOut += static_cast<char>(c);
        } else {
            char szHex[8];
            std::snprintf(szHex, sizeof szHex, "\\x%02X", c);
            szOut += szHex;
        }
    }
    return szOut + "\"";
}

std::string Unescape(const std::string& szText) {
    std::string szOut;
    for (size_t i = 0; i < szText.size(); ++i) {
        const char c = szText[i];
        if (c != '\\' || i + 1 >= szText.size()) {
            szOut += c;
            continue;
        }
        const char e = szText[i + 1];
        if (e == 'r') {
            szOut += '\r';
            ++i;
        } else if (e == 'n') {
            szOut += '\n';
            ++i;
        } else if (e == 't') {
            szOut += '\t';
            ++i;
        } else if (e == '\\') {
            szOut += '\\';
            ++i;
        } else if (e == 'x' && i + 3 < szText.size() && HexValue(szText[i + 2]) >= 0 &&
                   HexValue(szText[i + 3]) >= 0) {
            szOut += static_cast<char>(HexValue(szText[i + 2]) * 16 + HexValue(szText[i + 3]));
            i += 3;
        } else {
            szOut += c;
        }
    }
    return szOut;
}

std::string ExpandTime(const std::string& szWord, int64_t nNow) {
    if (szWord.compare(0, 3, "now") != 0) return szWord;
    long long nOffset = 0;
    if (szWord.size() > 3) {
        const char cSign = szWord[3];
        if ((cSign != '-' && cSign != '+') || !ParseSeconds(szWord.substr(4), &nOffset)) {
            return szWord;
        }
        if (cSign == '-') nOffset = -nOffset;
    }
    const time_t t = static_cast<time_t>(nNow + nOffset);
    struct tm tmLocal {};
    if (localtime_r(&t, &tmLocal) == nullptr) return szWord;
    char szDigits[32];
    std::snprintf(szDigits, sizeof szDigits, "%04d%02d%02d%02d%02d%02d", tmLocal.tm_year + 1900,
                  tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min,
                  tmLocal.tm_sec);
    return szDigits;
}

std::string BuildSmsAnswer(const std::string& szTime, const std::string& szSender,
                           const std::string& szText) {
    return "\r\n" + szTime + "," + szSender + ",x,x,x," + HexUpper(szText) + ",x\r\n";
}

}  // namespace modemsim
