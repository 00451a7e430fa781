// The durable-replace primitive never writes through a link planted at a
// name it makes, renames and removes the entry itself, and reads back only
// regular files.
#include "platform/NativeFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

std::string bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DurableReplace, LinksAtItsNamesAreNeverFollowed) {
    TTempFolder dir, outside;
    std::ofstream(outside / "kept") << "outside";
    fs::create_symlink(outside / "kept", dir / "to-file");
    fs::create_symlink(outside / "new", dir / "dangling");
    fs::create_symlink(outside.Path(), dir / "folder-link");
    TDurableFolder folder(dir.Path());
    ASSERT_TRUE(folder.IsOpen());
    EXPECT_FALSE(TDurableFolder(dir / "folder-link").IsOpen());

    for (const char* name : {"to-file", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(folder.CreateNewFile(name, "new", 3, 0644, true));
        EXPECT_FALSE(folder.Stamp(name).regular);
        std::string read;
        EXPECT_FALSE(folder.ReadFile(name, read, 100));
    }
    for (const char* bad : {"../escape", "a/b", "..", ""})
        EXPECT_FALSE(folder.CreateNewFile(bad, "x", 1, 0644, false)) << bad;
    EXPECT_EQ(bytesOf(outside / "kept"), "outside");
    EXPECT_FALSE(fs::exists(outside / "new"));
    EXPECT_FALSE(fs::exists(outside / "escape"));

    // A new file renamed over a link replaces the link, not its target.
    ASSERT_TRUE(folder.CreateNewFile("work", "new contents", 12, 0640, true));
    EXPECT_EQ(folder.Stamp("work").mode, 0640u);
    ASSERT_TRUE(folder.Rename("work", "to-file"));
    ASSERT_TRUE(folder.Flush());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "to-file")));
    EXPECT_EQ(bytesOf(dir / "to-file"), "new contents");
    EXPECT_EQ(bytesOf(outside / "kept"), "outside");
    std::string head;
    ASSERT_TRUE(folder.ReadFile("to-file", head, 3));
    EXPECT_EQ(head, "new");

    // Removing a link removes the link.
    EXPECT_TRUE(folder.Remove("folder-link"));
    EXPECT_TRUE(folder.Remove("folder-link")); // nothing left is no failure
    EXPECT_TRUE(fs::exists(outside / "kept"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "folder-link")));
}

// Files on two file systems (the disk and memory) are flushed by their
// own system's flush; a descriptor that is no longer open is the only one
// reported unflushed, and the others stay open.
TEST(DurableReplace, FilesAreFlushedTogetherAndABadDescriptorIsTheOnlyFailure) {
    TTempFolder disk;
    std::vector<std::string> paths = {disk / "a", disk / "b", disk / "c"};
    if (fs::is_directory("/dev/shm"))
        paths.push_back("/dev/shm/vx-flush-" + std::to_string(ProcessId()));
    std::vector<int> fds;
    for (const std::string& path : paths) {
        fds.push_back(CreateNativeNoFollow(path));
        ASSERT_GE(fds.back(), 0) << path;
    }
    const int closed = CreateNativeNoFollow(disk / "closed");
    ASSERT_TRUE(FlushAndClose(closed, false));
    fds.insert(fds.begin() + 1, closed);

    const std::vector<bool> flushed = FlushFiles(fds);
    ASSERT_EQ(flushed.size(), fds.size());
    for (size_t i = 0; i < fds.size(); ++i)
        EXPECT_EQ(flushed[i], fds[i] != closed) << i;
    for (int fd : fds) {
        if (fd != closed) {
            EXPECT_TRUE(FlushAndClose(fd, true));
        }
    }
    EXPECT_TRUE(FlushFiles({}).empty());
    if (paths.size() > 3)
        RemoveNative(paths.back());
}

} // namespace
