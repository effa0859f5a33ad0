// CProfileLoad: one INI file of the station, read with the rules of the Windows profile
// reader (sections and keys without regard to case, blanks around values trimmed, a
// missing file or key, or an empty value, keeps the caller's default).
#pragma once

#include <cstddef>
#include <cstdint>

class CProfileLoad {
  public:
    explicit CProfileLoad(const char* szIniPath);
    virtual ~CProfileLoad();
    CProfileLoad(const CProfileLoad&) = delete;
    CProfileLoad& operator=(const CProfileLoad&) = delete;

    // 1 and *pnOut = atoi(value) when the key has a non-empty value (at most 7 characters
    // read); 0 and *pnOut untouched otherwise.
    int GetProfileInt(const char* szSection, const char* szKey, int* pnOut);
    // 1 when the key has a non-empty value: its first (at most 31) characters are copied
    // into szOut, cut to nOutSize - 1 and NUL-terminated; 0 and szOut untouched otherwise.
    int GetProfileString(const char* szSection, const char* szKey, char* szOut, size_t nOutSize);
    // The raw value read into a cleared buffer of nBuf bytes (the two-digit loop keys).
    int GetProfileRaw(const char* szSection, const char* szKey, char* szBuf, size_t nBuf);

    char m_szIniPath[128];  // the file, in station (Windows) form
};

// atoi as the C library defines it, but never overflowing: leading blanks, a sign, digits
// up to the first non-digit; saturates at the int range.
int SafeAtoi(const char* sz);
// _atoi64 likewise, saturating at the int64 range.
long long SafeAtoi64(const char* sz);

// The address value inet_addr gives for bad text (INADDR_NONE).
constexpr uint32_t kIpv4None = 0xFFFFFFFFu;
// inet_addr's reading of an IPv4 address ("a.b.c.d", also "a.b.c", "a.b" and "a", each
// part decimal, octal with a leading 0 or hex with 0x), in host byte order; kIpv4None
// for text that is not an address (empty text included).
uint32_t Ipv4FromText(const char* sz);
