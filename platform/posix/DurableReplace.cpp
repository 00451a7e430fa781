#include "platform/DurableReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

void StartFileWriteBack(intptr_t handle) {
    ::sync_file_range(int(handle), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool FlushFile(intptr_t handle) {
    return ::fsync(int(handle)) == 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool FlushFolder(const std::string& path) {
    TDurableFolder folder(path);
    return folder.IsOpen() && folder.Flush();
}

bool FolderNeedsFlush(const std::string& path) {
    constexpr long TmpfsMagic = 0x01021994, RamfsMagic = static_cast<long>(0x858458f6);
    struct statfs fs;
    if (::statfs(path.c_str(), &fs) != 0)
        return true;
    const long type = static_cast<long>(fs.f_type);
    return type != TmpfsMagic && type != RamfsMagic;
}

} // namespace vx::platform
