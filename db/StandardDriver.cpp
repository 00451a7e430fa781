#include "db/StandardDriver.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "db/ParadoxCipher.h"
#include "db/ParadoxModule.h"
#include "db/ParadoxTable.h"
#include "db/ParadoxTableWriter.h"
#include "db/SqlScanner.h"
#include "platform/Files.h"
#include "platform/SystemFiles.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

namespace {

constexpr char kSqliteMagic[] = "SQLite format 3";

} // namespace

// An SQLite connection, closed by its destructor.
class TSqlite {
public:
    TSqlite(const std::string& path, int flags, std::vector<uint32_t> keys = {}) : changes_(std::move(keys)) {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            db_ = nullptr;
            throw EDBEngineError(Utf8ToAnsi(msg) + ": " + Utf8ToAnsi(path));
        }
        sqlite3_extended_result_codes(db_, 0);
        RegisterParadoxModule(db_, &changes_);
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

    // How the Paradox tables' companion files are found when SQLite's
    // transaction writes the tables back.
    void setCompanionLookup(TParadoxChanges::TCompanionLookup companion) {
        changes_.SetCompanionLookup(std::move(companion));
    }
    // Writes back what the statement changed and SQLite has not written.
    void commitParadox() { changes_.Commit(); }

private:
    TParadoxChanges changes_;
    sqlite3* db_ = nullptr;
};

namespace {

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

bool isBlob(char t) {
    return t == 'M' || t == 'B' || t == 'F' || t == 'O' || t == 'G';
}

bool hasDbExtension(const std::string& name) {
    return SameText(ExtractFileExt(name), ".db");
}

// A name a table's file may have: something before the extension.
bool isTableFileName(const std::string& name) {
    return name.size() > 3 && hasDbExtension(name);
}

struct TColumn {
    std::string name, type; // CP1252
    int pk = 0;             // position in the primary key, 0 = none
};

// The columns of the one table of a scratch database, as SQLite parsed them.
std::vector<TColumn> scratchColumns(TSqlite& db, std::string& tableName) {
    // One query for the table and its columns: the rows of each table come
    // together, in column order.
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "SELECT m.name, p.name, p.type, p.pk FROM main.sqlite_master AS m, "
                           "pragma_table_info(m.name, 'main') AS p WHERE m.type = 'table'",
                           -1, &st, nullptr) != SQLITE_OK)
        db.raise();
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(st, sqlite3_finalize);
    auto text = [&](int i) {
        const unsigned char* t = sqlite3_column_text(st, i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    std::string table;
    bool oneTable = true;
    std::vector<TColumn> out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const std::string t = text(0);
        if (out.empty())
            table = t;
        oneTable = oneTable && t == table;
        out.push_back({Utf8ToAnsi(text(1)), Utf8ToAnsi(text(2)), sqlite3_column_int(st, 3)});
    }
    if (out.empty() || !oneTable)
        throw EDBEngineError("The statement must leave exactly one table");
    tableName = Utf8ToAnsi(table);
    return out;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string stemOf(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.substr(0, name.rfind('.'));
}

} // namespace

TStandardDriver::TStandardDriver(const TConnectionSettings& settings)
    : folder_(settings.params.Value("PATH")), passwords_(settings.passwords) {
    if (!folder_.empty() && !DirectoryExists(folder_))
        throw EDBEngineError(Format("Directory not found: %s", folder_));
    if (sqlite3_initialize() != SQLITE_OK)
        throw EDBEngineError("The SQLite engine cannot start");
}

TStandardDriver::~TStandardDriver() = default;

std::string TStandardDriver::folder() const {
    return ResolvePath(folder_.empty() ? std::string(".") : folder_);
}

void TStandardDriver::checkName(const std::string& table) const {
    // A table is a file of this folder: a name may not lead elsewhere.
    if (table.empty() || table.find_first_of("/\\:") != std::string::npos || table == "." || table == "..")
        throw EDBEngineError(Format("Invalid table name: %s", table));
}

