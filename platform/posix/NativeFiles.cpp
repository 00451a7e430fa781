// The system's own files on Linux: descriptors, renames and the folder held
// open by its descriptor (openat, renameat, fsync of the folder).
#include "platform/NativeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace vx::platform {

namespace {

// A name of the folder itself, never a path into another.
bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t w = ::write(fd, p + done, size - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            return false;
        }
        done += size_t(w);
    }
    return true;
}

} // namespace

TDurableFolder::TDurableFolder(const std::string& path) : path_(path) {
    handle_ = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (handle_ < 0)
        error_ = std::strerror(errno);
}

TDurableFolder::~TDurableFolder() {
    if (handle_ >= 0)
        ::close(handle_);
}

bool TDurableFolder::failed() {
    error_ = std::strerror(errno);
    return false;
}

TFileStamp TDurableFolder::Stamp(const std::string& name) const {
    TFileStamp s;
    struct stat st {};
    if (handle_ < 0 || !plainName(name) || ::fstatat(handle_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return s;
    s.exists = true;
    s.regular = S_ISREG(st.st_mode);
    s.device = uint64_t(st.st_dev);
    s.id = uint64_t(st.st_ino);
    s.size = uint64_t(st.st_size);
    s.modifiedNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.changedNs = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    s.mode = uint32_t(st.st_mode & 07777);
    return s;
}

bool TDurableFolder::CreateNewFile(const std::string& name, const void* data, size_t size, uint32_t mode,
                                   bool flush) {
    if (!plainName(name)) {
        errno = EINVAL;
        return failed();
    }
    // Made unreadable to others until it is whole; O_EXCL refuses a name
    // taken by anything, a dangling link included.
    const int fd =
        ::openat(handle_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return failed();
    bool ok =
        writeAll(fd, data, size) && ::fchmod(fd, mode_t(mode & 0777)) == 0 && (!flush || ::fsync(fd) == 0);
    const int why = errno;
    ::close(fd);
    if (!ok) {
        ::unlinkat(handle_, name.c_str(), 0);
        errno = why;
        return failed();
    }
    return true;
}

bool TDurableFolder::ReadFile(const std::string& name, std::string& out, size_t maxSize) const {
    out.clear();
    if (!plainName(name))
        return false;
    const int fd = ::openat(handle_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        out.resize(size_t(std::min<uint64_t>(uint64_t(st.st_size), maxSize)));
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t r = ::read(fd, out.data() + done, out.size() - done);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += size_t(r);
        }
        out.resize(done);
    }
    ::close(fd);
    return ok;
}

bool TDurableFolder::Rename(const std::string& from, const std::string& to) {
    if (!plainName(from) || !plainName(to)) {
        errno = EINVAL;
        return failed();
    }
    return ::renameat(handle_, from.c_str(), handle_, to.c_str()) == 0 || failed();
}

bool TDurableFolder::Remove(const std::string& name) {
    if (!plainName(name)) {
        errno = EINVAL;
        return failed();
    }
    return ::unlinkat(handle_, name.c_str(), 0) == 0 || errno == ENOENT || failed();
}

bool TDurableFolder::Flush() {
    return ::fsync(handle_) == 0 || failed();
}

bool FolderNeedsFlush(const std::string& path) {
    constexpr long TmpfsMagic = 0x01021994, RamfsMagic = static_cast<long>(0x858458f6);
    struct statfs fs;
    if (::statfs(path.c_str(), &fs) != 0)
        return true;
    const long type = static_cast<long>(fs.f_type);
    return type != TmpfsMagic && type != RamfsMagic;
}

void StartWriteBack(int fd, int64_t offset, int64_t length) {
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

std::vector<bool> FlushFiles(const std::vector<int>& fds) {
    std::vector<bool> flushed(fds.size(), false);
    // The files by the file system they are on; one that cannot be looked
    // at stays unflushed.
    std::map<dev_t, std::vector<size_t>> bySystem;
    for (size_t i = 0; i < fds.size(); ++i) {
        struct stat st;
        if (::fstat(fds[i], &st) == 0)
            bySystem[st.st_dev].push_back(i);
    }
    for (const auto& [device, files] : bySystem) {
        // The whole file system's flush reports a write-back failure of any
        // file on it since the descriptor was opened; then each file is
        // flushed on its own to learn which.
        if (files.size() > 1 && ::syncfs(fds[files.front()]) == 0) {
            for (size_t i : files)
                flushed[i] = true;
            continue;
        }
        for (size_t i : files)
            flushed[i] = ::fsync(fds[i]) == 0;
    }
    return flushed;
}

bool FlushAndClose(int fd, bool flush) {
    const bool flushed = !flush || ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

bool RenameOver(const std::string& from, const std::string& to) {
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
