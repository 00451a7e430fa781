// The MSSQL driver: an ODBC data source of unixODBC through Qt's QODBC
// client. ODBC DSN names the source (else the alias name does); USER NAME
// and PASSWORD become UID and PWD, and no PWD is sent without a PASSWORD
// line. A login time-out (LOGIN TIMEOUT, seconds, default 15) keeps a silent
// server from freezing the program.
#pragma once

#include "db/QtSqlConnection.h"

class TMssqlDriver : public TQtSqlConnection {
public:
    static constexpr int kDefaultLoginTimeout = 15;
    explicit TMssqlDriver(const TConnectionSettings& settings);
    // Owner-qualified names ("dbo.Cad_Clientes") from INFORMATION_SCHEMA.
    std::vector<std::string> TableNames(bool systemTables) override;
};
