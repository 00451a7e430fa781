// Schema reconciliation against real local tables: the shop's folder and
// the schema table Talvir.db in the working folder. Results are read back
// from the tables themselves (fields through the engine, declared types from
// the table files).
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/RunEnvironment.h"
#include "app/SchemaReconciler.h"
#include "db/DBTables.h"
#include "db/ParadoxTable.h"
#include "db/StandardDriver.h"
#include "platform/Application.h"
#include "platform/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ParadoxWriter.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;
using namespace vx::test;

namespace {

using Names = std::vector<std::string>;

// The platform's machine with the message boxes and the run log held here.
class TMessageEnvironment : public TPlatformRunEnvironment {
public:
    IRunLog& Log() override { return log; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }

    TMemoryRunLog log;
    Names messages;
};

// A Paradox table's fields as "Name <type letter><size>" and its key, in
// the shape of a CREATE statement.
std::string paradoxDeclaration(const std::string& file) {
    TParadoxTable t(file);
    std::string fields, key;
    for (size_t i = 0; i < t.Fields().size(); ++i) {
        const TParadoxField& f = t.Fields()[i];
        fields += (i ? ", " : "") + f.name + " " + f.type + (f.type == 'A' ? std::to_string(f.size) : "");
        if (int(i) < t.KeyFieldCount())
            key += (key.empty() ? "" : ", ") + f.name;
    }
    return "CREATE TABLE (" + fields + (key.empty() ? "" : ", PRIMARY KEY(" + key + ")") + ")";
}

// The table as its file declares it: for a Paradox table the field types
// the engine chose and the key; for an SQLite table the CREATE statement
// SQLite keeps, with the types as the engine received them.
std::string declaration(const std::string& folder, const std::string& table) {
    std::string file;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string n = e.path().filename().string();
        if (UpperCase(n) == UpperCase(table + ".db"))
            file = e.path().string();
    }
    if (file.empty())
        return "<no file>";
    if (TStandardDriver::KindOf(file) == TStandardDriver::TFileKind::Paradox)
        return paradoxDeclaration(file);
    sqlite3* db = nullptr;
    std::string sql;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type = 'table'", -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW)
            sql += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return sql;
}

Names column(const std::string& folder, const std::string& sql, const std::string& field) {
    TQuery q;
    q.SetDatabaseName(folder);
    q.SQL().Add(sql);
    q.Open();
    Names r;
    for (; !q.Eof(); q.Next())
        r.push_back(q.FieldByName(field));
    return r;
}

class SchemaReconcilerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestDialogs().Reset();
        dados = aside.Path() + "/dados";
        std::filesystem::create_directories(dados);
        work.Write("Brevanto.ini", "[BDados]\r\nTipo=Standard\r\nCaminho=" + dados + "\r\n");
    }

    // The reconciliation as the run has it: the shop's connection and its
    // kind read from the ini file, a gauge, and an environment whose boxes
    // and run log are kept here.
    struct Shop {
        std::string tipo;
        std::unique_ptr<TDatabase> database = OpenShopDatabase(&tipo);
        TScaleGauge gauge;
        TMessageEnvironment env;
        TSchemaReconciler reconciler{nullptr, *database, gauge, env, tipo};
        void ConferirTabelas() { reconciler.ConferirTabelas(); }
    };
    static std::unique_ptr<Shop> create() { return std::make_unique<Shop>(); }

    void schema(const std::vector<TSchemaRow>& rows) {
        std::filesystem::remove(work.Path() + "/Talvir.db");
        MakeSchemaTable(work.Path(), rows);
    }

    TTempFolder aside;
    std::string dados;
    TWorkFolder work;
};

TEST_F(SchemaReconcilerTest, MissingTableIsCreatedWithItsFirstFieldAsKeyThenTheOthersInOrder) {
    auto shop = create();
    schema(
        {{"Pedidos", "Numero", "Autoinc"}, {"Pedidos", "Data", "TimeStamp"}, {"Pedidos", "Valor", "Money"}});
    shop->ConferirTabelas();
    EXPECT_EQ(FieldsOf(dados, "Pedidos"), (Names{"Numero", "Data", "Valor"}));
    const std::string decl = declaration(dados, "Pedidos");
    EXPECT_NE(decl.find("PRIMARY KEY(Numero)"), std::string::npos) << decl;
    // Types pass unchanged for local tables, which take them as Paradox types.
    EXPECT_NE(decl.find("Numero +"), std::string::npos) << decl;
    EXPECT_NE(decl.find("Data @"), std::string::npos) << decl;
    EXPECT_NE(decl.find("Valor $"), std::string::npos) << decl;
    EXPECT_TRUE(shop->env.messages.empty());
}

