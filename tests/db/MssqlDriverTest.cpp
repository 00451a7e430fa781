// The MSSQL kind through ODBC: PostgreSQL via psqlODBC with its tables in
// schema dbo stands in for SQL Server, and FreeTDS shows the errors of a
// server that is not there or never answers.
#include "db/MssqlDriver.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <chrono>

#include "db/DBTables.h"
#include "platform/SysUtils.h"
#include "tests/db/EngineProbe.h"
#include "tests/db/ServerTestSupport.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::test;

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

// Values come as the engine's texts, whatever the column's type; text and
// names keep every CP1252 character through the wide calls, however long.
TEST_F(Mssql, ValuesReadAsText) {
    if (!ServerEnvSet("VX_PG_DSN"))
        return;
    TConnectionSettings settings;
    settings.driver = "MSSQL";
    settings.params.Add("ODBC DSN=" + EnvOr("VX_PG_DSN"));
    settings.params.Add("USER NAME=sa");
    settings.params.Add("PASSWORD=7302518");
    TMssqlDriver driver(settings);
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"CAST('2024-02-29' AS DATE)", "2024-02-29"},
        {"CAST('13:45:07' AS TIME)", "13:45:07"},
        {"CAST('2024-12-31 23:59:59.999' AS TIMESTAMP)", "2024-12-31 23:59:59.999"},
        {"CAST(2.50 AS NUMERIC(15,2))", "2.5"},
        {"CAST(12345678901 AS BIGINT)", "12345678901"},
        {"CAST(0.1 AS REAL)", "0.1"},
        {"CAST(0.1 AS DOUBLE PRECISION)", "0.1"},
        {"CAST('Pre\xe7o \x80' AS VARCHAR(20))", "Pre\xe7o \x80"},
        {"repeat('\xe7\x80', 3000)",
         [] {
             std::string s;
             for (int i = 0; i < 3000; ++i)
                 s += "\xe7\x80";
             return s;
         }()},
        {"CAST(NULL AS INTEGER)", std::nullopt},
    };
    for (const auto& [expr, expected] : cases) {
        auto r = driver.Query("SELECT " + expr + " AS \"pre\xe7o\"\r\n");
        ASSERT_FALSE(r->Eof()) << expr;
        EXPECT_EQ(r->FieldName(0), "pre\xe7o");
        EXPECT_EQ(r->Value(0), expected) << expr;
    }
}

TEST(ServerValues, FloatingPointInShortestForm) {
    const std::vector<std::pair<double, std::string>> cases{
        {2.5, "2.5"},
        {-0.5, "-0.5"},
        {0, "0"},
        {0.001, "0.001"},
        {0.0001, "0.0001"},
        {1e-05, "1e-05"},
        {123456.789, "123456.789"},
        {1e+20, "1e+20"},
        {1.5e+300, "1.5e+300"},
    };
    for (const auto& [v, text] : cases)
        EXPECT_EQ(TServerConnection::FormatDouble(v), text);
    EXPECT_EQ(TServerConnection::FormatFloat(0.1f), "0.1");
    EXPECT_EQ(TServerConnection::FormatDouble(0.1f), "0.10000000149011612");
}

TEST(MssqlConnectionString, SourceAndLogin) {
    const std::vector<std::vector<std::string>> cases{
        // source, user, password, connection string
        {"Loja", "sa", "", "DSN=Loja;UID=sa"},
        {"Loja", "sa", "7302518", "DSN=Loja;UID=sa;PWD=7302518"},
        {"DRIVER={FreeTDS};Server=h;Port=1433", "sa", "", "DRIVER={FreeTDS};Server=h;Port=1433;UID=sa"},
        {"C:\\Dados\\loja.dsn", "", "", "FILEDSN=C:\\Dados\\loja.dsn"},
        // A value cannot add attributes of its own.
        {"Loja", "sa", "a;DRIVER={x}", "DSN=Loja;UID=sa;PWD={a;DRIVER={x}}}"},
        {"Loja", " sa", "", "DSN=Loja;UID={ sa}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TMssqlDriver::ConnectionString(c[0], c[1], c[2]), c[3])
            << c[0] << "|" << c[1] << "|" << c[2];
}

// A peer that accepts the connection and never answers.
class SilentPeer {
public:
    SilentPeer() {
#ifdef _WIN32
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4); // the kernel completes the handshake; nobody reads
#ifdef _WIN32
        int n = sizeof a;
#else
        socklen_t n = sizeof a;
#endif
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
#ifdef _WIN32
    ~SilentPeer() {
        closesocket(fd_);
        WSACleanup();
    }
#else
    ~SilentPeer() {
        close(fd_);
    }
#endif
    int Port() const {
        return port_;
    }

private:
#ifdef _WIN32
    SOCKET fd_ = INVALID_SOCKET;
#else
    int fd_ = -1;
#endif
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
