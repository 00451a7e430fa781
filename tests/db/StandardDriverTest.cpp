// The STANDARD driver through the engine interface, on real SQLite files:
// the statements the updater sends, tables found without regard to case,
// Paradox tables that refuse changes, and what a failure leaves behind.
#include "db/StandardDriver.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "db/DBTables.h"
#include "db/ParadoxTable.h"
#include "db/SqlScanner.h"
#include "tests/db/EngineProbe.h"
#include "tests/support/ParadoxWriter.h"
#include "tests/support/TempFolder.h"

using namespace vx::db;
using namespace vx::test;

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

TStandardDriver::TFileKind StandardKind(const fs::path& p) {
    return TStandardDriver::KindOf(p.string());
}

class StandardDriver : public ::testing::Test {
protected:
    TTempFolder work{true};
    TTempFolder shop;
    TDatabase db;
    void SetUp() override {
        db.SetDatabaseName("Confeccao");
        db.SetDriverName("STANDARD");
        db.SetLoginPrompt(false);
        db.Params().Add("PATH=" + shop.Path());
        db.Params().Add("DEFAULT DRIVER=PARADOX");
        db.Params().Add("ENABLE BCD=FALSE");
        db.SetTransIsolation(tiDirtyRead);
        db.SetConnected(true);
    }
    void exec(const Strings& lines) { ExecLines("Confeccao", lines); }
    Strings fields(const std::string& table) { return TableFields("Confeccao", table); }
    // Whether the folder holds a file of exactly that name, letter case
    // included (which the system's own look-ups ignore on Windows).
    bool named(const std::string& name) {
        for (const auto& e : fs::directory_iterator(shop.Path()))
            if (e.path().filename().string() == name)
                return true;
        return false;
    }
    // Another program renaming a file to other letter case; a file system
    // blind to case takes that for no change unless it goes through
    // another name.
    void renameCase(const std::string& from, const std::string& to) {
        fs::rename(shop / from, shop / (from + ".case"));
        fs::rename(shop / (from + ".case"), shop / to);
    }
    Strings tables() {
        TStringList l;
        db.GetTableNames(l, false);
        return l.Lines();
    }
    Strings column(const std::string& sql, const std::string& field) {
        TQuery q;
        q.SetDatabaseName("Confeccao");
        q.SQL().Add(sql);
        q.Open();
        Strings out;
        for (; !q.Eof(); q.Next())
            out.push_back(q.FieldByName(field));
        return out;
    }
};

TEST_F(StandardDriver, CreateAddFieldUpdateAndListAsTheUpdaterDoes) {
    exec({"CREATE TABLE Cad_Clientes (", "Codigo Autoinc, PRIMARY KEY(Codigo))"});
    EXPECT_TRUE(fs::exists(shop / "Cad_Clientes.db"));
    exec({"ALTER TABLE Cad_Clientes", " ADD Nome Alpha(20)"});
    exec({"ALTER TABLE Cad_Clientes", " ADD Saldo Money"});
    exec({"INSERT INTO Cad_Clientes (Codigo, Nome, Saldo) VALUES (1, 'Ana', 10.5)"});
    exec({"INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (2, 'Bia')"});
    exec({"ALTER TABLE Cad_Clientes", " ADD MalaDireta Varchar(2)"});
    exec({"UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL"});
    for (const char* type : {"Float", "Date", "TimeStamp", "Logical", "Time", "Int", "DateTime"})
        exec({"ALTER TABLE Cad_Clientes", std::string(" ADD F") + type + " " + type});

    EXPECT_EQ(tables(), (Strings{"Cad_Clientes"}));
    const Strings f = fields("CAD_CLIENTES");
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(Strings(f.begin(), f.begin() + 4), (Strings{"Codigo", "Nome", "Saldo", "MalaDireta"}));
    EXPECT_EQ(column("SELECT * FROM cad_clientes ORDER BY Codigo", "MalaDireta"), (Strings{"T", "T"}));
    EXPECT_EQ(column("SELECT * FROM cad_clientes ORDER BY Codigo", "Saldo"), (Strings{"10.5", ""}));
}

