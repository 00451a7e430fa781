// Common ground of the drivers that reach a server through Qt Sql (QIBASE,
// QODBC): one named QSqlDatabase per connection; each statement takes
// effect by itself, in the client's autocommit or, for a driver that asks for
// it, in a transaction of its own committed at once so that a failed commit
// is reported; values read as text, and every failure raised with the
// server's own message text.
#pragma once

#include <QString>

#include "db/Engine.h"

class QSqlDatabase;
class QSqlError;

class TQtSqlConnection : public TDriverConnection {
public:
    ~TQtSqlConnection() override;

    std::unique_ptr<TResultSet> Query(const std::string& sql) override;
    void ExecSQL(const std::string& sql) override;
    // Field names from a query that reads no row, so that a missing table
    // reports the server's own text.
    std::vector<std::string> FieldNames(const std::string& table) override;

    // The message of a Qt Sql error: the server's text when there is one,
    // else the driver's.
    static std::string ErrorText(const QSqlError& e);

protected:
    // Adds the Qt connection of that driver type ("QIBASE", "QODBC").
    explicit TQtSqlConnection(const char* qtDriver);
    // Opens with the settings made on Database(); raises on failure.
    void open();
    QString connectionName() const { return name_; }
    std::unique_ptr<TMemoryResultSet> run(const std::string& sql, bool wantRows);
    // A table name as a statement may carry it: no blanks, no separators.
    static void checkTableName(const std::string& table);
    // Whether a parameter line of that name is present at all.
    static bool hasParam(const TStringList& params, const std::string& name);

    // Each statement in a transaction of its own, committed at once (for
    // clients whose implicit commit may fail unseen).
    void SetExplicitCommit(bool v) { explicitCommit_ = v; }
    // Called after a commit failed, so that the failed statement leaves no
    // trace; raises when the connection cannot go on.
    virtual void discardFailedTransaction(QSqlDatabase& db, const QSqlError& e);

private:
    static constexpr int kConflictRetries = 5;
    static bool isConflict(const QSqlError& e);
    std::unique_ptr<TMemoryResultSet> runInTransaction(QSqlDatabase& db, const std::string& sql,
                                                       bool wantRows);
    QString name_;
    bool explicitCommit_ = false;
};
