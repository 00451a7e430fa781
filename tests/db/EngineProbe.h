// Statements and field lists through the engine on a named connection: how
// the tests make their tables and look at what a run left behind.
#pragma once

#include <string>
#include <vector>

namespace vx::test {

// Runs the lines as one statement. With mayFail an engine error is dropped
// (a DROP of a table that may not be there).
void ExecLines(const std::string& database, const std::vector<std::string>& lines, bool mayFail = false);
// The engine's message for lines that must fail, or "(no error)".
std::string ExecFailure(const std::string& database, const std::vector<std::string>& lines);
// The table's field names, in the order the engine reports them.
std::vector<std::string> TableFields(const std::string& database, const std::string& table);

} // namespace vx::test
