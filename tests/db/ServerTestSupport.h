// Shared ground of the tests against real servers: the environment that
// scripts/start-firebird.sh and scripts/start-postgres.sh print, an alias
// file of the test's own, and the rule that a test without its server skips
// with a clear message unless VX_REQUIRE_SERVERS=1, when it fails.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TempFolder.h"

// The variable's value, or the empty text.
std::string EnvOr(const char* name);
bool ServersRequired();

// Skips (or fails, when servers are required) when the variable is unset.
#define VX_NEED_ENV(var)                                                                                     \
    do {                                                                                                     \
        if (EnvOr(var).empty()) {                                                                            \
            if (ServersRequired())                                                                           \
                FAIL() << var << " is not set: start the servers with scripts/start-services.sh";            \
            GTEST_SKIP() << var                                                                              \
                         << " is not set (scripts/start-firebird.sh and scripts/start-postgres.sh "          \
                            "print it); set VX_REQUIRE_SERVERS=1 to make this a failure";                    \
        }                                                                                                    \
    } while (0)

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
