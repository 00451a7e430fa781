#include "platform/PrivateFolder.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace vx::platform {

namespace {

// The folder's path goes through the Windows-name layer afterwards, so only
// a plain one is used: anything unusual in TMPDIR falls back to /tmp.
std::string temporaryRoot() {
    std::error_code ec;
    const std::string root = std::filesystem::temp_directory_path(ec).string();
    if (ec || root.empty() || root[0] != '/')
        return "/tmp";
    for (unsigned char c : root)
        if (c < 0x20 || c > 0x7E || c == '\\' || c == ':')
            return "/tmp";
    return root;
}

} // namespace

bool CreatePrivateFolder(const std::string& prefix, std::string& path) {
    // mkdtemp makes the folder with mode 0700 under a name that did not exist.
    path = temporaryRoot() + "/" + prefix + ".XXXXXX";
    return ::mkdtemp(path.data()) != nullptr;
}

bool RemoveFolderTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return !ec;
}

} // namespace vx::platform
