#include "platform/FileHandle.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>

#include "platform/Files.h"

namespace vx::platform {

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

namespace {

// The attribute bits a Windows program can set on a file; read-only is the
// write permission, and the others (folder, normal, the high bits where
// archives made on Unix keep the permission bits) are not stored.
constexpr uint32_t StoredAttributes = faHidden | faSysFile | faArchive | 0x100 /* temporary */ |
                                      0x1000 /* offline */ | 0x2000 /* not content indexed */;

mode_t modeFor(mode_t current, uint32_t attr, uint32_t unixMode) {
    if (unixMode != 0)
        return static_cast<mode_t>(unixMode & 07777);
    if (attr & faReadOnly)
        return current & static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    return current | S_IWUSR;
}

void storeAttributes(int fd, uint32_t keep) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%x", keep);
    // Extended attributes are a best effort: not every file system has them.
    fsetxattr(fd, "user.DOSATTRIB", buf, std::strlen(buf), 0);
}

} // namespace

bool FileSetAttrHandle(int fd, uint32_t attr, uint32_t unixMode) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    const mode_t mode = modeFor(st.st_mode & 07777, attr, unixMode);
    bool ok = (mode == (st.st_mode & 07777)) || fchmod(fd, mode) == 0;
    const uint32_t keep = attr & StoredAttributes;
    if (keep != 0)
        storeAttributes(fd, keep);
    else
        fremovexattr(fd, "user.DOSATTRIB");
    return ok;
}

bool FileSetNewAttrHandle(int fd, uint32_t createdMode, uint32_t attr, uint32_t unixMode) {
    const mode_t mode = modeFor(static_cast<mode_t>(createdMode & 07777), attr, unixMode);
    bool ok = mode == (createdMode & 07777) || fchmod(fd, mode) == 0;
    // A new file has no attribute stored yet: none to remove.
    if (const uint32_t keep = attr & StoredAttributes; keep != 0)
        storeAttributes(fd, keep);
    return ok;
}

} // namespace vx::platform
