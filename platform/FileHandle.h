// A file's time and attributes set through its open handle: no path
// lookups, and done before the handle is closed, as Windows programs do.
// The attribute rules are those of FileSetAttr: read-only is the absence
// of write permission; hidden, system, archive and the other kept bits go
// to the extended attribute user.DOSATTRIB where the file system allows it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Streams.h"

namespace vx::platform {

// MS-DOS date (high 16 bits) and time (low 16 bits), local time.
bool FileSetDateHandle(int fd, int32_t dosDateTime);
// unixMode: permission bits of an entry made on Unix, applied in place of
// the ones the attributes give; 0 keeps those.
bool FileSetAttrHandle(int fd, uint32_t attr, uint32_t unixMode = 0);
// The same for a file just created with the permission bits createdMode
// (its mode after the umask): nothing is read back from the file, and only
// what differs is written.
bool FileSetNewAttrHandle(int fd, uint32_t createdMode, uint32_t attr, uint32_t unixMode = 0);

} // namespace vx::platform
