#include "db/InterbaseDriver.h"

#include <QSqlDatabase>

#include "platform/Text.h"

TInterbaseDriver::TInterbaseDriver(const TConnectionSettings& settings) : TQtSqlConnection("QIBASE") {
    const std::string server = Trim(settings.params.Value("SERVER NAME"));
    if (server.empty())
        throw EDBEngineError("No SERVER NAME is set for the INTERBASE driver");
    QSqlDatabase db = QSqlDatabase::database(connectionName(), false);
    db.setDatabaseName(QString::fromStdString(AnsiToUtf8(server)));
    db.setUserName(QString::fromStdString(AnsiToUtf8(settings.params.Value("USER NAME"))));
    db.setPassword(QString::fromStdString(AnsiToUtf8(settings.params.Value("PASSWORD"))));
    // Text travels as UTF-8 and is converted to the program's code page here.
    db.setConnectOptions("ISC_DPB_LC_CTYPE=UTF8");
    open();
}

std::vector<std::string> TInterbaseDriver::TableNames(bool systemTables) {
    auto r = run(std::string("SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS WHERE RDB$VIEW_BLR IS NULL") +
                     (systemTables ? "" : " AND COALESCE(RDB$SYSTEM_FLAG, 0) = 0") + " ORDER BY 1",
                 true);
    std::vector<std::string> out;
    for (; !r->Eof(); r->Next())
        out.push_back(r->Value(0).value_or(""));
    return out;
}
