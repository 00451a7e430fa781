// The INTERBASE driver: Firebird through Qt's QIBASE client. SERVER NAME
// "host:path" (or "host/port:path") reaches a server; a plain path opens the
// file with the embedded engine. USER NAME and PASSWORD are the login.
#pragma once

#include "db/QtSqlConnection.h"

class TInterbaseDriver : public TQtSqlConnection {
public:
    explicit TInterbaseDriver(const TConnectionSettings& settings);
    // User tables (no system tables, no views), as the server spells them.
    std::vector<std::string> TableNames(bool systemTables) override;

protected:
    void discardFailedTransaction(QSqlDatabase& db, const QSqlError& e) override;

private:
    void rememberAttachment();
    std::string attachment_; // this connection's attachment id on the server
};
