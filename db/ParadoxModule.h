// Paradox tables as SQLite virtual tables, so that statements on them run
// through SQLite: CREATE VIRTUAL TABLE temp.T USING paradox('/path/T.db').
// Rows are returned in their stored order. Changes (UPDATE, INSERT, DELETE)
// are gathered in memory within SQLite's transaction and written back as
// whole new files when SQLite syncs it, before its commit; a transaction
// rolled back, or a statement that fails on its own, drops them and leaves
// the table's files as they were.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace vx::db {

// What the virtual tables of one SQLite connection share: the keys that
// open encrypted tables, and the tables a statement has changed.
class TParadoxChanges {
public:
    explicit TParadoxChanges(std::vector<uint32_t> keys) : keys_(std::move(keys)) {}
    const std::vector<uint32_t>& Keys() const { return keys_; }
    // Names the file beside a table with an extension (".PX"), as
    // ParadoxCompanionFile does; unset, the folder is read for it.
    using TCompanionLookup = std::function<std::string(const std::string& dataPath, const std::string& ext)>;
    void SetCompanionLookup(TCompanionLookup companion) { companion_ = std::move(companion); }
    const TCompanionLookup& CompanionLookup() const { return companion_; }
    // Writes back every change SQLite's transactions have not written (none
    // once they have committed); raises EDBEngineError.
    void Commit(const TCompanionLookup& companion = {});

    struct TPending;
    void Track(std::shared_ptr<TPending> p) { pending_.push_back(std::move(p)); }

private:
    std::vector<uint32_t> keys_;
    TCompanionLookup companion_;
    std::vector<std::shared_ptr<TPending>> pending_;
};

// Registers the module "paradox" on the connection; raises EDBEngineError.
void RegisterParadoxModule(sqlite3* db, TParadoxChanges* changes);
// The SQL that makes table `name` (in schema temp) read the file at `path`.
std::string ParadoxVirtualTableSql(const std::string& nameUtf8, const std::string& path);

} // namespace vx::db
