// Schema reconciliation on the two server kinds: "Interbase" on the Firebird
// server and "MSSQL" through ODBC (PostgreSQL standing in, tables in schema
// dbo, SQL Server type names as domains), both started by
// scripts/start-services.sh. The window is opened from Brevanto.ini as in a
// real run; what the reconciliation did is read back from the server's
// catalogue through a connection of the test's own.
//
// The two kinds share one database each with the other tests, which ctest
// runs two at a time: every table here has a name no other test uses, and is
// dropped before and after the test.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "app/RunEnvironment.h"
#include "app/SchemaReconciler.h"
#include "db/DBTables.h"
#include "db/FirebirdClient.h"
#include "platform/SharedLibrary.h"
#include "platform/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/db/EngineProbe.h"
#include "tests/support/PortableEnv.h"
#include "tests/support/RequireOrSkip.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;
using namespace vx::test;

namespace {

using Names = std::vector<std::string>;

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

enum class TKind { Interbase, Mssql };

std::string kindName(TKind k) {
    return k == TKind::Interbase ? "Interbase" : "MSSQL";
}
void PrintTo(TKind k, std::ostream* os) {
    *os << kindName(k);
}

// One field as the server's catalogue describes it: the name upper-cased and
// the type in the server's own words.
struct TColumn {
    std::string name, type;
    bool operator==(const TColumn&) const = default;
};
std::ostream& operator<<(std::ostream& o, const TColumn& c) {
    return o << c.name << ":" << c.type;
}
using Columns = std::vector<TColumn>;

std::string firebirdType(const std::string& code) {
    static const std::pair<const char*, const char*> types[] = {
        {"7", "SMALLINT"}, {"8", "INTEGER"}, {"10", "FLOAT"},  {"12", "DATE"},      {"13", "TIME"},
        {"14", "CHAR"},    {"16", "BIGINT"}, {"27", "DOUBLE"}, {"35", "TIMESTAMP"}, {"37", "VARCHAR"},
    };
    for (const auto& [c, n] : types)
        if (code == c)
            return n;
    return "type " + code;
}

class SchemaReconcilerServers : public ::testing::TestWithParam<TKind> {
protected:
    void SetUp() override {
        TestDialogs().Reset();
        if (const char* c = std::getenv("UPDATER_DBCONFIG"))
            savedConfig = c;
        hadConfig = std::getenv("UPDATER_DBCONFIG") != nullptr;
        const char* var = kind() == TKind::Interbase ? "VX_FB_DATABASE" : "VX_PG_DSN";
        if (!ServerEnvSet(var))
            return;
#ifdef _WIN32
        // No Firebird client library is packaged for Windows: under Wine the
        // Interbase kind cannot connect (the engine's tests check the message).
        if (kind() == TKind::Interbase) {
            TSharedLibrary client;
            if (!client.Load(TFirebirdClient::SystemFileName()))
                GTEST_SKIP() << "no Firebird client library (fbclient.dll) here";
        }
#endif
        // The engine's aliases, of this test's own: the kind's fixed alias
        // "Talvir", and for MSSQL an alias that Caminho names.
        work.Write("aliases.ini", "[Talvir]\nTYPE=INTERBASE\n\n[RcShop]\nTYPE=MSSQL\nODBC DSN=" +
                                      env("VX_PG_DSN") + "\nLOGIN TIMEOUT=5\n");
        setenv("UPDATER_DBCONFIG", (work.Path() + "/aliases.ini").c_str(), 1);
        if (kind() == TKind::Interbase) {
            work.Write("Brevanto.ini",
                       "[BDados]\r\nTipo=Interbase\r\nCaminho=" + env("VX_FB_DATABASE") + "\r\n");
            peek.SetAliasName("Talvir");
            peek.Params().Add("SERVER NAME=" + env("VX_FB_DATABASE"));
            peek.Params().Add("USER NAME=SYSDBA");
            peek.Params().Add("password=quillrose");
        } else {
            work.Write("Brevanto.ini", "[BDados]\r\nTipo=MSSQL\r\nCaminho=RcShop\r\nSenhaBD=Sim\r\n");
            peek.SetAliasName("RcShop");
            peek.Params().Add("USER NAME=sa");
            peek.Params().Add("password=7302518");
        }
        peek.SetDatabaseName("RcPeek");
        peek.SetLoginPrompt(false);
        peek.Open();
        ready = true;
    }

