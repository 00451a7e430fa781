// A light reading of an SQL statement for the local tables driver: which
// kind of statement it is and which tables it names. It is not a parser;
// SQLite parses and runs the statement. It only has to find the files a
// statement needs, and the one table a changing statement changes.
#pragma once

#include <string>
#include <vector>

namespace vx::db {

struct TSqlStatementInfo {
    std::string verb;   // first word, upper case: SELECT, CREATE, ALTER, ...
    std::string object; // second word of CREATE/ALTER/DROP, upper case: TABLE, INDEX, ...
    // The table a changing statement changes (CREATE TABLE, ALTER TABLE,
    // DROP TABLE, UPDATE, INSERT INTO, DELETE FROM, CREATE INDEX ... ON).
    std::string target;
    // Every table named after FROM, JOIN, INTO, UPDATE, TABLE or ON, and in
    // FROM lists, in order, without repeats (compared without regard to case).
    std::vector<std::string> tables;
    bool Changes() const;
};

TSqlStatementInfo ScanSql(const std::string& sql);

// A text as an SQL string literal ('...', quotes doubled) and a name as a
// quoted identifier ("...", quotes doubled).
std::string SqlQuoteLiteral(const std::string& s);
std::string SqlQuoteIdent(const std::string& s);

} // namespace vx::db
