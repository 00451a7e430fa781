// The INTERBASE driver: Firebird through its client library (isc_* calls),
// loaded at run time. SERVER NAME "host:path" (or "host/port:path") reaches a
// server; a plain path opens the file with the embedded engine. USER NAME
// and PASSWORD are the login. Text travels as UTF-8 and is converted to the
// program's code page here.
#pragma once

#include "db/FirebirdClient.h"
#include "db/ServerConnection.h"

namespace vx::db {

class TInterbaseDriver : public TServerConnection {
public:
    explicit TInterbaseDriver(const TConnectionSettings& settings);
    TInterbaseDriver(const TConnectionSettings& settings, const TFirebirdClient& client);
    ~TInterbaseDriver() override;
    // User tables (no system tables, no views), as the server spells them.
    std::vector<std::string> TableNames(bool systemTables) override;

protected:
    std::unique_ptr<TMemoryResultSet> execute(const std::string& sql, bool wantRows) override;

private:
    static constexpr int kConflictRetries = 5;
    // The message of a failed call: the client's texts for the status
    // vector, joined with " - ".
    std::string errorText(const ISC_STATUS* status) const;
    [[noreturn]] void fail(const ISC_STATUS* status) const;
    std::unique_ptr<TMemoryResultSet> runInTransaction(const std::string& sql, bool wantRows);
    std::optional<std::string> value(const XSQLVAR& v);

    const TFirebirdClient& fb_;
    isc_db_handle db_ = 0;
    isc_tr_handle tr_ = 0;
};

} // namespace vx::db
