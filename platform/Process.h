// Starting a program, available memory and the process-wide lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace vx::platform {

// Show commands of the platform.
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Starts the command line's program, found in the working folder without
// regard to case (or on the PATH), with posix_spawn; a Windows executable
// (it begins with "MZ") goes through wine when that is on the PATH. Returns
// a value above 31 on success, as the platform does. The program gets the
// updater's environment without the UPDATER_* settings.
unsigned WinExec(const std::string& cmdLine, int showCmd);

// MemAvailable of /proc/meminfo, in bytes.
uint64_t AvailablePhysicalMemory();

// The process-wide recursive lock.
std::recursive_mutex& ProcessLock();

} // namespace vx::platform
