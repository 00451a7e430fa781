// The STANDARD driver: local tables in a folder. A table is one file,
// <Table>.db, found without regard to letter case: a Paradox table (with its
// .PX index and .MB memo file beside it), read and changed in place, or, in
// folders made by earlier versions of this engine, an SQLite database
// holding that one table. New tables are Paradox tables unless the folder
// holds SQLite tables and no Paradox table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/Engine.h"

struct sqlite3;

class TStandardDriver : public TDriverConnection {
public:
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
    std::unique_ptr<TMemoryResultSet> run(const std::string& sql);
    bool newTablesAreParadox() const;
    void createParadox(const std::string& table, const std::string& utf8);
    void alterParadox(const std::string& table, const std::string& file, const std::string& utf8);
    std::string folder() const; // Linux path of the folder
    void checkName(const std::string& table) const;
    std::vector<uint32_t> keys() const; // of the encrypted tables the passwords open
    std::string folder_;                // as given
    const std::vector<std::string>* passwords_;
};
