// The Windows half of the read-only file, the mapped file, the private
// folder, the code pages, the run-time library and the program's own small
// files, against the real API (under Wine here).
#include <gtest/gtest.h>

#include <string>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/MappedFile.h"
#include "platform/PrivateFolder.h"
#include "platform/ReadOnlyFile.h"
#include "platform/SharedLibrary.h"
#include "tests/platform/CodePageCases.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

TEST(Win32FileAccess, CodePagesOfTheSystemAndRoman8Refused) {
    ExpectRoundTrips(kCommonCodePageCases);
    EXPECT_EQ(TCodePage(1252).ToUtf8("a\x81\xe7"), "a?ç");
    std::string out;
    // No best fit: a letter the page lacks is refused, not written as another.
    EXPECT_EQ(TCodePage(437).FromUtf8("1 €", out), TCodePage::TWrite::NoSpelling);
    EXPECT_EQ(TCodePage(1252).FromUtf8("\xc4\x8d", out), TCodePage::TWrite::NoSpelling); // č
    const TCodePage roman8(kCodePageRoman8);
    EXPECT_FALSE(roman8.CanRead());
    EXPECT_EQ(roman8.Name(), "HP-ROMAN8");
    EXPECT_EQ(roman8.FromUtf8("x", out), TCodePage::TWrite::Unsupported);
}

TEST(Win32FileAccess, ReadsAtOffsetsMapsAndLetsOthersRename) {
    TTempFolder dir;
    ASSERT_TRUE(WriteFileDurably(dir / "f", "0123456789"));
    TReadOnlyFile file(ResolvePath(dir / "f"));
    ASSERT_TRUE(file.IsOpen()) << file.Error();
    EXPECT_EQ(file.RegularSize(), 10);
    char buf[16] = {};
    EXPECT_EQ(file.ReadAt(7, buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(file.Read(buf, 4), 4); // the offset reads left the position alone
    EXPECT_EQ(std::string(buf, 4), "0123");
    {
        const TMappedFile map(file);
        ASSERT_TRUE(map.IsValid());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(map.Data()), map.Size()), "0123456789");
    }
    // Held open, the file may still be renamed by someone else.
    EXPECT_TRUE(RenameFile(dir / "f", dir / "g"));
    EXPECT_EQ(file.ReadAt(0, buf, 2), 2);
    const TReadOnlyFile missing(ResolvePath(dir / "missing"));
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.Error().empty());
    EXPECT_EQ(TReadOnlyFile(ResolvePath(dir.Path())).RegularSize(), -1);
}

TEST(Win32FileAccess, OwnFilesPrivateFoldersAndLibraries) {
    TTempFolder dir;
    std::string text;
    EXPECT_TRUE(AppendToFile(dir / "log", "a"));
    EXPECT_TRUE(AppendToFile(dir / "log", "b"));
    EXPECT_TRUE(ReadSmallFile(dir / "log", 10, text));
    EXPECT_EQ(text, "ab");
    EXPECT_FALSE(ReadSmallFile(dir / "log", 1, text)); // larger than asked for
    EXPECT_EQ(FileSizeOf(dir / "log"), 2);
    EXPECT_EQ(FileSizeOf(dir.Path()), -1);
    EXPECT_TRUE(WriteFileDurably(dir / "log", "new"));
    EXPECT_TRUE(ReadSmallFile(dir / "log", 10, text));
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(FileExists(dir / "log.novo"));

    std::string a, b;
    ASSERT_TRUE(CreatePrivateFolder("Win32FileAccess", a));
    ASSERT_TRUE(CreatePrivateFolder("Win32FileAccess", b));
    EXPECT_NE(a, b);
    ASSERT_TRUE(AppendToFile(a + "\\inside", "x"));
    EXPECT_TRUE(RemoveFolderTree(a));
    EXPECT_FALSE(DirectoryExists(a));
    EXPECT_TRUE(RemoveFolderTree(b));

    TSharedLibrary kernel;
    ASSERT_TRUE(kernel.Load("kernel32.dll")) << kernel.Error();
    EXPECT_NE(kernel.Symbol("GetTickCount"), nullptr);
    EXPECT_EQ(kernel.Symbol("NoSuchEntryPoint"), nullptr);
    TSharedLibrary absent;
    EXPECT_FALSE(absent.Load("vx-no-such-library.dll"));
    EXPECT_NE(absent.Error().find("vx-no-such-library.dll"), std::string::npos);
}
