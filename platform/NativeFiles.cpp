#include "platform/NativeFiles.h"

namespace vx::platform {

// Where the system has no folder flush (Windows), the folder's own Flush
// says so: the renames were written through.
bool FlushFolder(const std::string& path) {
    TDurableFolder folder(path);
    return folder.IsOpen() && folder.Flush();
}

} // namespace vx::platform
