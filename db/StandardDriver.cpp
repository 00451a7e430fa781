#include "db/StandardDriver.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "db/ParadoxModule.h"
#include "db/ParadoxTable.h"
#include "db/SqlScanner.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr char kSqliteMagic[] = "SQLite format 3";

// An SQLite connection, closed by its destructor.
class TSqlite {
public:
    TSqlite(const std::string& path, int flags) {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            db_ = nullptr;
            throw EDBEngineError(Utf8ToAnsi(msg) + ": " + Utf8ToAnsi(path));
        }
        sqlite3_extended_result_codes(db_, 0);
        RegisterParadoxModule(db_);
    }
    ~TSqlite() { sqlite3_close(db_); }
    TSqlite(const TSqlite&) = delete;
    TSqlite& operator=(const TSqlite&) = delete;
    sqlite3* get() const { return db_; }
    [[noreturn]] void raise() const { throw EDBEngineError(Utf8ToAnsi(sqlite3_errmsg(db_))); }
    void exec(const std::string& utf8) {
        if (sqlite3_exec(db_, utf8.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            raise();
    }

private:
    sqlite3* db_ = nullptr;
};

std::optional<std::string> columnText(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL:
        return std::nullopt;
    case SQLITE_INTEGER:
        return std::to_string(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT: {
        // The shortest text that reads back as the same number.
        const double d = sqlite3_column_double(st, i);
        char buf[40];
        for (int prec = 15; prec <= 17; ++prec) {
            std::snprintf(buf, sizeof buf, "%.*g", prec, d);
            if (std::strtod(buf, nullptr) == d)
                break;
        }
        return std::string(buf);
    }
    case SQLITE_BLOB:
        return std::string(static_cast<const char*>(sqlite3_column_blob(st, i)), sqlite3_column_bytes(st, i));
    default:
        return Utf8ToAnsi(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                      sqlite3_column_bytes(st, i)));
    }
}

constexpr const char* kOneStatement = "Only one SQL statement may be given at a time";

// What a statement from the caller may not do on local tables: reach other
// database files (ATTACH, DETACH, VACUUM INTO), change the connection
// (PRAGMA), or make and drop virtual tables over files of its choosing.
int refuseOutsideReach(void*, int action, const char*, const char*, const char*, const char*) {
    switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
    case SQLITE_PRAGMA:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_VTABLE:
        return SQLITE_DENY;
    default:
        return SQLITE_OK;
    }
}

// Runs the one statement of the text. A text holding a second statement
// runs nothing: a schema row's type could otherwise carry a statement of its
// own.
std::unique_ptr<TMemoryResultSet> runStatement(TSqlite& db, const std::string& utf8) {
    sqlite3_set_authorizer(db.get(), refuseOutsideReach, nullptr);
    struct TAuthorizerOff {
        sqlite3* db;
        ~TAuthorizerOff() { sqlite3_set_authorizer(db, nullptr, nullptr); }
    } authorizerOff{db.get()};

    sqlite3_stmt* st = nullptr;
    const char* tail = utf8.c_str();
    while (!st && tail && *tail) // blanks, comments and empty statements before it
        if (sqlite3_prepare_v2(db.get(), tail, -1, &st, &tail) != SQLITE_OK)
            db.raise();
    if (!st)
        return std::make_unique<TMemoryResultSet>(std::vector<std::string>{});
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(st, sqlite3_finalize);
    while (tail && *tail) {
        sqlite3_stmt* more = nullptr;
        const int rc = sqlite3_prepare_v2(db.get(), tail, -1, &more, &tail);
        sqlite3_finalize(more);
        if (rc != SQLITE_OK || more)
            throw EDBEngineError(kOneStatement);
    }

    const int n = sqlite3_column_count(st);
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back(Utf8ToAnsi(sqlite3_column_name(st, i)));
    auto rows = std::make_unique<TMemoryResultSet>(std::move(names));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        TMemoryResultSet::Row row;
        for (int i = 0; i < n; ++i)
            row.push_back(columnText(st, i));
        rows->AddRow(std::move(row));
    }
    if (rc != SQLITE_DONE)
        db.raise();
    return rows;
}

