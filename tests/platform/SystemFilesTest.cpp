// Files by the system's own paths: what counts as a file, a head read from
// files shorter and longer than asked and from what is not a file, and
// removal that never takes a folder.
#include "platform/SystemFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

namespace fs = std::filesystem;

TEST(SystemFiles, HeadsFilesAndRemoval) {
    TTempFolder dir;
    std::ofstream(dir / "Curto.db", std::ios::binary) << "abc";
    std::ofstream(dir / "Longo.db", std::ios::binary) << std::string(100, 'x');
    std::ofstream(dir / "Vazio.db", std::ios::binary);
    fs::create_directory(dir / "Pasta.db");
    fs::create_symlink(dir / "Curto.db", dir / "Elo.db");

    struct Row {
        std::string name;
        bool isFile;
        int64_t head; // bytes read of 8 asked
    };
    for (const Row& r : {Row{"Curto.db", true, 3}, Row{"Longo.db", true, 8}, Row{"Vazio.db", true, 0},
                         Row{"Elo.db", true, 3}, Row{"Nada.db", false, -1}, Row{"Pasta.db", false, 0}}) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(IsFileAt(dir / r.name), r.isFile);
        char buf[8] = {};
        EXPECT_EQ(ReadFileHead(dir / r.name, buf, sizeof buf), r.head);
    }
    char buf[4] = {};
    ASSERT_EQ(ReadFileHead(dir / "Curto.db", buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    EXPECT_TRUE(RemoveFileAt(dir / "Elo.db"));
    EXPECT_TRUE(fs::exists(dir / "Curto.db")) << "the link goes, not what it leads to";
    EXPECT_FALSE(RemoveFileAt(dir / "Pasta.db"));
    EXPECT_TRUE(fs::is_directory(dir / "Pasta.db"));
    EXPECT_FALSE(RemoveFileAt(dir / "Nada.db"));
}
