#include "platform/NativeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vx::platform {

void StartWriteBack(int fd, int64_t offset, int64_t length) {
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

bool FlushAndClose(int fd, bool flush) {
    const bool flushed = !flush || ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

bool ReplaceNative(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveNative(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool DifferentNativeFiles(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 &&
           (sa.st_ino != sb.st_ino || sa.st_dev != sb.st_dev);
}

bool IsNativeLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RealNativePath(const std::string& path, std::string& out) {
    char* r = realpath(path.empty() ? "." : path.c_str(), nullptr);
    if (!r)
        return false;
    out = r;
    std::free(r);
    return true;
}

int CreateNativeNoFollow(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
}

// Read without changing it (the umask call alone can only be read by
// setting it).
uint32_t ProcessUmask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(f);
        if (found)
            return mask;
    }
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

long ProcessId() {
    return static_cast<long>(getpid());
}

} // namespace vx::platform
