// The commit of finished files on Windows: FlushFileBuffers, renames that
// replace and are written through, reparse points as links.
#include "platform/NativeFiles.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {
HANDLE handleOf(int fd) {
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

HANDLE openForQuery(const std::string& path) {
    // BACKUP_SEMANTICS opens folders too; links are followed.
    return CreateFileW(win::WideNative(path.empty() ? "." : path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}
} // namespace

void StartWriteBack(int, int64_t, int64_t) {}

bool FlushAndClose(int fd, bool flush) {
    const bool flushed = !flush || FlushFileBuffers(handleOf(fd)) != 0;
    _close(fd);
    return flushed;
}

bool ReplaceNative(const std::string& from, const std::string& to) {
    return MoveFileExW(win::WideNative(from).c_str(), win::WideNative(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveNative(const std::string& path) {
    return DeleteFileW(win::WideNative(path).c_str()) != 0;
}

bool DifferentNativeFiles(const std::string& a, const std::string& b) {
    HANDLE ha = openForQuery(a), hb = openForQuery(b);
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    const bool different = ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE &&
                           GetFileInformationByHandle(ha, &ia) && GetFileInformationByHandle(hb, &ib) &&
                           (ia.dwVolumeSerialNumber != ib.dwVolumeSerialNumber ||
                            ia.nFileIndexHigh != ib.nFileIndexHigh || ia.nFileIndexLow != ib.nFileIndexLow);
    if (ha != INVALID_HANDLE_VALUE)
        CloseHandle(ha);
    if (hb != INVALID_HANDLE_VALUE)
        CloseHandle(hb);
    return different;
}

bool IsNativeLink(const std::string& path) {
    const DWORD a = GetFileAttributesW(win::WideNative(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RealNativePath(const std::string& path, std::string& out) {
    HANDLE h = openForQuery(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::wstring buf(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= 32768)
        return false;
    std::wstring_view w(buf.data(), n);
    // "\\?\C:\..." as the system gives it, "C:\..." as the rest compares.
    if (w.substr(0, 4) == L"\\\\?\\" && w.substr(4, 4) != L"UNC\\")
        w.remove_prefix(4);
    out = win::FromWide(w, CP_UTF8);
    return true;
}

// OPEN_REPARSE_POINT opens a link itself rather than its target; a link
// found so is refused.
int CreateNativeNoFollow(const std::string& path) {
    HANDLE h =
        CreateFileW(win::WideNative(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_END_OF_FILE_INFO eof{};
    if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof)) {
        CloseHandle(h);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

uint32_t ProcessUmask() {
    return 0;
}

long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

} // namespace vx::platform
