#include "platform/FolderWatch.h"

#include <windows.h>

#include <vector>

#include "platform/win32/Utf16.h"

namespace vx::platform {

namespace {

// Change notifications of a folder on a local disk. A folder shared over
// the network reports only some of the changes its other clients make, so
// it is read again at each refresh instead.
class TDirectoryChangesWatch : public TFolderWatch {
public:
    TDirectoryChangesWatch(HANDLE dir, HANDLE event) : dir_(dir), event_(event), buf_(64 * 1024) {
        overlapped_.hEvent = event_;
    }
    ~TDirectoryChangesWatch() override {
        ::CancelIoEx(dir_, &overlapped_);
        DWORD ignored = 0;
        ::GetOverlappedResult(dir_, &overlapped_, &ignored, TRUE);
        ::CloseHandle(dir_);
        ::CloseHandle(event_);
    }

    bool Arm() {
        ::ResetEvent(event_);
        return ::ReadDirectoryChangesW(dir_, buf_.data(), static_cast<DWORD>(buf_.size()), FALSE,
                                       FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                           FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                           FILE_NOTIFY_CHANGE_ATTRIBUTES,
                                       nullptr, &overlapped_, nullptr) != 0;
    }

    bool Drain(const TSink& sink) override {
        for (;;) {
            DWORD n = 0;
            if (!::GetOverlappedResult(dir_, &overlapped_, &n, FALSE))
                return ::GetLastError() == ERROR_IO_INCOMPLETE;
            // No bytes means the system's buffer overflowed: changes were lost.
            if (n == 0)
                return false;
            for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= n;) {
                const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buf_.data() + at);
                const std::string name =
                    NarrowToUtf8(std::wstring(info->FileName, info->FileNameLength / sizeof(WCHAR)));
                switch (info->Action) {
                case FILE_ACTION_ADDED:
                case FILE_ACTION_RENAMED_NEW_NAME:
                    sink(TChange::Added, name);
                    break;
                case FILE_ACTION_REMOVED:
                case FILE_ACTION_RENAMED_OLD_NAME:
                    sink(TChange::Removed, name);
                    break;
                default:
                    sink(TChange::Rewritten, name);
                }
                if (info->NextEntryOffset == 0)
                    break;
                at += info->NextEntryOffset;
            }
            if (!Arm())
                return false;
        }
    }

private:
    HANDLE dir_;
    HANDLE event_;
    OVERLAPPED overlapped_{};
    std::vector<BYTE> buf_;
};

HANDLE openFolder(const std::string& path) {
    return ::CreateFileW(WidenUtf8(path).c_str(), FILE_LIST_DIRECTORY,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
}

bool onLocalDisk(const std::string& path) {
    std::wstring root(MAX_PATH + 1, L'\0');
    if (!::GetVolumePathNameW(WidenUtf8(path).c_str(), root.data(), static_cast<DWORD>(root.size())))
        return false;
    const UINT type = ::GetDriveTypeW(root.c_str());
    return type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_RAMDISK;
}

} // namespace

bool FolderIdOf(const std::string& path, TFolderId& id) {
    const HANDLE h =
        ::CreateFileW(WidenUtf8(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok =
        ::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    ::CloseHandle(h);
    if (!ok)
        return false;
    id.device = info.dwVolumeSerialNumber;
    id.node = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool ReadFolderNames(const std::string& path, std::vector<std::string>& names) {
    WIN32_FIND_DATAW fd;
    std::wstring pattern = WidenUtf8(path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/')
        pattern += L'\\';
    pattern += L'*';
    const HANDLE h = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                                        FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND; // an empty drive root
    do {
        const std::wstring n = fd.cFileName;
        if (n != L"." && n != L"..")
            names.push_back(NarrowToUtf8(n));
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
    return true;
}

std::unique_ptr<TFolderWatch> TFolderWatch::Start(const std::string& path, bool& exhausted) {
    exhausted = false;
    if (!onLocalDisk(path))
        return nullptr;
    const HANDLE dir = openFolder(path);
    if (dir == INVALID_HANDLE_VALUE)
        return nullptr;
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        ::CloseHandle(dir);
        exhausted = true;
        return nullptr;
    }
    auto watch = std::make_unique<TDirectoryChangesWatch>(dir, event);
    if (!watch->Arm())
        return nullptr;
    return watch;
}

} // namespace vx::platform
