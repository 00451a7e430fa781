#include "platform/WatchedFolder.h"

namespace vx::platform {

TWatchedFolder::TWatchedFolder(std::string folder) : folder_(std::move(folder)) {}

TWatchedFolder::~TWatchedFolder() = default;

void TWatchedFolder::reload() {
    // The watch comes first: a change made while the folder is read is then
    // both in the listing or not and in the notifications, and applying the
    // notifications to the listing in order gives the folder as it ends.
    watch_.reset();
    if (!liveRefused_) {
        bool exhausted = false;
        watch_ = TFolderWatch::Start(folder_, exhausted);
        liveRefused_ = exhausted; // read the folder each time from now on
    }
    reread_ = true;
    names_.Clear();
    changed_.clear();
    allChanged_ = true;
    loaded_ = true;
    exists_ = FolderIdOf(folder_, id_);
    if (!exists_)
        id_ = {};
    std::vector<std::string> names;
    if (ReadFolderNames(folder_, names))
        for (const auto& n : names)
            names_.Add(n);
    if (watch_ && !drain())
        watch_.reset(); // the queue overflowed while the folder was read: read it each time
}

void TWatchedFolder::Refresh() {
    reread_ = false;
    if (!loaded_ || !watch_) {
        reload();
        return;
    }
    // The path may lead to another folder now: the folder was replaced, or
    // a folder above it renamed, or the working folder changed.
    TFolderId now;
    if (!FolderIdOf(folder_, now) || !(now == id_) || !drain())
        reload();
}

bool TWatchedFolder::drain() {
    return watch_->Drain([this](TFolderWatch::TChange change, const std::string& name) {
        if (change == TFolderWatch::TChange::Added)
            names_.Add(name);
        else if (change == TFolderWatch::TChange::Removed)
            names_.Remove(name);
        changed_.insert(name);
    });
}

TWatchedFolder::TChanges TWatchedFolder::TakeChanges() {
    TChanges out;
    out.all = allChanged_;
    if (!out.all)
        out.names.assign(changed_.begin(), changed_.end());
    changed_.clear();
    allChanged_ = false;
    return out;
}

} // namespace vx::platform
