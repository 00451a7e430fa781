#include "platform/FileHandle.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>

#include "platform/Files.h"

THandleStream::~THandleStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t THandleStream::Read(void* buffer, int64_t count) {
    int64_t done = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    while (done < count) {
        ssize_t n = ::read(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
    int64_t done = 0;
    auto* p = static_cast<const uint8_t*>(buffer);
    while (done < count) {
        ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

void THandleStream::SetSize(int64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        throw EWriteError();
}

bool THandleStream::Flush() {
    return ::fsync(fd_) == 0;
}

bool FileSetDateHandle(int fd, int32_t dosDateTime) {
    int64_t t = DosDateTimeToUnix(dosDateTime);
    if (t < 0)
        return false;
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = static_cast<time_t>(t);
    ts[1].tv_nsec = 0;
    return futimens(fd, ts) == 0;
}

bool FileSetAttrHandle(int fd, uint32_t attr, uint32_t unixMode) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    mode_t mode = st.st_mode & 07777;
    if (unixMode != 0)
        mode = static_cast<mode_t>(unixMode & 07777);
    else if (attr & faReadOnly)
        mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    else
        mode |= S_IWUSR;
    bool ok = (mode == (st.st_mode & 07777)) || fchmod(fd, mode) == 0;
    uint32_t keep = attr & ~(faReadOnly | faDirectory | faNormal | faVolumeID);
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%x", keep);
    // Extended attributes are a best effort: not every file system has them.
    if (keep != 0)
        fsetxattr(fd, "user.DOSATTRIB", buf, std::strlen(buf), 0);
    else
        fremovexattr(fd, "user.DOSATTRIB");
    return ok;
}
