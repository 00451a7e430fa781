// The engine behind TDatabase, TQuery and TTable: one driver per kind of
// database, the result of a query, and the alias configuration file.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/DBTypes.h"
#include "platform/SysUtils.h"

namespace vx::db {

using namespace vx::platform;

// Rows of one query, read forward. Values are CP1252 text; a NULL reads as
// the empty text.
class TResultSet {
public:
    virtual ~TResultSet() = default;
    virtual int FieldCount() const = 0;
    virtual const std::string& FieldName(int i) const = 0;
    virtual bool Eof() const = 0;
    virtual void Next() = 0;
    // Value of field i of the current row; nullopt for NULL.
    virtual std::optional<std::string> Value(int i) const = 0;
    // Index of the field named so (without regard to ASCII case), or -1.
    int IndexOf(const std::string& name) const;
};

// A result set held in memory; every driver fills one, since the updater
// reads only small results and a materialised result cannot be invalidated
// by a later statement on the same connection.
class TMemoryResultSet : public TResultSet {
public:
    using Row = std::vector<std::optional<std::string>>;
    explicit TMemoryResultSet(std::vector<std::string> fields) : fields_(std::move(fields)) {}
    void AddRow(Row row) { rows_.push_back(std::move(row)); }
    int RowCount() const { return static_cast<int>(rows_.size()); }

    int FieldCount() const override { return static_cast<int>(fields_.size()); }
    const std::string& FieldName(int i) const override { return fields_.at(i); }
    bool Eof() const override { return pos_ >= rows_.size(); }
    void Next() override {
        if (pos_ < rows_.size())
            ++pos_;
    }
    std::optional<std::string> Value(int i) const override;

private:
    std::vector<std::string> fields_;
    std::vector<Row> rows_;
    size_t pos_ = 0;
};

// An open connection of one driver. Every statement takes effect by itself
// (no transaction spans two statements). Failures raise EDBEngineError with
// the driver's own message text.
class TDriverConnection {
public:
    virtual ~TDriverConnection() = default;
    virtual std::unique_ptr<TResultSet> Query(const std::string& sql) = 0;
    virtual void ExecSQL(const std::string& sql) = 0;
    // User tables, without file extension (owner-qualified where the kind
    // has owners).
    virtual std::vector<std::string> TableNames(bool systemTables) = 0;
    // Field names of a table, in field order; a missing table raises.
    virtual std::vector<std::string> FieldNames(const std::string& table) = 0;
};

// Settings a driver is opened with: the driver's type name and the merged
// parameter lines (the alias's, overridden by the connection's own).
struct TConnectionSettings {
    std::string driver; // "STANDARD", "INTERBASE", "MSSQL" (upper case)
    std::string alias;  // the alias name, empty for a plain driver
    TStringList params;
    TTransIsolation transIsolation = tiReadCommitted;
    // The passwords of the session the connection belongs to (they open
    // encrypted local tables), read at each statement; null for none.
    const std::vector<std::string>* passwords = nullptr;
};

// One section of the engine's configuration file.
struct TAliasDefinition {
    std::string name;
    std::string type;                                        // TYPE=, upper case
    std::vector<std::pair<std::string, std::string>> params; // in file order
};

// The engine's configuration: the file named by UPDATER_DBCONFIG, else the
// machine's (EngineConfigPath: /etc/vendarix/aliases.ini on Linux,
// %ProgramData%\Vendarix\aliases.ini on Windows). Read at each lookup, so a test or a deployment
// may change it between connections.
class TEngineConfig {
public:
    static std::string FileName();
    // The alias of that name (without regard to case), or nullopt.
    static std::optional<TAliasDefinition> FindAlias(const std::string& name);
    static std::vector<TAliasDefinition> Parse(const std::string& text);
};

// Settings for a connection given by driver name or alias name, with the
// connection's own parameter lines overriding the alias's. An unknown alias
// raises EDBEngineError naming it.
TConnectionSettings ResolveSettings(const std::string& type, bool isAlias, const TStringList& ownParams,
                                    TTransIsolation isolation);

// Opens the driver the settings name. An unknown driver raises.
std::unique_ptr<TDriverConnection> OpenDriverConnection(const TConnectionSettings& settings);

} // namespace vx::db
