// CProfileLoad reads single values of one INI file of the station through the platform's
// profile reader, with the buffer sizes the station has always used: numbers are read as
// at most 7 characters and converted like atoi, texts as at most 31 characters. Also the
// overflow-safe atoi/_atoi64 and the dotted-address parser that the settings rely on.
#include "config/profile_load.h"

#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t kIntBufSize = 8;    // GetProfileInt: at most 7 characters
constexpr size_t kTextBufSize = 32;  // GetProfileString: at most 31 characters

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Leading blanks, a sign and decimal digits; saturates at [nMin, nMax].
long long ParseDecimal(const char* sz, long long nMin, long long nMax) {
    if (sz == nullptr) return 0;
    while (IsBlank(*sz)) ++sz;
    bool bNegative = false;
    if (*sz == '+' || *sz == '-') {
        bNegative = (*sz == '-');
        ++sz;
    }
    // Accumulate as a negative number so that the minimum is reachable.
    long long nValue = 0;
    for (; *sz >= '0' && *sz <= '9'; ++sz) {
        const int nDigit = *sz - '0';
        if (nValue < (nMin + nDigit) / 10) {
            nValue = nMin;  // saturated; keep consuming digits
            continue;
        }
        nValue = nValue * 10 - nDigit;
    }
    if (!bNegative) {
        if (nValue < -nMax) return nMax;
        return -nValue;
    }
    return nValue;
}

// One part of a dotted address: decimal, octal with a leading 0, or hex with 0x.
// Advances *psz past it. False when there is no number or it exceeds nMax.
bool ParseAddressPart(const char** psz, uint32_t nMax, uint32_t* pnOut) {
    const char* p = *psz;
    uint32_t nBase = 10;
    if (*p == '0') {
        nBase = 8;
        if (p[1] == 'x' || p[1] == 'X') {
            nBase = 16;
            p += 2;
        }
    }
    const char* pStart = p;
    uint64_t nValue = 0;
    for (;; ++p) {
        uint32_t nDigit;
        if (*p >= '0' && *p <= '9') {
            nDigit = static_cast<uint32_t>(*p - '0');
        } else if (nBase == 16 && *p >= 'a' && *p <= 'f') {
            nDigit = static_cast<uint32_t>(*p - 'a' + 10);
        } else if (nBase == 16 && *p >= 'A' && *p <= 'F') {
            nDigit = static_cast<uint32_t>(*p - 'A' + 10);
        } else {
            break;
        }
        if (nDigit >= nBase) return false;  // 8 or 9 in an octal part
        nValue = nValue * nBase + nDigit;
        if (nValue > nMax) return false;
    }
    // "0" alone is an octal zero (its digit is consumed above); "0x" without digits and
    // an empty part are not numbers.
    if (p == pStart) return false;
    *psz = p;
    *pnOut = static_cast<uint32_t>(nValue);
    return true;
}

}  // namespace

CProfileLoad::CProfileLoad(const char* szIniPath) {
    std::memset(m_szIniPath, 0, sizeof m_szIniPath);
    if (szIniPath != nullptr) {
        std::strncpy(m_szIniPath, szIniPath, sizeof m_szIniPath - 1);
    }
}

CProfileLoad::~CProfileLoad() = default;

int CProfileLoad::GetProfileInt(const char* szSection, const char* szKey, int* pnOut) {
    char szBuf[kIntBufSize];
    std::memset(szBuf, 0, sizeof szBuf);
    const size_t nRead =
        vplat::env()->ReadProfileString(szSection, szKey, "", szBuf, sizeof szBuf, m_szIniPath);
    if (nRead == 0) return 0;
    szBuf[sizeof szBuf - 1] = '\0';
    if (pnOut != nullptr) *pnOut = SafeAtoi(szBuf);
    return 1;
}

int CProfileLoad::GetProfileString(const char* szSection, const char* szKey, char* szOut,
                                   size_t nOutSize) {
    char szBuf[kTextBufSize];
    std::memset(szBuf, 0, sizeof szBuf);
    const size_t nRead =
        vplat::env()->ReadProfileString(szSection, szKey, "", szBuf, sizeof szBuf, m_szIniPath);
    if (nRead == 0) return 0;
    szBuf[sizeof szBuf - 1] = '\0';
    if (szOut == nullptr || nOutSize == 0) return 1;
    // A value longer than the destination is cut so that it keeps its terminator.
    size_t nCopy = std::strlen(szBuf);
    if (nCopy > nOutSize - 1) nCopy = nOutSize - 1;
    std::memcpy(szOut, szBuf, nCopy);
    szOut[nCopy] = '\0';
    return 1;
}

int CProfileLoad::GetProfileRaw(const char* szSection, const char* szKey, char* szBuf,
                                size_t nBuf) {
    if (szBuf == nullptr || nBuf == 0) return 0;
    std::memset(szBuf, 0, nBuf);
    const size_t nRead =
        vplat::env()->ReadProfileString(szSection, szKey, "", szBuf, nBuf, m_szIniPath);
    szBuf[nBuf - 1] = '\0';
    return nRead > nBuf - 1 ? static_cast<int>(nBuf - 1) : static_cast<int>(nRead);
}

int SafeAtoi(const char* sz) { return static_cast<int>(ParseDecimal(sz, INT_MIN, INT_MAX)); }

long long SafeAtoi64(const char* sz) { return ParseDecimal(sz, LLONG_MIN, LLONG_MAX); }

uint32_t Ipv4FromText(const char* sz) {
    if (sz == nullptr) return kIpv4None;
    uint32_t nParts[4] = {};
    int nCount = 0;
    const char* p = sz;
    for (;;) {
        if (nCount == 4) return kIpv4None;
        // Each part is bounded by what is left for it once the last part fills the rest.
        if (!ParseAddressPart(&p, 0xFFFFFFFFu, &nParts[nCount])) return kIpv4None;
        ++nCount;
        if (*p != '.') break;
        ++p;
    }
    // Text after the address is accepted only after a blank.
    if (*p != '\0' && !IsBlank(*p)) return kIpv4None;
    uint32_t nAddr = 0;
    switch (nCount) {
        case 1:
            nAddr = nParts[0];
            break;
        case 2:
            if (nParts[0] > 0xFF || nParts[1] > 0xFFFFFF) return kIpv4None;
            nAddr = (nParts[0] << 24) | nParts[1];
            break;
        case 3:
            if (nParts[0] > 0xFF || nParts[1] > 0xFF || nParts[2] > 0xFFFF) return kIpv4None;
            nAddr = (nParts[0] << 24) | (nParts[1] << 16) | nParts[2];
            break;
        default:
            if (nParts[0] > 0xFF || nParts[1] > 0xFF || nParts[2] > 0xFF || nParts[3] > 0xFF) {
                return kIpv4None;
            }
            nAddr = (nParts[0] << 24) | (nParts[1] << 16) | (nParts[2] << 8) | nParts[3];
            break;
    }
    return nAddr;
}
