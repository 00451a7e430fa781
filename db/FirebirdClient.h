// The entry points of the Firebird client library that the INTERBASE driver
// calls, as a table filled from the library loaded at run time (libfbclient
// on Linux, fbclient.dll on Windows), so that the program starts without the
// library and one connection fails with a message naming it instead.
#pragma once

#include <ibase.h>

#include <memory>
#include <string>

#include "platform/SharedLibrary.h"

namespace vx::db {

using namespace vx::platform;

struct TFirebirdClient {
    decltype(&isc_attach_database) attach_database = nullptr;
    decltype(&isc_detach_database) detach_database = nullptr;
    decltype(&isc_start_multiple) start_multiple = nullptr;
    decltype(&isc_commit_transaction) commit_transaction = nullptr;
    decltype(&isc_rollback_transaction) rollback_transaction = nullptr;
    decltype(&isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
    decltype(&isc_dsql_prepare) dsql_prepare = nullptr;
    decltype(&isc_dsql_describe) dsql_describe = nullptr;
    decltype(&isc_dsql_sql_info) dsql_sql_info = nullptr;
    decltype(&isc_dsql_execute) dsql_execute = nullptr;
    decltype(&isc_dsql_fetch) dsql_fetch = nullptr;
    decltype(&isc_dsql_free_statement) dsql_free_statement = nullptr;
    decltype(&isc_open_blob2) open_blob2 = nullptr;
    decltype(&isc_get_segment) get_segment = nullptr;
    decltype(&isc_close_blob) close_blob = nullptr;
    decltype(&fb_interpret) interpret = nullptr;

    // The client library of this system, loaded at the first call and kept
    // for the life of the process. Raises EDBEngineError when it is absent
    // or lacks an entry point (and tries again at the next call).
    static const TFirebirdClient& System();
    // The library of that file name; raises as System() does.
    static std::unique_ptr<TFirebirdClient> Load(const std::string& fileName);
    // The file System() loads: libfbclient.so.2 or fbclient.dll.
    static const char* SystemFileName();

private:
    TSharedLibrary library_;
};

} // namespace vx::db
