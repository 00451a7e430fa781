// The STANDARD driver: local tables in a folder. A table is one file,
// <Table>.db, found without regard to letter case: a Paradox table (with its
// .PX index and .MB memo file beside it), read and changed in place, or, in
// folders made by earlier versions of this engine, an SQLite database
// holding that one table. New tables are Paradox tables unless the folder
// holds SQLite tables and no Paradox table.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/Engine.h"
#include "platform/WatchedFolder.h"

struct sqlite3;

namespace vx::db {

using namespace vx::platform;

class TSqlite;

class TStandardDriver : public TDriverConnection {
public:
    ~TStandardDriver() override;
    // PATH names the folder (a Windows path); empty means the working
    // folder. A folder that does not exist raises EDBEngineError.
    explicit TStandardDriver(const TConnectionSettings& settings);

    std::unique_ptr<TResultSet> Query(const std::string& sql) override;
    void ExecSQL(const std::string& sql) override;
    std::vector<std::string> TableNames(bool systemTables) override;
    std::vector<std::string> FieldNames(const std::string& table) override;

    enum class TFileKind { Missing, SQLite, Paradox, Other };
    static TFileKind KindOf(const std::string& linuxPath);
    // The file of a table (Linux path); empty when there is none.
    std::string TableFile(const std::string& table) const;

private:
    // What the folder-wide choices need to know of one .db file: its kind
    // and, for a Paradox table the session can open, its level, code page
    // and sort order. Known until the file changes.
    struct TFacts {
        TFileKind kind = TFileKind::Missing;
        bool model = false; // a Paradox table of level 5 or above that opens
        int codePage = 0;
        int sortOrderId = 0;
        std::string sortOrder;
    };

    std::unique_ptr<TMemoryResultSet> run(const std::string& sql);
    bool newTablesAreParadox(TWatchedFolder& idx);
    void createParadox(TWatchedFolder& idx, const std::string& table, const std::string& utf8);
    void alterParadox(TWatchedFolder& idx, const std::string& table, const std::string& file,
                      const std::string& utf8);
    std::string folder() const; // Linux path of the folder
    void checkName(const std::string& table) const;
    std::vector<uint32_t> keys() const; // of the encrypted tables the passwords open
    // The folder's index, brought up to date; made anew when the folder's
    // path now resolves elsewhere.
    TWatchedFolder& index() const;
    std::string tableFile(TWatchedFolder& idx, const std::string& table) const;
    std::string pathIn(const TWatchedFolder& idx, const std::string& nameUtf8) const;
    std::string companionFile(const TWatchedFolder& idx, const std::string& dataPath,
                              const std::string& ext) const;
    // Forgets the facts of the files changed since the last call.
    void takeChanges(TWatchedFolder& idx);
    const TFacts& factsOf(const TWatchedFolder& idx, const std::string& nameUtf8);
    // Learns the facts of the files not yet looked at, until `wanted` (one
    // of the sets below) has a member.
    void learnUnknown(const TWatchedFolder& idx, const std::set<std::string>& wanted);

    std::string folder_; // as given
    const std::vector<std::string>* passwords_;
    mutable std::unique_ptr<TWatchedFolder> index_;
    std::unordered_map<std::string, TFacts> facts_; // by name on disk
    std::unordered_set<std::string> unknown_;       // .db files whose facts are not known
    std::set<std::string> paradox_, sqlite_, models_;
    std::vector<uint32_t> factsKeys_; // the keys the facts were learnt with
    // The scratch SQLite database ALTER statements are read against, with
    // the table it holds (name as the statement wrote it, and field names).
    std::unique_ptr<TSqlite> scratch_;
    std::string scratchTable_;
    std::vector<std::string> scratchFields_;
};

} // namespace vx::db
