#include <gtest/gtest.h>

#include "zip/ZAMasks.h"
#include "zip/ZAStrFunc.h"

using namespace vx::zip;

namespace {

struct MaskCase {
    const char* name;
    const char* mask;
    bool matches;
};

class MaskMatchesTable : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskMatchesTable, Matches) {
    const MaskCase& c = GetParam();
    EXPECT_EQ(za::MaskMatches(c.name, c.mask), c.matches) << c.name << " / " << c.mask;
}

INSTANTIATE_TEST_SUITE_P(
    Masks, MaskMatchesTable,
    ::testing::Values(MaskCase{"Vendarix.exe", "*.*", true}, MaskCase{"LEIAME", "*.*", true},
                      MaskCase{"sub/dir/f.txt", "*.*", true}, MaskCase{"LEIAME", "*.", true},
                      MaskCase{"leia.me", "*.", false}, MaskCase{"A.TXT", "a*.txt", true},
                      MaskCase{"b.txt", "a*.txt", false}, MaskCase{"ab", "ab**", false},
                      MaskCase{"abc", "ab**", true}, MaskCase{"ab", "ab*", true}, MaskCase{"ab", "a?", true},
                      MaskCase{"a", "a?", false}, MaskCase{"abc", "ab", false}, MaskCase{"x", "", false},
                      // Accented letters compare without regard to case by the CP1252 rules.
                      MaskCase{"\xC7"
                               "AO.TXT",
                               "\xE7"
                               "ao.txt",
                               true},
                      MaskCase{"nome.", "nome", true}, MaskCase{"a.b.c", "*.c", true},
                      MaskCase{"a.b.c", "*.b", false}));

TEST(ZAStrFunc, UnsafeNames) {
    for (const char* name : {"..\\x", "a\\..\\..\\x", "\\etc\\passwd", "/etc/passwd", "C:\\x", "a:b",
                             "a\\\\b", "\\\\server\\share\\x", ".."})
        EXPECT_TRUE(za::IsUnsafeEntryName(name)) << name;
    for (const char* name : {"a\\b.txt", "..a\\b", "a..b", "...", "sub\\", "x"})
        EXPECT_FALSE(za::IsUnsafeEntryName(name)) << name;
}

TEST(ZAStrFunc, Utf8NamesBecomeCp1252WithUnderscores) {
    EXPECT_EQ(za::Utf8ToAnsiName("a\xC3\xA7\xC3\xA3o.txt"), "a\xE7\xE3o.txt");
    EXPECT_EQ(za::Utf8ToAnsiName("\xE2\x82\xAC"), "\x80");      // euro sign
    EXPECT_EQ(za::Utf8ToAnsiName("\xE4\xB8\xAD.txt"), "_.txt"); // no CP1252 character
    EXPECT_EQ(za::Utf8ToAnsiName("\xC3"), "_");                 // broken sequence
    EXPECT_EQ(za::ExtractFileDrive("C:\\x\\*.*"), "C:");
    EXPECT_EQ(za::ExtractFileDrive("\\\\srv\\share\\x"), "\\\\srv\\share");
    EXPECT_EQ(za::ExtractFileDrive("x\\y"), "");
}

} // namespace
