// The engine's objects and rules that hold for every driver: aliases from
// the configuration file, parameters of an open connection, queries and
// table readers addressed by database name.
#include "db/DBTables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "db/Engine.h"
#include "tests/support/PortableEnv.h"
#include "tests/support/TempFolder.h"

using namespace vx::db;
using namespace vx::test;

using Strings = std::vector<std::string>;

namespace {

class AliasConfig : public ::testing::Test {
protected:
    TTempFolder dir;
    void SetUp() override { setenv("UPDATER_DBCONFIG", (dir / "aliases.ini").c_str(), 1); }
    void TearDown() override { unsetenv("UPDATER_DBCONFIG"); }
    void write(const std::string& text) { std::ofstream(dir / "aliases.ini") << text; }
};

TEST_F(AliasConfig, AliasParametersAreOverriddenByTheConnectionsOwn) {
    write("; comment\n[Other]\nTYPE=STANDARD\n\n[ talvir ]\nTYPE = interbase\nSERVER NAME = host:/x.fdb\n"
          "USER NAME=SYSDBA\nSQLDIALECT=3\n");
    TStringList own{"SERVER NAME=127.0.0.1:/y.fdb", "password=quillrose"};
    const TConnectionSettings s = ResolveSettings("Talvir", true, own, tiReadCommitted);
    EXPECT_EQ(s.driver, "INTERBASE");
    EXPECT_EQ(s.alias, "talvir");
    EXPECT_EQ(s.params.Value("SERVER NAME"), "127.0.0.1:/y.fdb");
    EXPECT_EQ(s.params.Value("USER NAME"), "SYSDBA");
    EXPECT_EQ(s.params.Value("PASSWORD"), "quillrose");
    EXPECT_EQ(s.params.Value("SQLDIALECT"), "3");
    EXPECT_EQ(s.params.Count(), 4);
}

// A file saved by a Windows editor starts with a UTF-8 byte-order mark; the
// first alias must not be lost behind it.
TEST_F(AliasConfig, AByteOrderMarkDoesNotHideTheFirstAlias) {
    write("\xEF\xBB\xBF[Talvir]\r\nTYPE=INTERBASE\r\nSERVER NAME=h:/x.fdb\r\n[Outro]\r\nTYPE=STANDARD\r\n");
    const TConnectionSettings s = ResolveSettings("Talvir", true, {}, tiReadCommitted);
    EXPECT_EQ(s.driver, "INTERBASE");
    EXPECT_EQ(s.params.Value("SERVER NAME"), "h:/x.fdb");
}

TEST_F(AliasConfig, UnknownAliasAndAliasWithoutTypeAreEngineErrors) {
    write("[Loja]\nODBC DSN=x\n");
    try {
        ResolveSettings("Talvir", true, {}, tiReadCommitted);
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find("Unknown alias: Talvir"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(dir / "aliases.ini"), std::string::npos) << e.what();
    }
    EXPECT_THROW(ResolveSettings("Loja", true, {}, tiReadCommitted), EDBEngineError);
    unsetenv("UPDATER_DBCONFIG");
#ifndef _WIN32
    // Windows' default (under %ProgramData%) is checked with the system's files.
    EXPECT_EQ(TEngineConfig::FileName(), "/etc/vendarix/aliases.ini");
#endif
}

TEST_F(AliasConfig, AStandardAliasOpensItsFolder) {
    TTempFolder shop;
    write("[Dados]\nTYPE=STANDARD\nPATH=" + shop.Path() + "\n");
    TDatabase db;
    db.SetDatabaseName("Confeccao");
    db.SetAliasName("Dados");
    TQuery q;
    q.SetDatabaseName("confeccao"); // database names match without regard to case
    q.SQL().Add("CREATE TABLE T (A Float, PRIMARY KEY(A))");
    q.ExecSQL();
    EXPECT_TRUE(db.Connected());
    TStringList l{"stale"};
    db.GetTableNames(l);
    EXPECT_EQ(l.Lines(), (Strings{"T"}));
}

TEST(Drivers, UnknownOrMissingDriverIsAnEngineError) {
    TDatabase db;
    db.SetDriverName("DBASE");
    EXPECT_THROW(db.SetConnected(true), EDBEngineError);
    TDatabase none;
    EXPECT_THROW(none.SetConnected(true), EDBEngineError);
    EXPECT_FALSE(none.Connected());
}

TEST(Query, ChangingTheTextClosesAndAClosedQueryRefusesReads) {
    TTempFolder work(true);
    TQuery q;
    q.SQL().Add("CREATE TABLE T (A Varchar(5), B Float)");
    q.ExecSQL();
    q.SQL().Clear();
    q.SQL().Add("INSERT INTO T VALUES ('x', 1), ('y', 2.25)");
    q.ExecSQL();
    q.SQL().Clear();
    q.SQL().Add("SELECT * FROM t");
    q.Open();
    EXPECT_TRUE(q.Active());
    EXPECT_EQ(q.FieldByName("b"), "1");
    EXPECT_THROW(q.FieldByName("C"), EDBEngineError);
    q.Next();
    EXPECT_EQ(q.FieldByName("B"), "2.25");
    q.Next();
    EXPECT_TRUE(q.Eof());
    EXPECT_EQ(q.FieldByName("A"), "");
    q.SQL().Add("WHERE A = 'x'");
    EXPECT_FALSE(q.Active());
    EXPECT_THROW(q.FieldByName("A"), EDBEngineError);
    EXPECT_THROW(q.Next(), EDBEngineError);
    q.SetDatabaseName("NoSuchDatabase");
    EXPECT_THROW(q.Open(), EDBEngineError);
}

TEST(Table, MissingTableAndUnsetNameAreEngineErrors) {
    TTempFolder work(true);
    TTable t;
    EXPECT_THROW(t.Open(), EDBEngineError);
    t.SetTableName("Nada");
    EXPECT_THROW(t.Open(), EDBEngineError);
    EXPECT_FALSE(t.Active());
    EXPECT_THROW(t.FieldName(0), EDBEngineError);
}

TEST(Session, PasswordsAreRecordedOnceAndStartTheEngine) {
    Session().AddPassword("7302518");
    Session().AddPassword("7302518");
    EXPECT_TRUE(Session().Started());
    EXPECT_EQ(Session().SessionName(), "Default");
    EXPECT_EQ(std::count(Session().Passwords().begin(), Session().Passwords().end(), "7302518"), 1);
}

} // namespace
