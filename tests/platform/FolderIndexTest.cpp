// The folder index finds names without regard to letter case, as path
// resolution does, and stays right as files come and go.
#include "platform/FolderIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Streams.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

TEST(FolderIndex, NamesOfTheSameLettersStayFindableAsOthersGo) {
    TTempFolder dir(true);
    std::ofstream("Leiame.txt") << "a";
    std::ofstream("LEIAME.TXT") << "b";
    TFolderIndex index;
    EXPECT_TRUE(index.Find("leiame.txt").exists);
    // Whichever spelling goes first, the other is still found.
    for (const std::string gone : {"Leiame.txt", "LEIAME.TXT"}) {
        SCOPED_TRACE(gone);
        std::ofstream("Leiame.txt") << "a";
        std::ofstream("LEIAME.TXT") << "b";
        TFolderIndex idx;
        ASSERT_TRUE(idx.Find(gone).exists);
        fs::remove(gone);
        idx.Removed(gone);
        TFolderIndex::Entry e = idx.Find("leiame.TXT");
        EXPECT_TRUE(e.exists);
        EXPECT_EQ(fs::path(e.linuxPath).filename(), gone == "Leiame.txt" ? "LEIAME.TXT" : "Leiame.txt");
    }
    // A name removed and added again is found once more; a new file of other
    // letters is refused while one of the same letters is there.
    fs::remove("Leiame.txt");
    index.Removed("Leiame.txt");
    index.Removed("LEIAME.TXT");
    EXPECT_FALSE(index.Find("leiame.txt").exists);
    std::ofstream("LEIAME.TXT") << "c";
    index.Added("LEIAME.TXT");
    EXPECT_TRUE(index.Find("Leiame.Txt").exists);
    EXPECT_EQ(index.CreateNewFile("leiame.txt"), nullptr);
    auto made = index.CreateNewFile("Novo.dat");
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(index.Find("NOVO.DAT").exists);
}
