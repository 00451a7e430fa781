// The INTERBASE kind against a real Firebird 3 server, opened as the updater
// opens it: alias "Talvir", SERVER NAME from the ini file, SYSDBA/quillrose.
#include "db/InterbaseDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "db/DBTables.h"
#include "db/FirebirdClient.h"
#include "platform/SharedLibrary.h"
#include "tests/db/EngineProbe.h"
#include "tests/db/ServerTestSupport.h"

using namespace vx::db;
using namespace vx::test;

using Strings = std::vector<std::string>;

namespace {

#ifdef _WIN32
// Whether the system's Firebird client library loads. Under Wine it does not:
// no Windows client library is packaged, so the tests that need one skip
// there and the failure its absence gives is what is tested.
bool ClientHere() {
    TSharedLibrary library;
    return library.Load(TFirebirdClient::SystemFileName());
}
#endif

class Interbase : public ::testing::Test {
protected:
    TAliasFile aliases{"[Talvir]\nTYPE=INTERBASE\n"};
    TDatabase db;
    std::vector<std::string> created;

    void SetUp() override {
        if (!ServerEnvSet("VX_FB_DATABASE"))
            return;
#ifdef _WIN32
        if (!ClientHere())
            GTEST_SKIP() << "no Firebird client library (fbclient.dll) here";
#endif
        open(EnvOr("VX_FB_DATABASE"),
             EnvOr("VX_FB_PASSWORD").empty() ? "quillrose" : EnvOr("VX_FB_PASSWORD"));
    }
    void TearDown() override {
        for (const auto& t : created)
            try {
                exec({"DROP TABLE " + t});
            } catch (const EDBEngineError&) {
            }
    }
    void open(const std::string& server, const std::string& password) {
        db.SetConnected(false);
        db.Params().Clear();
        db.SetDatabaseName("Confeccao");
        db.SetAliasName("Talvir");
        db.SetLoginPrompt(false);
        db.Params().Add("SERVER NAME=" + server);
        db.Params().Add("USER NAME=SYSDBA");
        db.Params().Add("password=" + password);
        db.SetTransIsolation(tiReadCommitted);
        db.SetConnected(true);
    }
    void exec(const Strings& lines) {
        ExecLines("Confeccao", lines);
    }
    std::string failure(const Strings& lines) {
        return ExecFailure("Confeccao", lines);
    }
    Strings fields(const std::string& table) {
        return TableFields("Confeccao", table);
    }
};

TEST_F(Interbase, TheUpdatersStatementsTakeEffectOneByOne) {
    const std::string t = UniqueName("Vx_Clientes");
    exec({"CREATE TABLE " + t + " (", "Codigo Float, PRIMARY KEY(Codigo))"});
    created.push_back(t);
    EXPECT_NE(
        failure({"CREATE TABLE " + t + " (", "Codigo Float, PRIMARY KEY(Codigo))"}).find("already exists"),
        std::string::npos);
    exec({"ALTER TABLE " + t, " ADD Nome Varchar(20)"});
    exec({"ALTER TABLE " + t, " ADD Cadastro TimeStamp"});
    exec({"ALTER TABLE " + t, " ADD Nascimento Date"});
    exec({"INSERT INTO " + t + " (Codigo, Nome) VALUES (1.5, 'Jos\xe9')"});
    exec({"ALTER TABLE " + t, " ADD MalaDireta Varchar(2)"});
    exec({"UPDATE " + t + " SET MalaDireta = 'T' WHERE MalaDireta IS NULL"});

    TStringList names;
    db.GetTableNames(names);
    std::string upper = t;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_GE(names.IndexOf(upper), 0);
    for (const auto& n : names)
        EXPECT_EQ(n.rfind("RDB$", 0), std::string::npos) << n;
    EXPECT_EQ(fields(t), (Strings{"CODIGO", "NOME", "CADASTRO", "NASCIMENTO", "MALADIRETA"}));

    // A second connection sees every change: each statement committed.
    TDatabase other;
    other.SetDatabaseName("Outra");
    other.SetAliasName("Talvir");
    other.Params().Add("SERVER NAME=" + EnvOr("VX_FB_DATABASE"));
    other.Params().Add("USER NAME=SYSDBA");
    other.Params().Add("password=quillrose");
    TQuery q;
    q.SetDatabaseName("Outra");
    q.SQL().Add("SELECT * FROM " + t);
    q.Open();
    ASSERT_FALSE(q.Eof());
    EXPECT_EQ(q.FieldByName("Codigo"), "1.5");
    EXPECT_EQ(q.FieldByName("NOME"), "Jos\xe9");
    EXPECT_EQ(q.FieldByName("MalaDireta"), "T");
    EXPECT_EQ(q.FieldByName("Cadastro"), "");
    q.Next();
    EXPECT_TRUE(q.Eof());
}

TEST_F(Interbase, TypesTheServerRefusesFailWithItsText) {
    const std::string t = UniqueName("Vx_Tipos");
    exec({"CREATE TABLE " + t + " (", "A Float NOT NULL, PRIMARY KEY(A))"});
    created.push_back(t);
    for (const char* type : {"Autoinc", "Money", "Alpha(20)", "Logical"})
        EXPECT_NE(failure({"ALTER TABLE " + t, std::string(" ADD F ") + type}).find("SQL error code"),
                  std::string::npos)
            << type;
    const std::string twice =
        (exec({"ALTER TABLE " + t, " ADD B Float"}), failure({"ALTER TABLE " + t, " ADD B Float"}));
    EXPECT_NE(twice.find("RDB$RELATION_FIELDS"), std::string::npos) << twice;
}

TEST_F(Interbase, FailuresCarryTheServersText) {
    EXPECT_THROW(fields("VX_NO_SUCH_TABLE"), EDBEngineError);
    try {
        fields("VX_NO_SUCH_TABLE");
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find("Table unknown"), std::string::npos) << e.what();
    }
    try {
        open(EnvOr("VX_FB_DATABASE"), "wrong");
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find("user name and password are not defined"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(db.Connected());
    try {
        open("127.0.0.1:/nonexistent/vx.fdb", "quillrose");
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
    }
}

TEST(InterbaseAlias, UnknownAliasIsNamed) {
    TAliasFile aliases{"[Outro]\nTYPE=INTERBASE\n"};
    TDatabase db;
    db.SetAliasName("Talvir");
    try {
        db.SetConnected(true);
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find("Unknown alias: Talvir"), std::string::npos) << e.what();
    }
}

// Values come as the engine's texts, whatever the column's type.
TEST_F(Interbase, ValuesReadAsText) {
    if (!ServerEnvSet("VX_FB_DATABASE"))
        return;
    TConnectionSettings settings;
    settings.driver = "INTERBASE";
    settings.params.Add("SERVER NAME=" + EnvOr("VX_FB_DATABASE"));
    settings.params.Add("USER NAME=SYSDBA");
    settings.params.Add("PASSWORD=quillrose");
    TInterbaseDriver driver(settings);
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"CAST('2024-02-29' AS DATE)", "2024-02-29"},
        {"CAST('1858-11-16' AS DATE)", "1858-11-16"},
        {"CAST('0001-01-01' AS DATE)", "0001-01-01"},
        {"CAST('13:45:07.250' AS TIME)", "13:45:07.250"},
        {"CAST('13:45:07' AS TIME)", "13:45:07"},
        {"CAST('2024-12-31 23:59:59.999' AS TIMESTAMP)", "2024-12-31 23:59:59.999"},
        {"CAST(2.50 AS NUMERIC(15,2))", "2.5"},
        {"CAST(-7 AS NUMERIC(4,1))", "-7"},
        {"CAST(12345678901 AS BIGINT)", "12345678901"},
        {"CAST(0.1 AS FLOAT)", "0.1"},
        {"CAST(0.1 AS DOUBLE PRECISION)", "0.1"},
        {"TRUE", "true"},
        {"CAST('ab' AS CHAR(4))", "ab  "},
        {"CAST('Pre\xe7o \x80' AS VARCHAR(20))", "Pre\xe7o \x80"},
        {"CAST('Pre\xe7o \x80' AS BLOB SUB_TYPE TEXT)", "Pre\xe7o \x80"},
        {"CAST(NULL AS INTEGER)", std::nullopt},
    };
    for (const auto& [expr, expected] : cases) {
        auto r = driver.Query("SELECT " + expr + " AS V FROM RDB$DATABASE\r\n");
        ASSERT_FALSE(r->Eof()) << expr;
        EXPECT_EQ(r->FieldName(0), "V");
        EXPECT_EQ(r->Value(0), expected) << expr;
    }
}

