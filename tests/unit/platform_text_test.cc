// Text and calendar conversions of the platform: CP949 bytes of the station's Korean texts
// (golden bytes) with '?' for what CP949 lacks, and local time to and from Time64.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

TEST(Cp949Test, StationTextHasItsCp949Bytes) {
    const std::string szCp949 = vplat::Utf8ToCp949("관리PC로 전송중.....");
    const std::string szGolden =
        "\xB0\xFC\xB8\xAE"
        "PC\xB7\xCE \xC0\xFC\xBC\xDB\xC1\xDF.....";
    EXPECT_EQ(szGolden, szCp949);
    EXPECT_EQ("관리PC로 전송중.....", vplat::Cp949ToUtf8(szGolden));
    EXPECT_EQ("\xB0\xFC", vplat::Utf8ToCp949("관"));
}

TEST(Cp949Test, UnconvertibleCharactersBecomeQuestionMarks) {
    EXPECT_EQ("a?b", vplat::Utf8ToCp949("a\xF0\x9F\x98\x80"
                                        "b"))
        << "an emoji has no CP949 form";
    EXPECT_EQ("a?b", vplat::Utf8ToCp949("a\xFF"
                                        "b"))
        << "a stray byte";
    EXPECT_EQ("a?", vplat::Utf8ToCp949("a\xEA\xB4")) << "cut short at the end";
    EXPECT_EQ("x?", vplat::Cp949ToUtf8("x\xB0")) << "a lead byte without its trail";
    EXPECT_EQ("", vplat::Utf8ToCp949(""));
}

TEST(LocalTimeTest, Time64RoundTripsThroughLocalTime) {
    const int64_t t = vplat::Time64FromLocal(2026, 3, 14, 23, 59, 58);
    ASSERT_NE(-1, t);
    const vplat::LocalTime lt = vplat::LocalTimeFromTime64(t);
    EXPECT_EQ(2026, lt.nYear);
    EXPECT_EQ(3, lt.nMonth);
    EXPECT_EQ(14, lt.nDay);
    EXPECT_EQ(6, lt.nDayOfWeek) << "2026-03-14 is a Saturday";
    EXPECT_EQ(23, lt.nHour);
    EXPECT_EQ(59, lt.nMinute);
    EXPECT_EQ(58, lt.nSecond);
    EXPECT_EQ(t + 2, vplat::Time64FromLocal(2026, 3, 14, 23, 59, 60)) << "fields are normalised";
    EXPECT_EQ(vplat::Time64FromLocal(2026, 3, 1, 0, 0, 0),
              vplat::Time64FromLocal(2026, 2, 29, 0, 0, 0));
}

}  // namespace
