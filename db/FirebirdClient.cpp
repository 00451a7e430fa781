#include "db/FirebirdClient.h"

#include <mutex>

#include "db/DBTypes.h"
#include "platform/SysUtils.h"

namespace vx::db {

using namespace vx::platform;

namespace {

template <typename F> void bind(TSharedLibrary& lib, const std::string& file, F& entry, const char* name) {
    entry = reinterpret_cast<F>(lib.Symbol(name));
    if (!entry)
        throw EDBEngineError(
            Format("The database client %s lacks the entry point %s: %s", file, name, lib.Error()));
}

} // namespace

const char* TFirebirdClient::SystemFileName() {
#ifdef _WIN32
    return "fbclient.dll";
#else
    return "libfbclient.so.2";
#endif
}

std::unique_ptr<TFirebirdClient> TFirebirdClient::Load(const std::string& fileName) {
    auto c = std::make_unique<TFirebirdClient>();
    if (!c->library_.Load(fileName))
        throw EDBEngineError(
            Format("The database client %s is not available: %s", fileName, c->library_.Error()));
    TSharedLibrary& l = c->library_;
    bind(l, fileName, c->attach_database, "isc_attach_database");
    bind(l, fileName, c->detach_database, "isc_detach_database");
    bind(l, fileName, c->start_multiple, "isc_start_multiple");
    bind(l, fileName, c->commit_transaction, "isc_commit_transaction");
    bind(l, fileName, c->rollback_transaction, "isc_rollback_transaction");
    bind(l, fileName, c->dsql_allocate_statement, "isc_dsql_allocate_statement");
    bind(l, fileName, c->dsql_prepare, "isc_dsql_prepare");
    bind(l, fileName, c->dsql_describe, "isc_dsql_describe");
    bind(l, fileName, c->dsql_sql_info, "isc_dsql_sql_info");
    bind(l, fileName, c->dsql_execute, "isc_dsql_execute");
    bind(l, fileName, c->dsql_fetch, "isc_dsql_fetch");
    bind(l, fileName, c->dsql_free_statement, "isc_dsql_free_statement");
    bind(l, fileName, c->open_blob2, "isc_open_blob2");
    bind(l, fileName, c->get_segment, "isc_get_segment");
    bind(l, fileName, c->close_blob, "isc_close_blob");
    bind(l, fileName, c->interpret, "fb_interpret");
    return c;
}

const TFirebirdClient& TFirebirdClient::System() {
    static std::mutex m;
    static std::unique_ptr<TFirebirdClient> client;
    std::lock_guard<std::mutex> lock(m);
    if (!client)
        client = Load(SystemFileName());
    return *client;
}

} // namespace vx::db
