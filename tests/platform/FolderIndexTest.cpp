// The folder index finds names without regard to letter case, as path
// resolution does, and stays right as files come and go.
#include "platform/FolderIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Streams.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

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

TEST(FolderIndex, MakeFolderReusesSpellingsAndRefusesAFileInTheWay) {
    TTempFolder dir(true);
    fs::create_directory("Dados");
    fs::create_directory("real");
    fs::create_directory_symlink("real", "Link");
    std::ofstream("Arquivo") << "x";
    TFolderIndex index;
    // The existing spelling is used for the folder above the new ones.
    EXPECT_TRUE(index.MakeFolder("dados\\Relatorios\\2026\\"));
    EXPECT_TRUE(fs::is_directory("Dados/Relatorios/2026"));
    EXPECT_FALSE(fs::exists("dados"));
    // Made again, or through other letters: nothing new, still true.
    EXPECT_TRUE(index.MakeFolder("DADOS\\relatorios"));
    EXPECT_FALSE(fs::exists("Dados/relatorios"));
    // A link to a folder is a folder; a file is not.
    EXPECT_TRUE(index.MakeFolder("link\\sub"));
    EXPECT_TRUE(fs::is_directory("real/sub"));
    EXPECT_FALSE(index.MakeFolder("Arquivo\\sub"));
    EXPECT_FALSE(index.MakeFolder("arquivo"));
    // New folders side by side are found by the index at once.
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(index.MakeFolder("Dados\\P" + std::to_string(i) + "\\"));
    EXPECT_TRUE(index.Find("dados\\p49").isDirectory);
}

TEST(FolderIndex, LettersBeyondAsciiMatchWithoutRegardToCase) {
    TTempFolder dir(true);
    std::ofstream("Ação.txt") << "a"; // UTF-8 on disk
    std::ofstream("Zeta.TXT") << "b";
    TFolderIndex index;
    // Windows names come in CP1252: "AÇÃO.TXT", "ação.txt".
    EXPECT_TRUE(index.Find("A\xC7\xC3O.TXT").exists);
    EXPECT_EQ(fs::path(index.Find("a\xE7\xE3o.txt").linuxPath).filename(), "Ação.txt");
    EXPECT_TRUE(index.Find("zeta.txt").exists);
    // Letters that only look alike are other names.
    EXPECT_FALSE(index.Find("Acao.txt").exists);
    EXPECT_EQ(index.CreateNewFile("A\xC7\xC3O.txt"), nullptr);
    index.Removed("A\xC7\xC3O.TXT");
    EXPECT_FALSE(index.Find("a\xE7\xE3o.txt").exists);
}
