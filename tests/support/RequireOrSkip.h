// What a test does when something it needs is not there (a database or FTP
// server, a tmpfs mount, a file system feature): it skips with the reason,
// unless VX_REQUIRE_SERVERS=1 says the machine must have it, when it fails.
// The helpers record the outcome and the caller returns at once, visibly:
//   if (!server) return RequireOrSkip(why);
//   if (!ServerEnvSet("VX_PG_DSN")) return;
#pragma once

#include <string>

namespace vx::test {

// VX_REQUIRE_SERVERS=1: a missing server is a failure, not a skip.
bool ServersRequired();

// A fatal failure when servers are required, a skip otherwise. Called from
// SetUp, the test body is then not run.
void RequireOrSkip(const std::string& why);

// True when the variable (which a server's start script prints) is set;
// otherwise RequireOrSkip naming it, and false.
bool ServerEnvSet(const char* var);

} // namespace vx::test
