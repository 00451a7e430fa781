// Name helpers: the same on every platform.
#include "platform/Files.h"

namespace vx::platform {

std::string ExtractFileName(const std::string& path) {
    size_t p = path.find_last_of("\\/:");
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ExtractFilePath(const std::string& path) {
    size_t p = path.find_last_of("\\/:");
    return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileExt(const std::string& path) {
    size_t p = path.find_last_of(".\\/:");
    return p == std::string::npos || path[p] != '.' ? std::string() : path.substr(p);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    size_t p = path.find_last_of(".\\/:");
    if (p == std::string::npos || path[p] != '.')
        return path + ext;
    return path.substr(0, p) + ext;
}

std::string IncludeTrailingBackslash(const std::string& path) {
    if (!path.empty() && (path.back() == '\\' || path.back() == '/'))
        return path;
    return path + "\\";
}

} // namespace vx::platform