    void TearDown() override {
        // The connection goes first, so that nothing holds the tables.
        rec.reset();
        database.reset();
        if (ready)
            dropAll();
        peek.Close();
        if (hadConfig)
            setenv("UPDATER_DBCONFIG", savedConfig.c_str(), 1);
        else
            unsetenv("UPDATER_DBCONFIG");
    }

    TKind kind() const {
        return GetParam();
    }
    bool mssql() const {
        return kind() == TKind::Mssql;
    }

    // Tables of the test, dropped now and again at its end.
    void uses(const Names& tables) {
        for (const auto& t : tables)
            owned.push_back(t);
        dropAll();
    }
    void dropAll() {
        for (const auto& t : owned)
            exec("DROP TABLE " + t, true);
    }

    void exec(const std::string& sql, bool mayFail = false) {
        ExecLines("RcPeek", {sql}, mayFail);
    }
    Names select(const std::string& sql) {
        TQuery q;
        q.SetDatabaseName("RcPeek");
        q.SQL().Add(sql);
        q.Open();
        Names r;
        for (; !q.Eof(); q.Next())
            r.push_back(q.FieldByName(q.FieldName(0)) +
                        (q.FieldCount() > 1 ? "|" + q.FieldByName(q.FieldName(1)) : ""));
        return r;
    }

    // The catalogue's name of a table: Firebird keeps unquoted names in
    // capitals, PostgreSQL in small letters.
    std::string stored(const std::string& table) const {
        std::string s = table;
        for (char& c : s)
            c = static_cast<char>(mssql() ? std::tolower(static_cast<unsigned char>(c))
                                          : std::toupper(static_cast<unsigned char>(c)));
        return s;
    }

    // Fields of a table in field order, with their types; empty when the
    // table does not exist.
    Columns columns(const std::string& table) {
        Names rows;
        if (mssql())
            rows =
                select("SELECT column_name, COALESCE(domain_name, data_type) FROM information_schema.columns "
                       "WHERE table_schema = 'dbo' AND table_name = '" +
                       stored(table) + "' ORDER BY ordinal_position");
        else
            rows = select("SELECT TRIM(rf.RDB$FIELD_NAME), f.RDB$FIELD_TYPE FROM RDB$RELATION_FIELDS rf "
                          "JOIN RDB$FIELDS f ON f.RDB$FIELD_NAME = rf.RDB$FIELD_SOURCE "
                          "WHERE rf.RDB$RELATION_NAME = '" +
                          stored(table) + "' ORDER BY rf.RDB$FIELD_POSITION");
        Columns out;
        for (const auto& r : rows) {
            const auto bar = r.find('|');
            const std::string type = r.substr(bar + 1);
            out.push_back({UpperCase(r.substr(0, bar)), mssql() ? type : firebirdType(type)});
        }
        return out;
    }
    Names fieldNames(const std::string& table) {
        Names out;
        for (const auto& c : columns(table))
            out.push_back(c.name);
        return out;
    }
    Names primaryKey(const std::string& table) {
        Names r;
        if (mssql())
            r = select(
                "SELECT k.column_name FROM information_schema.table_constraints c "
                "JOIN information_schema.key_column_usage k ON k.constraint_name = c.constraint_name "
                "AND k.table_schema = c.table_schema WHERE c.table_schema = 'dbo' AND c.table_name = '" +
                stored(table) + "' AND c.constraint_type = 'PRIMARY KEY' ORDER BY k.ordinal_position");
        else
            r = select("SELECT TRIM(s.RDB$FIELD_NAME) FROM RDB$RELATION_CONSTRAINTS c "
                       "JOIN RDB$INDEX_SEGMENTS s ON s.RDB$INDEX_NAME = c.RDB$INDEX_NAME "
                       "WHERE c.RDB$RELATION_NAME = '" +
                       stored(table) +
                       "' AND c.RDB$CONSTRAINT_TYPE = 'PRIMARY KEY' ORDER BY s.RDB$FIELD_POSITION");
        for (auto& n : r)
            n = UpperCase(n);
        return r;
    }

