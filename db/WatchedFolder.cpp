#include "db/WatchedFolder.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/Text.h"

namespace {

// Changes that add, remove or rewrite an entry, and the ends of the watch.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose every change passes through this kernel, so that its
// notifications tell all. Changes made on another machine to a shared folder
// (NFS, SMB, FUSE mounts and the like) are not reported here: such folders
// are read again at each Refresh.
bool notificationsTellAll(const std::string& folder) {
    struct statfs fs;
    if (::statfs(folder.c_str(), &fs) != 0)
        return false;
    switch (static_cast<uint32_t>(fs.f_type)) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x01021994: // tmpfs
    case 0x858458F6: // ramfs
    case 0x58465342: // xfs
    case 0x9123683E: // btrfs
    case 0xF2F52010: // f2fs
    case 0x794C7630: // overlayfs
    case 0x2FC12FC1: // zfs
    case 0x3153464A: // jfs
    case 0x52654973: // reiserfs
    case 0x00004D44: // vfat
    case 0x2011BAB0: // exfat
    case 0x7366746E: // ntfs3
        return true;
    default:
        return false;
    }
}

} // namespace

TWatchedFolder::TWatchedFolder(std::string folder) : folder_(std::move(folder)) {}

TWatchedFolder::~TWatchedFolder() {
    unwatch();
}

std::string TWatchedFolder::Fold(const std::string& nameUtf8) {
    const bool ascii = std::all_of(nameUtf8.begin(), nameUtf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        // Lower case, as case folding gives it, so that ASCII and other names
        // fold alike.
        std::string out = nameUtf8;
        for (char& c : out)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        return out;
    }
    return CaseFoldUtf8(nameUtf8);
}

void TWatchedFolder::unwatch() {
    if (notify_ >= 0)
        ::close(notify_);
    notify_ = watch_ = -1;
}

void TWatchedFolder::watch() {
    unwatch();
    if (liveRefused_ || !notificationsTellAll(folder_))
        return;
    notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ < 0) {
        liveRefused_ = true; // out of inotify instances: read the folder each time
        return;
    }
    watch_ = ::inotify_add_watch(notify_, folder_.c_str(), kWatchMask);
    if (watch_ < 0) {
        if (errno == ENOSPC || errno == ENOMEM)
            liveRefused_ = true;
        unwatch();
    }
}

void TWatchedFolder::reload() {
    // The watch comes first: a change made while the folder is read is then
    // both in the listing or not and in the notifications, and applying the
    // notifications to the listing in order gives the folder as it ends.
    watch();
    reread_ = true;
    entries_.clear();
    changed_.clear();
    allChanged_ = true;
    loaded_ = true;
    struct stat st;
    exists_ = ::stat(folder_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    dev_ = exists_ ? st.st_dev : 0;
    ino_ = exists_ ? st.st_ino : 0;
    if (DIR* d = ::opendir(folder_.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..")
                add(n);
        }
        ::closedir(d);
    }
    if (notify_ >= 0 && !drain())
        unwatch(); // the queue overflowed while the folder was read: read it each time
}

void TWatchedFolder::Refresh() {
    reread_ = false;
    if (!loaded_ || notify_ < 0) {
        reload();
        return;
    }
    // The path may lead to another folder now: the folder was replaced, or
    // a folder above it renamed, or the working folder changed.
    struct stat st;
    if (::stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != dev_ || st.st_ino != ino_ ||
        !drain())
        reload();
}

bool TWatchedFolder::drain() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(notify_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                return false;
            if (ev->len == 0)
                continue;
            const std::string name(ev->name, ::strnlen(ev->name, ev->len));
            if (ev->mask & (IN_CREATE | IN_MOVED_TO))
                add(name);
            else if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
                remove(name);
            changed_.insert(name);
        }
    }
}

void TWatchedFolder::add(const std::string& name) {
    auto& names = entries_[Fold(name)];
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
}

void TWatchedFolder::remove(const std::string& name) {
    const auto it = entries_.find(Fold(name));
    if (it == entries_.end())
        return;
    std::erase(it->second, name);
    if (it->second.empty())
        entries_.erase(it);
}

std::optional<std::string> TWatchedFolder::Find(const std::string& nameUtf8) const {
    const auto it = entries_.find(Fold(nameUtf8));
    if (it == entries_.end())
        return std::nullopt;
    for (const auto& n : it->second)
        if (n == nameUtf8)
            return n;
    return it->second.front();
}

std::vector<std::string> TWatchedFolder::Names() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& [key, names] : entries_)
        out.insert(out.end(), names.begin(), names.end());
    return out;
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
