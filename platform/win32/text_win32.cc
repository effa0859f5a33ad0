// The C runtime's _localtime64_s and _mktime64 behind the shared calendar conversions,
// and UTF-8 <-> CP949 text. The UTF-8 side is decoded
// here, character by character, so that every bad sequence and every character without a
// CP949 form becomes exactly one '?'; the CP949 table is the system's code page 949.
#include <time.h>
#include <windows.h>

#include <string>

#include "platform/host_env.h"

namespace vplat {

namespace hostos {

bool LocalTm(int64_t t, std::tm* pParts) {
    const __time64_t tt = static_cast<__time64_t>(t);
    return _localtime64_s(pParts, &tt) == 0;
}

int64_t MakeTime64(std::tm* pParts) { return static_cast<int64_t>(_mktime64(pParts)); }

}  // namespace hostos

namespace {

constexpr UINT kCodePage949 = 949;
constexpr uint32_t kBad = 0xFFFFFFFFu;  // not a character

// Decodes the character at s[nPos]; kBad for a bad sequence. *pnLength gets the bytes
// it takes (for a bad one: up to the first byte that cannot continue it).
uint32_t DecodeUtf8(const std::string& s, size_t nPos, size_t* pnLength) {
    const auto c = static_cast<unsigned char>(s[nPos]);
    if (c < 0x80) {
        *pnLength = 1;
        return c;
    }
    const size_t nNeed = hosttext::Utf8Length(c);
    size_t nHave = 1;
    while (nHave < nNeed && nPos + nHave < s.size() &&
           (static_cast<unsigned char>(s[nPos + nHave]) & 0xC0) == 0x80) {
        ++nHave;
    }
    *pnLength = nHave;
    if (nNeed == 1 || nHave < nNeed) return kBad;
    const auto c1 = static_cast<unsigned char>(s[nPos + 1]);
    uint32_t nCode = 0;
    if (nNeed == 2) {
        nCode = ((c & 0x1Fu) << 6) | (c1 & 0x3Fu);
    } else if (nNeed == 3) {
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return kBad;
        nCode = ((c & 0x0Fu) << 12) | ((c1 & 0x3Fu) << 6) |
                (static_cast<unsigned char>(s[nPos + 2]) & 0x3Fu);
    } else {
        if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return kBad;
        nCode = ((c & 0x07u) << 18) | ((c1 & 0x3Fu) << 12) |
                ((static_cast<unsigned char>(s[nPos + 2]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(s[nPos + 3]) & 0x3Fu);
    }
    return nCode;
}

void AppendUtf8(uint32_t nCode, std::string* pOut) {
    if (nCode < 0x80) {
        *pOut += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
        *pOut += static_cast<char>(0xC0 | (nCode >> 6));
        *pOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else if (nCode < 0x10000) {
        *pOut += static_cast<char>(0xE0 | (nCode >> 12));
        *pOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        *pOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
        *pOut += static_cast<char>(0xF0 | (nCode >> 18));
        *pOut += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
        *pOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        *pOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

}  // namespace

std::string Utf8ToCp949(const std::string& szUtf8) {
    std::string szOut;
    szOut.reserve(szUtf8.size());
    size_t nPos = 0;
    while (nPos < szUtf8.size()) {
        size_t nLength = 1;
        const uint32_t nCode = DecodeUtf8(szUtf8, nPos, &nLength);
        nPos += nLength;
        if (nCode < 0x80) {
            szOut += static_cast<char>(nCode);
            continue;
        }
        if (nCode == kBad || nCode > 0xFFFF) {  // code page 949 has only BMP characters
            szOut += '?';
            continue;
        }
        const auto wc = static_cast<wchar_t>(nCode);
        char bytes[4] = {};
        BOOL bDefaulted = FALSE;
        const int n = WideCharToMultiByte(kCodePage949, WC_NO_BEST_FIT_CHARS, &wc, 1, bytes,
                                          sizeof(bytes), nullptr, &bDefaulted);
        if (n <= 0 || bDefaulted) {
            szOut += '?';
        } else {
            szOut.append(bytes, static_cast<size_t>(n));
        }
    }
    return szOut;
}

std::string Cp949ToUtf8(const std::string& szCp949) {
    std::string szOut;
    szOut.reserve(szCp949.size() * 3 / 2);
    size_t nPos = 0;
    while (nPos < szCp949.size()) {
        const auto c = static_cast<unsigned char>(szCp949[nPos]);
        if (c < 0x80) {
            szOut += static_cast<char>(c);
            ++nPos;
            continue;
        }
        // A lead byte needs a trail byte of 0x41 or more; anything else is one bad byte.
        if (!hosttext::IsCp949Pair(&szCp949[nPos], szCp949.size() - nPos)) {
            szOut += '?';
            ++nPos;
            continue;
        }
        wchar_t wc[2] = {};
        const int n =
            MultiByteToWideChar(kCodePage949, MB_ERR_INVALID_CHARS, &szCp949[nPos], 2, wc, 2);
        if (n == 1) {
            AppendUtf8(static_cast<uint32_t>(wc[0]), &szOut);
        } else {
            szOut += '?';
        }
        nPos += 2;
    }
    return szOut;
}

}  // namespace vplat
