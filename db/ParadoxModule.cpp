#include "db/ParadoxModule.h"

#include <sqlite3.h>

#include <memory>

#include "db/ParadoxTable.h"
#include "db/SqlScanner.h"
#include "platform/Text.h"

namespace {

// The module argument as written in CREATE VIRTUAL TABLE: a quoted literal.
std::string unSqlQuoteLiteral(std::string s) {
    if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front()) {
        const char q = s.front();
        std::string out;
        for (size_t i = 1; i + 1 < s.size(); ++i) {
            out += s[i];
            if (s[i] == q && i + 2 < s.size() && s[i + 1] == q)
                ++i;
        }
        return out;
    }
    return s;
}

const char* sqlType(char t) {
    switch (t) {
    case 'S':
    case 'I':
    case '+':
    case 'L':
        return "INTEGER";
    case '$':
    case 'N':
        return "REAL";
    case 'B':
    case 'F':
    case 'O':
    case 'G':
    case 'Y':
        return "BLOB";
    default:
        return "TEXT";
    }
}

struct VTab {
    sqlite3_vtab base{};
    std::unique_ptr<TParadoxTable> table;
};

struct VCursor {
    sqlite3_vtab_cursor base{};
    std::unique_ptr<TParadoxTable::Cursor> cursor;
};

int connect(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    if (argc < 4) {
        *err = sqlite3_mprintf("paradox: the table file is missing");
        return SQLITE_ERROR;
    }
    auto vt = std::make_unique<VTab>();
    try {
        vt->table = std::make_unique<TParadoxTable>(unSqlQuoteLiteral(argv[3]));
    } catch (const Exception& e) {
        *err = sqlite3_mprintf("%s", AnsiToUtf8(e.Message()).c_str());
        return SQLITE_ERROR;
    }
    std::string ddl = "CREATE TABLE x(";
    const auto& fields = vt->table->Fields();
    for (size_t i = 0; i < fields.size(); ++i)
        ddl += (i ? ", " : "") + SqlQuoteIdent(AnsiToUtf8(fields[i].name)) + " " + sqlType(fields[i].type);
    ddl += ")";
    int rc = sqlite3_declare_vtab(db, ddl.c_str());
    if (rc != SQLITE_OK) {
        *err = sqlite3_mprintf("%s", sqlite3_errmsg(db));
        return rc;
    }
    *out = &vt.release()->base;
    return SQLITE_OK;
}

int disconnect(sqlite3_vtab* v) {
    delete reinterpret_cast<VTab*>(v);
    return SQLITE_OK;
}

int bestIndex(sqlite3_vtab* v, sqlite3_index_info* info) {
    // A full scan in stored order; SQLite filters and sorts.
    info->estimatedCost = double(reinterpret_cast<VTab*>(v)->table->RecordCount()) + 1;
    info->estimatedRows = reinterpret_cast<VTab*>(v)->table->RecordCount();
    return SQLITE_OK;
}

int open(sqlite3_vtab* v, sqlite3_vtab_cursor** out) {
    auto c = std::make_unique<VCursor>();
    c->cursor = std::make_unique<TParadoxTable::Cursor>(*reinterpret_cast<VTab*>(v)->table);
    *out = &c.release()->base;
    return SQLITE_OK;
}

int close(sqlite3_vtab_cursor* c) {
    delete reinterpret_cast<VCursor*>(c);
    return SQLITE_OK;
}

TParadoxTable::Cursor& cur(sqlite3_vtab_cursor* c) {
    return *reinterpret_cast<VCursor*>(c)->cursor;
}

int filter(sqlite3_vtab_cursor* c, int, const char*, int, sqlite3_value**) {
    cur(c).Rewind();
    return SQLITE_OK;
}

int next(sqlite3_vtab_cursor* c) {
    cur(c).Next();
    return SQLITE_OK;
}

int eof(sqlite3_vtab_cursor* c) {
    return cur(c).Eof() ? 1 : 0;
}

int column(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int i) {
    try {
        TParadoxValue v = cur(c).Value(i);
        switch (v.kind) {
        case TParadoxValue::Kind::Null:
            sqlite3_result_null(ctx);
            break;
        case TParadoxValue::Kind::Int:
            sqlite3_result_int64(ctx, v.i);
            break;
        case TParadoxValue::Kind::Real:
            sqlite3_result_double(ctx, v.d);
            break;
        case TParadoxValue::Kind::Text: {
            std::string u = AnsiToUtf8(v.s);
            sqlite3_result_text(ctx, u.data(), int(u.size()), SQLITE_TRANSIENT);
            break;
        }
        case TParadoxValue::Kind::Blob:
            sqlite3_result_blob(ctx, v.s.data(), int(v.s.size()), SQLITE_TRANSIENT);
            break;
        }
    } catch (const Exception& e) {
        sqlite3_result_error(ctx, AnsiToUtf8(e.Message()).c_str(), -1);
    }
    return SQLITE_OK;
}

int rowid(sqlite3_vtab_cursor* c, sqlite3_int64* out) {
    *out = cur(c).RecordNumber() + 1;
    return SQLITE_OK;
}

sqlite3_module makeModule() {
    sqlite3_module m{};
    m.iVersion = 1;
    m.xCreate = connect;
    m.xConnect = connect;
    m.xBestIndex = bestIndex;
    m.xDisconnect = disconnect;
    m.xDestroy = disconnect;
    m.xOpen = open;
    m.xClose = close;
    m.xFilter = filter;
    m.xNext = next;
    m.xEof = eof;
    m.xColumn = column;
    m.xRowid = rowid;
    return m; // no xUpdate: SQLite refuses every change
}

const sqlite3_module kModule = makeModule();

} // namespace

void RegisterParadoxModule(sqlite3* db) {
    if (sqlite3_create_module(db, "paradox", &kModule, nullptr) != SQLITE_OK)
        throw EDBEngineError(sqlite3_errmsg(db));
}

std::string ParadoxVirtualTableSql(const std::string& nameUtf8, const std::string& path) {
    return "CREATE VIRTUAL TABLE temp." + SqlQuoteIdent(nameUtf8) + " USING paradox(" +
           SqlQuoteLiteral(path) + ")";
}
