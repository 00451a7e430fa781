#include "db/InterbaseDriver.h"

#include <QSqlDatabase>
#include <QSqlError>

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
    SetExplicitCommit(true);
    open();
    rememberAttachment();
}

void TInterbaseDriver::rememberAttachment() {
    auto r = run("SELECT CURRENT_CONNECTION FROM RDB$DATABASE", true);
    attachment_ = r->Eof() ? std::string() : r->Value(0).value_or("");
}

// When a commit fails, the client library forgets the transaction while the
// server keeps it open, holding its locks (a later statement would wait on
// them for ever), and the attachment cannot be closed while it is open. So
// a fresh attachment is made and the old one is ended through the monitoring
// tables, which rolls its transaction back.
void TInterbaseDriver::discardFailedTransaction(QSqlDatabase& db, const QSqlError& e) {
    const std::string old = attachment_;
    db.close();
    if (!db.open())
        throw EDBEngineError(ErrorText(e));
    if (!old.empty() && old.find_first_not_of("0123456789") == std::string::npos)
        run("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + old, false);
    rememberAttachment();
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
