#include "db/ParadoxModule.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "db/ParadoxFormat.h"
#include "db/ParadoxTable.h"
#include "db/ParadoxTableWriter.h"
#include "db/SqlScanner.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

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

} // namespace

// A table as one statement sees it and changes it: the reader of its files,
// and once the statement changes something, every record's bytes.
struct TParadoxChanges::TPending {
    std::shared_ptr<TParadoxTable> table;            // shared with the cursors open on it
    std::vector<std::optional<std::string>> records; // by row number; deleted ones empty
    std::unique_ptr<TParadoxMemoFile> memo;          // where long memo values go, once one comes
    bool loaded = false;
    bool dirty = false;
    bool written = false; // the changes are in the files; the reader still has the old ones
    bool reorder = false; // a key changed or a record came in: sort by the key again
    uint32_t autoIncrement = 0;

    void Load() {
        if (loaded)
            return;
        // The copy is what the files are written from: a table whose chain
        // does not reach every record is refused before any change.
        table->CheckIntact();
        for (auto& r : table->RawRecords())
            records.emplace_back(std::move(r));
        autoIncrement = table->AutoIncrement();
        loaded = true;
    }
    TParadoxMemoFile* Memo() {
        if (!memo)
            memo = std::make_unique<TParadoxMemoFile>(table->HasMemoFile() ? table->MemoPath() : "",
                                                      table->Key());
        return memo.get();
    }
    // Forgets the changes, as a rollback does.
    void Drop() {
        records.clear();
        memo.reset();
        loaded = dirty = reorder = false;
        savepoints.clear();
    }
    // The state at a savepoint of SQLite's transaction, so that a statement
    // that fails inside a transaction takes back only its own changes.
    struct TSavepoint {
        int level;
        std::vector<std::optional<std::string>> records;
        bool loaded, dirty, reorder;
        uint32_t autoIncrement;
        size_t memoMark;
    };
    std::vector<TSavepoint> savepoints;
    void Save(int level) {
        Release(level);
        savepoints.push_back(
            {level, records, loaded, dirty, reorder, autoIncrement, memo ? memo->Mark() : 0});
    }
    void Release(int level) {
        while (!savepoints.empty() && savepoints.back().level >= level)
            savepoints.pop_back();
    }
    void RollBackTo(int level) {
        Release(level + 1);
        if (savepoints.empty() || savepoints.back().level != level)
            return;
        const TSavepoint& s = savepoints.back();
        records = s.records;
        loaded = s.loaded;
        dirty = s.dirty;
        reorder = s.reorder;
        autoIncrement = s.autoIncrement;
        if (memo)
            memo->RollBack(s.memoMark);
    }
    // After a commit: the reader opens the files now in place, so that the
    // transactions that follow see them.
    void Reopen(const std::vector<uint32_t>& keys) {
        if (written)
            table = std::make_shared<TParadoxTable>(table->Path(), keys);
        written = false;
        Drop();
    }
    int KeyBytes() const {
        int n = 0;
        for (int i = 0; i < table->KeyFieldCount(); ++i)
            n += table->Fields()[size_t(i)].size;
        return n;
    }
    void Write(const TCompanionLookup& companion);
};

namespace {

// Key order as the table's sort order gives it: byte order for "ascii",
// letters without regard to case for the others (the number encodings sort
// as bytes in any case).
bool keyLess(const TParadoxTable& t, const std::string& a, const std::string& b, bool& equal) {
    const bool ascii = SameText(t.SortOrder(), "ascii") || t.SortOrder().empty();
    for (int i = 0; i < t.KeyFieldCount(); ++i) {
        const TParadoxField& f = t.Fields()[size_t(i)];
        std::string x = a.substr(size_t(f.offset), size_t(f.size)),
                    y = b.substr(size_t(f.offset), size_t(f.size));
        if (f.type == 'A' && !ascii) {
            const std::string ux = UpperCase(x), uy = UpperCase(y);
            if (ux != uy) {
                equal = false;
                return ux < uy;
            }
        }
        if (x != y) {
            equal = false;
            return x < y;
        }
    }
    equal = true;
    return false;
}

} // namespace

