#include "db/MssqlDriver.h"

#include <QSqlDatabase>

#include "platform/Text.h"

TMssqlDriver::TMssqlDriver(const TConnectionSettings& settings) : TQtSqlConnection("QODBC") {
    std::string dsn = Trim(settings.params.Value("ODBC DSN"));
    if (dsn.empty())
        dsn = settings.alias;
    if (dsn.empty())
        throw EDBEngineError("No ODBC DSN is set for the MSSQL driver");
    int timeout = kDefaultLoginTimeout;
    for (const char* key : {"LOGIN TIMEOUT", "CONNECT TIMEOUT"})
        if (hasParam(settings.params, key))
            timeout = StrToIntDef(settings.params.Value(key), kDefaultLoginTimeout);
    QSqlDatabase db = QSqlDatabase::database(connectionName(), false);
    db.setDatabaseName(QString::fromStdString(AnsiToUtf8(dsn)));
    db.setUserName(QString::fromStdString(AnsiToUtf8(settings.params.Value("USER NAME"))));
    if (hasParam(settings.params, "PASSWORD"))
        db.setPassword(QString::fromStdString(AnsiToUtf8(settings.params.Value("PASSWORD"))));
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(timeout));
    open();
}

std::vector<std::string> TMssqlDriver::TableNames(bool systemTables) {
    auto r =
        run("SELECT TABLE_SCHEMA, TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_TYPE = 'BASE TABLE' "
            "ORDER BY TABLE_SCHEMA, TABLE_NAME",
            true);
    std::vector<std::string> out;
    for (; !r->Eof(); r->Next()) {
        const std::string schema = r->Value(0).value_or(""), name = r->Value(1).value_or("");
        if (!systemTables && (SameText(schema, "INFORMATION_SCHEMA") || SameText(schema, "pg_catalog") ||
                              SameText(schema, "sys")))
            continue;
        out.push_back(schema + "." + name);
    }
    return out;
}
