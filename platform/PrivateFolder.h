// A folder of the updater's own for files it must trust between writing and
// reading them (downloads not yet verified): made fresh in the system's
// temporary folder, under a name nobody could take first, open to the
// updater's user alone. The temporary folder keeps others from renaming or
// removing what one user made there, which the shop's folder does not.
#pragma once

#include <string>

namespace vx::platform {

// Creates the folder, its name the prefix and a random ending. Returns true
// and its path; on failure false, and `path` names what was attempted.
bool CreatePrivateFolder(const std::string& prefix, std::string& path);
// Removes the folder and everything inside it; links inside are removed,
// never followed. False when something stayed.
bool RemoveFolderTree(const std::string& path);

} // namespace vx::platform
