// Reading through a handle opened with every share mode, so that the file
// may still be renamed or deleted by others while it is read (as on the
// other systems); reads at an offset go through OVERLAPPED, which leaves the
// handle's position where it was.
#include "platform/ReadOnlyFile.h"

#include <algorithm>
#include <utility>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

HANDLE handleOf(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::string systemText(DWORD code) {
    const std::wstring w = win::SystemMessage(code);
    return w.empty() ? "error " + std::to_string(code) : win::FromWide(w, CP_UTF8);
}

// ReadFile takes a DWORD count: larger reads go in pieces.
constexpr DWORD kMostAtOnce = 1u << 30;

} // namespace

TReadOnlyFile::TReadOnlyFile(const std::string& path) {
    HANDLE h = CreateFileW(win::WideNative(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        error_ = systemText(GetLastError());
    else
        handle_ = reinterpret_cast<intptr_t>(h);
}

TReadOnlyFile::~TReadOnlyFile() {
    if (IsOpen())
        CloseHandle(handleOf(handle_));
}

TReadOnlyFile::TReadOnlyFile(TReadOnlyFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), error_(std::move(other.error_)) {}

TReadOnlyFile& TReadOnlyFile::operator=(TReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (IsOpen())
            CloseHandle(handleOf(handle_));
        handle_ = std::exchange(other.handle_, kNoHandle);
        error_ = std::move(other.error_);
    }
    return *this;
}

int64_t TReadOnlyFile::Size() const {
    LARGE_INTEGER size{};
    if (!IsOpen() || !GetFileSizeEx(handleOf(handle_), &size)) {
        error_ = IsOpen() ? systemText(GetLastError()) : "no file is open";
        return -1;
    }
    return static_cast<int64_t>(size.QuadPart);
}

int64_t TReadOnlyFile::RegularSize() const {
    if (!IsOpen() || GetFileType(handleOf(handle_)) != FILE_TYPE_DISK)
        return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handleOf(handle_), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
}

int64_t TReadOnlyFile::Read(void* buf, size_t n) {
    if (!IsOpen())
        return -1;
    auto* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, kMostAtOnce));
        if (!ReadFile(handleOf(handle_), p + done, want, &got, nullptr))
            return -1;
        if (got == 0)
            break;
        done += got;
    }
    return static_cast<int64_t>(done);
}

int64_t TReadOnlyFile::ReadAt(uint64_t offset, void* buf, size_t n) const {
    if (!IsOpen())
        return -1;
    // A read at an offset through a handle opened for synchronous reads
    // moves its position all the same: it is put back afterwards.
    LARGE_INTEGER position{}, zero{};
    if (!SetFilePointerEx(handleOf(handle_), zero, &position, FILE_CURRENT))
        return -1;
    auto* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    bool failed = false;
    while (done < n) {
        OVERLAPPED at{};
        const uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, kMostAtOnce));
        if (!ReadFile(handleOf(handle_), p + done, want, &got, &at)) {
            failed = GetLastError() != ERROR_HANDLE_EOF;
            break;
        }
        if (got == 0)
            break;
        done += got;
    }
    SetFilePointerEx(handleOf(handle_), position, nullptr, FILE_BEGIN);
    return failed ? -1 : static_cast<int64_t>(done);
}

void TReadOnlyFile::AdviseSequential() const {
    // The hint is given when a file is opened (FILE_FLAG_SEQUENTIAL_SCAN),
    // not afterwards; the system's read-ahead does well without it.
}

} // namespace vx::platform
