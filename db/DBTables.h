// The database engine as the updater sees it: the default session, a
// connection, a query and a table reader. Behind them one driver per kind of
// database (STANDARD local tables, INTERBASE, MSSQL); see db/Engine.h.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/DBTypes.h"
#include "platform/SysUtils.h"

namespace vx::db {

using namespace vx::platform;

class TSession : public TObject {
public:
    const std::string& SessionName() const { return name_; }
    // Passwords for password-protected local tables.
    void AddPassword(const std::string& password);
    const std::vector<std::string>& Passwords() const { return passwords_; }
    // Marks the engine as started; each driver brings up its own client
    // library when a connection opens, and reports its failure there.
    void Start();
    bool Started() const { return started_; }

private:
    std::string name_ = "Default";
    std::vector<std::string> passwords_;
    bool started_ = false;
};
// The engine's default session ("Default").
TSession& Session();

class TDriverConnection; // db/Engine.h

class TDatabase : public TComponent {
public:
    explicit TDatabase(TComponent* owner = nullptr);
    ~TDatabase() override;

    // The name queries and table readers use to address this connection.
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& n);
    // One type text: setting an alias replaces the driver name and the other
    // way round.
    std::string DriverName() const { return isAlias_ ? std::string() : type_; }
    void SetDriverName(const std::string& n);
    std::string AliasName() const { return isAlias_ ? type_ : std::string(); }
    void SetAliasName(const std::string& n);
    // Lines "NAME=value". Changing them while connected raises
    // "Cannot perform this operation on an open database".
    TStringList& Params() { return params_; }
    TTransIsolation TransIsolation() const { return transIsolation_; }
    void SetTransIsolation(TTransIsolation t);
    bool LoginPrompt() const { return loginPrompt_; }
    void SetLoginPrompt(bool v) { loginPrompt_ = v; }
    bool KeepConnection() const { return keepConnection_; }
    void SetKeepConnection(bool v) { keepConnection_ = v; }
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& n) { sessionName_ = n; }

    bool Connected() const;
    void SetConnected(bool v);
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }

    // Clears the list, then fills it with every user table's name without
    // extension (owner-qualified for MSSQL: "dbo.Cad_Clientes"). Opens the
    // connection if it is closed.
    void GetTableNames(TStringList& list, bool systemTables = false);

    // The open driver connection (opens it if needed).
    TDriverConnection& Driver();

    // The connection registered under a database name, or null.
    static TDatabase* Find(const std::string& databaseName);

private:
    void checkInactive();
    void paramsChanged();
    std::string databaseName_;
    std::string type_;
    bool isAlias_ = false;
    TStringList params_;
    TTransIsolation transIsolation_ = tiReadCommitted;
    bool loginPrompt_ = true;
    bool keepConnection_ = true;
    std::string sessionName_ = "Default";
    std::unique_ptr<TDriverConnection> conn_;
    TStringList openParams_; // the lines the open connection was made with
    bool restoringParams_ = false;
};

class TResultSet; // db/Engine.h

class TQuery : public TComponent {
public:
    explicit TQuery(TComponent* owner = nullptr);
    ~TQuery() override;
    // "Confeccao" addresses that TDatabase; an empty name addresses local
    // tables in the working folder.
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& n);
    // Any change closes the query. The engine receives the lines joined,
    // each followed by CR LF.
    TStringList& SQL() { return sql_; }
    void Open();
    void Close();
    bool Active() const { return result_ != nullptr; }
    bool Eof() const;
    void Next();
    // The field of the current row as text; the empty text without a
    // current row. An unknown field raises EDBEngineError.
    std::string FieldByName(const std::string& name) const;
    int FieldCount() const;
    // Name of field i of the open result.
    std::string FieldName(int i) const;
    // Runs a statement that returns no rows.
    void ExecSQL();

private:
    TDriverConnection& connection();
    std::string databaseName_;
    TStringList sql_;
    std::unique_ptr<TResultSet> result_;
    std::unique_ptr<TDriverConnection> local_; // for the empty database name
};

class TTable : public TComponent {
public:
    explicit TTable(TComponent* owner = nullptr);
    ~TTable() override;
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& n) { databaseName_ = n; }
    const std::string& TableName() const { return tableName_; }
    void SetTableName(const std::string& n) { tableName_ = n; }
    // Opening a missing table raises EDBEngineError.
    void Open();
    void Close();
    bool Active() const { return active_; }
    int FieldCount() const { return static_cast<int>(fields_.size()); }
    const std::string& FieldName(int i) const;

private:
    std::string databaseName_;
    std::string tableName_;
    bool active_ = false;
    std::vector<std::string> fields_;
    std::unique_ptr<TDriverConnection> local_;
};

} // namespace vx::db