TWatchedFolder& TStandardDriver::index() const {
    // The folder's name is resolved again only when the index had to read
    // the folder anew (it went away, was replaced, or gives no
    // notifications): a folder that stays where it is keeps its name.
    if (index_) {
        index_->Refresh();
        if (index_->Exists() && !index_->Reread())
            return *index_;
    }
    const std::string f = folder();
    if (!index_ || index_->Folder() != f) {
        index_ = std::make_unique<TWatchedFolder>(f);
        index_->Refresh();
    }
    return *index_;
}

std::string TStandardDriver::pathIn(const TWatchedFolder& idx, const std::string& nameUtf8) const {
    const std::string& f = idx.Folder();
    if (f == ".")
        return nameUtf8;
    return f == "/" ? "/" + nameUtf8 : f + "/" + nameUtf8;
}

std::string TStandardDriver::companionFile(const TWatchedFolder& idx, const std::string& dataPath,
                                           const std::string& ext) const {
    const std::string name = dataPath.substr(dataPath.rfind('/') + 1);
    if (const auto found = idx.Find(name.substr(0, name.rfind('.')) + ext))
        return pathIn(idx, *found);
    return NewParadoxCompanionFile(dataPath, ext);
}

std::string TStandardDriver::TableFile(const std::string& table) const {
    return tableFile(index(), table);
}

std::string TStandardDriver::tableFile(TWatchedFolder& idx, const std::string& table) const {
    checkName(table);
    const std::string file = AnsiToUtf8(hasDbExtension(table) ? table : table + ".db");
    // A change a kill interrupted is completed, or forgotten, before the
    // table is looked at; it may be the change that made the table.
    const std::string stem = file.substr(0, file.size() - 3);
    const std::string marker = UpperCase(stem) + ".VXCOMMIT";
    if (idx.Find(marker)) {
        RecoverParadoxTable(idx.Folder(), stem);
        idx.Refresh();
    }
    const std::optional<std::string> found = idx.Find(file);
    if (!found)
        return {};
    const std::string path = pathIn(idx, *found);
    return IsFileAt(path) ? path : std::string();
}

void TStandardDriver::takeChanges(TWatchedFolder& idx) {
    std::vector<uint32_t> k = keys();
    TWatchedFolder::TChanges changes = idx.TakeChanges();
    if (changes.all || k != factsKeys_) {
        // A password added since may open tables that did not open before.
        facts_.clear();
        paradox_.clear();
        sqlite_.clear();
        models_.clear();
        unknown_.clear();
        factsKeys_ = std::move(k);
        for (const auto& n : idx.Names())
            if (isTableFileName(n))
                unknown_.insert(n);
        return;
    }
    for (const auto& n : changes.names) {
        facts_.erase(n);
        paradox_.erase(n);
        sqlite_.erase(n);
        models_.erase(n);
        unknown_.erase(n);
        if (isTableFileName(n) && idx.Find(n) == n)
            unknown_.insert(n);
    }
}

const TStandardDriver::TFacts& TStandardDriver::factsOf(const TWatchedFolder& idx,
                                                        const std::string& nameUtf8) {
    if (const auto it = facts_.find(nameUtf8); it != facts_.end())
        return it->second;
    TFacts f;
    const std::string path = pathIn(idx, nameUtf8);
    f.kind = KindOf(path);
    if (f.kind == TFileKind::Paradox) {
        try {
            TParadoxTable t(path, factsKeys_);
            if (t.Version() >= 5) {
                f.model = true;
                f.codePage = t.CodePage();
                f.sortOrderId = t.SortOrderId();
                f.sortOrder = t.SortOrder();
            }
        } catch (const EDBEngineError&) {
            // a damaged table, or one no password opens, gives no model
        }
        paradox_.insert(nameUtf8);
    } else if (f.kind == TFileKind::SQLite) {
        sqlite_.insert(nameUtf8);
    }
    if (f.model)
        models_.insert(nameUtf8);
    unknown_.erase(nameUtf8);
    return facts_.emplace(nameUtf8, std::move(f)).first->second;
}

void TStandardDriver::learnUnknown(const TWatchedFolder& idx, const std::set<std::string>& wanted) {
    const std::vector<std::string> names(unknown_.begin(), unknown_.end());
    for (const auto& n : names) {
        if (!wanted.empty())
            return;
        factsOf(idx, n);
    }
}

