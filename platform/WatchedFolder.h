// The entries of one folder by their names folded without regard to letter
// case, as the Windows file system compares names, so that finding a table's
// file, or learning that it has none, costs no read of the folder.
//
// The folder is read once. After that the system's change notifications for
// the folder keep the index current, whoever makes the change: this engine,
// another program, or a person in a file manager. Notifications are queued
// by the very call that changes the folder, so a Refresh sees every change
// completed before it, with no window of doubt. Where they cannot be had (no
// notifications, too many watches, or a file system shared over the network
// whose other clients' changes would not be reported), every Refresh reads
// the folder again, which is what the lookups cost without an index.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/FolderNames.h"
#include "platform/FolderWatch.h"

namespace vx::platform {

class TWatchedFolder {
public:
    // `folder` is the system's path; nothing is read before the first Refresh.
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
    bool Live() const { return watch_ != nullptr; }

    // The name on disk (UTF-8) of the entry named so in any letter case; the
    // exact spelling wins when several entries differ in case only.
    std::optional<std::string> Find(const std::string& nameUtf8) const { return names_.Find(nameUtf8); }
    // Every entry's name as on disk, in no particular order.
    std::vector<std::string> Names() const { return names_.Names(); }

    // The entries (names on disk) created, changed, renamed or removed since
    // the last call; `all` when every entry must be taken as changed (the
    // folder was read again).
    struct TChanges {
        bool all = false;
        std::vector<std::string> names;
    };
    TChanges TakeChanges();

    static std::string Fold(const std::string& nameUtf8) { return TFolderNames::Fold(nameUtf8); }

private:
    void reload();
    bool drain(); // false when the index must be read again

    std::string folder_;
    std::unique_ptr<TFolderWatch> watch_;
    bool liveRefused_ = false; // the system gave no more notifications
    TFolderId id_;
    bool loaded_ = false;
    bool exists_ = false;
    bool reread_ = false;
    TFolderNames names_;
    std::unordered_set<std::string> changed_;
    bool allChanged_ = true;
};

} // namespace vx::platform
