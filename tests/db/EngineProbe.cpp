#include "tests/db/EngineProbe.h"

#include "db/DBTables.h"

namespace vx::test {

using namespace vx::db;

void ExecLines(const std::string& database, const std::vector<std::string>& lines, bool mayFail) {
    TQuery q;
    q.SetDatabaseName(database);
    for (const auto& l : lines)
        q.SQL().Add(l);
    try {
        q.ExecSQL();
    } catch (const EDBEngineError&) {
        if (!mayFail)
            throw;
    }
}

std::string ExecFailure(const std::string& database, const std::vector<std::string>& lines) {
    try {
        ExecLines(database, lines);
    } catch (const EDBEngineError& e) {
        return e.what();
    }
    return "(no error)";
}

std::vector<std::string> TableFields(const std::string& database, const std::string& table) {
    TTable t;
    t.SetDatabaseName(database);
    t.SetTableName(table);
    t.Open();
    std::vector<std::string> out;
    for (int i = 0; i < t.FieldCount(); ++i)
        out.push_back(t.FieldName(i));
    t.Close();
    return out;
}

} // namespace vx::test