// The maker ships the schema table as a Paradox file: its rows come in the
// order they are stored (the block chain's order, not the file's, and not
// alphabetical), and that order decides each new table's key.
TEST_F(SchemaReconcilerTest, ParadoxSchemaTableKeysFollowTheStoredOrder) {
    auto shop = create();
    TParadoxWriter w;
    w.fields = {{"Tabela", 40}, {"Campo", 40}, {"Tipo", 30}};
    w.records = {{"Vendas", "Total", "Float"},
                 {"Vendas", "Numero", "Integer"},
                 {"Clientes", "Nome", "Varchar(40)"},
                 {"Clientes", "Codigo", "Integer"}};
    w.recordsPerBlock = 1;
    w.blockOrder = {3, 1, 4, 2};
    std::filesystem::remove(work.Path() + "/Talvir.db");
    w.Write(work.Path() + "/Talvir.db");
    shop->ConferirTabelas();
    EXPECT_EQ(FieldsOf(dados, "Vendas"), (Names{"Total", "Numero"}));
    EXPECT_EQ(FieldsOf(dados, "Clientes"), (Names{"Nome", "Codigo"}));
    EXPECT_NE(declaration(dados, "Vendas").find("PRIMARY KEY(Total)"), std::string::npos);
    EXPECT_NE(declaration(dados, "Clientes").find("PRIMARY KEY(Nome)"), std::string::npos);
    EXPECT_TRUE(shop->env.messages.empty());
}

TEST_F(SchemaReconcilerTest, TableUnderAnotherLetterCaseGetsOnlyItsMissingFields) {
    ExecIn(dados, "CREATE TABLE CAD_PRODUTOS (codigo Integer, NOME Varchar(20), PRIMARY KEY(codigo))");
    auto shop = create();
    schema({{"Cad_Produtos", "Codigo", "Integer"},
            {"Cad_Produtos", "Nome", "Varchar(20)"},
            {"Cad_Produtos", "Preco", "Float"}});
    shop->ConferirTabelas();
    EXPECT_EQ(TablesOf(dados), Names{"CAD_PRODUTOS"});
    EXPECT_EQ(FieldsOf(dados, "CAD_PRODUTOS"), (Names{"codigo", "NOME", "Preco"}));
}

TEST_F(SchemaReconcilerTest, AccentedLettersCompareByteForByte) {
    ExecIn(dados, Txt("CREATE TABLE Promoção (Codigo Integer, PRIMARY KEY(Codigo))"));
    auto shop = create();
    // Only a to z are upper-cased: "PROMOçãO" is the listed table...
    shop->gauge.SetMaxValue(100);
    schema({{Txt("PROMOçãO"), "Codigo", "Integer"}, {Txt("PROMOçãO"), "Valor", "Float"}});
    shop->ConferirTabelas();
    EXPECT_EQ(shop->gauge.Progress(), 0) << "found at the first name";
    EXPECT_EQ(FieldsOf(dados, Txt("Promoção")), (Names{"Codigo", "Valor"}));

    // ...and "PROMOÇÃO" is not: the whole list is passed over.
    shop.reset();
    auto again = create();
    again->gauge.SetMaxValue(100);
    schema({{Txt("PROMOÇÃO"), "Codigo", "Integer"}});
    try {
        again->ConferirTabelas();
    } catch (const EDBEngineError&) {
    }
    EXPECT_EQ(again->gauge.Progress(), 1);
}

