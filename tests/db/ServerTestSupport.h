// Shared ground of the tests against real servers: the environment that
// scripts/start-firebird.sh and scripts/start-postgres.sh print, and an
// alias file of the test's own. A test without its server goes through
// RequireOrSkip.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/RequireOrSkip.h"
#include "tests/support/TempFolder.h"

namespace vx::test {

// The variable's value, or the empty text.
std::string EnvOr(const char* name);
// Writes an alias file in a temporary folder and points UPDATER_DBCONFIG at
// it for the life of the object.
class TAliasFile {
public:
    explicit TAliasFile(const std::string& text);
    ~TAliasFile();

private:
    TTempFolder dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// A table name no other run uses.
std::string UniqueName(const std::string& prefix);

} // namespace vx::test
