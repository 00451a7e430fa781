// The entries of one folder by their names folded without regard to letter
// case, as the Windows file system compares names, so that finding a table's
// file, or learning that it has none, costs no read of the folder.
//
// The folder is read once. After that the kernel's change notifications for
// the folder (inotify) keep the index current, whoever makes the change: this
// engine, another program, or a person in a file manager. Notifications are
// queued by the very call that changes the folder, so a Refresh sees every
// change completed before it, with no window of doubt. Where they cannot be
// had (no inotify, too many watches, or a file system shared over the network
// whose other clients' changes would not be reported), every Refresh reads
// the folder again, which is what the lookups cost without an index.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class TWatchedFolder {
public:
    // `folder` is a Linux path; nothing is read before the first Refresh.
    explicit TWatchedFolder(std::string folder);
    ~TWatchedFolder();
    TWatchedFolder(const TWatchedFolder&) = delete;
    TWatchedFolder& operator=(const TWatchedFolder&) = delete;

    // Takes in every change made to the folder since the last call. A folder
    // that cannot be read has no entries.
    void Refresh();

    const std::string& Folder() const { return folder_; }
    // Whether the path led to a folder at the last Refresh.
    bool Exists() const { return exists_; }
    // True when the last Refresh read the folder anew.
    bool Reread() const { return reread_; }
    // True while change notifications keep the index current.
    bool Live() const { return notify_ >= 0; }

    // The name on disk (UTF-8) of the entry named so in any letter case; the
    // exact spelling wins when several entries differ in case only.
    std::optional<std::string> Find(const std::string& nameUtf8) const;
    // Every entry's name as on disk, in no particular order.
    std::vector<std::string> Names() const;

    // The entries (names on disk) created, changed, renamed or removed since
    // the last call; `all` when every entry must be taken as changed (the
    // folder was read again).
    struct TChanges {
        bool all = false;
        std::vector<std::string> names;
    };
    TChanges TakeChanges();

    // The key names are compared by: simple case folding, ASCII at once.
    static std::string Fold(const std::string& nameUtf8);

private:
    void reload();
    void watch();
    void unwatch();
    bool drain(); // false when the index must be read again
    void add(const std::string& name);
    void remove(const std::string& name);

    std::string folder_;
    int notify_ = -1;
    int watch_ = -1;
    bool liveRefused_ = false; // the file system or the kernel gave no notifications
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool loaded_ = false;
    bool exists_ = false;
    bool reread_ = false;
    std::unordered_map<std::string, std::vector<std::string>> entries_; // folded -> names on disk
    std::unordered_set<std::string> changed_;
    bool allChanged_ = true;
};
