// Putting a finished file in place of another in one step, so that the old
// file is never lost when the new one could not be made.
#pragma once

#include <string>

namespace vx::platform {

// Renames `from` over `to` (Windows paths, resolved without regard to case),
// replacing an existing `to` atomically. The file takes the name as `to` is
// written; an existing file of that name under another letter case goes.
// False when the rename failed; `to` is then as it was.
bool ReplaceFile(const std::string& from, const std::string& to);

} // namespace vx::platform
