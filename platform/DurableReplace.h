// Putting new files in place of old ones in one folder so that a crash or a
// power loss leaves each name on the whole old file or the whole new one.
//
// The folder is held open for the whole change and every name is looked up
// relative to it: a folder renamed or replaced by a link meanwhile does not
// send the files elsewhere. A work file is always a new file (never one
// found at its name, and never reached through a symbolic link planted
// there); a rename replaces the entry itself, a link at the target's name
// included, without writing through it.
//
// The order that makes it durable: write the work file, flush it, rename it
// over the target, flush the folder. Callers with many files flush their
// data in batches (StartFileWriteBack on all of them, FlushFile on each)
// and the folder once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::platform {

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
    // Opens the folder (Linux path); a symbolic link in its place is not
    // followed. Check IsOpen().
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

// For files written through a handle of their own (the extraction's
// temporaries); the handle is the one the file streams give.
// Starts writing the file's data to the disk without waiting for it, so
// that flushes of many files share the file system's journal commits.
void StartFileWriteBack(intptr_t handle);
// Waits until the file's data is on the disk.
bool FlushFile(intptr_t handle);
// Renames a file over another (full Linux paths) and flushes nothing: for
// files whose folders are flushed once, after a batch.
bool RenameOver(const std::string& from, const std::string& to);
// The entries of a folder (Linux path) to the disk.
bool FlushFolder(const std::string& path);
// Whether files in this Linux folder need a flush to outlive a power loss
// (false on a file system kept in memory, which a power loss empties).
bool FolderNeedsFlush(const std::string& path);

} // namespace vx::platform