TStandardDriver::TFileKind TStandardDriver::KindOf(const std::string& linuxPath) {
    uint8_t head[0x58] = {};
    const int64_t got = ReadFileHead(linuxPath, head, sizeof head);
    if (got < 0)
        return TFileKind::Missing;
    const size_t n = static_cast<size_t>(got);
    if (n == 0)
        return TFileKind::SQLite; // an empty file is an empty SQLite database
    if (n >= sizeof kSqliteMagic && std::equal(kSqliteMagic, kSqliteMagic + sizeof kSqliteMagic, head))
        return TFileKind::SQLite;
    if (TParadoxTable::LooksLikeParadox(head, n))
        return TFileKind::Paradox;
    return TFileKind::Other;
}

std::unique_ptr<TMemoryResultSet> TStandardDriver::run(const std::string& sql) {
    TWatchedFolder& idx = index();
    if (!folder_.empty() && !idx.Exists())
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
            std::string file = tableFile(idx, table);
            const TFileKind kind = file.empty() ? TFileKind::Missing : KindOf(file);
            it = found.emplace(UpperCase(table), TFound{std::move(file), kind}).first;
        }
        return it->second;
    };

    const bool createTable = info.verb == "CREATE" && info.object == "TABLE" && !info.target.empty();
    if (!info.target.empty()) {
        const TFound& t = lookup(info.target);
        if (t.kind == TFileKind::Paradox) {
            if (createTable)
                throw EDBEngineError(Format("table %s already exists", info.target));
            if (info.verb == "ALTER" && info.object == "TABLE") {
                alterParadox(idx, info.target, t.file, utf8);
                return std::make_unique<TMemoryResultSet>(std::vector<std::string>{});
            }
            if (info.verb != "UPDATE" && info.verb != "INSERT" && info.verb != "DELETE")
                throw EDBEngineError(Format("Table %s is a Paradox table (%s) and cannot be changed so",
                                            info.target, Utf8ToAnsi(t.file)));
        } else if (createTable && t.kind == TFileKind::Missing && newTablesAreParadox(idx)) {
            createParadox(idx, info.target, utf8);
            return std::make_unique<TMemoryResultSet>(std::vector<std::string>{});
        }
    }
    std::string newFile;
    std::unique_ptr<TSqlite> db;
    if (createTable) {
        // A new table is a new file, named as the statement writes it.
        std::string file = lookup(info.target).file;
        if (file.empty()) {
            const std::string name = hasDbExtension(info.target) ? info.target : info.target + ".db";
            file = pathIn(idx, AnsiToUtf8(name));
            newFile = file;
        }
        db = std::make_unique<TSqlite>(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, keys());
    } else {
        // Not SQLITE_OPEN_MEMORY: attached files would inherit it.
        db = std::make_unique<TSqlite>(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, keys());
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
        db->setCompanionLookup([&](const std::string& dataPath, const std::string& ext) {
            return companionFile(idx, dataPath, ext);
        });
        auto result = runStatement(*db, utf8);
        db->commitParadox();
        if (info.verb == "DROP" && info.object == "TABLE" && !info.target.empty()) {
            // A dropped table leaves no empty file behind.
            const std::string file = TableFile(info.target);
            db.reset();
            if (!file.empty())
                RemoveFileAt(file);
        }
        return result;
    } catch (...) {
        db.reset();
        if (!newFile.empty()) { // a failed CREATE leaves nothing behind
            RemoveFileAt(newFile);
            RemoveFileAt(newFile + "-journal");
        }
        throw;
    }
}

std::vector<uint32_t> TStandardDriver::keys() const {
    std::vector<uint32_t> out;
    if (passwords_)
        for (const auto& p : *passwords_)
            if (const uint32_t k = ParadoxCipher::PasswordChecksum(p))
                out.push_back(k);
    return out;
}

bool TStandardDriver::newTablesAreParadox(TWatchedFolder& idx) {
    // Folders made by earlier versions of this engine hold SQLite tables
    // only; their new tables stay SQLite. One Paradox table known decides;
    // the files not yet looked at are read only when none is known.
    takeChanges(idx);
    if (paradox_.empty())
        learnUnknown(idx, paradox_);
    return !paradox_.empty() || sqlite_.empty();
}

