// The index of a folder's names against changes made behind its back: files
// created, renamed, rewritten or removed by others between two refreshes,
// names that differ in letter case only, and the folder itself replaced.
#include "platform/WatchedFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p, const std::string& text = "x") {
    std::ofstream(p, std::ios::binary | std::ios::app) << text;
}

bool changed(const TWatchedFolder::TChanges& c, const std::string& name) {
    return c.all || std::find(c.names.begin(), c.names.end(), name) != c.names.end();
}

} // namespace

TEST(WatchedFolder, ChangesMadeByOthersAreSeenAtTheNextRefresh) {
    TTempFolder dir;
    const fs::path d = dir.Path();
    touch(d / "Tabela.db");
    TWatchedFolder idx(dir.Path());
    idx.Refresh();
    EXPECT_TRUE(idx.Exists());
    EXPECT_EQ(idx.Find("TABELA.DB"), "Tabela.db");
    EXPECT_EQ(idx.Find("nova.db"), std::nullopt);
    EXPECT_TRUE(idx.TakeChanges().all); // the first reading: everything is new

    touch(d / "Nova.DB");
    fs::rename(d / "Tabela.db", d / "TABELA.db");
    touch(d / "Ação.db");
    idx.Refresh();
    EXPECT_EQ(idx.Find("nova.db"), "Nova.DB");
    EXPECT_EQ(idx.Find("tabela.DB"), "TABELA.db");
    EXPECT_EQ(idx.Find("AÇÃO.DB"), "Ação.db");
    TWatchedFolder::TChanges c = idx.TakeChanges();
    if (idx.Live()) {
        EXPECT_FALSE(c.all);
        EXPECT_TRUE(changed(c, "Tabela.db"));
        EXPECT_TRUE(changed(c, "TABELA.db"));
    }
    EXPECT_TRUE(changed(c, "Nova.DB"));

    // A rewrite in place changes no name but is reported.
    touch(d / "Nova.DB", "more");
    idx.Refresh();
    EXPECT_TRUE(changed(idx.TakeChanges(), "Nova.DB"));
    if (idx.Live()) {
        EXPECT_FALSE(changed(idx.TakeChanges(), "Nova.DB"));
    }

    // Names that differ in case only: the exact spelling wins.
    touch(d / "nova.db");
    fs::remove(d / "TABELA.db");
    idx.Refresh();
    EXPECT_EQ(idx.Find("nova.db"), "nova.db");
    EXPECT_EQ(idx.Find("Nova.DB"), "Nova.DB");
    EXPECT_EQ(idx.Find("Tabela.db"), std::nullopt);
    fs::remove(d / "Nova.DB");
    idx.Refresh();
    EXPECT_EQ(idx.Find("NOVA.DB"), "nova.db");
    std::vector<std::string> names = idx.Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Ação.db", "nova.db"}));
}

TEST(WatchedFolder, AFolderRemovedOrReplacedUnderItsNameIsReadAgain) {
    TTempFolder dir;
    const fs::path d = fs::path(dir.Path()) / "Dados";
    fs::create_directory(d);
    touch(d / "Velha.db");
    TWatchedFolder idx(d.string());
    idx.Refresh();
    EXPECT_TRUE(idx.Find("velha.db"));

    fs::remove_all(d);
    idx.Refresh();
    EXPECT_FALSE(idx.Exists());
    EXPECT_EQ(idx.Find("velha.db"), std::nullopt);

    fs::create_directory(d);
    touch(d / "Nova.db");
    idx.Refresh();
    EXPECT_TRUE(idx.Exists());
    EXPECT_EQ(idx.Find("nova.db"), "Nova.db");
    EXPECT_TRUE(idx.TakeChanges().all);

    // Moved aside and another folder put in its place.
    fs::rename(d, fs::path(dir.Path()) / "Antiga");
    fs::create_directory(d);
    touch(d / "Outra.db");
    idx.Refresh();
    EXPECT_EQ(idx.Find("nova.db"), std::nullopt);
    EXPECT_EQ(idx.Find("outra.db"), "Outra.db");
}
