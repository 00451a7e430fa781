#include "platform/FileHandle.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>

#include "platform/Files.h"

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