    // The reconciliation as a run has it: configuration read, the shop's
    // connection open.
    TSchemaReconciler& reconciler(const std::vector<TSchemaRow>& rows) {
        std::remove((work.Path() + "/Talvir.db").c_str());
        MakeSchemaTable(work.Path(), rows);
        if (!rec) {
            std::string tipo;
            database = OpenShopDatabase(&tipo);
            EXPECT_EQ(tipo, kindName(kind()));
            rec = std::make_unique<TSchemaReconciler>(nullptr, *database, gauge, machine, tipo);
        }
        return *rec;
    }

    // The engine's error that ended the reconciliation, or "" when none did.
    std::string failureOf(TSchemaReconciler& w) {
        try {
            w.ConferirTabelas();
        } catch (const EDBEngineError& e) {
            return e.what();
        }
        return "";
    }

    TWorkFolder work;
    TDatabase peek;
    TScaleGauge gauge;
    TPlatformRunEnvironment machine; // its boxes are those of the test dialogs
    std::unique_ptr<TDatabase> database;
    std::unique_ptr<TSchemaReconciler> rec;
    Names owned;
    bool hadConfig = false;
    std::string savedConfig;
    bool ready = false;
};

TEST_P(SchemaReconcilerServers, TableUnderAnotherLetterCaseGetsOnlyItsMissingFields) {
    uses({"RcProdutos"});
    // Written without quotes, the server keeps the name in its own letter
    // case, never as the schema table spells it.
    exec("CREATE TABLE rcPRODUTOS (codigo Integer NOT NULL, NOME Varchar(20), PRIMARY KEY(codigo))");
    exec("INSERT INTO rcPRODUTOS (codigo, NOME) VALUES (7, 'Lixa')");
    reconciler({{"RcProdutos", "Codigo", "Integer"},
                {"RcProdutos", "Nome", "Varchar(20)"},
                {"RcProdutos", "Preco", "Float"},
                {"RcProdutos", "Estoque", "Integer"}})
        .ConferirTabelas();
    EXPECT_EQ(TestDialogs().Texts(), Names{}) << "no CREATE was tried";
    EXPECT_EQ(fieldNames("RcProdutos"), (Names{"CODIGO", "NOME", "PRECO", "ESTOQUE"}));
    EXPECT_EQ(select("SELECT NOME FROM RcProdutos"), Names{"Lixa"}) << "the table is the one that was there";
}

TEST_P(SchemaReconcilerServers, MissingTableIsCreatedWithTheFirstRowAsKeyThenAltered) {
    uses({"RcPedidos"});
    reconciler({{"RcPedidos", "Numero", "Integer"},
                {"RcPedidos", "Cliente", "Varchar(30)"},
                {"RcPedidos", "Total", "Float"}})
        .ConferirTabelas();
    EXPECT_EQ(TestDialogs().Texts(), Names{});
    EXPECT_EQ(primaryKey("RcPedidos"), Names{"NUMERO"});
    // The fields in row order: one CREATE, then one ALTER for each other row.
    const std::string text = mssql() ? "character varying" : "VARCHAR";
    const std::string number = mssql() ? "double precision" : "FLOAT";
    const std::string integer = mssql() ? "integer" : "INTEGER";
    EXPECT_EQ(columns("RcPedidos"), (Columns{{"NUMERO", integer}, {"CLIENTE", text}, {"TOTAL", number}}));
}

TEST_P(SchemaReconcilerServers, CommissionTableGetsItsFixedStatementThenItsOtherFields) {
    uses({"ComissaoVendedores"});
    reconciler({{"ComissaoVendedores", "Vendedor", "Integer"},
                {"ComissaoVendedores", "Comissao", "Float"},
                {"ComissaoVendedores", "Desconto", "Float"},
                {"ComissaoVendedores", "Meta", "Float"}})
        .ConferirTabelas();
    EXPECT_EQ(TestDialogs().Texts(), Names{});
    EXPECT_EQ(primaryKey("ComissaoVendedores"), (Names{"VENDEDOR", "DESCONTO"}));
    // Vendedor is the fixed Varchar(2), not the row's Integer.
    const Columns c = columns("ComissaoVendedores");
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0], (TColumn{"VENDEDOR", mssql() ? "character varying" : "VARCHAR"}));
    EXPECT_EQ(c[1].name, "DESCONTO");
    EXPECT_EQ(c[2].name, "COMISSAO");
    EXPECT_EQ(c[3].name, "META");
}

