#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "platform/Streams.h"

using namespace vx::platform;

namespace fs = std::filesystem;

namespace {

// Each test works in a fresh working folder.
class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("vxfiles-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    static void write(const std::string& name, const std::string& data) { std::ofstream(name) << data; }
    static std::string read(const std::string& name) {
        std::ifstream in(name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path old_, dir_;
};

} // namespace

TEST_F(FilesTest, NamesAreMatchedWithoutRegardToCase) {
    write("TALVIR.DB", "x");
    fs::create_directory("Sub");
    write("Sub/File.Txt", "y");
    EXPECT_TRUE(FileExists("Talvir.db"));
    EXPECT_TRUE(FileExists(".\\talvir.db"));
    EXPECT_EQ(ResolvePath(".\\Talvir.db"), "TALVIR.DB");
    EXPECT_EQ(ResolvePath("sub\\file.txt"), "Sub/File.Txt");
    EXPECT_EQ(ResolvePath("sub/New.txt"), "Sub/New.txt");
    EXPECT_FALSE(FileExists("Sub"));
    EXPECT_TRUE(DirectoryExists("SUB"));
    EXPECT_TRUE(DeleteFile("talvir.DB"));
    EXPECT_FALSE(FileExists("Talvir.db"));
    EXPECT_FALSE(DeleteFile("Talvir.db"));
}

TEST_F(FilesTest, DrivesMapToFolders) {
    fs::create_directory("drive");
    write("drive/Dados.txt", "z");
    setenv("UPDATER_DRIVE_X", (dir_ / "drive").c_str(), 1);
    EXPECT_TRUE(FileExists("x:\\DADOS.TXT"));
    unsetenv("UPDATER_DRIVE_X");
    EXPECT_EQ(ResolvePath("C:\\"), "/");
    EXPECT_TRUE(IsRemovableDrive("a:\\x"));
    EXPECT_FALSE(IsRemovableDrive("C:\\x"));
}

TEST_F(FilesTest, RenameNeverReplacesAnotherFile) {
    write("Vendarix.exe", "old");
    write("Vendarix.bkp", "stale");
    EXPECT_FALSE(RenameFile("Vendarix.exe", "Vendarix.bkp"));
    EXPECT_EQ(read("Vendarix.exe"), "old");
    EXPECT_EQ(read("Vendarix.bkp"), "stale");
    EXPECT_FALSE(RenameFile("Missing.exe", "Other.exe"));
    EXPECT_TRUE(DeleteFile("Vendarix.bkp"));
    EXPECT_TRUE(RenameFile("Vendarix.exe", "Vendarix.bkp"));
    EXPECT_EQ(read("Vendarix.bkp"), "old");
}

TEST_F(FilesTest, RenameOntoItselfChangesTheCase) {
    write("VENDARIX.EXE", "new");
    EXPECT_TRUE(RenameFile("VENDARIX.EXE", "Vendarix.exe"));
    EXPECT_TRUE(fs::exists("Vendarix.exe"));
    EXPECT_FALSE(fs::exists("VENDARIX.EXE"));
    EXPECT_EQ(read("Vendarix.exe"), "new");
}

TEST_F(FilesTest, FoldersAttributesAndTimes) {
    EXPECT_TRUE(ForceDirectories("a\\b\\c"));
    EXPECT_TRUE(fs::is_directory("a/b/c"));
    EXPECT_TRUE(ForceDirectories("A\\B\\d")); // the existing folders are reused
    EXPECT_TRUE(fs::is_directory("a/b/d"));
    write("f.txt", "1");
    EXPECT_TRUE(FileSetAttr("f.txt", faReadOnly | faArchive));
    uint32_t a = FileGetAttr("F.TXT");
    EXPECT_TRUE(a & faReadOnly);
    EXPECT_EQ(access("f.txt", W_OK) == 0, geteuid() == 0); // root writes anyway
    EXPECT_TRUE(FileSetAttr("f.txt", faArchive));
    EXPECT_FALSE(FileGetAttr("f.txt") & faReadOnly);
    EXPECT_TRUE(FileGetAttr("a") & faDirectory);
    EXPECT_EQ(FileGetAttr("none"), faInvalid);

    // 2019-06-15 13:45:30 local time
    int32_t dos = static_cast<int32_t>(((39u << 9 | 6u << 5 | 15u) << 16) | (13u << 11 | 45u << 5 | 15u));
    EXPECT_TRUE(FileSetDate("f.txt", dos));
    EXPECT_EQ(FileGetDate("F.txt"), dos);
    EXPECT_EQ(UnixToDosDateTime(DosDateTimeToUnix(dos)), dos);
    EXPECT_EQ(DosDateTimeToUnix(0x00000000), -1); // month 0 is no date
}

TEST_F(FilesTest, StreamsReportTheirErrors) {
    {
        TFileStream f("New.bin", fmCreate);
        f.WriteBuffer("abcdef", 6);
        f.SetPosition(2);
        char b[2];
        f.ReadBuffer(b, 2);
        EXPECT_EQ(std::string(b, 2), "cd");
        EXPECT_EQ(f.Size(), 6);
        EXPECT_THROW(f.ReadBuffer(b, 2000), EReadError);
    }
    TFileStream r("NEW.BIN", fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(r.Size(), 6);
    try {
        TFileStream missing("nope\\x.zip", fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file nope\\x.zip");
    }
    EXPECT_THROW(TFileStream("absent.zip", fmOpenRead), EFOpenError);
    TMemoryStream m;
    m.CopyFrom(r, 0);
    EXPECT_EQ(m.Size(), 6);
}

TEST(FileNames, PartsOfAPath) {
    EXPECT_EQ(ExtractFileName("C:\\a\\b.zip"), "b.zip");
    EXPECT_EQ(ExtractFilePath("C:\\a\\b.zip"), "C:\\a\\");
    EXPECT_EQ(ExtractFileExt("a.b\\c"), "");
    EXPECT_EQ(ExtractFileExt("x.tar.gz"), ".gz");
    EXPECT_EQ(ChangeFileExt("Talvir.db", ""), "Talvir");
    EXPECT_EQ(IncludeTrailingBackslash("C:\\x"), "C:\\x\\");
}
