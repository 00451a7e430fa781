#include "platform/SystemFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vx::platform {

std::string EngineConfigPath() {
    const char* env = std::getenv("UPDATER_DBCONFIG");
    return env && *env ? env : "/etc/vendarix/aliases.ini";
}

bool IsFileAt(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int64_t ReadFileHead(const std::string& path, void* buffer, size_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    auto* out = static_cast<char*>(buffer);
    size_t n = 0;
    while (n < count) {
        const ssize_t r = ::read(fd, out + n, count - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        n += static_cast<size_t>(r);
    }
    ::close(fd);
    return static_cast<int64_t>(n);
}

bool RemoveFileAt(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

} // namespace vx::platform
