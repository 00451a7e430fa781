// The Paradox reader on the real sample tables, through the engine (SELECT
// in SQLite over the virtual table) and directly, and on damaged copies.
#include "db/ParadoxTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "db/DBTables.h"
#include "platform/SysUtils.h"
#include "tests/support/ParadoxWriter.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = std::string(VX_FIXTURES_DIR) + "/paradox/";

// A copy of a sample table (with its memo file) in a fresh working folder.
class ParadoxSample : public ::testing::Test {
protected:
    TTempFolder dir{true};
    std::string copy(const std::string& rel, const std::string& as = "") {
        const fs::path src = kFixtures + rel;
        const std::string name = as.empty() ? src.filename().string() : as;
        fs::copy_file(src, dir / name);
        for (const char* ext : {".mb", ".MB"}) {
            fs::path mb = src;
            mb.replace_extension(ext);
            const std::string to = dir / (fs::path(name).stem().string() + ext);
            // On a file system blind to case both names are one file.
            if (fs::exists(mb) && !fs::exists(to))
                fs::copy_file(mb, to);
        }
        return dir / name;
    }
    // Every row of a query, fields joined by '|', NULL as "<null>".
    std::vector<std::string> rows(const std::string& sql) {
        TQuery q;
        q.SQL().Add(sql);
        q.Open();
        std::vector<std::string> out;
        for (; !q.Eof(); q.Next()) {
            std::string line;
            for (int i = 0; i < q.FieldCount(); ++i)
                line += (i ? "|" : "") + q.FieldByName(q.FieldName(i));
            out.push_back(line);
        }
        return out;
    }
    std::vector<std::string> fields(const std::string& table) {
        TTable t;
        t.SetTableName(table);
        t.Open();
        std::vector<std::string> out;
        for (int i = 0; i < t.FieldCount(); ++i)
            out.push_back(t.FieldName(i));
        return out;
    }
};

using Strings = std::vector<std::string>;

TEST_F(ParadoxSample, KeyedTableInAChineseCodePage) {
    copy("db/GENERAL.DB");
    EXPECT_EQ(fields("general"), (Strings{"ID", "NAME", "MONEYS"}));
    EXPECT_EQ(rows("SELECT * FROM General"), (Strings{"1|Mari|100", "2|Katty|150", "333333333|Elizabet|75"}));
    TParadoxTable t(dir / "GENERAL.DB");
    EXPECT_EQ(t.Version(), 0x0b);
    EXPECT_EQ(t.CodePage(), 936);
    EXPECT_EQ(t.RecordCount(), 3);
    EXPECT_EQ(std::string(1, t.Fields()[2].type), "$");
}

TEST_F(ParadoxSample, DatesOfEveryHeaderLayout) {
    for (const char* f : {"fields/date35.db", "fields/date4.db"}) {
        SCOPED_TRACE(f);
        const std::string name = fs::path(f).stem().string();
        copy(f);
        fields(name);
        EXPECT_EQ(rows("SELECT * FROM " + name), (Strings{"2018-01-01", "2018-02-01", "2018-01-02"}));
    }
    EXPECT_EQ(TParadoxTable(dir / "date35.db").Version(), 4);
    copy("fields/date5.db");
    fields("date5");
    EXPECT_EQ(rows("SELECT * FROM date5"),
              (Strings{"2018-01-01|10:00:00", "2018-02-01|10:30:00", "2018-01-02|09:25:25"}));
    copy("fields/date7.db");
    fields("date7");
    const Strings r = rows("SELECT DATE IS NULL, TIME IS NULL FROM date7");
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(std::count(r.begin(), r.end(), "1|1") + std::count(r.begin(), r.end(), "1|0") +
                  std::count(r.begin(), r.end(), "0|1"),
              2);
}

TEST_F(ParadoxSample, TimesTimestampsAndNulls) {
    copy("fields/time.db");
    fields("time");
    EXPECT_EQ(rows("SELECT Time, Time IS NULL FROM time"), (Strings{"01:00:01|0", "|1", "03:00:03|0"}));
    copy("fields/timestamp.db");
    fields("timestamp");
    EXPECT_EQ(rows("SELECT Timestamp, Timestamp IS NULL FROM timestamp"),
              (Strings{"|1", "2020-02-01 01:00:01|0"}));
}

