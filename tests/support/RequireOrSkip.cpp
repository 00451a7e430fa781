#include "tests/support/RequireOrSkip.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace vx::test {

bool ServersRequired() {
    const char* v = std::getenv("VX_REQUIRE_SERVERS");
    return v && std::string(v) == "1";
}

void RequireOrSkip(const std::string& why) {
    if (ServersRequired())
        FAIL() << why << " (required here: VX_REQUIRE_SERVERS=1)";
    GTEST_SKIP() << why << " (set VX_REQUIRE_SERVERS=1 to make this a failure)";
}

bool ServerEnvSet(const char* var) {
    const char* v = std::getenv(var);
    if (v && *v)
        return true;
    RequireOrSkip(std::string(var) + " is not set: start the servers with scripts/start-services.sh");
    return false;
}

} // namespace vx::test
