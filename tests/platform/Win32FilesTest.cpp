// What the Windows half's files do that the Linux half only imitates: the
// system's own rules for renames, replacing, attributes, times, sharing and
// names outside ASCII, checked against the real API (under Wine here).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/FileReplace.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "platform/SystemFiles.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

namespace {

std::string contents(const std::string& winPath) {
    TFileStream f(winPath, fmOpenRead | fmShareDenyNone);
    std::string s(static_cast<size_t>(f.Size()), '\0');
    f.ReadBuffer(s.data(), static_cast<int64_t>(s.size()));
    return s;
}

void make(const std::string& winPath, const std::string& text) {
    TFileStream f(winPath, fmCreate);
    f.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

} // namespace

TEST(Win32Files, RenamesAndReplacesFollowTheSystemsRules) {
    struct Case {
        const char* name;
        bool targetExists;
        const char* from;
        const char* to;
        bool replace; // ReplaceFile instead of RenameFile
        bool ok;
        const char* listed; // the one name the folder holds afterwards
        const char* text;   // and its contents
    };
    const Case cases[] = {
        {"plain rename", false, "a.txt", "b.txt", false, true, "b.txt", "new"},
        {"rename onto another file fails", true, "a.txt", "old.txt", false, false, nullptr, nullptr},
        {"rename to other letters of itself", false, "Vendarix.EXE", "VENDARIX.exe", false, true,
         "VENDARIX.exe", "new"},
        {"missing source", false, "none.txt", "b.txt", false, false, nullptr, nullptr},
        {"replace an existing file", true, "a.txt", "old.txt", true, true, "old.txt", "new"},
        {"replace a file of other letters", true, "a.txt", "OLD.TXT", true, true, nullptr, "new"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTempFolder dir(true);
        if (std::string(c.from) != "none.txt")
            make(c.from, "new");
        if (c.targetExists)
            make("old.txt", "old");
        const bool ok = c.replace ? ReplaceFile(c.from, c.to) : RenameFile(c.from, c.to);
        EXPECT_EQ(ok, c.ok);
        if (!c.ok) {
            // Nothing changed: the source and the target are as they were.
            if (std::string(c.from) != "none.txt") {
                EXPECT_EQ(contents(c.from), "new");
            }
            if (c.targetExists) {
                EXPECT_EQ(contents("old.txt"), "old");
            }
            continue;
        }
        const std::vector<std::string> names = ListDirectory(".");
        ASSERT_EQ(names.size(), 1u);
        if (c.listed) {
            EXPECT_EQ(names[0], c.listed);
        }
        EXPECT_EQ(contents(c.to), c.text);
    }
}

TEST(Win32Files, AttributesTimesAndSharingAreTheRealOnes) {
    TTempFolder dir(true);
    make("Talvir.db", "x");
    // Read-only and hidden are kept by the file system itself; a read-only
    // file cannot be deleted. (Nor opened for writing, but Wine run by root
    // lets that through, so it is not asserted here.)
    ASSERT_TRUE(FileSetAttr("TALVIR.DB", faReadOnly | faHidden));
    EXPECT_EQ(FileGetAttr("talvir.db") & (faReadOnly | faHidden | faDirectory), faReadOnly | faHidden);
    EXPECT_FALSE(DeleteFile("Talvir.db"));
    ASSERT_TRUE(FileSetAttr("Talvir.db", faArchive));
    EXPECT_EQ(FileGetAttr("Talvir.db") & (faReadOnly | faHidden), 0u);

    // MS-DOS times go through local time and back to the same value.
    const int32_t dos =
        static_cast<int32_t>((((2023 - 1980) << 9 | 7 << 5 | 14) << 16) | (13 << 11 | 45 << 5 | 10));
    ASSERT_TRUE(FileSetDate("Talvir.db", dos));
    EXPECT_EQ(FileGetDate("TALVIR.db"), dos);
    EXPECT_EQ(UnixToDosDateTime(DosDateTimeToUnix(dos)), dos);

    // An open file cannot be removed.
    {
        TFileStream open("Talvir.db", fmOpenRead | fmShareDenyWrite);
        EXPECT_FALSE(DeleteFile("Talvir.db"));
    }
    EXPECT_TRUE(DeleteFile("Talvir.db"));
    EXPECT_FALSE(FileExists("Talvir.db"));
}

TEST(Win32Files, StreamsReadAtAPositionWithoutMovingAndNamesKeepTheirLetters) {
    TTempFolder dir(true);
    // "Ação.txt" in CP1252: found again in capitals, listed as written.
    const std::string name = "A\xE7\xE3o.txt";
    make(name, "0123456789");
    EXPECT_TRUE(FileExists("A\xC7\xC3O.TXT"));
    ASSERT_EQ(ListDirectory(".").size(), 1u);
    EXPECT_EQ(ListDirectory(".")[0], name);

    TFileStream f(name, fmOpenReadWrite);
    char b[4] = {};
    f.Seek(2, soBeginning);
    EXPECT_EQ(f.ReadAt(6, b, 3), 3);
    EXPECT_EQ(std::string(b, 3), "678");
    EXPECT_EQ(f.Position(), 2);
    f.WriteBuffer("ab", 2);
    EXPECT_EQ(f.Position(), 4);
    EXPECT_EQ(f.ReadAt(8, b, 4), 2); // short at the end
    f.SetSize(5);
    EXPECT_EQ(f.Size(), 5);
    EXPECT_EQ(f.Seek(0, soEnd), 5);
    EXPECT_TRUE(f.Flush());
    f.SetPosition(0);
    char all[5];
    f.ReadBuffer(all, 5);
    EXPECT_EQ(std::string(all, 5), "01ab4");
}

TEST(Win32Files, EngineConfigIsUnderProgramDataUnlessNamed) {
    _putenv_s("UPDATER_DBCONFIG", "");
    const char* data = std::getenv("ProgramData");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(EngineConfigPath(), std::string(data) + "\\Vendarix\\aliases.ini");
    // A name the ANSI code page cannot spell comes through whole.
    _wputenv_s(L"UPDATER_DBCONFIG", L"C:\\Lojas\\\u03a9\u03bc\u03ad\u03b3\u03b1\\aliases.ini");
    EXPECT_EQ(EngineConfigPath(), "C:\\Lojas\\\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1\\aliases.ini");
    _putenv_s("UPDATER_DBCONFIG", "");
}

TEST(Win32Files, SystemFoldersAreNoShopsWorkingFolder) {
    const std::filesystem::path before = std::filesystem::current_path();
    const char* windir = std::getenv("windir");
    ASSERT_NE(windir, nullptr);
    TTempFolder shop;
    const std::pair<std::string, bool> rows[] = {{windir, true},
                                                 {std::string(windir) + "\\", true},
                                                 {std::string(windir) + "\\SYSTEM32", true},
                                                 {shop.Path(), false},
                                                 {std::string(windir) + "\\..", false}};
    for (const auto& [folder, system] : rows) {
        SCOPED_TRACE(folder);
        std::filesystem::current_path(folder);
        EXPECT_EQ(WorkingFolderIsSystemFolder(), system);
    }
    std::filesystem::current_path(before);
}