TEST_F(StandardDriver, TheFixedStatementOfTheCommissionTable) {
    exec({"CREATE TABLE ComissaoVendedores (Vendedor Varchar(2), Desconto Float, PRIMARY KEY(Vendedor, "
          "Desconto))"});
    EXPECT_EQ(fields("ComissaoVendedores"), (Strings{"Vendedor", "Desconto"}));
}

TEST_F(StandardDriver, TablesAreFoundWithoutRegardToCase) {
    exec({"CREATE TABLE Produtos (", "Codigo Float, PRIMARY KEY(Codigo))"});
    renameCase("Produtos.db", "PRODUTOS.DB");
    EXPECT_EQ(tables(), (Strings{"PRODUTOS"}));
    exec({"ALTER TABLE produtos", " ADD Preco Money"});
    EXPECT_EQ(fields("Produtos"), (Strings{"Codigo", "Preco"}));
    EXPECT_FALSE(named("produtos.db"));
    // The index file, renamed by another program, is the one rewritten.
    renameCase("Produtos.px", "produtos.pX");
    exec({"INSERT INTO Produtos (Codigo, Preco) VALUES (1, 2.5)"});
    EXPECT_GT(fs::file_size(shop / "produtos.pX"), 0u);
    EXPECT_FALSE(named("PRODUTOS.PX"));
    EXPECT_FALSE(named("Produtos.px"));
}

TEST_F(StandardDriver, TablesMadeChangedOrRemovedBetweenStatementsAreSeen) {
    exec({"CREATE TABLE A (", "X Float, PRIMARY KEY(X))"});
    // Made by another program, in other letter case.
    TParadoxWriter w;
    w.fields = {{"Nome", 10}};
    w.Write(shop / "ESTOQUE.DB");
    EXPECT_EQ(ExecFailure("Confeccao", {"CREATE TABLE Estoque (", "Y Float, PRIMARY KEY(Y))"}),
              "table Estoque already exists");
    exec({"ALTER TABLE estoque", " ADD Preco Money"});
    EXPECT_EQ(fields("Estoque"), (Strings{"Nome", "Preco"}));
    EXPECT_FALSE(named("Estoque.db"));
    EXPECT_EQ(tables(), (Strings{"A", "ESTOQUE"}));

    // Removed by another program: gone for the engine too, and made again.
    fs::remove(shop / "ESTOQUE.DB");
    EXPECT_THROW(fields("Estoque"), EDBEngineError);
    exec({"CREATE TABLE Estoque (", "Y Float, PRIMARY KEY(Y))"});
    EXPECT_EQ(fields("ESTOQUE"), (Strings{"Y"}));

    // Fields are added to the table as it is now, not as the last ALTER left it.
    exec({"ALTER TABLE A", " ADD B Float"});
    fs::remove(shop / "A.db");
    fs::remove(shop / "A.px");
    w.fields = {{"X", 10}, {"Outro", 10}};
    w.Write(shop / "A.db");
    exec({"ALTER TABLE A", " ADD C Float"});
    EXPECT_EQ(fields("A"), (Strings{"X", "Outro", "C"}));
    EXPECT_EQ(ExecFailure("Confeccao", {"ALTER TABLE A", " ADD C Float"}), "duplicate column name: C");
    exec({"ALTER TABLE a", " ADD D Float"}); // the name as another statement writes it
    EXPECT_EQ(fields("A"), (Strings{"X", "Outro", "C", "D"}));
}

TEST_F(StandardDriver, NewTablesTakeTheCodePageOfTheFolderAsItIsNow) {
    // Tables of level 5 record their code page; an Autoinc key makes one.
    auto create = [&](const std::string& t) {
        exec({"CREATE TABLE " + t + " (", "X Autoinc, PRIMARY KEY(X))"});
    };
    auto codePage = [&](const std::string& file) { return TParadoxTable(shop / file).CodePage(); };
    create("A");
    EXPECT_EQ(codePage("A.db"), 1252);
    fs::remove(shop / "A.db");
    fs::remove(shop / "A.px");
    // A table in another code page appears, and goes.
    fs::copy_file(std::string(VX_FIXTURES_DIR) + "/paradox/db/GENERAL.DB", shop / "General.db");
    create("B");
    EXPECT_EQ(codePage("B.db"), 936);
    fs::remove(shop / "General.db");
    fs::remove(shop / "B.db");
    fs::remove(shop / "B.px");
    create("C");
    EXPECT_EQ(codePage("C.db"), 1252);
}

