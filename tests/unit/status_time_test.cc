// The time texts: the 14 digits of the short status report and the clock commands, the
// slash-and-colon text of the time report, and the reading of the Manager PC's digits
// back into a time value and a calendar time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "status/time_format.h"

namespace {

TEST(FormatTimeDigitsTest, LocalTimeAsDigits) {
    const int64_t t = vplat::Time64FromLocal(2026, 3, 5, 7, 8, 9);
    char sz[20];
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 14, t);
    EXPECT_EQ(std::string(sz, 15), "20260305070809x");  // no NUL written
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 16, t);
    EXPECT_EQ(std::string(sz, 17), "2026030507080900x");
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 8, t);
    EXPECT_EQ(std::string(sz, 9), "20260305x");
}

TEST(FormatTimeDigitsTest, NoTimeGivesZeros) {
    char sz[20];
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 14, 0);
    EXPECT_EQ(std::string(sz, 15), "00000000000000x");
    std::memset(sz, 'x', sizeof sz);
    FormatTimeDigits(sz, 18, -5);  // never more than the sixteen digits
    EXPECT_EQ(std::string(sz, 17), "0000000000000000x");
}

TEST(FormatTimeTextTest, TextWithItsNul) {
    char sz[24];
    std::memset(sz, 'x', sizeof sz);
    FormatTimeText(sz, 20, vplat::Time64FromLocal(2026, 12, 31, 23, 59, 58));
    EXPECT_EQ(std::string(sz, 21), std::string("2026/12/31 23:59:58\0x", 21));
    std::memset(sz, 'x', sizeof sz);
    FormatTimeText(sz, 20, 0);
    EXPECT_EQ(sz[0], '\0');
    EXPECT_EQ(sz[1], 'x');
}

TEST(ParseTimeDigitsTest, DigitsAreLocalTime) {
    EXPECT_EQ(ParseTimeDigits("20260315090507"), vplat::Time64FromLocal(2026, 3, 15, 9, 5, 7));
    // Round trip through the report's digits.
    const int64_t t = vplat::Time64FromLocal(2025, 1, 2, 3, 4, 5);
    char sz[15] = {};
    FormatTimeDigits(sz, 14, t);
    EXPECT_EQ(ParseTimeDigits(sz), t);
}

TEST(ParseTimeDigitsTest, FieldsAreReadOneByOne) {
    vplat::LocalTime st;
    st.nDayOfWeek = 5;
    st.nMilliseconds = 900;
    const vplat::LocalTime r = ParseTimeDigitsToSystemTime(&st, "20260315090507");
    EXPECT_EQ(st.nYear, 2026);
    EXPECT_EQ(st.nMonth, 3);
    EXPECT_EQ(st.nDay, 15);
    EXPECT_EQ(st.nHour, 9);
    EXPECT_EQ(st.nMinute, 5);
    EXPECT_EQ(st.nSecond, 7);
    EXPECT_EQ(st.nDayOfWeek, 0);
    EXPECT_EQ(st.nMilliseconds, 0);
    EXPECT_EQ(r.nSecond, 7);
    // A field that is not a number reads as 0; a short text leaves the rest missing.
    ParseTimeDigitsToSystemTime(&st, "2026xx1509");
    EXPECT_EQ(st.nYear, 2026);
    EXPECT_EQ(st.nMonth, 0);
    EXPECT_EQ(st.nDay, 15);
    EXPECT_EQ(st.nHour, 9);
    EXPECT_EQ(st.nMinute, 0);
    EXPECT_EQ(st.nSecond, 0);
    ParseTimeDigitsToSystemTime(&st, "");
    EXPECT_EQ(st.nYear, 0);
}

}  // namespace
