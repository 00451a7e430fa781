// A file's time and attributes set through its open handle, as Windows
// programs do before closing it.
#include "platform/FileHandle.h"

#include <io.h>

#include "platform/Files.h"
#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

HANDLE handleOf(int fd) {
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The attribute bits a program may set on a file: not the folder bit, nor
// the high bits where archives made on Unix keep the permission bits. A
// Unix mode without any write bit makes the file read-only, all of a mode
// Windows can keep.
DWORD attributesFor(uint32_t attr, uint32_t unixMode) {
    DWORD a = attr & (faReadOnly | faHidden | faSysFile | faArchive | 0x100 | 0x1000 | faNotContentIndexed);
    if (unixMode != 0)
        a = (unixMode & 0222) ? (a & ~static_cast<DWORD>(faReadOnly)) : (a | faReadOnly);
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

} // namespace

bool FileSetDateHandle(int fd, int32_t dosDateTime) {
    FILETIME local, utc;
    return DosDateTimeToFileTime(static_cast<WORD>(static_cast<uint32_t>(dosDateTime) >> 16),
                                 static_cast<WORD>(dosDateTime & 0xFFFF), &local) &&
           LocalFileTimeToFileTime(&local, &utc) && SetFileTime(handleOf(fd), nullptr, nullptr, &utc);
}

bool FileSetAttrHandle(int fd, uint32_t attr, uint32_t unixMode) {
    // Zero times leave the file's times as they are.
    FILE_BASIC_INFO info{};
    info.FileAttributes = attributesFor(attr, unixMode);
    return SetFileInformationByHandle(handleOf(fd), FileBasicInfo, &info, sizeof info) != 0;
}

bool FileSetNewAttrHandle(int fd, uint32_t, uint32_t attr, uint32_t unixMode) {
    // A new file is created normal: only other attributes need setting.
    const DWORD a = attributesFor(attr, unixMode);
    return a == FILE_ATTRIBUTE_NORMAL || FileSetAttrHandle(fd, attr, unixMode);
}

} // namespace vx::platform
