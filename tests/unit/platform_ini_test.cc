// The INI lookup on its own: the GetPrivateProfileStringA rules that the station's two
// configuration files rely on, and the bounds of the result copy.
#include <gtest/gtest.h>

#include <string>

#include "platform/ini_parse.h"

namespace {

using namespace std::string_literals;

std::string Find(const std::string& szText, const char* szSection, const char* szKey) {
    std::string szValue = "<missing>";
    if (!vplat::IniFindValue(szText, szSection, szKey, &szValue)) return "<missing>";
    return szValue;
}

TEST(IniParseTest, SectionsAndKeysIgnoreCaseAndBlanks) {
    const std::string szText =
        "[SelectSystem]\nPROGRAM_KIND=2\n[ LocalInfo ]\n\tPort No = 11001 \n";
    EXPECT_EQ("2", Find(szText, "selectsystem", "program_kind"));
    EXPECT_EQ("11001", Find(szText, "LOCALINFO", "port no"));
    EXPECT_EQ("<missing>", Find(szText, "LocalInfo", "PROGRAM_KIND")) << "keys belong to a section";
    EXPECT_EQ("<missing>", Find("KEY=before any section\n", "", "KEY"));
}

TEST(IniParseTest, FirstSectionAndFirstKeyWin) {
    const std::string szText = "[A]\nK=1\nK=2\n[B]\nK=3\n[a]\nK=4\nJ=5\n";
    EXPECT_EQ("1", Find(szText, "A", "K"));
    EXPECT_EQ("3", Find(szText, "B", "K"));
    EXPECT_EQ("<missing>", Find(szText, "A", "J")) << "only the first [A] is searched";
}

TEST(IniParseTest, CommentsQuotesAndEmptyValues) {
    const std::string szText =
        "[S]\n;K=commented\n  ;J=also\nK=v ;kept\nE=\nQ=\"quoted \"\nH='x'\nM=\"a'\nN\nW= \"\" \n";
    EXPECT_EQ("v ;kept", Find(szText, "S", "K"));
    EXPECT_EQ("<missing>", Find(szText, "S", "J"));
    EXPECT_EQ("", Find(szText, "S", "E"));
    EXPECT_EQ("quoted ", Find(szText, "S", "Q"));
    EXPECT_EQ("x", Find(szText, "S", "H"));
    EXPECT_EQ("\"a'", Find(szText, "S", "M")) << "quotes must match to be removed";
    EXPECT_EQ("", Find(szText, "S", "N")) << "a key without '=' has an empty value";
    EXPECT_EQ("", Find(szText, "S", "W"));
}

TEST(IniParseTest, LineEndsByteOrderMarkAndOddLines) {
    EXPECT_EQ("1", Find("\xEF\xBB\xBF[S]\r\nK=1\r\n", "S", "K"));
    EXPECT_EQ("1", Find("[S]\rK=0\nK=1", "S", "K")) << "a lone CR does not end a line";
    EXPECT_EQ("2", Find("[S\nK=1\n[S]\nK=2\n", "S", "K")) << "an unclosed '[' is no header";
    EXPECT_EQ("x=y", Find("[S]\nK=x=y\n", "S", "K"));
    EXPECT_EQ("<missing>", Find("", "S", "K"));
    EXPECT_EQ("<missing>", Find("[S]\nK\0=1\n"s, "S", "K"));
}

TEST(IniParseTest, CopyIsCutToTheBufferAndTerminated) {
    char buf[8];
    EXPECT_EQ(7u, vplat::IniCopyResult("0123456789", buf, sizeof(buf)));
    EXPECT_STREQ("0123456", buf);
    EXPECT_EQ(2u, vplat::IniCopyResult("ab", buf, sizeof(buf)));
    EXPECT_STREQ("ab", buf);
    buf[0] = 'z';
    EXPECT_EQ(0u, vplat::IniCopyResult("ab", buf, 1));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ(0u, vplat::IniCopyResult("ab", buf, 0));
    EXPECT_EQ(0u, vplat::IniCopyResult("ab", nullptr, 8));
}

}  // namespace