TEST_P(SchemaReconcilerServers, NewMailingFieldIsSetForTheCustomersThereOnlyWhenAdded) {
    uses({"Cad_Clientes"});
    exec("CREATE TABLE Cad_Clientes (Codigo Integer NOT NULL, Nome Varchar(20), PRIMARY KEY(Codigo))");
    exec("INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (1, 'Ana')");
    exec("INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (2, 'Rui')");
    std::vector<TSchemaRow> rows = {{"Cad_Clientes", "Codigo", "Integer"},
                                    {"Cad_Clientes", "Nome", "Varchar(20)"},
                                    {"Cad_Clientes", "MalaDireta", "Varchar(1)"}};
    reconciler(rows).ConferirTabelas();
    const std::string flags = "SELECT Codigo, COALESCE(MalaDireta, '-') FROM Cad_Clientes ORDER BY Codigo";
    EXPECT_EQ(select(flags), (Names{"1|T", "2|T"}));

    // The field is there now: a second run that adds another field of the
    // table sends no UPDATE.
    exec("INSERT INTO Cad_Clientes (Codigo, Nome) VALUES (3, 'Eva')");
    rows.push_back({"Cad_Clientes", "Email", "Varchar(40)"});
    reconciler(rows).ConferirTabelas();
    EXPECT_EQ(select(flags), (Names{"1|T", "2|T", "3|-"}));
    EXPECT_EQ(fieldNames("Cad_Clientes"), (Names{"CODIGO", "NOME", "MALADIRETA", "EMAIL"}));
    EXPECT_EQ(TestDialogs().Texts(), Names{});
}

TEST_P(SchemaReconcilerServers, SameFieldTwiceEndsWithTheServersErrorKeepingWhatWasDone) {
    uses({"RcAntes", "RcCaixa", "RcDepois"});
    // The schema table's names come sorted: RcAntes, RcCaixa, RcDepois.
    const std::string error = failureOf(reconciler({{"RcCaixa", "Numero", "Integer"},
                                                    {"RcCaixa", "Saldo", "Float"},
                                                    {"RcCaixa", "Saldo", "Float"},
                                                    {"RcCaixa", "Troco", "Float"},
                                                    {"RcDepois", "Id", "Integer"},
                                                    {"RcAntes", "Id", "Integer"},
                                                    {"RcAntes", "Nome", "Varchar(10)"}}));
    // The server's own text, as the engine carries it.
    EXPECT_NE(error.find(mssql() ? "already exists" : "RDB$RELATION_FIELDS"), std::string::npos) << error;
    // Each statement took effect by itself, and the run stopped at the error.
    EXPECT_EQ(fieldNames("RcAntes"), (Names{"ID", "NOME"}));
    EXPECT_EQ(fieldNames("RcCaixa"), (Names{"NUMERO", "SALDO"}));
    EXPECT_EQ(fieldNames("RcDepois"), Names{});
}

TEST_P(SchemaReconcilerServers, TypeThatWouldDropAColumnIsRefusedBeforeAnyStatement) {
    uses({"RcHostil"});
    exec("CREATE TABLE RcHostil (Id Integer NOT NULL, Nome Varchar(10), PRIMARY KEY(Id))");
    // Sent as it stands, the ALTER statement would be one that adds a field
    // and drops another.
    TSchemaReconciler& w =
        reconciler({{"RcHostil", "Id", "Integer"}, {"RcHostil", "Idade", "Integer, DROP Nome"}});
    EXPECT_THROW(w.ConferirTabelas(), ESchemaRowError);
    EXPECT_EQ(fieldNames("RcHostil"), (Names{"ID", "NOME"}));
    EXPECT_EQ(TestDialogs().Texts(), Names{});
}

INSTANTIATE_TEST_SUITE_P(Kinds, SchemaReconcilerServers, ::testing::Values(TKind::Interbase, TKind::Mssql),
                         [](const auto& info) { return kindName(info.param); });

// ---- what differs between the kinds -----------------------------------------

class SchemaReconcilerMssql : public SchemaReconcilerServers {};
class SchemaReconcilerInterbase : public SchemaReconcilerServers {};

