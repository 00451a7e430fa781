#include "platform/FolderWatch.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vx::platform {

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

class TInotifyWatch : public TFolderWatch {
public:
    explicit TInotifyWatch(int fd) : fd_(fd) {}
    ~TInotifyWatch() override { ::close(fd_); }

    bool Drain(const TSink& sink) override {
        alignas(inotify_event) char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 && errno == EAGAIN;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                inotify_event ev;
                std::memcpy(&ev, buf + at, sizeof ev);
                const char* name = buf + at + sizeof(inotify_event);
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
                if (ev.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                    return false;
                if (ev.len == 0 || at > n)
                    continue;
                const std::string entry(name, ::strnlen(name, ev.len));
                if (ev.mask & (IN_CREATE | IN_MOVED_TO))
                    sink(TChange::Added, entry);
                else if (ev.mask & (IN_DELETE | IN_MOVED_FROM))
                    sink(TChange::Removed, entry);
                else
                    sink(TChange::Rewritten, entry);
            }
        }
    }

private:
    int fd_;
};

} // namespace

bool FolderIdOf(const std::string& path, TFolderId& id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.node = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool ReadFolderNames(const std::string& path, std::vector<std::string>& names) {
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return false;
    while (dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (std::strcmp(n, ".") != 0 && std::strcmp(n, "..") != 0)
            names.emplace_back(n);
    }
    ::closedir(d);
    return true;
}

std::unique_ptr<TFolderWatch> TFolderWatch::Start(const std::string& path, bool& exhausted) {
    exhausted = false;
    if (!notificationsTellAll(path))
        return nullptr;
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        exhausted = true; // out of inotify instances
        return nullptr;
    }
    if (::inotify_add_watch(fd, path.c_str(), kWatchMask) < 0) {
        exhausted = errno == ENOSPC || errno == ENOMEM;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TInotifyWatch>(fd);
}

} // namespace vx::platform