// Shows the table `name` of an attached SQLite file to a SELECT as a view
// that may use none of the table's indexes: its rows then come in stored
// (rowid) order, which the reconciliation takes a new table's key from, even
// when the file keys the table on other columns.
void showInStoredOrder(TSqlite& db, const std::string& schema, const std::string& nameUtf8) {
    sqlite3_stmt* st = nullptr;
    const std::string find = "SELECT name FROM " + SqlQuoteIdent(schema) +
                             ".sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE";
    if (sqlite3_prepare_v2(db.get(), find.c_str(), -1, &st, nullptr) != SQLITE_OK)
        db.raise();
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(st, sqlite3_finalize);
    sqlite3_bind_text(st, 1, nameUtf8.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) != SQLITE_ROW)
        return; // the file holds no table of that name: the statement says so itself
    const std::string real(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    db.exec("CREATE TEMP VIEW " + SqlQuoteIdent(nameUtf8) + " AS SELECT * FROM " + SqlQuoteIdent(schema) +
            "." + SqlQuoteIdent(real) + " NOT INDEXED");
}

bool hasDbExtension(const std::string& name) {
    return SameText(ExtractFileExt(name), ".db");
}

} // namespace

TStandardDriver::TStandardDriver(const TConnectionSettings& settings)
    : folder_(settings.params.Value("PATH")) {
    if (!folder_.empty() && !DirectoryExists(folder_))
        throw EDBEngineError(Format("Directory not found: %s", folder_));
    if (sqlite3_initialize() != SQLITE_OK)
        throw EDBEngineError("The SQLite engine cannot start");
}

std::string TStandardDriver::folder() const {
    return ResolvePath(folder_.empty() ? std::string(".") : folder_);
}

void TStandardDriver::checkName(const std::string& table) const {
    // A table is a file of this folder: a name may not lead elsewhere.
    if (table.empty() || table.find_first_of("/\\:") != std::string::npos || table == "." || table == "..")
        throw EDBEngineError(Format("Invalid table name: %s", table));
}

std::string TStandardDriver::TableFile(const std::string& table) const {
    checkName(table);
    const std::string file = hasDbExtension(table) ? table : table + ".db";
    const std::string base = folder_.empty() ? std::string(".") : folder_;
    // One resolution: a name that is not spelled as on disk costs a read of
    // the whole folder.
    const std::string path = ResolvePath(IncludeTrailingBackslash(base) + file);
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) ? path : std::string();
}

TStandardDriver::TFileKind TStandardDriver::KindOf(const std::string& linuxPath) {
    std::ifstream f(linuxPath, std::ios::binary);
    if (!f)
        return TFileKind::Missing;
    uint8_t head[0x58] = {};
    f.read(reinterpret_cast<char*>(head), sizeof head);
    const auto n = static_cast<size_t>(f.gcount());
    if (n == 0)
        return TFileKind::SQLite; // an empty file is an empty SQLite database
    if (n >= sizeof kSqliteMagic && std::equal(kSqliteMagic, kSqliteMagic + sizeof kSqliteMagic, head))
        return TFileKind::SQLite;
    if (TParadoxTable::LooksLikeParadox(head, n))
        return TFileKind::Paradox;
    return TFileKind::Other;
}

