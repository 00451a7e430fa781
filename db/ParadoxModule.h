// Paradox tables as SQLite virtual tables, so that SELECTs on them run
// through SQLite: CREATE VIRTUAL TABLE temp.T USING paradox('/path/T.db').
// Rows are returned in their stored order; the tables are read-only.
#pragma once

#include <string>

struct sqlite3;

// Registers the module "paradox" on the connection; raises EDBEngineError.
void RegisterParadoxModule(sqlite3* db);
// The SQL that makes table `name` (in schema temp) read the file at `path`.
std::string ParadoxVirtualTableSql(const std::string& nameUtf8, const std::string& path);
