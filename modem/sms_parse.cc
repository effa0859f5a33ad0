// Reading the modem's lines: the new-SMS notice, the fields of an SMS answer and the hex
// decoding of its message text. Every input is bounded by the length it comes with and
// by the size of the buffer it lands in; no byte value makes these functions fail.
#include "modem/sms_parse.h"

#include <cstring>

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Value of one hex digit the way the modem texts are decoded: the character code less
// '0', less 7 more above 9. Characters are taken as signed bytes, as the station always
// has, so bytes above 0x7F give negative values rather than large ones.
int DigitValue(char c) {
    int n = static_cast<int>(static_cast<signed char>(c)) - '0';
    if (n > 9) n -= 7;
    return n;
}

// Copies a field of nLen bytes into a cleared buffer of nSize bytes, cut to nSize - 1.
void KeepField(const char* pStart, int nLen, char* pOut, size_t nSize) {
    std::memset(pOut, 0, nSize);
    size_t n = nLen > 0 ? static_cast<size_t>(nLen) : 0;
    if (n > nSize - 1) n = nSize - 1;
    if (n > 0) std::memcpy(pOut, pStart, n);
}

}  // namespace

bool EqualsNoCase(const char* szA, const char* szB, size_t nMax) {
    if (szA == nullptr || szB == nullptr) return false;
    for (size_t i = 0; i < nMax; ++i) {
        const char a = LowerAscii(szA[i]);
        const char b = LowerAscii(szB[i]);
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return true;
}

bool IsSmsNotice(const char* pBytes, int nLength) {
    static const char kNotice[] = "$008:0";
    if (pBytes == nullptr || nLength < 6) return false;
    for (int i = 0; i < 6; ++i) {
        if (LowerAscii(pBytes[i]) != kNotice[i]) return false;  // a NUL never matches
    }
    return true;
}

ModemLineKind ClassifyModemRead(const char* pBytes, int nLength) {
    if (pBytes == nullptr || nLength < 1 || nLength > kModemReadMax) return ModemLineKind::kIgnored;
    if (IsSmsNotice(pBytes, nLength)) return ModemLineKind::kSmsNotice;
    if (nLength > kSmsAnswerMin) return ModemLineKind::kSmsAnswer;
    return ModemLineKind::kIgnored;
}

void SplitSmsLine(const char* pLine, int nLength, SmsFields* pOut) {
    if (pOut == nullptr) return;
    std::memset(pOut, 0, sizeof *pOut);
    if (pLine == nullptr || nLength <= 0) return;
    int nField = 0;  // index of the field being walked
    int nStart = 0;  // its first byte
    for (int i = 0; i < nLength; ++i) {
        const char c = pLine[i];
        if (c != ',' && c != '\r' && c != '\n') continue;
        const int nLen = i - nStart;
        if (nField == 0) KeepField(pLine + nStart, nLen, pOut->szTime, sizeof pOut->szTime);
        if (nField == 1) KeepField(pLine + nStart, nLen, pOut->szSender, sizeof pOut->szSender);
        if (nField == 5) {
            KeepField(pLine + nStart, nLen, pOut->szHexText, sizeof pOut->szHexText);
        }
        if (c != ',') break;  // CR or LF ends the line
        ++nField;
        nStart = i + 1;
    }
}

int DecodeSmsHex(const char* szHex, char* pOut) {
    if (pOut == nullptr) return 0;
    std::memset(pOut, 0, kSmsTextBufSize);
    if (szHex == nullptr) return 0;
    int nBytes = static_cast<int>(std::strlen(szHex) / 2);
    if (nBytes > kSmsTextBufSize - 1) nBytes = kSmsTextBufSize - 1;
    for (int i = 0; i < nBytes; ++i) {
        const int nValue = DigitValue(szHex[2 * i]) * 16 + DigitValue(szHex[2 * i + 1]);
        pOut[i] = static_cast<char>(static_cast<unsigned char>(nValue & 0xFF));
    }
    return nBytes;
}
