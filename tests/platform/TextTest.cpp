#include <gtest/gtest.h>

#include "platform/Text.h"

using namespace vx::platform;

TEST(Text, Cp1252AndUtf8) {
    EXPECT_EQ(Txt("Atualizando versão"), "Atualizando vers\xe3o");
    EXPECT_EQ(AnsiToUtf8("Inv\xe1lido"), "Inválido");
    EXPECT_EQ(Utf8ToAnsi("€"), "\x80");
    EXPECT_EQ(Utf8ToAnsi("日"), "?");
    // A stray Latin-1 byte in UTF-8 text costs one character, not those after it.
    EXPECT_EQ(Utf8ToAnsi("caf\xe9.txt"), "caf?.txt");
    EXPECT_EQ(Utf8ToAnsi("\xc3"
                         "AB"),
              "?AB");
    EXPECT_EQ(Utf8ToAnsi("x\xe2\x82"), "x?");
    EXPECT_TRUE(IsValidUtf8("ação"));
    EXPECT_FALSE(IsValidUtf8("a\xe7\xe3o"));
    EXPECT_EQ(GuessToAnsi("a\xe7\xe3o"), "a\xe7\xe3o");
    EXPECT_EQ(GuessToAnsi("ação"), "a\xe7\xe3o");
}

TEST(Text, OemNamesBecomeAnsi) {
    EXPECT_EQ(OemToAnsi("\x87"), "\xe7");      // c-cedilla
    EXPECT_EQ(OemToAnsi("a\xc6o"), "a\xe3o");  // a-tilde
    EXPECT_EQ(OemToAnsi("x\xb0y").size(), 3u); // box drawing: one replacement byte
    EXPECT_EQ(OemToAnsi("plain/name.txt"), "plain/name.txt");
    EXPECT_EQ(AnsiToOem("\xe7"), "\x87");
}

TEST(Text, Cp1252AndUtf16) {
    // The euro sign lies outside Latin-1: CP1252 0x80 is U+20AC.
    EXPECT_EQ(AnsiToUtf16("Pre\xe7o \x80"), u"Pre\u00e7o \u20ac");
    EXPECT_EQ(Utf16ToAnsi(u"Pre\u00e7o \u20ac"), "Pre\xe7o \x80");
    EXPECT_EQ(Utf16ToAnsi(AnsiToUtf16("a\xe7\xe3o \x9c\xff")), "a\xe7\xe3o \x9c\xff");
    // Characters CP1252 lacks, whole surrogate pairs and broken halves alike.
    EXPECT_EQ(Utf16ToAnsi(u"x\u65e5y"), "x?y");
    EXPECT_EQ(Utf16ToAnsi(u"x\U0001F600y"), "x?y");
    EXPECT_EQ(Utf16ToAnsi(std::u16string{u'x', char16_t(0xD800), u'y'}), "x?y");
}
