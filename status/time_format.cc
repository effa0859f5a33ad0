// The station's time texts: the 14 digits YYYYMMDDhhmmss that the short status report
// carries and the Manager PC sends to set the clock, and the "YYYY/MM/DD hh:mm:ss" text of
// the time report and the full status report. All of them are local time.
#include "status/time_format.h"

#include <cstdio>
#include <cstring>

#include "config/profile_load.h"

void FormatTimeDigits(char* pOut, int n, int64_t t) {
    if (pOut == nullptr || n <= 0) return;
    char szDigits[17];
    std::memset(szDigits, '0', 16);
    szDigits[16] = '\0';
    if (t > 0) {
        const vplat::LocalTime lt = vplat::LocalTimeFromTime64(t);
        char szTmp[64];
        const int nLen = std::snprintf(szTmp, sizeof szTmp, "%04d%02d%02d%02d%02d%02d", lt.nYear,
                                       lt.nMonth, lt.nDay, lt.nHour, lt.nMinute, lt.nSecond);
        if (nLen > 0) std::memcpy(szDigits, szTmp, nLen < 14 ? static_cast<size_t>(nLen) : 14);
    }
    std::memcpy(pOut, szDigits, n < 16 ? static_cast<size_t>(n) : 16);
}

void FormatTimeText(char* pOut, int n, int64_t t) {
    // The text always takes its 20 bytes; n is the caller's size and not consulted.
    (void)n;
    if (pOut == nullptr) return;
    if (t <= 0) {
        pOut[0] = '\0';
        return;
    }
    const vplat::LocalTime lt = vplat::LocalTimeFromTime64(t);
    char szTmp[64];
    std::snprintf(szTmp, sizeof szTmp, "%4d/%02d/%02d %02d:%02d:%02d", lt.nYear, lt.nMonth, lt.nDay,
                  lt.nHour, lt.nMinute, lt.nSecond);
    std::memcpy(pOut, szTmp, 19);
    pOut[19] = '\0';
}

namespace {

// The six fields of a 14-digit time text, each read by atoi from its own cleared buffer.
// Each field is copied from its fixed place whatever the bytes before it hold, so a NUL
// inside the text ends only the field it falls in; bytes beyond nSize count as missing.
void SplitTimeDigits(const char* pText, size_t nSize, int nFields[6]) {
    static const int kStart[6] = {0, 4, 6, 8, 10, 12};
    static const int kWidth[6] = {4, 2, 2, 2, 2, 2};
    char szDigits[15];
    std::memset(szDigits, 0, sizeof szDigits);
    if (pText != nullptr) std::memcpy(szDigits, pText, nSize < 14 ? nSize : 14);
    for (int f = 0; f < 6; ++f) {
        char szField[8];
        std::memset(szField, 0, sizeof szField);
        std::memcpy(szField, szDigits + kStart[f], static_cast<size_t>(kWidth[f]));
        nFields[f] = SafeAtoi(szField);
    }
}

}  // namespace

int64_t ParseTimeDigits(const char* pText, size_t nSize) {
    int nF[6];
    SplitTimeDigits(pText, nSize, nF);
    return vplat::Time64FromLocal(nF[0], nF[1], nF[2], nF[3], nF[4], nF[5]);
}

vplat::LocalTime ParseTimeDigitsToSystemTime(vplat::LocalTime* pOut, const char* pText,
                                             size_t nSize) {
    int nF[6];
    SplitTimeDigits(pText, nSize, nF);
    vplat::LocalTime st;
    st.nYear = nF[0];
    st.nMonth = nF[1];
    st.nDay = nF[2];
    st.nHour = nF[3];
    st.nMinute = nF[4];
    st.nSecond = nF[5];
    st.nDayOfWeek = 0;
    st.nMilliseconds = 0;
    if (pOut != nullptr) *pOut = st;
    return st;
}
