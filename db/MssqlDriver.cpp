#include "db/MssqlDriver.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/OdbcApi.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

namespace {

using WString = std::basic_string<SQLWCHAR>;

WString wide(const std::string& ansi) {
    const std::u16string u = AnsiToUtf16(ansi);
    return WString(u.begin(), u.end());
}

std::string narrow(const SQLWCHAR* s, size_t n) {
    std::u16string u(n, u'\0');
    for (size_t i = 0; i < n; ++i)
        u[i] = static_cast<char16_t>(s[i]);
    return Utf16ToAnsi(u);
}

bool ok(SQLRETURN r) {
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

// The diagnostic records of one handle, joined with blanks (a record that
// repeats the one before is left out).
std::string diagnostics(SQLSMALLINT type, SQLHANDLE h) {
    std::string out, last;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLWCHAR state[6];
        SQLINTEGER native = 0;
        SQLSMALLINT len = 0;
        WString text(512, 0);
        SQLRETURN r = SQLGetDiagRecW(type, h, i, state, &native, text.data(),
                                     static_cast<SQLSMALLINT>(text.size()), &len);
        if (r == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(text.size())) {
            text.assign(len + 1, 0);
            r = SQLGetDiagRecW(type, h, i, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()),
                               &len);
        }
        if (!ok(r))
            break;
        const std::string msg = narrow(text.data(), std::min<size_t>(len, text.size()));
        if (msg == last)
            continue;
        if (!out.empty())
            out += ' ';
        out += msg;
        last = msg;
    }
    return out;
}

bool needsBraces(const std::string& v) {
    return !v.empty() && (v.find_first_of(";{}") != std::string::npos || v.front() == ' ' || v.back() == ' ');
}

std::string attribute(const std::string& v) {
    if (!needsBraces(v))
        return v;
    std::string out = "{";
    for (char c : v) {
        out += c;
        if (c == '}')
            out += '}';
    }
    return out + "}";
}

bool containsText(const std::string& s, const std::string& what) {
    return UpperCase(s).find(what) != std::string::npos;
}

std::string two(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v % 100);
    return buf;
}

std::string dateText(int y, int m, int d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
}

std::string timeText(int h, int m, int s, int ms) {
    std::string out = two(h) + ":" + two(m) + ":" + two(s);
    if (ms) {
        char buf[8];
        std::snprintf(buf, sizeof buf, ".%03d", ms % 1000);
        out += buf;
    }
    return out;
}

} // namespace

std::string TMssqlDriver::ConnectionString(const std::string& source, const std::string& user,
                                           const std::string& password) {
    std::string s;
    if (containsText(source, ".DSN"))
        s = "FILEDSN=" + attribute(source);
    else if (containsText(source, "DRIVER=") || containsText(source, "SERVER="))
        s = source;
    else
        s = "DSN=" + attribute(source);
    if (!user.empty())
        s += ";UID=" + attribute(user);
    if (!password.empty())
        s += ";PWD=" + attribute(password);
    return s;
}

TMssqlDriver::TMssqlDriver(const TConnectionSettings& settings) {
    std::string dsn = Trim(settings.params.Value("ODBC DSN"));
    if (dsn.empty())
        dsn = settings.alias;
    if (dsn.empty())
        throw EDBEngineError("No ODBC DSN is set for the MSSQL driver");
    int timeout = kDefaultLoginTimeout;
    for (const char* key : {"LOGIN TIMEOUT", "CONNECT TIMEOUT"})
        if (hasParam(settings.params, key))
            timeout = StrToIntDef(settings.params.Value(key), kDefaultLoginTimeout);
    if (timeout < 0)
        timeout = kDefaultLoginTimeout;
    const std::string password =
        hasParam(settings.params, "PASSWORD") ? settings.params.Value("PASSWORD") : "";
    const WString text = wide(ConnectionString(dsn, settings.params.Value("USER NAME"), password));
    try {
        if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_)))
            throw EDBEngineError("The ODBC driver manager cannot be initialised");
        if (!ok(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                              reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(SQL_OV_ODBC3)), 0)))
            fail(nullptr);
        if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_)))
            fail(nullptr);
        // A driver that cannot bound the login keeps its own wait; that is
        // no reason to refuse the connection.
        SQLSetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(timeout)),
                           SQL_IS_UINTEGER);
        WString out(1024, 0);
        SQLSMALLINT outLen = 0;
        if (!ok(SQLDriverConnectW(dbc_, nullptr, const_cast<SQLWCHAR*>(text.c_str()), SQL_NTS, out.data(),
                                  static_cast<SQLSMALLINT>(out.size()), &outLen, SQL_DRIVER_NOPROMPT)))
            fail(nullptr);
        connected_ = true;
    } catch (...) {
        close();
        throw;
    }
}

TMssqlDriver::~TMssqlDriver() {
    close();
}

void TMssqlDriver::close() {
    if (dbc_) {
        if (connected_)
            SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = nullptr;
    }
    connected_ = false;
    if (env_) {
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
        env_ = nullptr;
    }
}

std::string TMssqlDriver::errorText(void* stmt) const {
    std::string out;
    for (const auto& [type, h] : {std::pair<SQLSMALLINT, void*>{SQL_HANDLE_ENV, env_},
                                  {SQL_HANDLE_DBC, dbc_},
                                  {SQL_HANDLE_STMT, stmt}}) {
        if (!h)
            continue;
        const std::string m = diagnostics(type, h);
        if (m.empty())
            continue;
        if (!out.empty())
            out += ' ';
        out += m;
    }
    return out.empty() ? std::string("The ODBC driver reported a failure without a message") : out;
}

