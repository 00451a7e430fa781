// The MSSQL driver: an ODBC data source reached through the system's ODBC
// driver manager (unixODBC on Linux, odbc32 on Windows) with the wide calls,
// so that text keeps every character of the program's code page on both.
// ODBC DSN names the source (else the alias name does); USER NAME and
// PASSWORD become UID and PWD, and no PWD is sent without a PASSWORD line.
// A login time-out (LOGIN TIMEOUT, seconds, default 15) keeps a silent
// server from freezing the program. Each statement commits by itself (the
// driver's autocommit).
#pragma once

#include "db/ServerConnection.h"

namespace vx::db {

class TMssqlDriver : public TServerConnection {
public:
    static constexpr int kDefaultLoginTimeout = 15;
    explicit TMssqlDriver(const TConnectionSettings& settings);
    ~TMssqlDriver() override;
    // Owner-qualified names ("dbo.Cad_Clientes") from INFORMATION_SCHEMA.
    std::vector<std::string> TableNames(bool systemTables) override;

    // The ODBC connection string: a data source name becomes DSN=..., a
    // file data source (".dsn") FILEDSN=..., and a text that already names
    // a DRIVER= or SERVER= is used as it is; then UID and PWD when not empty.
    // A value that would end the attribute early (";", braces, outer blanks)
    // is enclosed in braces.
    static std::string ConnectionString(const std::string& source, const std::string& user,
                                        const std::string& password);

protected:
    std::unique_ptr<TMemoryResultSet> execute(const std::string& sql, bool wantRows) override;

private:
    void close();
    // The messages of the environment, the connection and the statement
    // (null for none), joined with blanks.
    std::string errorText(void* stmt) const;
    [[noreturn]] void fail(void* stmt) const;
    // Column col (from 1) of the current row, read by its SQL type.
    std::optional<std::string> value(void* stmt, unsigned short col, short type) const;

    void* env_ = nullptr; // SQLHENV
    void* dbc_ = nullptr; // SQLHDBC
    bool connected_ = false;
};

} // namespace vx::db
