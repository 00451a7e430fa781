#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Files.h"

int64_t TStream::Size() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

int64_t TStream::ReadAt(int64_t position, void* buffer, int64_t count) {
    if (position < 0 || Seek(position, soBeginning) != position)
        return 0;
    return Read(buffer, count);
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count)
        throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)) + 1);
    int64_t left = count;
    while (left > 0) {
        int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        left -= n;
    }
    return count;
}

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

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    int64_t avail = static_cast<int64_t>(data_.size()) - pos_;
    int64_t n = std::max<int64_t>(0, std::min(avail, count));
    if (n > 0)
        std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::ReadAt(int64_t position, void* buffer, int64_t count) {
    int64_t avail = static_cast<int64_t>(data_.size()) - position;
    int64_t n = position < 0 ? 0 : std::max<int64_t>(0, std::min(avail, count));
    if (n > 0)
        std::memcpy(buffer, data_.data() + position, static_cast<size_t>(n));
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0)
        return 0;
    if (pos_ + count > static_cast<int64_t>(data_.size()))
        data_.resize(static_cast<size_t>(pos_ + count));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0
                   : origin == soCurrent ? pos_
                                         : static_cast<int64_t>(data_.size());
    int64_t p = base + offset;
    if (p < 0)
        return -1;
    pos_ = p;
    return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(size < 0 ? 0 : size));
    if (pos_ > size)
        pos_ = size;
}

void TMemoryStream::LoadFromStream(TStream& s) {
    s.SetPosition(0);
    int64_t n = s.Size();
    data_.resize(static_cast<size_t>(n));
    s.ReadBuffer(data_.data(), n);
    pos_ = 0;
}

void TMemoryStream::SaveToStream(TStream& s) {
    s.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}