void TMssqlDriver::fail(void* stmt) const {
    throw EDBEngineError(errorText(stmt));
}

namespace {

// A statement handle, freed on every way out.
struct TStmt {
    SQLHSTMT h = nullptr;
    ~TStmt() {
        if (h)
            SQLFreeHandle(SQL_HANDLE_STMT, h);
    }
};

} // namespace

std::unique_ptr<TMemoryResultSet> TMssqlDriver::execute(const std::string& sql, bool wantRows) {
    TStmt stmt;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt.h)))
        fail(nullptr);
    WString text = wide(sql);
    const SQLRETURN r = SQLExecDirectW(stmt.h, text.data(), SQL_NTS);
    // A searched UPDATE or DELETE that touches no row reports "no data".
    if (!ok(r) && r != SQL_NO_DATA)
        fail(stmt.h);
    SQLSMALLINT cols = 0;
    if (r != SQL_NO_DATA && !ok(SQLNumResultCols(stmt.h, &cols)))
        fail(stmt.h);
    std::vector<std::string> names;
    std::vector<SQLSMALLINT> types;
    for (SQLUSMALLINT i = 1; i <= cols; ++i) {
        WString name(256, 0);
        SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLRETURN d = SQLDescribeColW(stmt.h, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &len,
                                      &type, &size, &digits, &nullable);
        if (ok(d) && len >= static_cast<SQLSMALLINT>(name.size())) {
            name.assign(len + 1, 0);
            d = SQLDescribeColW(stmt.h, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &len, &type,
                                &size, &digits, &nullable);
        }
        if (!ok(d))
            fail(stmt.h);
        names.push_back(narrow(name.data(), std::min<size_t>(len, name.size())));
        types.push_back(type);
    }
    auto result = std::make_unique<TMemoryResultSet>(std::move(names));
    if (!wantRows || cols == 0)
        return result;
    for (;;) {
        const SQLRETURN f = SQLFetch(stmt.h);
        if (f == SQL_NO_DATA)
            break;
        if (!ok(f))
            fail(stmt.h);
        TMemoryResultSet::Row row;
        for (SQLUSMALLINT i = 1; i <= cols; ++i)
            row.push_back(value(stmt.h, i, types[i - 1]));
        result->AddRow(std::move(row));
    }
    return result;
}

std::optional<std::string> TMssqlDriver::value(void* stmt, unsigned short col, short type) const {
    SQLLEN ind = 0;
    auto get = [&](SQLSMALLINT ctype, void* buf, SQLLEN size) {
        if (!ok(SQLGetData(stmt, col, ctype, buf, size, &ind)))
            fail(stmt);
        return ind != SQL_NULL_DATA;
    };
    switch (type) {
    case SQL_REAL: {
        float v = 0;
        return get(SQL_C_FLOAT, &v, sizeof v) ? std::optional(FormatFloat(v)) : std::nullopt;
    }
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_DECIMAL:
    case SQL_NUMERIC: {
        double v = 0;
        return get(SQL_C_DOUBLE, &v, sizeof v) ? std::optional(FormatDouble(v)) : std::nullopt;
    }
    case SQL_TYPE_DATE:
    case SQL_DATE: {
        SQL_DATE_STRUCT v{};
        return get(SQL_C_TYPE_DATE, &v, sizeof v) ? std::optional(dateText(v.year, v.month, v.day))
                                                  : std::nullopt;
    }
    case SQL_TYPE_TIME:
    case SQL_TIME: {
        SQL_TIME_STRUCT v{};
        return get(SQL_C_TYPE_TIME, &v, sizeof v) ? std::optional(timeText(v.hour, v.minute, v.second, 0))
                                                  : std::nullopt;
    }
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT v{};
        if (!get(SQL_C_TYPE_TIMESTAMP, &v, sizeof v))
            return std::nullopt;
        return dateText(v.year, v.month, v.day) + " " +
               timeText(v.hour, v.minute, v.second, static_cast<int>(v.fraction / 1000000));
    }
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_GUID:
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT: {
        // Numbers too come as the driver's text: their digits, whatever
        // their width or sign.
        WString all;
        SQLWCHAR buf[2048];
        for (;;) {
            const SQLRETURN r = SQLGetData(stmt, col, SQL_C_WCHAR, buf, sizeof buf, &ind);
            if (r == SQL_NO_DATA)
                break;
            if (!ok(r))
                fail(stmt);
            if (ind == SQL_NULL_DATA)
                return std::nullopt;
            const SQLLEN room = sizeof buf - sizeof(SQLWCHAR);
            const bool whole = ind != SQL_NO_TOTAL && ind <= room;
            all.append(buf, whole ? ind / sizeof(SQLWCHAR) : room / sizeof(SQLWCHAR));
            if (whole)
                break;
        }
        return narrow(all.data(), all.size());
    }
    default: {
        // Binary values, and any type the engine does not know, as bytes.
        std::string all;
        char buf[8192];
        for (;;) {
            const SQLRETURN r = SQLGetData(stmt, col, SQL_C_BINARY, buf, sizeof buf, &ind);
            if (r == SQL_NO_DATA)
                break;
            if (!ok(r))
                fail(stmt);
            if (ind == SQL_NULL_DATA)
                return std::nullopt;
            const bool whole = ind != SQL_NO_TOTAL && ind <= static_cast<SQLLEN>(sizeof buf);
            all.append(buf, whole ? ind : sizeof buf);
            if (whole)
                break;
        }
        return all;
    }
    }
}

std::vector<std::string> TMssqlDriver::TableNames(bool systemTables) {
    auto r = execute(
        "SELECT TABLE_SCHEMA, TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_TYPE = 'BASE TABLE' "
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

} // namespace vx::db
