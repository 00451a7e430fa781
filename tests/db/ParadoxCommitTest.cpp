// How changes reach a shop's Paradox tables: a table whose block chain does
// not account for all of it is never rewritten; a change killed at any step
// is finished only while the table is still the one it was made from, so
// that a record the shop's program added meanwhile survives; a keyed table
// has the index of its records after any kill; and links planted at the
// names a change makes are never written through.
#include "db/ParadoxCommit.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <map>

#include "db/DBTables.h"
#include "db/ParadoxTable.h"
#include "db/ParadoxTableWriter.h"
#include "platform/SysUtils.h"
#include "tests/db/EngineProbe.h"
#include "tests/support/PortableEnv.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::test;

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

namespace {

// The index on disk is that of the records: the same blocks and the same
// counts and chain in its header. The change counts and the time of the last
// change differ from a freshly built index, as the genuine engine's do.
::testing::AssertionResult sameIndex(const std::string& disk, const std::vector<uint8_t>& built) {
    if (disk.size() != built.size() || disk.size() < 0x12)
        return ::testing::AssertionFailure() << "sizes " << disk.size() << " and " << built.size();
    const size_t header = static_cast<uint8_t>(disk[2]) | static_cast<size_t>(static_cast<uint8_t>(disk[3]))
                                                              << 8;
    for (size_t i = 0; i < disk.size(); ++i)
        if ((i < 0x12 || i >= header) && static_cast<uint8_t>(disk[i]) != built[i])
            return ::testing::AssertionFailure() << "byte " << i << ": " << int(static_cast<uint8_t>(disk[i]))
                                                 << " on disk, " << int(built[i]) << " built";
    return ::testing::AssertionSuccess();
}

std::string bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(folder))
        out[e.path().filename().string()] =
            e.is_symlink() ? "link to " + fs::read_symlink(e.path()).string() : bytesOf(e.path());
    return out;
}

// An unkeyed (or keyed on Numero) table of n records: Numero, Nome.
TParadoxLayout layoutOf(const std::string& fileName, bool keyed) {
    TParadoxLayout l;
    l.fields = {ParadoxFieldFromSql("Numero", "Integer"), ParadoxFieldFromSql("Nome", "Varchar(20)")};
    l.keyFields = keyed ? 1 : 0;
    l.fileName = fileName;
    l.Arrange();
    l.ChooseVersion();
    return l;
}

std::vector<std::string> recordsOf(const TParadoxLayout& l, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) {
        TParadoxValue n, s;
        n.kind = TParadoxValue::Kind::Int;
        n.i = i;
        s.kind = TParadoxValue::Kind::Text;
        s.s = "Cliente " + std::to_string(i);
        out.push_back(EncodeParadoxValue(l.fields[0], n) + EncodeParadoxValue(l.fields[1], s));
    }
    return out;
}

// Adds a record to the table in place, as the shop's program does: same
// file, new contents, in the table's present layout.
void appendAsTheShopDoes(const std::string& path, int number) {
    std::vector<std::string> records;
    TParadoxLayout l;
    {
        TParadoxTable t(path);
        l = TParadoxLayout::Of(t);
        l.Arrange();
        records = t.RawRecords();
    }
    TParadoxValue n;
    n.kind = TParadoxValue::Kind::Int;
    n.i = number;
    std::string r = EncodeParadoxValue(l.fields[0], n);
    r.resize(size_t(l.RecordSize()), '\0');
    records.push_back(r);
    writeFile(path, BuildParadoxData(l, records));
}

std::vector<int64_t> numbers(const std::string& path) {
    TParadoxTable t(path);
    std::vector<int64_t> out;
    for (TParadoxTable::Cursor c(t); !c.Eof(); c.Next())
        out.push_back(c.Value(0).i);
    return out;
}

#ifdef _WIN32
// Windows has no fork: a killed change runs in a second copy of this test
// program, its test ParadoxCommitChild.DISABLED_Statement, which ends itself
// with TerminateProcess (no unwinding, no flushing: a kill) at the step. The
// folder, the statement's lines and the step reach it in the environment.
constexpr UINT kKilled = 137;

TEST(ParadoxCommitChild, DISABLED_Statement) {
    const char* at = std::getenv("VX_KILL_AT");
    const char* folder = std::getenv("VX_KILL_FOLDER");
    const char* sql = std::getenv("VX_KILL_SQL");
    ASSERT_TRUE(at && folder && sql);
    TDatabase db;
    db.SetDatabaseName("Loja");
    db.SetDriverName("STANDARD");
    db.Params().Add(std::string("PATH=") + folder);
    db.SetConnected(true);
    int steps = 0;
    const int killAt = std::atoi(at);
    SetParadoxCommitProbe([&](const std::string&) {
        if (steps++ == killAt)
            TerminateProcess(GetCurrentProcess(), kKilled);
    });
    Strings lines;
    for (std::string rest = sql;;) {
        const size_t nl = rest.find('\n');
        lines.push_back(rest.substr(0, nl));
        if (nl == std::string::npos)
            break;
        rest.erase(0, nl + 1);
    }
    ExecLines("Loja", lines);
}
#endif