TEST_P(SchemaReconcilerMssql, TypeNamesOfTheLocalTablesBecomeTheServersExactly) {
    uses({"RcTipos"});
    reconciler({{"RcTipos", "Id", "Autoinc"},
                {"RcTipos", "Quando", "TimeStamp"},
                {"RcTipos", "Hora", "Time"},
                {"RcTipos", "Valor", "Money"},
                {"RcTipos", "Nome", "Varchar(10)"},
                // The names compare exactly: this one goes as written, and the
                // stand-in server happens to know it.
                {"RcTipos", "Troco", "money"}})
        .ConferirTabelas();
    EXPECT_EQ(TestDialogs().Texts(), Names{});
    EXPECT_EQ(columns("RcTipos"), (Columns{{"ID", "integer"},
                                           {"QUANDO", "datetime"},
                                           {"HORA", "datetime"},
                                           {"VALOR", "double precision"},
                                           {"NOME", "character varying"},
                                           {"TROCO", "money"}}));
    EXPECT_EQ(primaryKey("RcTipos"), Names{"ID"});
}

TEST_P(SchemaReconcilerMssql, ListedNameOfFourCharactersOrFewerMatchesNothing) {
    // The listed names carry a four-character owner ("dbo."); a table of
    // another owner can make the whole listed name that short. "q.rc" leaves
    // no key, so the schema's "Rc" is not found and is made under dbo.
    uses({"q.rc", "dbo.rc"});
    exec("CREATE SCHEMA IF NOT EXISTS q");
    exec("CREATE TABLE q.rc (Id Int NOT NULL, PRIMARY KEY(Id))");
    TStringList listed;
    TSchemaReconciler& r = reconciler({{"Rc", "Id", "Int"}, {"Rc", "Nome", "Varchar(10)"}});
    database->GetTableNames(listed);
    ASSERT_GE(listed.IndexOf("q.rc"), 0);
    r.ConferirTabelas();
    EXPECT_EQ(TestDialogs().Texts(), Names{});
    EXPECT_EQ(fieldNames("Rc"), (Names{"ID", "NOME"}));
    EXPECT_EQ(primaryKey("Rc"), Names{"ID"});
    EXPECT_EQ(select("SELECT column_name FROM information_schema.columns WHERE table_schema = 'q' AND "
                     "table_name = 'rc'"),
              Names{"id"})
        << "the other owner's table is left alone";
}

TEST_P(SchemaReconcilerInterbase, TypesPassUnchangedAndTheServerRefusesTheLocalOnes) {
    uses({"RcHoras", "RcSaldos", "RcVendas"});
    exec("CREATE TABLE RcSaldos (Id Integer NOT NULL, PRIMARY KEY(Id))");
    // "TimeStamp" and "Time" are the server's own types and go as written.
    auto& w = reconciler({{"RcHoras", "Quando", "TimeStamp"}, {"RcHoras", "Hora", "Time"}});
    w.ConferirTabelas();
    EXPECT_EQ(columns("RcHoras"), (Columns{{"QUANDO", "TIMESTAMP"}, {"HORA", "TIME"}}));

    // "Money" is unknown to the server: the ALTER fails with its text and
    // ends the reconciliation.
    std::string error = failureOf(reconciler({{"RcSaldos", "Id", "Integer"},
                                              {"RcSaldos", "Valor", "Money"},
                                              {"RcSaldos", "Nome", "Varchar(10)"}}));
    EXPECT_NE(error.find("SQL error code"), std::string::npos) << error;
    EXPECT_EQ(fieldNames("RcSaldos"), Names{"ID"});
    EXPECT_EQ(TestDialogs().Texts(), Names{});

    // "Autoinc" as the first row's type: the CREATE fails with its message,
    // and opening the table that was not made ends the run.
    error = failureOf(reconciler({{"RcVendas", "Numero", "Autoinc"}, {"RcVendas", "Total", "Float"}}));
    EXPECT_EQ(TestDialogs().Texts(), Names{"Problemas ao criar tabela RcVendas"});
    EXPECT_NE(error.find("Table unknown"), std::string::npos) << error;
    EXPECT_EQ(fieldNames("RcVendas"), Names{});
}

INSTANTIATE_TEST_SUITE_P(Kind, SchemaReconcilerMssql, ::testing::Values(TKind::Mssql),
                         [](const auto& info) { return kindName(info.param); });
INSTANTIATE_TEST_SUITE_P(Kind, SchemaReconcilerInterbase, ::testing::Values(TKind::Interbase),
                         [](const auto& info) { return kindName(info.param); });

} // namespace
