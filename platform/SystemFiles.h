// Files named by the system's own paths (already resolved, UTF-8), for code
// that has found a file through a folder's index and must not have its name
// looked up again without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::platform {

// The database engine's alias file: the one UPDATER_DBCONFIG names, else the
// machine's own, /etc/vendarix/aliases.ini on Linux and
// %ProgramData%\Vendarix\aliases.ini on Windows, where the machine's
// programs keep the settings they share.
std::string EngineConfigPath();

// Whether the path leads (through links) to something that is not a folder.
bool IsFileAt(const std::string& path);
// Reads up to `count` bytes from the start of the file; -1 when it cannot
// be opened, else the count read before the end or an error.
int64_t ReadFileHead(const std::string& path, void* buffer, size_t count);
// Removes the file (not a folder); false when it was not removed.
bool RemoveFileAt(const std::string& path);

} // namespace vx::platform
