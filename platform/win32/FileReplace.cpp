// Replacing a file in one step: MoveFileExW replaces an existing target
// (a plain rename fails there), and WRITE_THROUGH returns only once the
// rename is on the disk.
#include "platform/FileReplace.h"

#include "platform/Files.h"
#include "platform/win32/Win.h"

namespace vx::platform {

bool ReplaceFile(const std::string& from, const std::string& to) {
    return MoveFileExW(win::WidePath(from).c_str(), win::WidePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace vx::platform
