// The disk writer of an extraction pass: its name checks (with the folders
// it has checked kept for the pass), and what a written file leaves behind
// whether its decoding kept it, dropped it or failed.
#include "zip/ZADiskWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/support/ArchiveMaker.h"
#include "tests/support/TempFolder.h"
#include "zip/ZAExcept.h"

using namespace vx::zip;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

// The error code a call raised, -1 for none.
int codeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EZAException& e) {
        return e.NativeError();
    }
    return -1;
}

// Names of the folder that look like the extraction's temporaries.
int temporariesIn(const std::string& folder) {
    int n = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        n += e.path().filename().string().rfind("~vx", 0) == 0;
    return n;
}

class DiskWriter : public ::testing::Test {
protected:
    DiskWriter() : dir(tmp / "loja" + "\\") {
        fs::create_directories(tmp / "loja/a/b");
        fs::create_directories(tmp / "fora");
        am::WriteFileBytes(tmp / "fora/alvo.txt", "intocado");
    }
    TTempFolder tmp;
    TComponent owner;
    const std::string dir; // the folder extracted into, as the pass spells it
};

} // namespace

// Each folder step below the folder extracted into is looked at for links
// once in a pass; the file itself every time, in a folder already checked
// too.
TEST_F(DiskWriter, FolderStepsAreCheckedOnceAndTheFileEveryTime) {
    fs::create_symlink("../../../fora/alvo.txt", tmp / "loja/a/b/fora.txt");
    fs::create_directory_symlink("../fora", tmp / "loja/sai");
    TZADiskWriter writer(&owner, {});
    struct Row {
        const char* name;
        int code;
        size_t foldersChecked;
    } rows[] = {
        {"a\\b\\f1.txt", -1, 2},                          // a and a\b checked
        {"a\\b\\f2.txt", -1, 2},                          // nothing new to look at
        {"a\\b\\fora.txt", 19, 2},                        // the file in a checked folder is a link out
        {"a\\f3.txt", -1, 2},      {"sai\\x.txt", 19, 2}, // a folder step leading out is not kept as checked
        {"a\\c\\f4.txt", -1, 3},                          // a step that does not exist yet is kept too
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(codeOf([&] { writer.CheckTarget(dir, row.name); }), row.code);
        EXPECT_EQ(writer.FoldersChecked(), row.foldersChecked);
    }
    EXPECT_EQ(am::ReadFileBytes(tmp / "fora/alvo.txt"), "intocado");
}

// Protected names are compared as the file system finds them: letter case,
// "." steps and doubled separators do not tell them apart.
TEST_F(DiskWriter, ProtectedNamesWhateverTheirSpelling) {
    TZADiskWriter writer(&owner, {"Vendarix.bkp"});
    struct Row {
        const char* name;
        int code;
    } rows[] = {
        {"Vendarix.bkp", 19},     {"VENDARIX.BKP", 19},    {".\\vendarix.bkp", 19},
        {"Vendarix.bkp.txt", -1}, {"a\\Vendarix.bkp", -1}, {"Vendarix.exe", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(codeOf([&] { writer.CheckTarget(dir, row.name); }), row.code);
    }
}

// A kept file is in place once the commits are finished; a dropped or
// failed one leaves nothing, its temporary included; a second entry for
// the same file (in other letters) and a folder in the way are refused.
TEST_F(DiskWriter, WhatAWrittenFileLeaves) {
    TZADiskWriter writer(&owner, {});
    auto write = [&](const std::string& name, const std::function<bool(TStream&)>& decode) {
        return codeOf([&] {
            writer.CheckFirstForTarget(dir + name);
            TZADiskWriter::FileFacts facts;
            facts.dosTime = (45 << 25) | (1 << 21) | (1 << 16); // 2025-01-01
            writer.WriteFile(dir + name, facts, decode);
        });
    };
    auto bytes = [](const char* text) {
        return [text](TStream& out) {
            out.WriteBuffer(text, static_cast<int64_t>(std::string(text).size()));
            return true;
        };
    };
    EXPECT_EQ(write("a\\kept.txt", bytes("conteudo")), -1);
    EXPECT_EQ(write("a\\KEPT.TXT", bytes("outro")), 19);
    EXPECT_EQ(write("dropped.txt",
                    [](TStream& out) {
                        out.WriteBuffer("x", 1);
                        return false;
                    }),
              -1);
    EXPECT_EQ(write("failed.txt",
                    [](TStream& out) -> bool {
                        out.WriteBuffer("x", 1);
                        throw EZAException::CreateFromCode(TZAError::BadEntryData, nullptr);
                    }),
              8);
    EXPECT_EQ(write("a", bytes("pasta")), 19);
    EXPECT_TRUE(writer.FinishCommits().empty());
    EXPECT_EQ(am::ReadFileBytes(tmp / "loja/a/kept.txt"), "conteudo");
    EXPECT_FALSE(fs::exists(tmp / "loja/dropped.txt"));
    EXPECT_FALSE(fs::exists(tmp / "loja/failed.txt"));
    EXPECT_TRUE(fs::is_directory(tmp / "loja/a"));
    EXPECT_EQ(temporariesIn(tmp / "loja"), 0);
}