class ParadoxCommit : public ::testing::Test {
protected:
    TTempFolder outside;
    TTempFolder shop;
    TDatabase db;
    void SetUp() override {
        db.SetDatabaseName("Loja");
        db.SetDriverName("STANDARD");
        db.Params().Add("PATH=" + shop.Path());
        db.SetConnected(true);
    }
    void TearDown() override { SetParadoxCommitProbe(nullptr); }
    std::string path(const std::string& name) { return shop / name; }
    // The folder's files go, the folder stays: the engine watches it.
    void clearShop() {
        for (const auto& e : fs::directory_iterator(shop.Path()))
            fs::remove(e.path());
    }
    // Runs the statement in a child process that is killed at the change's
    // step number `killAt`; false when the statement ended before that step.
    bool execKilledAt(const Strings& sql, int killAt) {
#ifdef _WIN32
        std::string joined;
        for (const auto& line : sql)
            joined += (joined.empty() ? "" : "\n") + line;
        setenv("VX_KILL_AT", std::to_string(killAt).c_str(), 1);
        setenv("VX_KILL_FOLDER", shop.Path().c_str(), 1);
        setenv("VX_KILL_SQL", joined.c_str(), 1);
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring cmd = std::wstring(L"\"") + self +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=ParadoxCommitChild.*";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return false;
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        db.SetConnected(false);
        db.SetConnected(true);
        if (code == kKilled)
            return true;
        EXPECT_EQ(code, 0u);
        return false;
#else
        const pid_t pid = fork();
        if (pid == 0) {
            int steps = 0;
            SetParadoxCommitProbe([&](const std::string&) {
                if (steps++ == killAt)
                    ::raise(SIGKILL);
            });
            try {
                ExecLines("Loja", sql);
            } catch (...) {
                _exit(3);
            }
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        // The child read the folder's change notifications off the handle it
        // shared with this process: a new connection, as a new run has.
        db.SetConnected(false);
        db.SetConnected(true);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            return true;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return false;
#endif
    }
    void expectNoLeftovers() {
        for (const auto& e : fs::directory_iterator(shop.Path()))
            EXPECT_FALSE(IsParadoxWorkFile(e.path().filename().string())) << e.path();
    }
};

// The shapes in which a table lost records to a rewrite: the lenient reader
// sees fewer records (or other bytes) than the table holds. A change is
// refused with the files as they were; a query still reads what it can.
TEST_F(ParadoxCommit, DamagedTablesAreNeverRewritten) {
    struct Case {
        const char* name;
        int records;
        std::function<void(Bytes&, size_t header, size_t block)> damage;
        const char* why; // the start of the reason given
    };
    auto next = [](Bytes& b, size_t header, size_t block, size_t number) -> uint8_t* {
        return b.data() + header + (number - 1) * block;
    };
    const std::vector<Case> cases{
        {"one next-block pointer zeroed", 50000,
         [&](Bytes& b, size_t h, size_t s) { WriteU16LE(next(b, h, s, 300), 0); },
         "Table %s is damaged: 300 blocks are on its chain, its header counts"},
        {"chain cut in the middle", 5000,
         [&](Bytes& b, size_t h, size_t s) { WriteU16LE(next(b, h, s, 50), 0); },
         "Table %s is damaged: 50 blocks are on its chain"},
        {"first block pointing at the last", 5000,
         [&](Bytes& b, size_t h, size_t s) {
             const uint16_t last = ReadU16LE(b.data() + 0x0A);
             WriteU16LE(next(b, h, s, 1), last);
         },
         "Table %s is damaged: 2 blocks are on its chain"},
        {"header count one short", 5000, [&](Bytes& b, size_t, size_t) { WriteU32LE(b.data() + 6, 4999); },
         "Table %s is damaged: 5000 records are on its chain, its header counts 4999"},
        {"header size 0xFFF0", 5000, [&](Bytes& b, size_t, size_t) { WriteU16LE(b.data() + 2, 0xFFF0); },
         nullptr},
        {"a block beyond the file", 5000,
         [&](Bytes& b, size_t h, size_t s) {
             b.resize(b.size() - s / 2);
             (void)h;
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearShop();
        const TParadoxLayout l = layoutOf("Vendas.db", false);
        Bytes bytes = BuildParadoxData(l, recordsOf(l, 1, c.records));
        c.damage(bytes, ReadU16LE(bytes.data() + 2), l.blockSize);
        writeFile(path("Vendas.db"), bytes);
        const auto before = snapshot(shop.Path());
        for (const Strings& sql : {Strings{"ALTER TABLE Vendas", " ADD Total Float"},
                                   Strings{"INSERT INTO Vendas (Numero) VALUES (0)"},
                                   Strings{"UPDATE Vendas SET Nome = 'x' WHERE Numero = 1"},
                                   Strings{"DELETE FROM Vendas WHERE Numero = 1"}}) {
            const std::string why = ExecFailure("Loja", sql);
            if (c.why)
                EXPECT_EQ(why.rfind(Format(c.why, path("Vendas.db")), 0), 0u) << sql[0] << ": " << why;
            else
                EXPECT_TRUE(why.find(" is damaged: ") != std::string::npos ||
                            why.rfind("Corrupt Paradox table", 0) == 0)
                    << sql[0] << ": " << why;
            EXPECT_EQ(snapshot(shop.Path()), before) << sql[0];
        }
    }
}

// A whole table passes: the engine's own, and one whose header counts free
// blocks off the chain.
TEST_F(ParadoxCommit, WholeTablesPassTheCheck) {
    const TParadoxLayout l = layoutOf("Vendas.db", false);
    Bytes bytes = BuildParadoxData(l, recordsOf(l, 1, 500));
    writeFile(path("Vendas.db"), bytes);
    EXPECT_NO_THROW(TParadoxTable(path("Vendas.db")).CheckIntact());
    bytes.resize(bytes.size() + l.blockSize, 0); // a free block
    WriteU16LE(bytes.data() + 0x0C, uint16_t(ReadU16LE(bytes.data() + 0x0C) + 1));
    writeFile(path("Vendas.db"), bytes);
    EXPECT_NO_THROW(TParadoxTable(path("Vendas.db")).CheckIntact());
    ExecLines("Loja", {"INSERT INTO Vendas (Numero) VALUES (501)"});
    EXPECT_EQ(numbers(path("Vendas.db")).size(), 501u);
}

// Killed at every step of a change; then the shop's program adds a record
// (or not), and the change is asked for again as a run does: nothing the
// table held or got is lost, the table ends with the new field, no work file
// is left, and an index always fits its table.
TEST_F(ParadoxCommit, AChangeKilledAtAnyStepLosesNoRecord) {
    for (const bool keyed : {false, true})
        for (const bool shopWrites : {false, true}) {
            if (keyed && shopWrites)
                continue; // the shop's program keeps its index itself
            for (int killAt = 0;; ++killAt) {
                SCOPED_TRACE(Format("keyed %d, shop writes %d, killed at step %d", int(keyed),
                                    int(shopWrites), killAt));
                clearShop();
                const TParadoxLayout l = layoutOf("Vendas.db", keyed);
                const auto records = recordsOf(l, 1, 300);
                writeFile(path("Vendas.db"), BuildParadoxData(l, records));
                if (keyed)
                    writeFile(path("Vendas.PX"), BuildParadoxIndex(l, records));
                // Adding a memo field makes a memo file too: three files.
                const Strings alter{"ALTER TABLE Vendas", " ADD Obs Memo"};
                const bool killed = execKilledAt(alter, killAt);
                std::vector<int64_t> expected = numbers(path("Vendas.db"));
                if (shopWrites) {
                    appendAsTheShopDoes(path("Vendas.db"), 9999);
                    expected.push_back(9999);
                }
                // The run again: the field is added where it is missing.
                Strings fields = TableFields("Loja", "Vendas");
                if (fields.back() != "Obs")
                    ExecLines("Loja", alter);
                fields = TableFields("Loja", "Vendas");
                EXPECT_EQ(fields, (Strings{"Numero", "Nome", "Obs"}));
                std::vector<int64_t> now = numbers(path("Vendas.db"));
                EXPECT_EQ(now.size(), shopWrites ? 301u : 300u);
                EXPECT_EQ(now, expected);
                ExecLines("Loja", {"INSERT INTO Vendas (Numero) VALUES (10000)"});
                EXPECT_EQ(numbers(path("Vendas.db")).size(), now.size() + 1);
                TStringList names;
                db.GetTableNames(names);
                expectNoLeftovers();
                if (keyed) {
                    TParadoxTable t(path("Vendas.db"));
                    TParadoxLayout nl = TParadoxLayout::Of(t);
                    nl.Arrange();
                    const Bytes px = BuildParadoxIndex(nl, t.RawRecords());
                    Strings names;
                    for (const auto& e : fs::directory_iterator(shop.Path()))
                        names.push_back(e.path().filename().string());
                    EXPECT_TRUE(sameIndex(bytesOf(shop / "Vendas.PX"), px))
                        << ::testing::PrintToString(names);
                }
                if (!killed)
                    break;
            }
        }
}

// Killed between the renames of a keyed table's files and looked at again
// untouched: the table opens whole and new, its index that of its records.
TEST_F(ParadoxCommit, AKeyedTableKilledBetweenItsRenamesIsWholeAtTheNextOpen) {
    const TParadoxLayout l = layoutOf("Vendas.db", true);
    const auto records = recordsOf(l, 1, 2000);
    writeFile(path("Vendas.db"), BuildParadoxData(l, records));
    writeFile(path("Vendas.PX"), BuildParadoxIndex(l, records));
    // Steps: the marker, the index, the data file, the marker's removal.
    ASSERT_TRUE(execKilledAt({"UPDATE Vendas SET Nome = 'novo' WHERE Numero = 7"}, 2));
    EXPECT_TRUE(fs::exists(shop / "VENDAS.VXCOMMIT"));
    EXPECT_TRUE(fs::exists(shop / "VENDAS.DB.vxnew"));
    TQuery q;
    q.SetDatabaseName("Loja");
    q.SQL().Add("SELECT Nome FROM Vendas WHERE Numero = 7");
    q.Open();
    EXPECT_EQ(q.FieldByName("Nome"), "novo");
    q.Close();
    expectNoLeftovers();
    TParadoxTable t(path("Vendas.db"));
    EXPECT_EQ(t.RecordCount(), 2000);
    TParadoxLayout nl = TParadoxLayout::Of(t);
    nl.Arrange();
    const Bytes px = BuildParadoxIndex(nl, t.RawRecords());
    EXPECT_TRUE(sameIndex(bytesOf(shop / "Vendas.PX"), px));
}

// A rename that fails (a file held open on Windows; here a folder in the
// index's place) stops the change there: the data file stays the old one,
// never beside files its records do not fit, and the marker is left for the
// next open, which forgets the change once the index's name has changed.
TEST_F(ParadoxCommit, ARenameThatFailsLeavesTheDataFileOld) {
    const TParadoxLayout l = layoutOf("Vendas.db", true);
    const auto before = recordsOf(l, 1, 50), after = recordsOf(l, 1, 60);
    writeFile(path("Vendas.db"), BuildParadoxData(l, before));
    fs::create_directory(path("Vendas.PX"));
    const std::string old = bytesOf(path("Vendas.db"));
    ReplaceParadoxFiles(
        shop.Path(), "Vendas",
        {{path("Vendas.db"), BuildParadoxData(l, after)}, {path("Vendas.PX"), BuildParadoxIndex(l, after)}});
    EXPECT_EQ(bytesOf(path("Vendas.db")), old);
    EXPECT_TRUE(fs::exists(shop / "VENDAS.VXCOMMIT"));
    fs::remove(path("Vendas.PX"));
    RecoverParadoxTable(shop.Path(), "Vendas");
    EXPECT_EQ(bytesOf(path("Vendas.db")), old);
    expectNoLeftovers();
}

#ifndef _WIN32
// Symbolic links are granted to Windows' administrators only.
// Links planted at every name a change makes, pointing out of the folder
// (at a file there, or at nothing yet): the change goes ahead, nothing
// outside is written or made, and the table's files are files.
TEST_F(ParadoxCommit, LinksAtTheChangesNamesAreNeverWrittenThrough) {
    const TParadoxLayout l = layoutOf("Vendas.db", true);
    const auto records = recordsOf(l, 1, 100);
    writeFile(path("Vendas.db"), BuildParadoxData(l, records));
    writeFile(path("Vendas.PX"), BuildParadoxIndex(l, records));
    std::ofstream(outside / "kept.txt") << "outside";
    const Strings names{"VENDAS.DB.vxnew", "VENDAS.PX.vxnew",       "VENDAS.MB.vxnew",
                        "VENDAS.VXCOMMIT", "VENDAS.VXCOMMIT.vxnew", "Vendas.mb"};
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling" : "to a file");
        for (const auto& n : names) {
            if (fs::is_regular_file(fs::symlink_status(shop / n)))
                continue; // the memo file the first change made
            fs::remove(shop / n);
            fs::create_symlink(dangling ? outside / ("new-" + n) : outside / "kept.txt", shop / n);
        }
        const auto outsideBefore = snapshot(outside.Path());
        ExecLines("Loja", {"ALTER TABLE Vendas", dangling ? " ADD Extra Integer" : " ADD Obs Memo"});
        EXPECT_EQ(snapshot(outside.Path()), outsideBefore);
        for (const auto& e : fs::directory_iterator(shop.Path())) {
            EXPECT_FALSE(e.is_symlink()) << e.path();
        }
        EXPECT_EQ(numbers(path("Vendas.db")).size(), 100u);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(shop / "Vendas.db")));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(shop / "Vendas.PX")));
    }
}

#endif

} // namespace
