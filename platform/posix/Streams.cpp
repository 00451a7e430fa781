#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Files.h"

namespace vx::platform {

namespace {
int openFile(const std::string& p, const std::string& winPath, uint16_t mode) {
    if (mode == fmCreate) {
        int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            throw EFCreateError(Format("Cannot create file %s", winPath));
        return fd;
    }
    int access = mode & 0x0F;
    int flags = access == fmOpenWrite ? O_WRONLY : access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    int fd = ::open(p.c_str(), flags | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0)
        throw EFOpenError(Format("Cannot open file %s", winPath));
    return fd;
}
} // namespace

TFileStream::TFileStream(const std::string& winPath, uint16_t mode)
    : TFileStream(winPath, ResolvePath(winPath), mode) {}

TFileStream::TFileStream(const std::string& winPath, const std::string& linuxPath, uint16_t mode)
    : THandleStream(openFile(linuxPath, winPath, mode), linuxPath), name_(winPath) {}

std::unique_ptr<THandleStream> CreateFreshFile(const std::string& winPath) {
    const std::string path = ResolvePath(winPath);
    // unlink removes a link itself, never what it points at; a folder of
    // the name stays and makes the creation fail.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != EISDIR && errno != EPERM)
        throw EFCreateError(Format("Cannot create file %s", winPath));
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        throw EFCreateError(Format("Cannot create file %s", winPath));
    return std::make_unique<THandleStream>(fd, path);
}

THandleStream::~THandleStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {
// Moves count bytes with read or write, through interrupted calls and short
// counts; stops at the end of the file or the first error.
template <class Byte, class Op> int64_t transferAll(int fd, Byte* p, int64_t count, Op op) {
    int64_t done = 0;
    while (done < count) {
        ssize_t n = op(fd, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}
} // namespace

int64_t THandleStream::Read(void* buffer, int64_t count) {
    return transferAll(fd_, static_cast<uint8_t*>(buffer), count, ::read);
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
    return transferAll(fd_, static_cast<const uint8_t*>(buffer), count, ::write);
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t THandleStream::ReadAt(int64_t position, void* buffer, int64_t count) {
    if (position < 0)
        return 0;
    auto* start = static_cast<uint8_t*>(buffer);
    return transferAll(fd_, start, count, [&](int fd, uint8_t* p, size_t n) {
        return ::pread(fd, p, n, static_cast<off_t>(position + (p - start)));
    });
}

int64_t THandleStream::Size() {
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
        return static_cast<int64_t>(st.st_size);
    return TStream::Size();
}

void THandleStream::SetSize(int64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        throw EWriteError();
    if (Position() > size)
        Seek(size, soBeginning);
}

bool THandleStream::Flush() {
    return ::fsync(fd_) == 0;
}

} // namespace vx::platform
