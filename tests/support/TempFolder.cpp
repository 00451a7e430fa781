#include "tests/support/TempFolder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

#ifdef _WIN32
namespace {
// mkdtemp's job where the C library lacks it: a random name, made only if new.
char* mkdtemp(char* tmpl) {
    static std::mt19937_64 rng{std::random_device{}()};
    std::string t(tmpl);
    const size_t x = t.rfind("XXXXXX");
    for (int attempt = 0; attempt < 100 && x != std::string::npos; ++attempt) {
        static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (size_t i = 0; i < 6; ++i)
            tmpl[x + i] = kLetters[rng() % 36];
        std::error_code ec;
        if (std::filesystem::create_directory(tmpl, ec))
            return tmpl;
    }
    return nullptr;
}
} // namespace
#else
#include <unistd.h>
#endif

namespace vx::test {

TTempFolder::TTempFolder(bool enter) : TTempFolder(std::filesystem::temp_directory_path().string(), enter) {}

TTempFolder::TTempFolder(const std::string& parent, bool enter) {
#ifdef _WIN32
    // A Windows path as the program's own are: backslashes, one between
    // folders (the system's temporary folder ends in one).
    std::string base = parent;
    std::replace(base.begin(), base.end(), '/', '\\');
    while (base.size() > 3 && base.back() == '\\')
        base.pop_back();
    std::string tmpl = base + "\\vx-test-XXXXXX";
#else
    std::string tmpl = parent + "/vx-test-XXXXXX";
#endif
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
    if (enter) {
        previous_ = std::filesystem::current_path().string();
        std::filesystem::current_path(path_);
    }
}

TTempFolder::~TTempFolder() {
    std::error_code ec;
    if (!previous_.empty())
        std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

} // namespace vx::test