TEST_F(SchemaReconcilerTest, ServerKindDropsTheOwnerAndSubstitutesTypes) {
    ExecIn(dados, "CREATE TABLE Abcd (Codigo Integer, PRIMARY KEY(Codigo))");
    auto shop = create();
    shop->reconciler.SetDatabaseKind("MSSQL");
    schema({{"Abcd", "Codigo", "Integer"},
            {"Abcd", "Total", "Money"},
            {"Novos", "Id", "Autoinc"},
            {"Novos", "Quando", "TimeStamp"},
            {"Novos", "Hora", "Time"},
            {"Novos", "Nome", "Varchar(10)"}});
    shop->ConferirTabelas();
    // A listed name of four characters or fewer leaves no key after the
    // owner is dropped: the existing table is "created" again, which fails
    // with its message, and its missing field is still added. The message
    // and every statement go to the environment given, in order.
    EXPECT_EQ(shop->env.messages, Names{"Problemas ao criar tabela Abcd"});
    EXPECT_TRUE(TestDialogs().shown.empty());
    const Names& logged = shop->env.log.Lines;
    ASSERT_EQ(logged.size(), 6u);
    EXPECT_EQ(logged[0].rfind("sql CREATE TABLE Abcd (Codigo Integer, PRIMARY KEY(Codigo)): failed: ", 0), 0u)
        << logged[0];
    EXPECT_EQ(
        Names(logged.begin() + 1, logged.end()),
        (Names{"sql ALTER TABLE Abcd ADD Total Float: ok",
               "sql CREATE TABLE Novos (Id Int, PRIMARY KEY(Id)): ok",
               "sql ALTER TABLE Novos ADD Quando DateTime: ok", "sql ALTER TABLE Novos ADD Hora DateTime: ok",
               "sql ALTER TABLE Novos ADD Nome Varchar(10): ok"}));
    EXPECT_EQ(FieldsOf(dados, "Abcd"), (Names{"Codigo", "Total"}));
    EXPECT_NE(declaration(dados, "Abcd").find("Total N"), std::string::npos) << declaration(dados, "Abcd");
    const std::string novos = declaration(dados, "Novos");
    for (const char* part : {"Id I,", "PRIMARY KEY(Id)", "Quando @", "Hora @", "Nome A10"})
        EXPECT_NE(novos.find(part), std::string::npos) << part << " in " << novos;
}

TEST_F(SchemaReconcilerTest, CommissionTableHasItsFixedKey) {
    auto shop = create();
    schema({{"ComissaoVendedores", "Vendedor", "Integer"},
            {"ComissaoVendedores", "Desconto", "Float"},
            {"ComissaoVendedores", "Comissao", "Float"}});
    shop->ConferirTabelas();
    EXPECT_EQ(FieldsOf(dados, "ComissaoVendedores"), (Names{"Vendedor", "Desconto", "Comissao"}));
    const std::string decl = declaration(dados, "ComissaoVendedores");
    EXPECT_NE(decl.find("Vendedor A2"), std::string::npos) << decl;
    EXPECT_NE(decl.find("PRIMARY KEY(Vendedor, Desconto)"), std::string::npos) << decl;
}

TEST_F(SchemaReconcilerTest, NewMailingFieldIsSetForExistingCustomersOnlyWhenAdded) {
    ExecIn(dados, "CREATE TABLE Cad_Clientes (Codigo Integer, Nome Varchar(20), PRIMARY KEY(Codigo))");
    ExecIn(dados, "INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (1, 'Ana')");
    ExecIn(dados, "INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (2, 'Rui')");
    auto shop = create();
    schema({{"Cad_Clientes", "Codigo", "Integer"},
            {"Cad_Clientes", "Nome", "Varchar(20)"},
            {"Cad_Clientes", "MalaDireta", "Char(1)"}});
    shop->ConferirTabelas();
    const std::string select = "SELECT MalaDireta FROM Cad_Clientes ORDER BY Codigo";
    EXPECT_EQ(column(dados, select, "MalaDireta"), (Names{"T", "T"}));

    // Already there: no UPDATE touches a customer without the flag.
    ExecIn(dados, "INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (3, 'Eva')");
    shop->ConferirTabelas();
    EXPECT_EQ(column(dados, select, "MalaDireta"), (Names{"T", "T", ""}));
}

TEST_F(SchemaReconcilerTest, SameFieldTwiceEndsWithTheEngineErrorKeepingWhatWasDone) {
    auto shop = create();
    schema({{"Caixa", "Numero", "Integer"}, {"Caixa", "Saldo", "Float"}, {"Caixa", "Saldo", "Float"}});
    EXPECT_THROW(shop->ConferirTabelas(), EDBEngineError);
    EXPECT_EQ(FieldsOf(dados, "Caixa"), (Names{"Numero", "Saldo"}));
}

TEST_F(SchemaReconcilerTest, EmptyDatabaseGetsEverySchemaTable) {
    auto shop = create();
    shop->gauge.SetMaxValue(5000);
    shop->gauge.SetProgress(5000);
    schema({{"Alfa", "A", "Integer"}, {"Beta", "B", "Integer"}, {"Beta", "C", "Float"}});
    shop->ConferirTabelas();
    EXPECT_EQ(TablesOf(dados), (Names{"Alfa", "Beta"}));
    EXPECT_EQ(FieldsOf(dados, "Beta"), (Names{"B", "C"}));
    EXPECT_EQ(shop->gauge.MaxValue(), 0);
    EXPECT_EQ(shop->gauge.Progress(), 0);
}

