// The system's own files on Windows: FlushFileBuffers, renames that replace
// and are written through, reparse points as links.
//
// A folder is not held open as a handle there (a held folder would keep the
// shop's program from renaming it): each call of TDurableFolder names the
// file inside the folder, and every file is opened without following a
// reparse point, so a link planted at a work file's name is never written
// through. Windows has no folder flush; renames are written through instead
// (MOVEFILE_WRITE_THROUGH).
#include "platform/NativeFiles.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string lastErrorText() {
    const std::wstring w = win::SystemMessage(GetLastError());
    return w.empty() ? std::string("error") : win::FromWide(w, CP_UTF8);
}

int64_t nsOf(const LARGE_INTEGER& t) {
    // 100 ns units since 1601, counted from 1970 as on Linux: in
    // nanoseconds from 1601 today's times pass what 64 bits hold.
    constexpr int64_t k1601To1970 = 116444736000000000;
    return (static_cast<int64_t>(t.QuadPart) - k1601To1970) * 100;
}

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

TDurableFolder::TDurableFolder(const std::string& path) : path_(path.empty() ? "." : path) {
    const DWORD a = GetFileAttributesW(win::WideNative(path_).c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT))
        error_ = a == INVALID_FILE_ATTRIBUTES ? lastErrorText() : "not a folder";
    else
        handle_ = 0;
}

TDurableFolder::~TDurableFolder() = default;

bool TDurableFolder::failed() {
    error_ = lastErrorText();
    return false;
}

TFileStamp TDurableFolder::Stamp(const std::string& name) const {
    TFileStamp s;
    if (handle_ < 0 || !plainName(name))
        return s;
    const std::wstring w = win::WideNative(path_ + "\\" + name);
    HANDLE h = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return s;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandle(h, &info) &&
        GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
        s.exists = true;
        s.regular = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        s.device = info.dwVolumeSerialNumber;
        s.id = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        s.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        s.modifiedNs = nsOf(basic.LastWriteTime);
        s.changedNs = nsOf(basic.ChangeTime);
        s.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
    }
    CloseHandle(h);
    return s;
}

bool TDurableFolder::CreateNewFile(const std::string& name, const void* data, size_t size, uint32_t mode,
                                   bool flush) {
    if (handle_ < 0 || !plainName(name)) {
        error_ = "not a name in the folder";
        return false;
    }
    const std::wstring w = win::WideNative(path_ + "\\" + name);
    const DWORD attrs = (mode & 0222) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           attrs | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failed();
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    bool ok = true;
    while (ok && done < size) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        ok = ::WriteFile(h, p + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    if (ok && flush)
        ok = FlushFileBuffers(h) != 0;
    if (!ok)
        failed();
    CloseHandle(h);
    if (!ok)
        DeleteFileW(w.c_str());
    return ok;
}

bool TDurableFolder::ReadFile(const std::string& name, std::string& out, size_t maxSize) const {
    out.clear();
    if (handle_ < 0 || !plainName(name))
        return false;
    const std::wstring w = win::WideNative(path_ + "\\" + name);
    // The shop's program may have the file open for writing; reading its
    // head must neither fail for that nor keep a rename from going ahead.
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(h, &info) &&
                    !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (ok) {
        // The first maxSize bytes of a longer file, as the caller asks.
        const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        out.resize(static_cast<size_t>(std::min<uint64_t>(size, maxSize)));
        size_t done = 0;
        while (done < out.size()) {
            const DWORD want = static_cast<DWORD>(std::min<size_t>(out.size() - done, 1u << 30));
            DWORD got = 0;
            if (!::ReadFile(h, out.data() + done, want, &got, nullptr) || got == 0)
                break;
            done += got;
        }
        out.resize(done);
    }
    CloseHandle(h);
    return ok;
}

bool TDurableFolder::Rename(const std::string& from, const std::string& to) {
    if (handle_ < 0 || !plainName(from) || !plainName(to))
        return false;
    return RenameOver(path_ + "\\" + from, path_ + "\\" + to) || failed();
}

bool TDurableFolder::Remove(const std::string& name) {
    if (handle_ < 0 || !plainName(name))
        return false;
    return RemoveNative(path_ + "\\" + name) || GetLastError() == ERROR_FILE_NOT_FOUND || failed();
}

bool TDurableFolder::Flush() {
    // No folder flush on Windows: the renames were written through.
    return handle_ >= 0;
}

bool FolderNeedsFlush(const std::string&) {
    return true;
}

// Windows starts writing back by itself; there is no call to hurry it.
void StartWriteBack(int, int64_t, int64_t) {}

// Windows flushes a file at a time.
std::vector<bool> FlushFiles(const std::vector<int>& fds) {
    std::vector<bool> flushed(fds.size());
    for (size_t i = 0; i < fds.size(); ++i)
        flushed[i] = FlushFileBuffers(handleOf(fds[i])) != 0;
    return flushed;
}

bool FlushAndClose(int fd, bool flush) {
    const bool flushed = !flush || FlushFileBuffers(handleOf(fd)) != 0;
    _close(fd);
    return flushed;
}

bool RenameOver(const std::string& from, const std::string& to) {
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
