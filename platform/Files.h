// Windows file names on Linux: "\" and "/" both separate folders, ".\" is the
// working folder, "X:" maps to UPDATER_DRIVE_X (C: to "/"), and every
// component is matched without regard to letter case, as on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx::platform {

// File attributes, with the platform's bit values.
constexpr uint32_t faReadOnly = 0x01;
constexpr uint32_t faHidden = 0x02;
constexpr uint32_t faSysFile = 0x04;
constexpr uint32_t faVolumeID = 0x08;
constexpr uint32_t faDirectory = 0x10;
constexpr uint32_t faArchive = 0x20;
constexpr uint32_t faNormal = 0x80;
constexpr uint32_t faCompressed = 0x800;
constexpr uint32_t faNotContentIndexed = 0x2000;
constexpr uint32_t faInvalid = 0xFFFFFFFF;

// The Linux path for a Windows path (CP1252 in, UTF-8 out). Each existing
// component is found without regard to case; components that do not exist
// keep the spelling given.
std::string ResolvePath(const std::string& winPath);
// The Linux path of the drive letter's root ("" if the path has no drive).
std::string DriveRoot(char letter);
// "X:" drives A and B are removable; every other drive is fixed.
bool IsRemovableDrive(const std::string& winPath);

bool FileExists(const std::string& winPath);      // a file, not a folder
bool DirectoryExists(const std::string& winPath); // a folder
bool DeleteFile(const std::string& winPath);
// Fails without effect when the source is missing or the target exists,
// unless the target is the source itself under another letter case, which
// changes the case of the name.
bool RenameFile(const std::string& from, const std::string& to);
// Creates the folder and its missing parents.
bool ForceDirectories(const std::string& winPath);
bool CreateDir(const std::string& winPath);

// Attributes: read-only is the absence of write permission; the other bits
// live in the extended attribute user.DOSATTRIB where the file system
// allows it. faInvalid when the file does not exist.
uint32_t FileGetAttr(const std::string& winPath);
bool FileSetAttr(const std::string& winPath, uint32_t attr);
// Unix permission bits (from ZIP entries made on Unix).
bool FileSetMode(const std::string& winPath, uint32_t mode);

// MS-DOS date (high 16 bits) and time (low 16 bits), in local time.
int32_t FileGetDate(const std::string& winPath); // -1 if missing
bool FileSetDate(const std::string& winPath, int32_t dosDateTime);
int64_t DosDateTimeToUnix(int32_t dosDateTime);
int32_t UnixToDosDateTime(int64_t unixTime);

// Whether the working folder is the system's own (Windows' folder or its
// system folder): where Windows starts a program whose intended folder it
// could not enter (a path too long for it, say). Never a shop's folder.
bool WorkingFolderIsSystemFolder();

// File names in a folder (UTF-8 names converted to CP1252).
std::vector<std::string> ListDirectory(const std::string& winPath);
std::string ExtractFileName(const std::string& path); // after the last '\', '/' or ':'
std::string ExtractFilePath(const std::string& path); // up to and including it
std::string ExtractFileExt(const std::string& path);  // from the last '.' of the name
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingBackslash(const std::string& path);

// Small files the updater keeps for itself (its run log, its record of the
// releases installed). A link planted at the name is never followed: the
// updater runs with more rights than some users of the shop's folder.
//
// The whole file when it is a plain file of at most maxBytes; nothing when
// it is missing, larger, a link or unreadable.
bool ReadSmallFile(const std::string& winPath, size_t maxBytes, std::string& out);
// The size of a plain file, -1 when it is missing or not one.
int64_t FileSizeOf(const std::string& winPath);
// Appends to a plain file, creating it; false when the name is a link or
// another kind of file, or the write failed.
bool AppendToFile(const std::string& winPath, const std::string& bytes);
// Writes the whole file anew beside it, flushes it and renames it over the
// old one, so a kill leaves the old contents or the new, never a part.
bool WriteFileDurably(const std::string& winPath, const std::string& bytes);

} // namespace vx::platform
