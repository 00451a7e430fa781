#include "tests/support/TempFolder.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

TTempFolder::TTempFolder(bool enter) : TTempFolder(std::filesystem::temp_directory_path().string(), enter) {}

TTempFolder::TTempFolder(const std::string& parent, bool enter) {
    std::string tmpl = parent + "/vx-test-XXXXXX";
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