TEST_F(ParadoxSample, NumbersLogicalsAndAutoincrement) {
    copy("fields/logical.db");
    fields("logical");
    EXPECT_EQ(rows("SELECT BOOL FROM logical"), (Strings{"1", "0", "1", "1"}));
    copy("fields/long.db");
    fields("long");
    EXPECT_EQ(rows("SELECT Id, LONG, LONG IS NULL FROM long"), (Strings{"1|1|0", "2|2|0", "3||1"}));
    EXPECT_EQ(std::string(1, TParadoxTable(dir / "long.db").Fields()[0].type), "+");
    copy("joins/joina.db");
    fields("joina");
    EXPECT_EQ(rows("SELECT ID FROM joina WHERE ID >= 2"), (Strings{"2", "3"}));
    copy("fields/bcd.db");
    fields("bcd");
    EXPECT_EQ(rows("SELECT A FROM bcd"), (Strings{"1.23", "-1.23", "0.00"}));
}

TEST_F(ParadoxSample, BytesAndHpRomanText) {
    copy("fields/bytes.db");
    TParadoxTable b(dir / "bytes.db");
    TParadoxTable::Cursor c(b);
    c.Rewind();
    ASSERT_FALSE(c.Eof());
    TParadoxValue v = c.Value(0);
    EXPECT_EQ(v.kind, TParadoxValue::Kind::Blob);
    EXPECT_EQ(v.s.size(), 255u);

    copy("db/ROMAN8.db");
    TParadoxTable r(dir / "ROMAN8.db");
    TParadoxTable::Cursor rc(r);
    rc.Rewind();
    ASSERT_FALSE(rc.Eof());
    EXPECT_EQ(rc.Value(0).kind, TParadoxValue::Kind::Text);
}

TEST_F(ParadoxSample, MemosInTheLeaderAndInTheMemoFile) {
    copy("fields/memo.db");
    fields("memo");
    const Strings r = rows("SELECT Id, length(MEMO) FROM memo");
    EXPECT_EQ(r, (Strings{"1|555", "2|12"}));
}

TEST_F(ParadoxSample, TheMemoFileIsFoundWhateverTheCaseOfItsName) {
    copy("fields/memo.db", "Notas.db");
    fs::rename(dir / "Notas.mb", dir / "nOTAS.mB");
    copy("fields/memo.db", "Avisos.DB");
    fs::rename(dir / "Avisos.mb", dir / "Avisos.Mb");
    for (const char* table : {"Notas.db", "Avisos.DB"}) {
        TParadoxTable t(dir / table);
        EXPECT_TRUE(t.HasMemoFile()) << table;
        TParadoxTable::Cursor c(t);
        c.Rewind();
        EXPECT_EQ(c.Value(1).s.size(), 555u) << table;
    }
    EXPECT_EQ(rows("SELECT Id, length(MEMO) FROM notas"), (Strings{"1|555", "2|12"}));
}

TEST_F(ParadoxSample, EncryptedTableWithoutItsPasswordIsRefusedByName) {
    copy("encrypt/encryptedmemo.db");
    try {
        TParadoxTable t(dir / "encryptedmemo.db");
        FAIL() << "an encrypted table must not be read";
    } catch (const EDBEngineError& e) {
        EXPECT_NE(
            std::string(e.what()).find("encryptedmemo.db is encrypted and no password given to the session"),
            std::string::npos)
            << e.what();
    }
}

TEST_F(ParadoxSample, EmptyTables) {
    copy("joins/paradox-ascii.db");
    copy("joins/primary.db");
    copy("joins/two.db");
    EXPECT_EQ(fields("paradox-ascii"), (Strings{"A"}));
    EXPECT_EQ(fields("primary"), (Strings{"ID", "Name"}));
    EXPECT_EQ(fields("two"), (Strings{"ID1", "ID2", "Name"}));
    EXPECT_TRUE(rows("SELECT * FROM two").empty());
    EXPECT_TRUE(rows("SELECT * FROM \"paradox-ascii\"").empty());
    EXPECT_EQ(TParadoxTable(dir / "primary.db").RecordCount(), 0);
}

TEST_F(ParadoxSample, IndexFileIsNotATable) {
    copy("db/GENERAL.PX", "GENERALX.db");
    EXPECT_THROW(TParadoxTable(dir / "GENERALX.db"), EDBEngineError);
}

// ---- damaged copies -------------------------------------------------------

struct Damage {
    const char* name;
    const char* sample;
    size_t offset; // where the bytes go (SIZE_MAX: truncate to `length`)
    std::vector<uint8_t> bytes;
    size_t length;
    const char* expect; // part of the message
};

// The case's name, not its bytes, in test listings and failures.
void PrintTo(const Damage& d, std::ostream* os) {
    *os << d.name;
}

class ParadoxDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(ParadoxDamage, GivesAClearEngineError) {
    const Damage& d = GetParam();
    TTempFolder dir;
    std::ifstream in(kFixtures + d.sample, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    if (d.offset == SIZE_MAX)
        bytes.resize(d.length);
    else
        for (size_t i = 0; i < d.bytes.size(); ++i)
            bytes.at(d.offset + i) = static_cast<char>(d.bytes[i]);
    const std::string path = dir / "t.db";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::path mb = kFixtures + d.sample;
    if (fs::exists(mb.replace_extension(".mb")))
        fs::copy_file(mb, dir / "t.mb");
    try {
        TParadoxTable t(path);
        TParadoxTable::Cursor c(t);
        for (c.Rewind(); !c.Eof(); c.Next())
            for (size_t i = 0; i < t.Fields().size(); ++i)
                c.Value(static_cast<int>(i));
        FAIL() << "no error for " << d.name;
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find(d.expect), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("t.db"), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corrupt, ParadoxDamage,
    ::testing::Values(
        Damage{"Truncated header", "fields/date5.db", SIZE_MAX, {}, 0x40, "shorter than a table header"},
        Damage{"Truncated field names", "fields/date5.db", SIZE_MAX, {}, 0xD9, "past the end"},
        Damage{"Header size past end", "fields/date5.db", 0x02, {0x00, 0x40}, 0, "header size"},
        Damage{"Header size too small", "fields/date5.db", 0x02, {0x60, 0x00}, 0, "header size"},
        Damage{"Record size zero", "fields/date5.db", 0x00, {0x00, 0x00}, 0, "not that of a Paradox table"},
        Damage{"Record size beyond block", "fields/date5.db", 0x00, {0x00, 0x10}, 0, "record size"},
        Damage{"Record size against fields", "fields/date5.db", 0x00, {0x09, 0x00}, 0, "the fields take"},
        Damage{"Field count huge", "fields/date5.db", 0x21, {0xFF, 0x7F}, 0, "fields do not fit"},
        Damage{"Unknown field type", "fields/date5.db", 0x78, {0x33}, 0, "unknown type"},
        Damage{"First block past end", "fields/date5.db", 0x0E, {0x09, 0x00}, 0, "past the end of the file"},
        Damage{"Block chain loop", "fields/date5.db", 0x800, {0x01, 0x00}, 0, "returns to block 1"},
        Damage{"Records beyond block", "fields/date5.db", 0x804, {0xF0, 0x7F}, 0, "records beyond"},
        Damage{"Truncated data block", "fields/date5.db", SIZE_MAX, {}, 0x900, "past the end"},
        Damage{"Memo pointer past memo file", "fields/memo.db", 0x8FA, {0xFF, 0x00, 0x7F, 0x00}, 0, "memo"},
        Damage{"Memo length past its block", "fields/memo.db", 0x8FE, {0x00, 0x00, 0x01, 0x00}, 0, "memo"},
        Damage{"Name without end", "fields/date5.db", 0xD7, std::vector<uint8_t>(0x800 - 0xD7, 'x'), 0,
               "runs past the header"}),
    [](const auto& info) {
        std::string n = info.param.name;
        std::replace(n.begin(), n.end(), ' ', '_');
        return n;
    });

// ---- tables written by the tests' own writer ------------------------------

TEST(ParadoxWriterTable, ChainOrderIsTheStoredOrder) {
    TTempFolder dir(true);
    TParadoxWriter w;
    w.fields = {{"Tabela", 30}, {"Campo", 30}, {"Tipo", 20}};
    w.records = {{"Produtos", "Codigo", "Float"}, {"Produtos", "Nome", "Varchar(40)"},
                 {"Clientes", "Zeta", "Float"},   {"Clientes", "Alfa", "Varchar(2)"},
                 {"Clientes", "Meio", "Date"},    {"Caixa", "Valor", "Money"}};
    w.recordsPerBlock = 2;
    w.blockOrder = {3, 1, 2}; // the chain runs against the file's order
    w.Write(dir / "Talvir.db");

    TQuery names;
    names.SQL().Add("SELECT Tabela FROM Talvir GROUP BY Tabela");
    names.Open();
    Strings groups;
    for (; !names.Eof(); names.Next())
        groups.push_back(names.FieldByName("Tabela"));
    EXPECT_EQ(groups, (Strings{"Caixa", "Clientes", "Produtos"}));

    TQuery rows;
    rows.SQL().Add("SELECT * FROM Talvir WHERE Tabela = 'Clientes'");
    rows.Open();
    Strings campos;
    for (; !rows.Eof(); rows.Next())
        campos.push_back(rows.FieldByName("Campo") + " " + rows.FieldByName("Tipo"));
    EXPECT_EQ(campos, (Strings{"Zeta Float", "Alfa Varchar(2)", "Meio Date"}));
    EXPECT_EQ(rows.FieldByName("Campo"), ""); // no current row: empty text
}

} // namespace
