// Local calendar time from and to Time64 seconds (localtime_r / mktime, the daylight flag
// left to the library) and UTF-8 <-> CP949 text with iconv, '?' for what has no form.
#include <errno.h>
#include <iconv.h>
#include <time.h>

#include <string>

#include "platform/platform.h"

namespace vplat {

LocalTime LocalTimeFromTime64(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    tm parts{};
    LocalTime out;
    if (localtime_r(&tt, &parts) == nullptr) return out;
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
    tm parts{};
    parts.tm_year = nYear - 1900;
    parts.tm_mon = nMonth - 1;
    parts.tm_mday = nDay;
    parts.tm_hour = nHour;
    parts.tm_min = nMinute;
    parts.tm_sec = nSecond;
    parts.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&parts));
}

namespace {

// Length of the UTF-8 sequence that starts with byte c (1 for a stray byte).
size_t Utf8Length(unsigned char c) {
    if (c >= 0xF0 && c <= 0xF4) return 4;
    if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
    if (c >= 0xC2) return 2;
    return 1;
}

// Converts with iconv; a sequence that cannot be converted becomes '?' and is skipped
// (nBadLength gives how many input bytes it takes).
std::string Convert(const char* szTo, const char* szFrom, const std::string& szIn,
                    size_t (*nBadLength)(const char*, size_t)) {
    iconv_t cd = iconv_open(szTo, szFrom);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(szIn.size(), '?');
    std::string szOut;
    char buf[1024];
    char* pIn = const_cast<char*>(szIn.data());
    size_t nInLeft = szIn.size();
    while (nInLeft > 0) {
        char* pOut = buf;
        size_t nOutLeft = sizeof(buf);
        const size_t r = iconv(cd, &pIn, &nInLeft, &pOut, &nOutLeft);
        const int nErr = errno;
        szOut.append(buf, sizeof(buf) - nOutLeft);
        if (r != static_cast<size_t>(-1)) break;
        if (nErr == E2BIG) continue;
        // EILSEQ or EINVAL (cut short at the end): one '?' for the bad sequence.
        szOut += '?';
        size_t nSkip = nBadLength(pIn, nInLeft);
        if (nSkip == 0 || nSkip > nInLeft) nSkip = nInLeft;
        pIn += nSkip;
        nInLeft -= nSkip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return szOut;
}

size_t BadUtf8Length(const char* p, size_t nLeft) {
    size_t n = Utf8Length(static_cast<unsigned char>(p[0]));
    if (n > nLeft) n = nLeft;
    // Stop at the first byte that is not a continuation byte.
    for (size_t i = 1; i < n; ++i) {
        if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return i;
    }
    return n;
}

size_t BadCp949Length(const char* p, size_t nLeft) {
    const unsigned char c = static_cast<unsigned char>(p[0]);
    if (c >= 0x81 && c <= 0xFE && nLeft >= 2 && static_cast<unsigned char>(p[1]) >= 0x41) return 2;
    return 1;
}

}  // namespace

std::string Utf8ToCp949(const std::string& szUtf8) {
    return Convert("CP949", "UTF-8", szUtf8, &BadUtf8Length);
}

std::string Cp949ToUtf8(const std::string& szCp949) {
    return Convert("UTF-8", "CP949", szCp949, &BadCp949Length);
}

}  // namespace vplat