TEST_F(StandardDriver, ErrorsCarrySqliteTextAndAFailedCreateLeavesNoFile) {
    exec({"CREATE TABLE A (", "X Float, PRIMARY KEY(X))"});
    try {
        exec({"ALTER TABLE A", " ADD X Float"});
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_STREQ(e.what(), "duplicate column name: X");
    }
    try {
        exec({"CREATE TABLE A (", "X Float, PRIMARY KEY(X))"});
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_STREQ(e.what(), "table A already exists");
    }
    EXPECT_THROW(exec({"CREATE TABLE B (", "X Float, PRIMARY KEY(Y))"}), EDBEngineError);
    EXPECT_FALSE(fs::exists(shop / "B.db"));
    EXPECT_THROW(exec({"UPDATE Nada SET X = 1"}), EDBEngineError);
    EXPECT_FALSE(fs::exists(shop / "Nada.db"));
    EXPECT_THROW(fields("Nada"), EDBEngineError);
    EXPECT_THROW(exec({"CREATE TABLE ..\\Fora (X Float)"}), EDBEngineError);
    EXPECT_EQ(tables(), (Strings{"A"}));
}

TEST_F(StandardDriver, ParadoxTablesAreListedReadAndChangedInPlace) {
    TParadoxWriter w;
    w.fields = {{"Codigo", 10}, {"Nome", 20}};
    w.records = {{"1", "Caf\xe9"}, {"2", "P\xe3o"}};
    w.Write(shop / "Estoque.DB");
    fs::copy_file(std::string(VX_FIXTURES_DIR) + "/paradox/fields/long.db", shop / "long.db");
    EXPECT_EQ(tables(), (Strings{"Estoque", "long"}));
    EXPECT_EQ(fields("estoque"), (Strings{"Codigo", "Nome"}));
    EXPECT_EQ(column("SELECT Nome FROM Estoque WHERE Codigo = '2'", "Nome"), (Strings{"P\xe3o"}));
    EXPECT_EQ(column("SELECT e.Nome FROM Estoque e, long l WHERE l.Id = 1 AND e.Codigo = '1'", "Nome"),
              (Strings{"Caf\xe9"}));

    // Changed in place: a field added, records updated, added and removed.
    exec({"ALTER TABLE Estoque", " ADD Preco Float"});
    exec({"UPDATE Estoque SET Preco = 2.5 WHERE Codigo = '2'"});
    exec({"INSERT INTO estoque VALUES ('3', 'Sal', 1)"});
    exec({"DELETE FROM Estoque WHERE Codigo = '1'"});
    EXPECT_EQ(fields("Estoque"), (Strings{"Codigo", "Nome", "Preco"}));
    EXPECT_EQ(column("SELECT * FROM Estoque", "Preco"), (Strings{"2.5", "1"}));
    EXPECT_EQ(tables(), (Strings{"Estoque", "long"}));

    const auto before = fs::file_size(shop / "Estoque.DB");
    const auto stamp = fs::last_write_time(shop / "Estoque.DB");
    for (const auto& [sql, words] :
         {std::pair<Strings, std::string>{{"CREATE TABLE Estoque (", "A Float, PRIMARY KEY(A))"},
                                          "table Estoque already exists"},
          {{"DROP TABLE Estoque"}, "is a Paradox table"},
          {{"CREATE INDEX Ix ON Estoque (Nome)"}, "is a Paradox table"}}) {
        try {
            exec(sql);
            ADD_FAILURE() << sql[0];
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(fs::file_size(shop / "Estoque.DB"), before);
    EXPECT_EQ(fs::last_write_time(shop / "Estoque.DB"), stamp);
}

// A table the reader refuses fails the statement with the reader's own
// words, naming the file.
TEST_F(StandardDriver, DamagedOrEncryptedParadoxTablesFailWithTheReadersMessage) {
    TParadoxWriter w;
    w.fields = {{"Tabela", 10}};
    w.records = {{"Vendas"}};
    std::vector<uint8_t> bytes = w.Bytes();
    bytes[0x0E] = 0x09; // the first block, far past the end
    bytes[0x0F] = 0x00;
    std::ofstream(shop / "Talvir.db", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    fs::copy_file(std::string(VX_FIXTURES_DIR) + "/paradox/encrypt/encryptedmemo.db", shop / "Cifrada.db");
    for (const auto& [sql, words] :
         {std::pair<std::string, std::string>{"SELECT Tabela FROM Talvir GROUP BY Tabela",
                                              "past the end of the file"},
          {"SELECT * FROM Cifrada", "Cifrada.db is encrypted and no password"}}) {
        try {
            column(sql, sql.find("Talvir") != std::string::npos ? "Tabela" : "");
            ADD_FAILURE() << sql;
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    }
}

// A text is one statement: a schema row whose type carries a second one,
// or a statement that reaches other files, runs nothing at all.
TEST_F(StandardDriver, OneStatementPerCallAndNothingBeyondTheFolder) {
    exec({"CREATE TABLE Cad_Clientes (", "Codigo Integer, PRIMARY KEY(Codigo))"});
    exec({"INSERT INTO Cad_Clientes VALUES (1)"});
    const std::string outside = work / "fora.db";
    for (const Strings& sql :
         {Strings{"ALTER TABLE Cad_Clientes", " ADD Nome Varchar(10); DELETE FROM Cad_Clientes"},
          Strings{"DELETE FROM Cad_Clientes;", "SELECT 1"}, Strings{"SELECT 1; SELECT 2"},
          Strings{"ATTACH DATABASE '" + outside + "' AS x"}, Strings{"  attach '" + outside + "' as x"},
          Strings{"DETACH DATABASE t1"}, Strings{"PRAGMA writable_schema = 1"},
          Strings{"VACUUM INTO '" + outside + "'"}, Strings{"EXPLAIN ATTACH '" + outside + "' AS x"},
          Strings{"CREATE VIRTUAL TABLE temp.x USING paradox('/etc/passwd')"}}) {
        EXPECT_NE(ExecFailure("Confeccao", sql), "(no error)") << sql[0];
    }
    EXPECT_EQ(ExecFailure("Confeccao", {"SELECT 1; SELECT 2"}),
              "Only one SQL statement may be given at a time");
    EXPECT_EQ(ExecFailure("Confeccao", {"PRAGMA writable_schema = 1"}),
              "PRAGMA statements are not allowed on local tables");
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_EQ(fields("Cad_Clientes"), (Strings{"Codigo"}));
    EXPECT_EQ(column("SELECT * FROM Cad_Clientes", "Codigo"), (Strings{"1"}));
    // A closing semicolon, blank lines and comments are no second statement.
    exec({"UPDATE Cad_Clientes SET Codigo = 2;", "", "-- done"});
    EXPECT_EQ(column("SELECT * FROM Cad_Clientes", "Codigo"), (Strings{"2"}));
}

// A schema table keyed on (Tabela, Campo) still gives its rows in the order
// they were stored, whatever its indexes would sort them by.
TEST_F(StandardDriver, AKeyedSqliteTableGivesRowsInStoredOrder) {
    sqlite3* maker = nullptr;
    ASSERT_EQ(sqlite3_open((shop / "Talvir.db").c_str(), &maker), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(maker,
                     "CREATE TABLE Talvir (Tabela Varchar(40), Campo Varchar(40), Tipo Varchar(30), "
                     "PRIMARY KEY(Tabela, Campo));"
                     "CREATE INDEX ByTipo ON Talvir (Tipo, Campo);"
                     "INSERT INTO Talvir VALUES ('Vendas', 'Numero', 'Integer'), ('Vendas', 'Data', 'Date'),"
                     " ('Caixa', 'Zeta', 'Float'), ('Vendas', 'Cliente', 'Integer');",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(maker);
    EXPECT_EQ(column("SELECT * FROM Talvir WHERE Tabela = 'Vendas'", "Campo"),
              (Strings{"Numero", "Data", "Cliente"}));
    EXPECT_EQ(column("SELECT Campo FROM talvir WHERE Tipo = 'Integer'", "Campo"),
              (Strings{"Numero", "Cliente"}));
    EXPECT_EQ(column("SELECT Tabela FROM Talvir GROUP BY Tabela", "Tabela"), (Strings{"Caixa", "Vendas"}));
}

// New tables follow the folder: Paradox, unless the folder holds SQLite
// tables (made by earlier versions of this engine) and no Paradox table.
TEST_F(StandardDriver, NewTablesTakeTheFormatOfTheFolder) {
    sqlite3* old = nullptr;
    ASSERT_EQ(sqlite3_open((shop / "Antiga.db").c_str(), &old), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(old, "CREATE TABLE Antiga (A Integer)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(old);
    exec({"CREATE TABLE Nova (", "A Integer, PRIMARY KEY(A))"});
    EXPECT_EQ(StandardKind(shop / "Nova.db"), TStandardDriver::TFileKind::SQLite);
    TParadoxWriter w;
    w.fields = {{"Nome", 10}};
    w.Write(shop / "Estoque.db");
    exec({"CREATE TABLE Outra (", "A Integer, PRIMARY KEY(A))"});
    EXPECT_EQ(StandardKind(shop / "Outra.db"), TStandardDriver::TFileKind::Paradox);
    EXPECT_TRUE(fs::exists(shop / "Outra.px"));
    fs::remove(shop / "Antiga.db");
    fs::remove(shop / "Nova.db");
    fs::remove(shop / "Estoque.db");
    fs::remove(shop / "Outra.db");
    fs::remove(shop / "Outra.px");
    exec({"CREATE TABLE Vazia (", "A Integer, PRIMARY KEY(A))"}); // an empty folder takes Paradox tables
    EXPECT_EQ(StandardKind(shop / "Vazia.db"), TStandardDriver::TFileKind::Paradox);
}

TEST_F(StandardDriver, ParamsOfAnOpenConnectionCannotChange) {
    try {
        db.Params().Add("PATH=/tmp");
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on an open database");
    }
    EXPECT_EQ(db.Params().Count(), 3);
    EXPECT_THROW(db.Params().Clear(), EDBEngineError);
    EXPECT_THROW(db.SetDriverName("STANDARD"), EDBEngineError);
    db.SetConnected(false);
    db.Params().Clear();
    db.Params().Add("PATH=" + work.Path());
    EXPECT_TRUE(tables().empty()); // listing opens the connection again
    EXPECT_TRUE(db.Connected());
}

TEST(StandardDriverOpen, MissingFolderIsAnEngineError) {
    TDatabase db;
    db.SetDriverName("STANDARD");
    db.Params().Add("PATH=C:\\Sistemas\\Dados");
    try {
        db.SetConnected(true);
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_STREQ(e.what(), "Directory not found: C:\\Sistemas\\Dados");
    }
    EXPECT_FALSE(db.Connected());
}

TEST(StandardDriverOpen, NoParametersMeanTheWorkingFolder) {
    TTempFolder work(true);
    TDatabase db;
    db.SetDatabaseName("Confeccao");
    db.SetDriverName("STANDARD");
    db.SetConnected(true);
    TQuery q;
    q.SetDatabaseName("Confeccao");
    q.SQL().Add("CREATE TABLE T (");
    q.SQL().Add("A Float, PRIMARY KEY(A))");
    q.ExecSQL();
    EXPECT_TRUE(fs::exists(work / "T.db"));
}

TEST(SqlScanner, FindsTheTablesOfAStatement) {
    auto i = ScanSql("CREATE TABLE X (\r\nA Float, PRIMARY KEY(A))\r\n");
    EXPECT_EQ(i.verb, "CREATE");
    EXPECT_EQ(i.target, "X");
    i = ScanSql("SELECT * FROM Talvir WHERE Tabela = 'FROM Y'");
    EXPECT_EQ(i.tables, (Strings{"Talvir"}));
    EXPECT_TRUE(i.target.empty());
    i = ScanSql("select a.x from \"A b\" a, [C] join D on 1=1 where x in (select y from E)");
    EXPECT_EQ(i.tables, (Strings{"A b", "C", "D", "E"}));
    i = ScanSql("UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL");
    EXPECT_EQ(i.target, "Cad_Clientes");
    i = ScanSql("-- note\nINSERT INTO main.T SELECT * FROM U");
    EXPECT_EQ(i.target, "T");
    EXPECT_EQ(i.tables, (Strings{"T", "U"}));
    i = ScanSql("DELETE FROM T WHERE x = 'it''s'");
    EXPECT_EQ(i.target, "T");
    i = ScanSql("CREATE INDEX ix ON T (a)");
    EXPECT_EQ(i.target, "T");
}

} // namespace