TEST_F(SchemaReconcilerTest, GaugeCountsComparisonsWithoutReset) {
    for (const char* t : {"Alpha", "Beta", "Gamma"})
        ExecIn(dados, std::string("CREATE TABLE ") + t + " (Id Integer, PRIMARY KEY(Id))");
    auto shop = create();
    // "Beta" is found at the second name (one step), "Delta" after all
    // three: 4, held at the maximum of 3.
    schema({{"Beta", "Id", "Integer"}, {"Delta", "Id", "Integer"}});
    shop->ConferirTabelas();
    EXPECT_EQ(shop->gauge.MaxValue(), 3);
    EXPECT_EQ(shop->gauge.Progress(), 3);
}

// The gauge shows, table by table, the names a search of the list in its
// order passes over before the match: the progress at the start of each
// schema table is recorded.
TEST_F(SchemaReconcilerTest, GaugeStepsAreTheNamesPassedOverTableByTable) {
    for (const char* t : {"Alpha", "Beta", "Delta", "Epsilon", "Gamma"})
        ExecIn(dados, std::string("CREATE TABLE ") + t + " (Id Integer, PRIMARY KEY(Id))");
    struct TRecordingGauge : TScaleGauge {
        std::vector<int32_t> seen;
        void SetMaxValue(int32_t v) override {
            seen.push_back(Progress());
            TScaleGauge::SetMaxValue(v);
        }
    } gauge;
    std::string tipo;
    auto database = OpenShopDatabase(&tipo);
    TMessageEnvironment env;
    TSchemaReconciler reconciler(nullptr, *database, gauge, env, tipo);
    gauge.SetProgress(0);
    // In the schema's group order: "BETA" after one name, "Delta" after two,
    // "Epsilon" after three (held at 5), "Zulu" after all five.
    schema({{"Delta", "Id", "Integer"},
            {"BETA", "Id", "Integer"},
            {"Epsilon", "Id", "Integer"},
            {"Zulu", "Id", "Integer"}});
    reconciler.ConferirTabelas();
    EXPECT_EQ(gauge.seen, (std::vector<int32_t>{0, 1, 3, 5}));
    EXPECT_EQ(gauge.Progress(), 5);
    EXPECT_EQ(FieldsOf(dados, "Zulu"), Names{"Id"});
}

TEST_F(SchemaReconcilerTest, HostileRowStopsTheReconciliationBeforeAnyStatement) {
    ExecIn(dados, "CREATE TABLE Cad_Clientes (Codigo Integer, Nome Varchar(20), PRIMARY KEY(Codigo))");
    struct Row {
        TSchemaRow bad;
        const char* column;
    };
    const Row rows[] = {
        {{"Cad_Clientes", "Idade", "INTEGER, DROP Nome"}, "Tipo"},
        {{"O'Brien", "Id", "Integer"}, "Tabela"},
        {{"Cad_Clientes", "Idade Integer, Nome", "Integer"}, "Campo"},
        {{"Cad_Clientes", "Idade", "Integer;DROP X"}, "Tipo"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bad.Tipo);
        auto shop = create();
        // The hostile row comes last: the rows before it are not applied
        // either.
        schema({{"Vendas", "Numero", "Integer"}, {"Cad_Clientes", "Email", "Varchar(40)"}, row.bad});
        try {
            shop->ConferirTabelas();
            ADD_FAILURE() << "accepted";
        } catch (const ESchemaRowError& e) {
            EXPECT_EQ(e.Message().rfind("Talvir.db, linha 3 (Tabela \"" + row.bad.Tabela + "\"", 0), 0u)
                << e.Message();
            EXPECT_NE(e.Message().find(std::string(row.column) + " recusado"), std::string::npos)
                << e.Message();
        }
        EXPECT_TRUE(shop->env.messages.empty());
        EXPECT_EQ(TablesOf(dados), Names{"Cad_Clientes"});
        EXPECT_EQ(FieldsOf(dados, "Cad_Clientes"), (Names{"Codigo", "Nome"}));
    }
}

TEST_F(SchemaReconcilerTest, MissingSchemaTableIsAnEngineError) {
    auto shop = create();
    EXPECT_THROW(shop->ConferirTabelas(), EDBEngineError);
}

} // namespace