void TParadoxChanges::TPending::Write(const TCompanionLookup& companion) {
    TParadoxLayout layout = TParadoxLayout::Of(*table);
    layout.Arrange();
    layout.autoIncrement = autoIncrement;
    std::vector<std::string> rows;
    for (auto& r : records)
        if (r)
            rows.push_back(*r);
    if (table->Keyed()) {
        if (reorder)
            std::stable_sort(rows.begin(), rows.end(), [&](const std::string& a, const std::string& b) {
                bool eq;
                return keyLess(*table, a, b, eq);
            });
        for (size_t i = 1; i < rows.size(); ++i) {
            bool eq;
            keyLess(*table, rows[i - 1], rows[i], eq);
            if (eq)
                throw EDBEngineError(Format("Key violation in table %s", table->Path()));
        }
    }
    auto companionOf = [&](const char* ext) {
        return companion ? companion(table->Path(), ext) : ParadoxCompanionFile(table->Path(), ext);
    };
    std::vector<TParadoxNewFile> files;
    files.push_back({table->Path(), BuildParadoxData(layout, rows)});
    if (table->Keyed())
        files.push_back({companionOf(".PX"), BuildParadoxIndex(layout, rows)});
    if (memo && memo->Changed())
        files.push_back({table->HasMemoFile() ? table->MemoPath() : companionOf(".MB"), memo->Bytes()});
    const std::string& path = table->Path();
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string stem = path.substr(slash == std::string::npos ? 0 : slash + 1);
    stem = stem.substr(0, stem.rfind('.'));
    // Everything is read: the old file is let go so that the new one can
    // be renamed over it, and taken up again should that fail.
    table->ReleaseFile();
    try {
        ReplaceParadoxFiles(folder, stem, files);
    } catch (...) {
        table->ReopenFile();
        throw;
    }
}

void TParadoxChanges::Commit(const TCompanionLookup& companion) {
    for (auto& p : pending_)
        if (p->dirty && !p->written)
            p->Write(companion ? companion : companion_);
    pending_.clear();
}