#ifndef _WIN32
// A plain path opens the file with the embedded engine, no server involved
// (the database is made by Firebird's own tool, a Linux program here).
TEST(InterbaseEmbedded, APlainPathOpensTheFile) {
    if (std::system("command -v isql-fb >/dev/null 2>&1") != 0)
        return RequireOrSkip("isql-fb (firebird3.0-utils) is not installed");
    TTempFolder dir;
    setenv("FIREBIRD_LOCK", (dir / "").c_str(), 1);
    const std::string file = dir / "loja.fdb";
    const std::string create = "echo \"CREATE DATABASE '" + file +
                               "' USER 'SYSDBA' PASSWORD 'x' DEFAULT CHARACTER SET UTF8; "
                               "CREATE TABLE CAD_CLIENTES (CODIGO INTEGER); COMMIT;\" | isql-fb -q";
    ASSERT_EQ(std::system(create.c_str()), 0);
    TConnectionSettings settings;
    settings.driver = "INTERBASE";
    settings.params.Add("SERVER NAME=" + file);
    settings.params.Add("USER NAME=SYSDBA");
    TInterbaseDriver driver(settings);
    EXPECT_EQ(driver.TableNames(false), Strings{"CAD_CLIENTES"});
    driver.ExecSQL("INSERT INTO CAD_CLIENTES VALUES (7)");
    EXPECT_EQ(driver.Query("SELECT CODIGO FROM CAD_CLIENTES")->Value(0), "7");
}

