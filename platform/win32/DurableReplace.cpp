// The durable-replace primitive on Windows. A folder there is not held open
// as a descriptor (a held folder would keep the shop's program from renaming
// it): each call names the file inside the folder, and every file is opened
// without following a reparse point, so a link planted at a work file's name
// is never written through. Windows has no folder flush; renames are written
// through instead (MOVEFILE_WRITE_THROUGH).
#include "platform/DurableReplace.h"

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
    wchar_t* msg = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&msg), 0, nullptr);
    std::string text = n ? win::FromWide(std::wstring_view(msg, n), CP_UTF8) : std::string("error");
    LocalFree(msg);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

int64_t nsOf(const LARGE_INTEGER& t) {
    // 100 ns units since 1601; only differences are compared.
    return static_cast<int64_t>(t.QuadPart) * 100;
}

HANDLE handleOf(intptr_t fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(fd)));
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
    HANDLE h = CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

bool TDurableFolder::CreateNewFile(const std::string& name, const void* data, size_t size, uint32_t mode, bool flush) {
    if (handle_ < 0 || !plainName(name)) {
        error_ = "not a name in the folder";
        return false;
    }
    const std::wstring w = win::WideNative(path_ + "\\" + name);
    const DWORD attrs = (mode & 0222) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attrs | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
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
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    bool ok = GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
              info.nFileSizeHigh == 0 && info.nFileSizeLow <= maxSize;
    if (ok) {
        out.resize(info.nFileSizeLow);
        DWORD n = 0;
        ok = out.empty() || (::ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &n, nullptr) &&
                             n == out.size());
    }
    CloseHandle(h);
    if (!ok)
        out.clear();
    return ok;
}

bool TDurableFolder::Rename(const std::string& from, const std::string& to) {
    if (handle_ < 0 || !plainName(from) || !plainName(to))
        return false;
    return MoveFileExW(win::WideNative(path_ + "\\" + from).c_str(), win::WideNative(path_ + "\\" + to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 ||
           failed();
}

bool TDurableFolder::Remove(const std::string& name) {
    if (handle_ < 0 || !plainName(name))
        return false;
    const std::wstring w = win::WideNative(path_ + "\\" + name);
    if (DeleteFileW(w.c_str()))
        return true;
    return GetLastError() == ERROR_FILE_NOT_FOUND || failed();
}

bool TDurableFolder::Flush() {
    // No folder flush on Windows: the renames were written through.
    return handle_ >= 0;
}

void StartFileWriteBack(intptr_t) {
    // Windows starts writing back by itself; there is no call to hurry it.
}

bool FlushFile(intptr_t handle) {
    return FlushFileBuffers(handleOf(handle)) != 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
    return MoveFileExW(win::WideNative(from).c_str(), win::WideNative(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool FlushFolder(const std::string&) {
    return true;
}

bool FolderNeedsFlush(const std::string&) {
    return true;
}

} // namespace vx::platform