namespace {

struct VTab {
    sqlite3_vtab base{};
    TParadoxChanges* changes = nullptr;
    std::shared_ptr<TParadoxChanges::TPending> pending;
    TParadoxTable* table = nullptr;
};

struct VCursor {
    sqlite3_vtab_cursor base{};
    std::shared_ptr<TParadoxTable> table; // kept while the cursor reads it, should a commit reopen the table
    std::unique_ptr<TParadoxTable::Cursor> cursor;
};

int connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    if (argc < 4) {
        *err = sqlite3_mprintf("paradox: the table file is missing");
        return SQLITE_ERROR;
    }
    auto* changes = static_cast<TParadoxChanges*>(aux);
    auto vt = std::make_unique<VTab>();
    try {
        vt->changes = changes;
        vt->pending = std::make_shared<TParadoxChanges::TPending>();
        vt->pending->table = std::make_shared<TParadoxTable>(unSqlQuoteLiteral(argv[3]), changes->Keys());
        vt->table = vt->pending->table.get();
        changes->Track(vt->pending);
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
    c->table = reinterpret_cast<VTab*>(v)->pending->table;
    c->cursor = std::make_unique<TParadoxTable::Cursor>(*c->table);
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
    // A field an UPDATE leaves alone keeps its bytes: it is not decoded and
    // encoded again.
    if (sqlite3_vtab_nochange(ctx))
        return SQLITE_OK;
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

TParadoxValue valueOf(sqlite3_value* v) {
    TParadoxValue out;
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        out.kind = TParadoxValue::Kind::Int;
        out.i = sqlite3_value_int64(v);
        break;
    case SQLITE_FLOAT:
        out.kind = TParadoxValue::Kind::Real;
        out.d = sqlite3_value_double(v);
        break;
    case SQLITE_TEXT:
        out.kind = TParadoxValue::Kind::Text;
        out.s = Utf8ToAnsi(std::string(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                                       size_t(sqlite3_value_bytes(v))));
        break;
    case SQLITE_BLOB:
        out.kind = TParadoxValue::Kind::Blob;
        out.s.assign(static_cast<const char*>(sqlite3_value_blob(v)), size_t(sqlite3_value_bytes(v)));
        break;
    default:
        break;
    }
    return out;
}

// Deletes (one argument), inserts (no old row number) and updates records of
// the in-memory copy; the files are written when the statement has ended.
int update(sqlite3_vtab* v, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
    auto* vt = reinterpret_cast<VTab*>(v);
    try {
        TParadoxChanges::TPending& p = *vt->pending;
        p.Load();
        auto at = [&](sqlite3_value* n) -> std::optional<std::string>& {
            const sqlite3_int64 r = sqlite3_value_int64(n);
            if (r < 1 || r > sqlite3_int64(p.records.size()) || !p.records[size_t(r - 1)])
                throw EDBEngineError(
                    Format("Record %d of table %s is not there", int64_t(r), vt->table->Path()));
            return p.records[size_t(r - 1)];
        };
        if (argc == 1) {
            at(argv[0]).reset();
            p.dirty = true;
            return SQLITE_OK;
        }
        const bool insert = sqlite3_value_type(argv[0]) == SQLITE_NULL;
        std::optional<std::string>* old = insert ? nullptr : &at(argv[0]);
        if (!insert && sqlite3_value_int64(argv[1]) != sqlite3_value_int64(argv[0]))
            throw EDBEngineError("The record number of a Paradox record cannot be changed");
        const auto& fields = vt->table->Fields();
        std::string record;
        for (size_t i = 0; i < fields.size(); ++i) {
            const TParadoxField& f = fields[i];
            sqlite3_value* value = argv[2 + i];
            if (old && sqlite3_value_nochange(value)) {
                record += (*old)->substr(size_t(f.offset), size_t(f.size));
                continue;
            }
            TParadoxValue pv = valueOf(value);
            if (f.type == '+') {
                if (pv.kind == TParadoxValue::Kind::Null && insert) {
                    pv.kind = TParadoxValue::Kind::Int;
                    pv.i = int64_t(++p.autoIncrement);
                } else if (pv.kind != TParadoxValue::Kind::Null) {
                    const int64_t n = pv.kind == TParadoxValue::Kind::Int ? pv.i : 0;
                    if (n > int64_t(p.autoIncrement) && n <= 0x7FFFFFFF)
                        p.autoIncrement = uint32_t(n);
                }
            }
            record +=
                EncodeParadoxValue(*vt->table, f, pv, ParadoxFormat::IsBlobType(f.type) ? p.Memo() : nullptr);
        }
        if (insert) {
            p.records.emplace_back(std::move(record));
            *rowid = sqlite3_int64(p.records.size());
            p.reorder = true;
        } else {
            if (vt->table->Keyed() &&
                (*old)->compare(0, size_t(p.KeyBytes()), record, 0, size_t(p.KeyBytes())))
                p.reorder = true;
            *old = std::move(record);
        }
        p.dirty = true;
        return SQLITE_OK;
    } catch (const Exception& e) {
        sqlite3_free(v->zErrMsg);
        v->zErrMsg = sqlite3_mprintf("%s", AnsiToUtf8(e.Message()).c_str());
        return SQLITE_ERROR;
    }
}

// SQLite's transaction: what it changed is written when SQLite syncs it (a
// failure there makes SQLite roll it back and report the error), kept after
// its commit, and dropped at its rollback.
int begin(sqlite3_vtab*) {
    return SQLITE_OK;
}

int sync(sqlite3_vtab* v) {
    auto* vt = reinterpret_cast<VTab*>(v);
    TParadoxChanges::TPending& p = *vt->pending;
    if (!p.dirty || p.written)
        return SQLITE_OK;
    try {
        p.Write(vt->changes->CompanionLookup());
        p.written = true;
        return SQLITE_OK;
    } catch (const Exception& e) {
        sqlite3_free(v->zErrMsg);
        v->zErrMsg = sqlite3_mprintf("%s", AnsiToUtf8(e.Message()).c_str());
        return SQLITE_ERROR;
    }
}

int commit(sqlite3_vtab* v) {
    auto* vt = reinterpret_cast<VTab*>(v);
    try {
        vt->pending->Reopen(vt->changes->Keys());
    } catch (const Exception&) {
        // The files are written; the reader of the old ones serves until the
        // table is next opened. A commit cannot fail once its files are in place.
        vt->pending->Drop();
    }
    vt->table = vt->pending->table.get();
    return SQLITE_OK;
}

int rollback(sqlite3_vtab* v) {
    // Files already written (another table's sync failed after this one's)
    // cannot be taken back: the table's reader is brought to them. Changes
    // not written are forgotten.
    return commit(v);
}

int savepoint(sqlite3_vtab* v, int level) {
    try {
        reinterpret_cast<VTab*>(v)->pending->Save(level);
        return SQLITE_OK;
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
}

int release(sqlite3_vtab* v, int level) {
    reinterpret_cast<VTab*>(v)->pending->Release(level);
    return SQLITE_OK;
}

int rollbackTo(sqlite3_vtab* v, int level) {
    try {
        reinterpret_cast<VTab*>(v)->pending->RollBackTo(level);
        return SQLITE_OK;
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
}

sqlite3_module makeModule() {
    sqlite3_module m{};
    m.iVersion = 2;
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
    m.xUpdate = update;
    m.xBegin = begin;
    m.xSync = sync;
    m.xCommit = commit;
    m.xRollback = rollback;
    m.xSavepoint = savepoint;
    m.xRelease = release;
    m.xRollbackTo = rollbackTo;
    return m;
}

const sqlite3_module kModule = makeModule();

} // namespace

void RegisterParadoxModule(sqlite3* db, TParadoxChanges* changes) {
    if (sqlite3_create_module(db, "paradox", &kModule, changes) != SQLITE_OK)
        throw EDBEngineError(sqlite3_errmsg(db));
}

std::string ParadoxVirtualTableSql(const std::string& nameUtf8, const std::string& path) {
    return "CREATE VIRTUAL TABLE temp." + SqlQuoteIdent(nameUtf8) + " USING paradox(" +
           SqlQuoteLiteral(path) + ")";
}

} // namespace vx::db
