#include "tests/db/ServerTestSupport.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "tests/support/PortableEnv.h"

namespace vx::test {

std::string EnvOr(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

TAliasFile::TAliasFile(const std::string& text) {
    std::ofstream(dir_ / "aliases.ini") << text;
    hadPrevious_ = std::getenv("UPDATER_DBCONFIG") != nullptr;
    previous_ = EnvOr("UPDATER_DBCONFIG");
    setenv("UPDATER_DBCONFIG", (dir_ / "aliases.ini").c_str(), 1);
}

TAliasFile::~TAliasFile() {
    if (hadPrevious_)
        setenv("UPDATER_DBCONFIG", previous_.c_str(), 1);
    else
        unsetenv("UPDATER_DBCONFIG");
}

std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> n{0};
    return prefix + std::to_string(getpid()) + "_" + std::to_string(++n);
}

} // namespace vx::test
