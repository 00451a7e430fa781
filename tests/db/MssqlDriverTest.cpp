// The MSSQL kind through ODBC: PostgreSQL via psqlODBC with its tables in
// schema dbo stands in for SQL Server, and FreeTDS shows the errors of a
// server that is not there or never answers.
#include "db/MssqlDriver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "db/DBTables.h"
#include "platform/SysUtils.h"
#include "tests/db/EngineProbe.h"
#include "tests/db/ServerTestSupport.h"

using Strings = std::vector<std::string>;

namespace {

class Mssql : public ::testing::Test {
protected:
    std::unique_ptr<TAliasFile> aliases;
    TDatabase db;
    std::vector<std::string> created;

    void SetUp() override {
        if (!ServerEnvSet("VX_PG_DSN"))
            return;
        if (!ServerEnvSet("ODBCINI"))
            return;
        aliases = std::make_unique<TAliasFile>("[Loja]\nTYPE=MSSQL\nODBC DSN=" + EnvOr("VX_PG_DSN") +
                                               "\nLOGIN TIMEOUT=5\n[NoSource]\nTYPE=MSSQL\n");
        open("Loja", true);
    }
    void TearDown() override {
        for (const auto& t : created)
            try {
                exec({"DROP TABLE " + t});
            } catch (const EDBEngineError&) {
            }
    }
    void open(const std::string& alias, bool withPassword, const std::string& password = "7302518") {
        db.SetConnected(false);
        db.Params().Clear();
        db.SetDatabaseName("Confeccao");
        db.SetAliasName(alias);
        db.SetLoginPrompt(false);
        db.Params().Add("USER NAME=sa");
        if (withPassword)
            db.Params().Add("password=" + password);
        db.SetTransIsolation(tiReadCommitted);
        db.SetConnected(true);
    }
    void exec(const Strings& lines) { ExecLines("Confeccao", lines); }
    std::string openFailure(const std::string& alias, bool withPassword,
                            const std::string& password = "7302518") {
        try {
            open(alias, withPassword, password);
        } catch (const EDBEngineError& e) {
            return e.what();
        }
        return "(no error)";
    }
    Strings fields(const std::string& table) { return TableFields("Confeccao", table); }
};

TEST_F(Mssql, TheUpdatersStatementsWithSqlServerTypeNames) {
    const std::string t = UniqueName("vx_clientes");
    exec({"CREATE TABLE " + t + " (", "Codigo Int, PRIMARY KEY(Codigo))"});
    created.push_back(t);
    exec({"ALTER TABLE " + t, " ADD Nome Varchar(20)"});
    exec({"ALTER TABLE " + t, " ADD Cadastro DateTime"});
    exec({"ALTER TABLE " + t, " ADD Saldo Float"});
    exec({"INSERT INTO " + t + " (Codigo, Nome, Saldo) VALUES (7, 'Jo\xe3o', 2.5)"});
    exec({"ALTER TABLE " + t, " ADD MalaDireta Varchar(2)"});
    exec({"UPDATE " + t + " SET MalaDireta = 'T' WHERE MalaDireta IS NULL"});

    TStringList names;
    db.GetTableNames(names);
    EXPECT_GE(names.IndexOf("dbo." + t), 0);
    for (const auto& n : names)
        EXPECT_EQ(n.substr(0, 4), "dbo.") << n;
    const Strings expected{"codigo", "nome", "cadastro", "saldo", "maladireta"};
    EXPECT_EQ(fields(t), expected);
    EXPECT_EQ(fields("dbo." + t), expected);

    TQuery q;
    q.SetDatabaseName("Confeccao");
    q.SQL().Add("SELECT * FROM " + t);
    q.Open();
    ASSERT_FALSE(q.Eof());
    EXPECT_EQ(q.FieldByName("Codigo"), "7");
    EXPECT_EQ(q.FieldByName("Nome"), "Jo\xe3o");
    EXPECT_EQ(q.FieldByName("Saldo"), "2.5");
    EXPECT_EQ(q.FieldByName("MalaDireta"), "T");
    EXPECT_EQ(q.FieldByName("Cadastro"), "");
}

TEST_F(Mssql, FailuresCarryTheDriversText) {
    try {
        fields("vx_no_such_table");
        FAIL();
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find("vx_no_such_table"), std::string::npos) << e.what();
    }
    EXPECT_NE(openFailure("Loja", true, "wrong").find("password authentication failed"), std::string::npos);
    EXPECT_FALSE(db.Connected());
    // Without a password line no password is sent.
    EXPECT_NE(openFailure("Loja", false).find("password"), std::string::npos);
    // The alias name is the data source when the alias names none.
    EXPECT_NE(openFailure("NoSource", true).find("Data source name not found"), std::string::npos);
    EXPECT_NE(openFailure("Ninguem", true).find("Unknown alias: Ninguem"), std::string::npos);
}

// A peer that accepts the connection and never answers.
class SilentPeer {
public:
    SilentPeer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4); // the kernel completes the handshake; nobody reads
        socklen_t n = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~SilentPeer() { close(fd_); }
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(MssqlFreeTds, ClosedPortAndSilentServerFailCleanly) {
    if (!ServerEnvSet("ODBCINI"))
        return;
    SilentPeer silent;
    TAliasFile aliases(
        "[Closed]\nTYPE=MSSQL\nODBC DSN=" +
        (EnvOr("VX_TDS_CLOSED_DSN").empty() ? std::string("VendarixClosed") : EnvOr("VX_TDS_CLOSED_DSN")) +
        "\n[Silent]\nTYPE=MSSQL\nODBC DSN=DRIVER={FreeTDS};Server=127.0.0.1;Port=" +
        std::to_string(silent.Port()) + ";TDS_Version=7.4\nLOGIN TIMEOUT=2\n");
    for (const char* alias : {"Closed", "Silent"}) {
        SCOPED_TRACE(alias);
        TDatabase db;
        db.SetAliasName(alias);
        db.Params().Add("USER NAME=sa");
        const auto start = std::chrono::steady_clock::now();
        try {
            db.SetConnected(true);
            ADD_FAILURE() << "connected";
        } catch (const EDBEngineError& e) {
            EXPECT_FALSE(std::string(e.what()).empty());
            std::cerr << alias << ": " << e.what() << "\n";
        }
        // The login time-out bounds the wait (FreeTDS alone waits a minute).
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }
}

} // namespace
