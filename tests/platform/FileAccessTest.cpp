// The read-only file, the mapped file, the private folder and the code-page
// converter: the pieces the signature check, the download folder and the
// table reader stand on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/MappedFile.h"
#include "platform/PrivateFolder.h"
#include "platform/ReadOnlyFile.h"
#include "tests/platform/CodePageCases.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

} // namespace

TEST(CodePage, ConvertsBothWaysAndMarksWhatItLacks) {
    std::vector<TCodePageCase> cases = kCommonCodePageCases;
    cases.push_back({852, "\xa5\x9f", "ąč"});
    cases.push_back({kCodePageRoman8, "plain", "plain"});
    ExpectRoundTrips(cases);
    EXPECT_EQ(TCodePage(850).Name(), "CP850");
    EXPECT_EQ(TCodePage(kCodePageRoman8).Name(), "HP-ROMAN8");
    // 0x81 is undefined in CP1252 and CP1250: one '?' for it, and the text
    // after it still converts.
    EXPECT_EQ(TCodePage(1252).ToUtf8("a\x81\xe7"), "a?ç");
    EXPECT_EQ(TCodePage(1250).ToUtf8("\x81\x8a"), "?Š");
    std::string out;
    EXPECT_EQ(TCodePage(437).FromUtf8("1 €", out), TCodePage::TWrite::NoSpelling);
    const TCodePage none(1);
    EXPECT_FALSE(none.CanRead());
    EXPECT_EQ(none.FromUtf8("x", out), TCodePage::TWrite::Unsupported);
}

TEST(ReadOnlyFile, ReadsWhatThereIsAndSaysWhy) {
    TTempFolder dir;
    writeFile(dir / "f", "0123456789");
    TReadOnlyFile file(dir / "f");
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Size(), 10);
    EXPECT_EQ(file.RegularSize(), 10);
    char buf[16] = {};
    EXPECT_EQ(file.ReadAt(7, buf, 8), 3); // only as far as the end
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(file.Read(buf, 4), 4); // positional reads leave the position alone
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(file.Read(buf, 16), 6);
    EXPECT_EQ(file.Read(buf, 16), 0);

    const TReadOnlyFile missing(dir / "missing");
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.Error().empty());
    EXPECT_EQ(missing.Size(), -1);

    const TReadOnlyFile folder(dir.Path());
    ASSERT_TRUE(folder.IsOpen());
    EXPECT_EQ(folder.RegularSize(), -1);
}

TEST(MappedFile, GivesTheWholeFile) {
    TTempFolder dir;
    for (size_t size : {size_t(0), size_t(1), size_t(3) << 20 | 123}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = char(i * 31 + i / 4096);
        writeFile(dir / "m", bytes);
        const TReadOnlyFile file(dir / "m");
        const TMappedFile map(file, TMappedFile::TUse::Sequential);
        ASSERT_TRUE(map.IsValid());
        ASSERT_NE(map.Data(), nullptr);
        ASSERT_EQ(map.Size(), size);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(map.Data()), map.Size()), bytes);
    }
    EXPECT_FALSE(TMappedFile(TReadOnlyFile(dir / "missing")).IsValid());
}

TEST(PrivateFolder, FreshOwnerOnlyAndRemovedWithoutFollowingLinks) {
    std::string a, b;
    ASSERT_TRUE(CreatePrivateFolder("FileAccessTest", a));
    ASSERT_TRUE(CreatePrivateFolder("FileAccessTest", b));
    EXPECT_NE(a, b);
    EXPECT_EQ(fs::path(a).filename().string().rfind("FileAccessTest.", 0), 0u);
    EXPECT_EQ(fs::status(a).permissions() & fs::perms::all, fs::perms::owner_all);

    // A link inside to a folder outside: the link goes, the folder stays.
    TTempFolder outside;
    writeFile(outside / "kept", "x");
    fs::create_directory_symlink(outside.Path(), a + "/link");
    writeFile(a + "/file", "y");
    EXPECT_TRUE(RemoveFolderTree(a));
    EXPECT_FALSE(fs::exists(fs::symlink_status(a)));
    EXPECT_TRUE(fs::exists(outside / "kept"));
    EXPECT_TRUE(RemoveFolderTree(b));
}
