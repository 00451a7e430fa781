// The success path of the run on the two server kinds: "Interbase" on the
// Firebird server and "MSSQL" through ODBC (PostgreSQL standing in, tables in
// schema dbo), both started by scripts/start-services.sh.
#include <gtest/gtest.h>

#include <cstdlib>

#include "db/DBTables.h"
#include "tests/db/EngineProbe.h"
#include "tests/e2e/Shop.h"
#include "tests/support/RequireOrSkip.h"

using namespace vx::db;
using namespace vx::test;

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

// A connection of the test's own to look at what the run did.
struct Peek {
    Peek(const std::string& alias, const Strings& params) {
        db.SetDatabaseName("E2EPEEK");
        db.SetAliasName(alias);
        db.SetLoginPrompt(false);
        for (const auto& p : params)
            db.Params().Add(p);
        db.Open();
    }
    void exec(const std::string& sql, bool mayFail = false) { ExecLines("E2EPEEK", {sql}, mayFail); }
    Strings fields(const std::string& table) {
        Strings f = TableFields("E2EPEEK", table);
        for (auto& name : f)
            name = UpperCase(name);
        return f;
    }
    TDatabase db;
};

void runKind(Shop& shop, Peek& peek, const std::map<std::string, std::string>& ini, const SchemaRows& schema,
             const std::string& extraType) {
    for (const char* t : {"E2eClientes", "E2eVendas"})
        peek.exec(std::string("DROP TABLE ") + t, true);
    peek.exec("CREATE TABLE E2eClientes (Codigo Integer NOT NULL, PRIMARY KEY(Codigo))");
    shop.WriteIni(ini);
    WriteFile(shop.Path("Vendarix.exe"), ProgramScript("old"), true);
    shop.MakeProgramArchive();
    shop.MakeSchemaArchive(schema);
    Vsftpd server(shop.Maker());
    RunResult r = shop.Run(server.Port());
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    EXPECT_EQ(ReadFile(shop.Path("started.log")), "new\n");
    EXPECT_EQ(peek.fields("E2eClientes"), (Strings{"CODIGO", "NOME", "SALDO"}));
    EXPECT_EQ(peek.fields("E2eVendas"), (Strings{"NUMERO", "TOTAL", extraType}));
}

} // namespace

TEST(DatabaseKinds, InterbaseOnFirebird) {
    if (!ServerEnvSet("VX_FB_DATABASE"))
        return;
    std::string server = std::getenv("VX_FB_DATABASE");
    Peek peek("Talvir", {"SERVER NAME=" + server, "USER NAME=SYSDBA", "password=quillrose"});
    Shop shop;
    runKind(shop, peek, {{"Tipo", "Interbase"}, {"Caminho", server}, {"SistemaVendarix", "Vendarix"}},
            {{"E2eClientes", "Codigo", "Integer"},
             {"E2eClientes", "Nome", "Varchar(40)"},
             {"E2eClientes", "Saldo", "Float"},
             {"E2eVendas", "Numero", "Integer"},
             {"E2eVendas", "Total", "Float"},
             {"E2eVendas", "Quando", "TimeStamp"}},
            "QUANDO");
}

TEST(DatabaseKinds, MssqlThroughOdbc) {
    if (!ServerEnvSet("VX_PG_DSN"))
        return;
    std::string dsn = std::getenv("VX_PG_DSN");
    Peek peek(dsn, {"USER NAME=sa", "password=7302518"});
    Shop shop;
    // "Money" and "TimeStamp" only exist after the substitutions for this kind.
    runKind(shop, peek,
            {{"Tipo", "MSSQL"}, {"Caminho", dsn}, {"SenhaBD", "Sim"}, {"SistemaVendarix", "Vendarix"}},
            {{"E2eClientes", "Codigo", "Integer"},
             {"E2eClientes", "Nome", "Varchar(40)"},
             {"E2eClientes", "Saldo", "Money"},
             {"E2eVendas", "Numero", "Autoinc"},
             {"E2eVendas", "Total", "Money"},
             {"E2eVendas", "Quando", "TimeStamp"}},
            "QUANDO");
}
