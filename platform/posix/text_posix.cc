// The C library's localtime_r and mktime behind the shared calendar conversions, and
// UTF-8 <-> CP949 text with iconv, '?' for what has no form.
#include <errno.h>
#include <iconv.h>
#include <time.h>

#include <string>

#include "platform/host_env.h"

namespace vplat {

namespace hostos {

bool LocalTm(int64_t t, std::tm* pParts) {
    const time_t tt = static_cast<time_t>(t);
    return localtime_r(&tt, pParts) != nullptr;
}

int64_t MakeTime64(std::tm* pParts) { return static_cast<int64_t>(mktime(pParts)); }

}  // namespace hostos

namespace {

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
    size_t n = hosttext::Utf8Length(static_cast<unsigned char>(p[0]));
    if (n > nLeft) n = nLeft;
    // Stop at the first byte that is not a continuation byte.
    for (size_t i = 1; i < n; ++i) {
        if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return i;
    }
    return n;
}

size_t BadCp949Length(const char* p, size_t nLeft) { return hosttext::IsCp949Pair(p, nLeft) ? 2 : 1; }

}  // namespace

std::string Utf8ToCp949(const std::string& szUtf8) {
    return Convert("CP949", "UTF-8", szUtf8, &BadUtf8Length);
}

std::string Cp949ToUtf8(const std::string& szCp949) {
    return Convert("UTF-8", "CP949", szCp949, &BadCp949Length);
}

}  // namespace vplat