std::unique_ptr<TMemoryResultSet> TStandardDriver::run(const std::string& sql) {
    if (!folder_.empty() && !DirectoryExists(folder_))
        throw EDBEngineError(Format("Directory not found: %s", folder_));
    const TSqlStatementInfo info = ScanSql(sql);
    // Statements that reach beyond the folder's tables or change the
    // connection are not the local tables' business.
    for (const char* verb : {"ATTACH", "DETACH", "PRAGMA", "VACUUM"})
        if (info.verb == verb)
            throw EDBEngineError(Format("%s statements are not allowed on local tables", info.verb));
    const std::string utf8 = AnsiToUtf8(sql);

    // The files of the tables the statement names, each looked up once.
    struct TFound {
        std::string file;
        TFileKind kind;
    };
    std::map<std::string, TFound> found;
    auto lookup = [&](const std::string& table) -> const TFound& {
        auto it = found.find(UpperCase(table));
        if (it == found.end()) {
            std::string file = TableFile(table);
            const TFileKind kind = file.empty() ? TFileKind::Missing : KindOf(file);
            it = found.emplace(UpperCase(table), TFound{std::move(file), kind}).first;
        }
        return it->second;
    };

    if (!info.target.empty()) {
        const TFound& t = lookup(info.target);
        if (t.kind == TFileKind::Paradox)
            throw EDBEngineError(Format("Table %s is a Paradox table (%s) and cannot be changed", info.target,
                                        Utf8ToAnsi(t.file)));
    }
    std::string newFile;
    std::unique_ptr<TSqlite> db;
    if (info.verb == "CREATE" && info.object == "TABLE" && !info.target.empty()) {
        // A new table is a new file, named as the statement writes it.
        std::string file = lookup(info.target).file;
        if (file.empty()) {
            const std::string name = hasDbExtension(info.target) ? info.target : info.target + ".db";
            file = ResolvePath(IncludeTrailingBackslash(folder_.empty() ? std::string(".") : folder_) + name);
            newFile = file;
        }
        db = std::make_unique<TSqlite>(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    } else {
        // Not SQLITE_OPEN_MEMORY: attached files would inherit it.
        db = std::make_unique<TSqlite>(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    }
    try {
        int attached = 0;
        for (const auto& t : info.tables) {
            if (!newFile.empty() && SameText(t, info.target))
                continue;
            if (t.find_first_of("/\\:") != std::string::npos)
                continue;
            const auto& [file, kind] = lookup(t);
            if (file.empty() || (db && newFile.empty() && info.verb == "CREATE" && SameText(t, info.target)))
                continue;
            if (kind == TFileKind::SQLite) {
                const std::string schema = "t" + std::to_string(++attached);
                db->exec("ATTACH DATABASE " + SqlQuoteLiteral(file) + " AS " + SqlQuoteIdent(schema));
                if (info.verb == "SELECT")
                    showInStoredOrder(*db, schema, AnsiToUtf8(t));
            } else if (kind == TFileKind::Paradox) {
                db->exec(ParadoxVirtualTableSql(AnsiToUtf8(t), file));
            }
        }
        auto result = runStatement(*db, utf8);
        if (info.verb == "DROP" && info.object == "TABLE" && !info.target.empty()) {
            // A dropped table leaves no empty file behind.
            const std::string file = TableFile(info.target);
            db.reset();
            if (!file.empty())
                ::unlink(file.c_str());
        }
        return result;
    } catch (...) {
        db.reset();
        if (!newFile.empty()) { // a failed CREATE leaves nothing behind
            ::unlink(newFile.c_str());
            ::unlink((newFile + "-journal").c_str());
        }
        throw;
    }
}

std::unique_ptr<TResultSet> TStandardDriver::Query(const std::string& sql) {
    return run(sql);
}

void TStandardDriver::ExecSQL(const std::string& sql) {
    run(sql);
}

std::vector<std::string> TStandardDriver::TableNames(bool) {
    const std::string base = folder_.empty() ? std::string(".") : folder_;
    if (!DirectoryExists(base))
        throw EDBEngineError(Format("Directory not found: %s", folder_));
    std::vector<std::string> out;
    for (const auto& name : ListDirectory(base)) {
        if (!hasDbExtension(name) || name.size() <= 3)
            continue;
        const auto kind = KindOf(ResolvePath(IncludeTrailingBackslash(base) + name));
        if (kind == TFileKind::SQLite || kind == TFileKind::Paradox)
            out.push_back(name.substr(0, name.size() - 3));
    }
    std::sort(out.begin(), out.end(),
              [](const std::string& a, const std::string& b) { return UpperCase(a) < UpperCase(b); });
    return out;
}

std::vector<std::string> TStandardDriver::FieldNames(const std::string& table) {
    const std::string name = hasDbExtension(table) ? table.substr(0, table.size() - 3) : table;
    const std::string file = TableFile(table);
    if (file.empty())
        throw EDBEngineError(Format("Table does not exist: %s", table));
    std::vector<std::string> out;
    switch (KindOf(file)) {
    case TFileKind::Paradox: {
        TParadoxTable t(file);
        for (const auto& f : t.Fields())
            out.push_back(f.name);
        return out;
    }
    case TFileKind::SQLite: {
        TSqlite db(file, SQLITE_OPEN_READONLY);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db.get(),
                               ("SELECT * FROM " + SqlQuoteIdent(AnsiToUtf8(name)) + " LIMIT 0").c_str(), -1,
                               &st, nullptr) != SQLITE_OK)
            db.raise();
        for (int i = 0; i < sqlite3_column_count(st); ++i)
            out.push_back(Utf8ToAnsi(sqlite3_column_name(st, i)));
        sqlite3_finalize(st);
        return out;
    }
    default:
        throw EDBEngineError(Format("%s is not a table", Utf8ToAnsi(file)));
    }
}