void TStandardDriver::createParadox(TWatchedFolder& idx, const std::string& table, const std::string& utf8) {
    // SQLite reads the statement in a scratch database of its own; its
    // columns become the table's fields. The scratch database keeps the new
    // table for the ALTER statements that usually follow.
    scratch_.reset();
    scratch_ = std::make_unique<TSqlite>(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    std::string name;
    std::vector<TColumn> columns;
    try {
        runStatement(*scratch_, utf8);
        columns = scratchColumns(*scratch_, name);
    } catch (...) {
        scratch_.reset();
        throw;
    }
    scratchTable_ = name;
    scratchFields_.clear();
    for (const auto& c : columns)
        scratchFields_.push_back(c.name);
    TParadoxLayout layout;
    for (const auto& c : columns) {
        layout.fields.push_back(ParadoxFieldFromSql(c.name, c.type));
        if (c.pk) {
            if (c.pk != layout.keyFields + 1 || layout.keyFields + 1 != int(layout.fields.size()))
                throw EDBEngineError(
                    Format("The key fields of Paradox table %s must be its first fields, in order", table));
            ++layout.keyFields;
            if (isBlob(layout.fields.back().type))
                throw EDBEngineError(Format("Field %s cannot be a key field", c.name));
        }
    }
    layout.Arrange();
    layout.ChooseVersion();
    if (layout.RecordSize() > int(layout.blockSize) - 6)
        layout.blockSize = layout.RecordSize() > 4096 - 6 ? 8192 : 4096;
    if (layout.RecordSize() > int(layout.blockSize) - 6)
        throw EDBEngineError(Format("The record of table %s is too long", table));
    // The folder's own tables of level 5 and above give the sort order and
    // code page: the first one found, as a shop's tables agree on them. What
    // is known of the tables is kept while they do not change, so tables are
    // read only until one is found, and only those changed since are read
    // again.
    takeChanges(idx);
    if (models_.empty())
        learnUnknown(idx, models_);
    if (!models_.empty()) {
        const TFacts& model = facts_.at(*models_.begin());
        layout.codePage = model.codePage;
        layout.sortOrderId = model.sortOrderId;
        layout.sortOrder = model.sortOrder;
    }
    const std::string fileName = hasDbExtension(table) ? table : table + ".db";
    const std::string path = pathIn(idx, idx.Find(AnsiToUtf8(fileName)).value_or(AnsiToUtf8(fileName)));
    layout.fileName = fileName;
    std::vector<TParadoxNewFile> files{{path, BuildParadoxData(layout, {})}};
    if (layout.keyFields)
        files.push_back({companionFile(idx, path, ".PX"), BuildParadoxIndex(layout, {})});
    for (const auto& f : layout.fields)
        if (isBlob(f.type)) {
            files.push_back({companionFile(idx, path, ".MB"), BuildEmptyMemoFile(0)});
            break;
        }
    ReplaceParadoxFiles(folderOf(path), stemOf(path), files);
}

void TStandardDriver::alterParadox(TWatchedFolder& idx, const std::string& tableName, const std::string& file,
                                   const std::string& utf8) {
    auto table = std::make_unique<TParadoxTable>(file, keys());
    table->CheckIntact(); // its records are about to be written anew
    std::vector<std::string> oldNames;
    for (const auto& f : table->Fields())
        oldNames.push_back(f.name);
    // SQLite reads the statement against a table of the same fields; what it
    // adds at the end becomes the new fields. The scratch table the last
    // ALTER left serves again while it has the table's name and fields, as
    // it has when a table's fields are added one statement after another:
    // making it anew is most of the cost of such a statement.
    if (!scratch_ || scratchTable_ != tableName || scratchFields_ != oldNames) {
        scratch_.reset();
        scratchTable_.clear();
        scratch_ = std::make_unique<TSqlite>(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        std::string ddl;
        for (const auto& f : oldNames)
            ddl += (ddl.empty() ? "" : ", ") + SqlQuoteIdent(AnsiToUtf8(f));
        // Named as the statement names it: the file may spell it in another case.
        scratch_->exec("CREATE TABLE " + SqlQuoteIdent(AnsiToUtf8(tableName)) + " (" + ddl + ")");
        scratchTable_ = tableName;
        scratchFields_ = oldNames;
    }
    std::string name;
    std::vector<TColumn> columns;
    try {
        runStatement(*scratch_, utf8);
        columns = scratchColumns(*scratch_, name);
    } catch (...) {
        scratch_.reset(); // what the statement left of it is unknown
        throw;
    }
    // What the statement made of the table; should the change be refused or
    // fail below, the table's fields differ from these and the next ALTER
    // starts afresh.
    scratchTable_ = name;
    scratchFields_.clear();
    for (const auto& c : columns)
        scratchFields_.push_back(c.name);
    const std::string stem = stemOf(file);
    const auto& old = table->Fields();
    bool onlyAdded = name == tableName && columns.size() >= old.size();
    for (size_t i = 0; onlyAdded && i < old.size(); ++i)
        onlyAdded = columns[i].name == old[i].name;
    if (!onlyAdded)
        throw EDBEngineError(Format("Only fields can be added to the Paradox table %s", Utf8ToAnsi(file)));
    TParadoxLayout layout = TParadoxLayout::Of(*table);
    const size_t oldSize = size_t(layout.RecordSize());
    bool memo = false;
    for (size_t i = old.size(); i < columns.size(); ++i) {
        layout.fields.push_back(ParadoxFieldFromSql(columns[i].name, columns[i].type));
        memo = memo || isBlob(layout.fields.back().type);
    }
    layout.Arrange();
    const int version = layout.version;
    layout.ChooseVersion();
    layout.version = std::max(version, layout.version);
    if (version < 5 && layout.version >= 5)
        layout.codePage = 0; // the older header had none: the DOS code page stays
    if (layout.RecordSize() > int(layout.blockSize) - 6)
        throw EDBEngineError(Format("The record of table %s would not fit its blocks", Utf8ToAnsi(file)));
    std::vector<std::string> records = table->RawRecords();
    for (auto& r : records)
        r.resize(size_t(layout.RecordSize()), '\0'); // the new fields are NULL
    (void)oldSize;
    std::vector<TParadoxNewFile> files{{file, BuildParadoxData(layout, records)}};
    if (layout.keyFields)
        files.push_back({companionFile(idx, file, ".PX"), BuildParadoxIndex(layout, records)});
    if (memo && !table->HasMemoFile())
        files.push_back({companionFile(idx, file, ".MB"), BuildEmptyMemoFile(layout.key)});
    // The old file is let go before the new one is renamed over it: Windows
    // does not replace a file that is open or mapped.
    table.reset();
    ReplaceParadoxFiles(folderOf(file), stem, files);
}

std::unique_ptr<TResultSet> TStandardDriver::Query(const std::string& sql) {
    return run(sql);
}

void TStandardDriver::ExecSQL(const std::string& sql) {
    run(sql);
}

std::vector<std::string> TStandardDriver::TableNames(bool) {
    TWatchedFolder& idx = index();
    if (!idx.Exists())
        throw EDBEngineError(Format("Directory not found: %s", folder_));
    std::vector<std::string> out;
    // Changes a kill cut short: completed where their marker was written,
    // forgotten where it was not.
    // Only the names the replacement itself makes are taken for leftovers.
    std::set<std::string> leftovers;
    for (const auto& name : idx.Names())
        if (const auto stem = ParadoxWorkFileStem(name))
            leftovers.insert(*stem);
    for (const auto& stem : leftovers)
        RecoverParadoxTable(idx.Folder(), stem);
    if (!leftovers.empty())
        idx.Refresh();
    // The kinds learnt here serve the CREATE statements that follow.
    takeChanges(idx);
    for (const auto& name : idx.Names()) {
        if (!isTableFileName(name))
            continue;
        const TFileKind kind = factsOf(idx, name).kind;
        if (kind == TFileKind::SQLite || kind == TFileKind::Paradox)
            out.push_back(Utf8ToAnsi(name.substr(0, name.size() - 3)));
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
        TParadoxTable t(file, keys());
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

} // namespace vx::db
