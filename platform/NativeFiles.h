// The system's own files: paths as ResolvePath gives them (UTF-8, the
// system's separator) and open descriptors, for the code that puts finished
// files in place (the extraction's commit, the table writer's commit).
//
// Putting new files in place of old ones in one folder so that a crash or a
// power loss leaves each name on the whole old file or the whole new one:
// TDurableFolder holds the folder for the whole change and looks every name
// up relative to it, so a folder renamed or replaced by a link meanwhile does
// not send the files elsewhere. A work file is always a new file (never one
// found at its name, and never reached through a symbolic link planted
// there); a rename replaces the entry itself, a link at the target's name
// included, without writing through it.
//
// The order that makes it durable: write the work file, flush it, rename it
// over the target, flush the folder. Callers with many files flush their
// data in batches (StartWriteBack on all of them, FlushAndClose on each)
// and each folder once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::platform {

// The separator of the system's paths.
#ifdef _WIN32
inline constexpr char kNativeSeparator = '\\';
#else
inline constexpr char kNativeSeparator = '/';
#endif

// What identifies a file's present contents without reading it: a change
// made through any program moves its size or its times.
struct TFileStamp {
    bool exists = false;
    bool regular = false; // false for a link, a folder or a device
    uint64_t device = 0;
    uint64_t id = 0; // the file's number in its file system
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0; // also moved by a rename of the file
    uint32_t mode = 0;     // permission bits
};

class TDurableFolder {
public:
    // Opens the folder; a symbolic link in its place is not followed. Check
    // IsOpen().
    explicit TDurableFolder(const std::string& path);
    ~TDurableFolder();
    TDurableFolder(const TDurableFolder&) = delete;
    TDurableFolder& operator=(const TDurableFolder&) = delete;

    bool IsOpen() const { return handle_ >= 0; }
    const std::string& Path() const { return path_; }
    // Why the last call that returned false failed (the system's text).
    const std::string& LastError() const { return error_; }

    // The file of that name in the folder, links not followed.
    TFileStamp Stamp(const std::string& name) const;
    // Makes a new file of that name holding the bytes, with the permission
    // bits given. False when the name is taken by anything (a link too): the
    // file found there is left alone. With flush the data is on the disk when
    // it returns.
    bool CreateNewFile(const std::string& name, const void* data, size_t size, uint32_t mode, bool flush);
    // The first bytes of a regular file of the folder, at most maxSize of
    // them; false for a link or anything but a regular file.
    bool ReadFile(const std::string& name, std::string& out, size_t maxSize) const;
    // Renames `from` over `to`, both names in this folder.
    bool Rename(const std::string& from, const std::string& to);
    // Removes the entry of that name (a link itself, never its target);
    // true when nothing of that name is left.
    bool Remove(const std::string& name);
    // The folder's entries (renames, new and removed names) to the disk.
    bool Flush();

private:
    bool failed();
    std::string path_;
    int handle_ = -1;
    std::string error_;
};

// Starts writing a range of the file back to the disk without waiting for
// it, so that flushes of many files share the file system's journal commits
// (nothing where the system has no such call). A length of 0 runs to the
// end of the file.
void StartWriteBack(int fd, int64_t offset = 0, int64_t length = 0);
// Flushes the file to the disk when asked, then closes it; false when the
// flush failed (the descriptor is closed all the same).
bool FlushAndClose(int fd, bool flush);
// Flushes several files' data to the disk; the answer says, file by file,
// whether its data is known to be there. Where the system can flush a whole
// file system in one step, files that share one are flushed so: a flush of
// each file costs the disk a cache flush of its own, many more than the
// journal commits the files need. The descriptors stay open.
std::vector<bool> FlushFiles(const std::vector<int>& fds);
// Renames a file over another in one step and flushes nothing: for files
// whose folders are flushed once, after a batch.
bool RenameOver(const std::string& from, const std::string& to);
bool RemoveNative(const std::string& path);
// The entries of a folder to the disk.
bool FlushFolder(const std::string& path);
// Whether files in this folder need a flush to outlive a power loss (false
// on a file system kept in memory, which a power loss empties).
bool FolderNeedsFlush(const std::string& path);
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