#endif

// The client library is loaded at run time; without it, or with a library
// that is not it, the connection fails naming the file.
TEST(InterbaseClient, AMissingOrWrongLibraryIsNamed) {
    const std::vector<std::pair<std::string, std::string>> cases{
#ifdef _WIN32
        {"vx-no-such-fbclient.dll", "The database client vx-no-such-fbclient.dll is not available: "},
        {"kernel32.dll", "The database client kernel32.dll lacks the entry point isc_attach_database"},
#else
        {"libvx-no-such-fbclient.so", "The database client libvx-no-such-fbclient.so is not available: "},
        {"libodbc.so.2", "The database client libodbc.so.2 lacks the entry point isc_attach_database"},
#endif
    };
    for (const auto& [file, text] : cases) {
        try {
            TFirebirdClient::Load(file);
            ADD_FAILURE() << file;
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(text, 0), 0u) << e.what();
        }
    }
#ifdef _WIN32
    if (ClientHere())
        return; // a Windows machine with the client installed
    // Under Wine: the shop's connection fails naming the library, every time
    // it is tried, as the updater's message to the shop shows it.
    TAliasFile aliases{"[Talvir]\nTYPE=INTERBASE\n"};
    for (int attempt = 0; attempt < 2; ++attempt) {
        TDatabase db;
        db.SetDatabaseName("Confeccao");
        db.SetAliasName("Talvir");
        db.SetLoginPrompt(false);
        db.Params().Add("SERVER NAME=127.0.0.1:C:\\Dados\\talvir.fdb");
        db.Params().Add("USER NAME=SYSDBA");
        try {
            db.SetConnected(true);
            ADD_FAILURE() << "connected without a client library";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("The database client fbclient.dll is not available: ", 0),
                      0u)
                << e.what();
        }
        EXPECT_FALSE(db.Connected());
    }
#else
    EXPECT_NO_THROW(TFirebirdClient::System());
#endif
}

} // namespace
