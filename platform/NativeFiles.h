// Operations on the system's own paths (what ResolvePath gives: UTF-8, the
// system's separator) and on open descriptors, for the extraction's commit
// of finished files: write-back, flushing, replacing renames, links.
#pragma once

#include <cstdint>
#include <string>

namespace vx::platform {

// The separator of the system's paths.
#ifdef _WIN32
inline constexpr char kNativeSeparator = '\\';
#else
inline constexpr char kNativeSeparator = '/';
#endif

// Starts writing a range of the file back to the disk without waiting for
// it (nothing where the system has no such call).
void StartWriteBack(int fd, int64_t offset, int64_t length);
// Flushes the file to the disk when asked, then closes it; false when the
// flush failed (the descriptor is closed all the same).
bool FlushAndClose(int fd, bool flush);
// Renames over an existing file in one step.
bool ReplaceNative(const std::string& from, const std::string& to);
bool RemoveNative(const std::string& path);
// True when both names exist and are two different files (not one file
// under two spellings).
bool DifferentNativeFiles(const std::string& a, const std::string& b);
// A symbolic link (a reparse point on Windows).
bool IsNativeLink(const std::string& path);
// The path with every link followed; false when it does not exist.
bool RealNativePath(const std::string& path, std::string& out);
// Creates (or empties) a file for writing, never through a symbolic link:
// the file goes where its name says, not where a link planted in the folder
// points. A descriptor, or -1.
int CreateNativeNoFollow(const std::string& path);
// The mask applied to a new file's permission bits (0 on Windows).
uint32_t ProcessUmask();
long ProcessId();

} // namespace vx::platform
