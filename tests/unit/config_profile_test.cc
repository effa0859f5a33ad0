// The INI reader of the settings and the conversions its values go through: atoi and
// _atoi64 without overflow, inet_addr's address forms, and the buffer limits of
// CProfileLoad (7 characters for numbers, 31 for texts, cut to the destination).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "config/profile_load.h"
#include "status_fixture.h"

namespace {

using station_test::StationTest;

TEST(SafeAtoiTest, ReadsLikeAtoi) {
    EXPECT_EQ(SafeAtoi("42"), 42);
    EXPECT_EQ(SafeAtoi("  +12x"), 12);
    EXPECT_EQ(SafeAtoi("\t\n -7"), -7);
    EXPECT_EQ(SafeAtoi("2,3"), 2);
    EXPECT_EQ(SafeAtoi("abc"), 0);
    EXPECT_EQ(SafeAtoi(""), 0);
    EXPECT_EQ(SafeAtoi("- 5"), 0);
    EXPECT_EQ(SafeAtoi(nullptr), 0);
}

TEST(SafeAtoiTest, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(SafeAtoi("2147483647"), INT_MAX);
    EXPECT_EQ(SafeAtoi("-2147483648"), INT_MIN);
    EXPECT_EQ(SafeAtoi("2147483648"), INT_MAX);
    EXPECT_EQ(SafeAtoi("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(SafeAtoi64("9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(SafeAtoi64("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(SafeAtoi64("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(SafeAtoi64("20260315.ABCDE"), 20260315LL);
    EXPECT_EQ(SafeAtoi64("x2026"), 0);
}

TEST(Ipv4FromTextTest, DottedForms) {
    EXPECT_EQ(Ipv4FromText("192.168.10.20"), 0xC0A80A14u);
    EXPECT_EQ(Ipv4FromText("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(Ipv4FromText("10.1.2"), 0x0A010002u);      // a.b.c: c fills 16 bits
    EXPECT_EQ(Ipv4FromText("1.16777215"), 0x01FFFFFFu);  // a.b: b fills 24 bits
    EXPECT_EQ(Ipv4FromText("3232238100"), 0xC0A80A14u);  // one 32-bit number
    EXPECT_EQ(Ipv4FromText("0x7f.1"), 0x7F000001u);      // hex part
    EXPECT_EQ(Ipv4FromText("010.0.0.1"), 0x08000001u);   // octal part
    EXPECT_EQ(Ipv4FromText("1.2.3.4 trailing"), 0x01020304u);
}

TEST(Ipv4FromTextTest, BadTextGivesNone) {
    for (const char* sz : {"", "abc", "1.2.3.256", "1.2.3.4.5", "1..2.3", "1.2.3.", "08.1.1.1",
                           "1.2.3.4x", "4294967296", "0x", "256.1.1", "1.65536.1", "-1.2.3.4"}) {
        EXPECT_EQ(Ipv4FromText(sz), kIpv4None) << sz;
    }
    EXPECT_EQ(Ipv4FromText(nullptr), kIpv4None);
    // The broadcast address reads as the same value as an error, as inet_addr does.
    EXPECT_EQ(Ipv4FromText("255.255.255.255"), kIpv4None);
}

class ProfileLoadTest : public StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        WriteFile("d/cfg/test.ini",
                  "[Numbers]\r\n"
                  "Plain=15\r\n"
                  "Padded =   -42abc   \r\n"
                  "Long=123456789\r\n"
                  "Word=abc\r\n"
                  "Empty=\r\n"
                  "[Texts]\r\n"
                  "Short=ABCDE\r\n"
                  "Long=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n"
                  "Empty=\r\n");
        m_pIni = std::make_unique<CProfileLoad>("D:/cfg/test.ini");
    }
    std::unique_ptr<CProfileLoad> m_pIni;
};

TEST_F(ProfileLoadTest, IntsAreReadAsSevenCharacters) {
    int n = -1;
    EXPECT_EQ(m_pIni->GetProfileInt("Numbers", "Plain", &n), 1);
    EXPECT_EQ(n, 15);
    EXPECT_EQ(m_pIni->GetProfileInt("numbers", "PADDED", &n), 1);
    EXPECT_EQ(n, -42);
    EXPECT_EQ(m_pIni->GetProfileInt("Numbers", "Long", &n), 1);
    EXPECT_EQ(n, 1234567);
    EXPECT_EQ(m_pIni->GetProfileInt("Numbers", "Word", &n), 1);
    EXPECT_EQ(n, 0);
}

TEST_F(ProfileLoadTest, MissingOrEmptyKeepsTheDefault) {
    int n = 77;
    EXPECT_EQ(m_pIni->GetProfileInt("Numbers", "Empty", &n), 0);
    EXPECT_EQ(m_pIni->GetProfileInt("Numbers", "Absent", &n), 0);
    EXPECT_EQ(m_pIni->GetProfileInt("Nowhere", "Plain", &n), 0);
    EXPECT_EQ(n, 77);
    char sz[8] = "keep";
    EXPECT_EQ(m_pIni->GetProfileString("Texts", "Empty", sz, sizeof sz), 0);
    EXPECT_EQ(m_pIni->GetProfileString("Texts", "Absent", sz, sizeof sz), 0);
    EXPECT_STREQ(sz, "keep");
    CProfileLoad missing("D:/cfg/none.ini");
    EXPECT_EQ(missing.GetProfileInt("Numbers", "Plain", &n), 0);
    EXPECT_EQ(n, 77);
}

TEST_F(ProfileLoadTest, TextsAreCutToTheDestinationWithoutSpilling) {
    struct {
        char szField[16];
        char szNext[8];
    } fields;
    std::memset(&fields, 'Z', sizeof fields);
    EXPECT_EQ(m_pIni->GetProfileString("Texts", "Long", fields.szField, sizeof fields.szField), 1);
    EXPECT_STREQ(fields.szField, "ABCDEFGHIJKLMNO");
    for (char c : fields.szNext) EXPECT_EQ(c, 'Z');

    // At most 31 characters are read, whatever the destination holds.
    char szWide[64];
    std::memset(szWide, 'Z', sizeof szWide);
    EXPECT_EQ(m_pIni->GetProfileString("Texts", "Long", szWide, sizeof szWide), 1);
    EXPECT_STREQ(szWide, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");

    char szShort[16];
    std::memset(szShort, 'Z', sizeof szShort);
    EXPECT_EQ(m_pIni->GetProfileString("Texts", "Short", szShort, sizeof szShort), 1);
    EXPECT_STREQ(szShort, "ABCDE");
}

TEST_F(ProfileLoadTest, RawReadsIntoAClearedBuffer) {
    char sz[8];
    std::memset(sz, 'Z', sizeof sz);
    EXPECT_EQ(m_pIni->GetProfileRaw("Texts", "Short", sz, sizeof sz), 5);
    EXPECT_EQ(std::string(sz, sizeof sz), std::string("ABCDE\0\0\0", 8));
    EXPECT_EQ(m_pIni->GetProfileRaw("Texts", "Long", sz, sizeof sz), 7);
    EXPECT_STREQ(sz, "ABCDEFG");
    std::memset(sz, 'Z', sizeof sz);
    EXPECT_EQ(m_pIni->GetProfileRaw("Texts", "Absent", sz, sizeof sz), 0);
    EXPECT_EQ(std::string(sz, sizeof sz), std::string(8, '\0'));
}

TEST(ProfileLoadPathTest, PathIsBoundedByItsField) {
    const std::string szLong(300, 'x');
    CProfileLoad ini(szLong.c_str());
    EXPECT_EQ(std::strlen(ini.m_szIniPath), sizeof ini.m_szIniPath - 1);
}

}  // namespace
