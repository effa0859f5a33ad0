// The modem line reader on its own: which reads are notices or SMS answers, how an answer
// line is cut into fields (cut lengths, unterminated fields, the walk ending at CR/LF),
// and the hex decoding of the message text with its digit rule and 63-byte limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "modem/sms_parse.h"

namespace {

SmsFields Split(const std::string& szLine) {
    SmsFields f;
    SplitSmsLine(szLine.data(), static_cast<int>(szLine.size()), &f);
    return f;
}

std::string Decode(const std::string& szHex, int* pnBytes = nullptr) {
    char szOut[kSmsTextBufSize];
    const int n = DecodeSmsHex(szHex.c_str(), szOut);
    if (pnBytes != nullptr) *pnBytes = n;
    return std::string(szOut, static_cast<size_t>(n));
}

ModemLineKind Kind(const std::string& szRead) {
    return ClassifyModemRead(szRead.data(), static_cast<int>(szRead.size()));
}

TEST(ModemClassify, NoticeAndAnswerBoundaries) {
    EXPECT_EQ(Kind("$008:0"), ModemLineKind::kSmsNotice);
    EXPECT_EQ(Kind("$008:0\r\n"), ModemLineKind::kSmsNotice);
    EXPECT_EQ(Kind("$008:0 and whatever follows, even a long tail of text"),
              ModemLineKind::kSmsNotice);
    EXPECT_EQ(Kind("$008:"), ModemLineKind::kIgnored);
    EXPECT_EQ(Kind("$008:1\r\n"), ModemLineKind::kIgnored);
    EXPECT_EQ(Kind(std::string("$00\0:0", 6)), ModemLineKind::kIgnored);  // NUL ends the text

    EXPECT_EQ(Kind(std::string(30, 'A')), ModemLineKind::kIgnored);  // must be more than 30
    EXPECT_EQ(Kind(std::string(31, 'A')), ModemLineKind::kSmsAnswer);
    EXPECT_EQ(Kind("$008:0" + std::string(40, 'A')), ModemLineKind::kSmsNotice);
    EXPECT_EQ(Kind(std::string(512, ',')), ModemLineKind::kSmsAnswer);
    EXPECT_EQ(Kind(std::string(513, ',')), ModemLineKind::kIgnored);
    EXPECT_EQ(ClassifyModemRead("x", 0), ModemLineKind::kIgnored);
    EXPECT_EQ(ClassifyModemRead(nullptr, 40), ModemLineKind::kIgnored);
}

TEST(ModemSplit, FieldsOfAnAnswer) {
    const SmsFields f = Split("20251206143000,01012345678,x,x,x,434F4E4E454354,x\r\n");
    EXPECT_STREQ(f.szTime, "20251206143000");
    EXPECT_STREQ(f.szSender, "01012345678");
    EXPECT_STREQ(f.szHexText, "434F4E4E454354");
}

TEST(ModemSplit, FieldsAreCutToTheirBuffers) {
    const std::string szLong(40, '7');
    const std::string szHex(300, 'A');
    const SmsFields f = Split(szLong + "," + szLong + ",x,x,x," + szHex + ",x\r\n");
    EXPECT_EQ(std::string(f.szTime), std::string(15, '7'));
    EXPECT_EQ(std::string(f.szSender), std::string(15, '7'));
    EXPECT_EQ(std::string(f.szHexText), std::string(255, 'A'));
}

TEST(ModemSplit, UnendedFieldsAreNotTaken) {
    // The message as the last field, with no comma, CR or LF after it.
    SmsFields f = Split("20251206143000,01012345678,x,x,x,434F4E4E454354");
    EXPECT_STREQ(f.szTime, "20251206143000");
    EXPECT_STREQ(f.szSender, "01012345678");
    EXPECT_STREQ(f.szHexText, "");
    // No separator at all.
    f = Split("20251206143000");
    EXPECT_STREQ(f.szTime, "");
    // A separator as the very first byte gives an empty field 0.
    f = Split(",0101,x,x,x,41,x\n");
    EXPECT_STREQ(f.szTime, "");
    EXPECT_STREQ(f.szSender, "0101");
    EXPECT_STREQ(f.szHexText, "41");
}

TEST(ModemSplit, WalkEndsAtTheFirstLineEnd) {
    SmsFields f = Split("20251206143000,0101\r,x,x,x,414243,x\r\n");
    EXPECT_STREQ(f.szSender, "0101");
    EXPECT_STREQ(f.szHexText, "");
    f = Split("20251206143000,0101,x,x,x,414243\n,x,x");
    EXPECT_STREQ(f.szHexText, "414243");
    // The length bounds the walk even when more text follows in memory.
    const std::string szLine = "2025,0101,x,x,x,4142,x\r\n";
    SplitSmsLine(szLine.data(), 12, &f);
    EXPECT_STREQ(f.szTime, "2025");
    EXPECT_STREQ(f.szSender, "0101");
    EXPECT_STREQ(f.szHexText, "");
    SplitSmsLine(szLine.data(), -5, &f);
    EXPECT_STREQ(f.szTime, "");
}

TEST(ModemDecode, CenterWords) {
    EXPECT_EQ(Decode("434F4E4E454354"), "CONNECT");
    EXPECT_EQ(Decode("636F6E6E656374"), "connect");
    EXPECT_EQ(Decode("414243"), "ABC");
    EXPECT_EQ(Decode(""), "");
}

TEST(ModemDecode, OddDigitIsDroppedAndLengthIsCapped) {
    EXPECT_EQ(Decode("41424"), "AB");
    int nBytes = 0;
    std::string szHex;
    for (int i = 0; i < 64; ++i) szHex += "41";
    EXPECT_EQ(Decode(szHex, &nBytes), std::string(63, 'A'));
    EXPECT_EQ(nBytes, 63);
    EXPECT_EQ(Decode(std::string(255, 'F'), &nBytes).size(), 63u);
}

TEST(ModemDecode, NonHexDigitsFollowTheDigitRule) {
    // 'G' = 71 - 48 - 7 = 16, so "4G" = 4 * 16 + 16 = 80 = 'P'.
    EXPECT_EQ(Decode("4G"), "P");
    // Lower-case letters are not hex digits here: 'a' = 97 - 48 - 7 = 42, "4a" = 106 = 'j'.
    EXPECT_EQ(Decode("4a"), "j");
    // Below '0': ' ' = -16, so "5 " = 80 - 16 = 64 = '@'.
    EXPECT_EQ(Decode("5 "), "@");
    // A byte above 0x7F counts as negative: 0xC1 = -63 - 48 = -111, 2 * 16 - 111 = -79 = 0xB1.
    EXPECT_EQ(Decode("2\xC1"), "\xB1");
    // "00" decodes to a NUL: the text ends there.
    char szOut[kSmsTextBufSize];
    EXPECT_EQ(DecodeSmsHex("410042", szOut), 3);
    EXPECT_STREQ(szOut, "A");
    EXPECT_EQ(szOut[2], 'B');
}

TEST(ModemText, CaseInsensitiveCompare) {
    EXPECT_TRUE(EqualsNoCase("connect", "CONNECT", 64));
    EXPECT_TRUE(EqualsNoCase("CoNnEcT", "CONNECT", 64));
    EXPECT_FALSE(EqualsNoCase("CONNECTX", "CONNECT", 64));
    EXPECT_FALSE(EqualsNoCase("CONNEC", "CONNECT", 64));
    EXPECT_TRUE(EqualsNoCase("", "", 16));
    EXPECT_FALSE(EqualsNoCase(nullptr, "", 16));
    // Bounded: only nMax characters are looked at.
    const char szNoNul[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(EqualsNoCase(szNoNul, "ABCDEF", 4));
}

}  // namespace
