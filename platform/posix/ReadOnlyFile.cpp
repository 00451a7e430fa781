#include "platform/ReadOnlyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vx::platform {

namespace {

int fdOf(intptr_t handle) {
    return static_cast<int>(handle);
}

// Reads until n bytes are in, the end of the file or an error; a signal
// that cuts a read short only makes it go on. readSome(to, done, count) is
// one read of up to count bytes into to, done bytes into the request.
template <class ReadSome> int64_t readFully(void* buf, size_t n, ReadSome readSome) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        const ssize_t r = readSome(p + done, done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

} // namespace

TReadOnlyFile::TReadOnlyFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        error_ = std::strerror(errno);
    else
        handle_ = fd;
}

TReadOnlyFile::~TReadOnlyFile() {
    if (IsOpen())
        ::close(fdOf(handle_));
}

TReadOnlyFile::TReadOnlyFile(TReadOnlyFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), error_(std::move(other.error_)) {}

TReadOnlyFile& TReadOnlyFile::operator=(TReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (IsOpen())
            ::close(fdOf(handle_));
        handle_ = std::exchange(other.handle_, kNoHandle);
        error_ = std::move(other.error_);
    }
    return *this;
}

int64_t TReadOnlyFile::Size() const {
    struct stat st {};
    if (!IsOpen() || ::fstat(fdOf(handle_), &st) != 0) {
        error_ = std::strerror(IsOpen() ? errno : EBADF);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

int64_t TReadOnlyFile::RegularSize() const {
    struct stat st {};
    if (!IsOpen() || ::fstat(fdOf(handle_), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t TReadOnlyFile::Read(void* buf, size_t n) {
    if (!IsOpen())
        return -1;
    const int fd = fdOf(handle_);
    return readFully(buf, n, [fd](uint8_t* to, size_t, size_t count) { return ::read(fd, to, count); });
}

int64_t TReadOnlyFile::ReadAt(uint64_t offset, void* buf, size_t n) const {
    if (!IsOpen())
        return -1;
    const int fd = fdOf(handle_);
    return readFully(buf, n, [fd, offset](uint8_t* to, size_t done, size_t count) {
        return ::pread(fd, to, count, static_cast<off_t>(offset + done));
    });
}

void TReadOnlyFile::AdviseSequential() const {
    if (IsOpen())
        ::posix_fadvise(fdOf(handle_), 0, 0, POSIX_FADV_SEQUENTIAL);
}

} // namespace vx::platform
