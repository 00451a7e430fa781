#include <gtest/gtest.h>

#include "zip/ZAExcept.h"

using namespace vx::zip;

namespace {

struct MessageCase {
    int32_t code;
    bool named; // raised with the updater's component
    const char* message;
    int32_t errorCode;
};

class ZAExceptMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ZAExceptMessages, TextPrefixAndCode) {
    TComponent archiver;
    archiver.SetName("ZipArchiver");
    const MessageCase& c = GetParam();
    EZAException e = EZAException::CreateFromCode(c.code, c.named ? &archiver : nullptr);
    EXPECT_EQ(e.Message(), c.message);
    EXPECT_EQ(e.ErrorCode(), c.errorCode);
    EXPECT_EQ(e.NativeError(), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ZAExceptMessages,
    ::testing::Values(
        MessageCase{13, true, "ZipArchiver: Archive is not open - Native error: 00013", 7},
        MessageCase{55, false, "Deflate64 compression method is not supported - Native error: 00055", 32},
        MessageCase{
            8, true,
            "ZipArchiver: Invalid size or check sum of file or unsupported compression format - Native "
            "error: 00008",
            4},
        MessageCase{0, true, "ZipArchiver: Unknown error - Native error: 00000", 0},
        MessageCase{61, false, "Unknown error - Native error: 00061", 0},
        MessageCase{-1, false, "Unknown error - Native error: 000-1", 0},
        // Codes 57 to 60 have no text: the name, ": " and the suffix.
        MessageCase{57, true, "ZipArchiver:  - Native error: 00057", -1},
        MessageCase{60, false, " - Native error: 00060", -1},
        // CreateFromCode keeps placeholders as they are.
        MessageCase{19, true, "ZipArchiver: Cannot create file \"%s\" - Native error: 00019", 9},
        MessageCase{34, false, "Invalid compressed size, rfs.size = %d, count = %d - Native error: 00034",
                    17},
        MessageCase{4, false, "Index out of bounds - Native error: 00004", 1},
        MessageCase{35, true, "ZipArchiver: Invalid archive file. - Native error: 00035", 18}));

TEST(ZAExcept, FormattedTextsAreFilledBeforeThePrefix) {
    TComponent archiver;
    archiver.SetName("ZipArchiver");
    EXPECT_EQ(EZAException::CreateFromCodeFmt(19, &archiver, {"C:\\Loja\\Talvir.db"}).Message(),
              "ZipArchiver: Cannot create file \"C:\\Loja\\Talvir.db\" - Native error: 00019");
    // Surplus arguments are ignored.
    EXPECT_EQ(EZAException::CreateFromCodeFmt(34, nullptr, {3, 4, 5}).Message(),
              "Invalid compressed size, rfs.size = 3, count = 4 - Native error: 00034");
}

TEST(ZAExcept, UnnamedComponentGivesNoPrefix) {
    TComponent archiver;
    EXPECT_EQ(EZAException::CreateFromCode(13, &archiver).Message(),
              "Archive is not open - Native error: 00013");
}

TEST(ZAExcept, EveryCodeMapsIntoTheTable) {
    for (int32_t code = 0; code <= 60; ++code) {
        int32_t index = EZAException::MessageIndex(code);
        if (code >= 57)
            EXPECT_EQ(index, -1) << code;
        else
            EXPECT_NE(std::string(EZAException::MessageText(index)), "") << code;
    }
    EXPECT_STREQ(EZAException::MessageText(34), "");
    EXPECT_STREQ(EZAException::MessageText(40), "");
}

} // namespace
