// The INTERBASE kind against a real Firebird 3 server, opened as the updater
// opens it: alias "Talvir", SERVER NAME from the ini file, SYSDBA/quillrose.
#include "db/InterbaseDriver.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "db/DBTables.h"
#include "tests/db/EngineProbe.h"
#include "tests/db/ServerTestSupport.h"

using Strings = std::vector<std::string>;

namespace {

class Interbase : public ::testing::Test {
protected:
    TAliasFile aliases{"[Talvir]\nTYPE=INTERBASE\n"};
    TDatabase db;
    std::vector<std::string> created;

    void SetUp() override {
        if (!ServerEnvSet("VX_FB_DATABASE"))
            return;
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
    void exec(const Strings& lines) { ExecLines("Confeccao", lines); }
    std::string failure(const Strings& lines) { return ExecFailure("Confeccao", lines); }
    Strings fields(const std::string& table) { return TableFields("Confeccao", table); }
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

} // namespace
