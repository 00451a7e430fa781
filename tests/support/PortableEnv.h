// setenv and unsetenv where the C library has neither (Windows): the tests
// change the environment that the code under test reads with getenv.
#pragma once

#include <cstdlib>

#ifdef _WIN32
namespace vx::test {

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name))
        return 0;
    return _putenv_s(name, value);
}
// An empty value removes the variable.
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}

} // namespace vx::test
#endif
