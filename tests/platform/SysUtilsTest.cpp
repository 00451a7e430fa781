#include <gtest/gtest.h>

#include "platform/SysUtils.h"

using namespace vx::platform;

TEST(Format, BehavesAsTheRunTimeLibrary) {
    EXPECT_EQ(Format("Value must be between %d and %d", 1, 2147483647),
              "Value must be between 1 and 2147483647");
    EXPECT_EQ(Format("%d%%", 42), "42%");
    EXPECT_EQ(Format(" - Native error: %.5d", 8), " - Native error: 00008");
    EXPECT_EQ(Format("Cannot create file %s", std::string("x.zip")), "Cannot create file x.zip");
    // Surplus arguments are ignored.
    EXPECT_EQ(Format("%s", "a", 1, 2), "a");
    EXPECT_EQ(Format("%x|%X|%5d|%-3d|", 255, 255, 7, 7), "FF|FF|    7|7  |");
    EXPECT_THROW(Format("%d"), EConvertError);
    EXPECT_THROW(Format("%d", "text"), EConvertError);
}

TEST(StrToInt, AcceptsIntegersAndRefusesTheRest) {
    EXPECT_EQ(StrToInt("137"), 137);
    EXPECT_EQ(StrToInt(" -12"), -12);
    EXPECT_EQ(StrToInt("$FF"), 255);
    EXPECT_EQ(StrToInt("-$80000000"), INT32_MIN); // no signed overflow on the way
    EXPECT_EQ(StrToInt("-$FFFFFFFF"), 1);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    try {
        StrToInt("137)\r\n");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'137)\r\n' is not a valid integer value");
    }
    EXPECT_THROW(StrToInt(""), EConvertError);
    EXPECT_THROW(StrToInt("2147483648"), EConvertError);
    EXPECT_EQ(StrToIntDef("x", -1), -1);
}

TEST(Strings, CaseOfAsciiLettersOnly) {
    EXPECT_EQ(UpperCase("abc\xe7z"), "ABC\xe7Z"); // c-cedilla stays
    EXPECT_TRUE(SameText("Talvir.DB", "talvir.db"));
    EXPECT_FALSE(SameText("\xc7", "\xe7"));
    EXPECT_EQ(Trim("  a b \t"), "a b");
}

TEST(StringList, LinesTextAndValues) {
    TStringList l;
    int changes = 0;
    l.OnChange = [&] { ++changes; };
    l.Add("PATH=C:\\x");
    l.Add("USER NAME=sa");
    EXPECT_EQ(l.Text(), "PATH=C:\\x\r\nUSER NAME=sa\r\n");
    EXPECT_EQ(l.Value("user name"), "sa");
    EXPECT_EQ(l.Value("password"), "");
    EXPECT_EQ(l.IndexOf("path=c:\\X"), 0);
    l.SetText("a\r\nb\nc");
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(l[2], "c");
    EXPECT_EQ(changes, 3);
    EXPECT_THROW(l[3], Exception);
    l.OnChanging = [] { throw Exception("refused"); };
    EXPECT_THROW(l.Clear(), Exception);
    EXPECT_EQ(l.Count(), 3);
}

TEST(LittleEndian, ReadsAndWrites) {
    uint8_t b[8];
    WriteU32LE(b, 0x06054b50);
    EXPECT_EQ(b[0], 0x50);
    EXPECT_EQ(ReadU32LE(b), 0x06054b50u);
    WriteU64LE(b, 0x0102030405060708ull);
    EXPECT_EQ(ReadU64LE(b), 0x0102030405060708ull);
    EXPECT_EQ(ReadU16LE(b), 0x0708);
}
