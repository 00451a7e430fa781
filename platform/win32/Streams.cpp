// File streams over the wide Win32 API: CreateFileW with the share modes the
// open mode asks for, every transfer at an OVERLAPPED offset (so reads at a
// position leave the stream where it was), FlushFileBuffers. The descriptor
// is the C library's over the handle, so callers that hold an int keep one.
#include "platform/Streams.h"

#include <io.h>

#include <algorithm>
#include <cstring>

#include <fcntl.h>

#include "platform/Files.h"
#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

HANDLE handleOf(int fd) {
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

DWORD shareFor(uint16_t mode) {
    switch (mode & 0xF0) {
    case fmShareExclusive:
        return 0;
    case fmShareDenyWrite:
        return FILE_SHARE_READ;
    case fmShareDenyRead:
        return FILE_SHARE_WRITE;
    case fmShareDenyNone:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default: // compatibility mode: others may read and write, as the old DOS share did
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
}

int openFile(const std::string& path, const std::string& winPath, uint16_t mode) {
    const std::wstring w = win::WideNative(path);
    HANDLE h;
    if (mode == fmCreate) {
        h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            throw EFCreateError(Format("Cannot create file %s", winPath));
    } else {
        const int access = mode & 0x0F;
        const DWORD rights = access == fmOpenWrite       ? GENERIC_WRITE
                             : access == fmOpenReadWrite ? GENERIC_READ | GENERIC_WRITE
                                                         : GENERIC_READ;
        h = CreateFileW(w.c_str(), rights, shareFor(static_cast<uint16_t>(mode)), nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            throw EFOpenError(Format("Cannot open file %s", winPath));
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        throw EFOpenError(Format("Cannot open file %s", winPath));
    }
    return fd;
}

} // namespace

std::unique_ptr<THandleStream> CreateFreshFile(const std::string& winPath) {
    const std::string path = ResolvePath(winPath);
    const std::wstring w = win::WideNative(path);
    // Whatever has the name goes first; a link (a reparse point) is removed
    // itself, never what it points at. CREATE_NEW then fails rather than
    // open anything that appeared in between.
    if (!DeleteFileW(w.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        SetFileAttributesW(w.c_str(), FILE_ATTRIBUTE_NORMAL), DeleteFileW(w.c_str());
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw EFCreateError(Format("Cannot create file %s", winPath));
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        throw EFCreateError(Format("Cannot create file %s", winPath));
    }
    return std::make_unique<THandleStream>(fd, path);
}

namespace {

// Moves count bytes at offset, through short counts; stops at the end of
// the file or the first error.
template <class Byte, class Op> int64_t transferAt(HANDLE h, int64_t offset, Byte* p, int64_t count, Op op) {
    int64_t done = 0;
    while (done < count) {
        OVERLAPPED o{};
        const uint64_t at = static_cast<uint64_t>(offset + done);
        o.Offset = static_cast<DWORD>(at);
        o.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
        DWORD n = 0;
        if (!op(h, p + done, chunk, &n, &o) || n == 0)
            break;
        done += n;
    }
    return done;
}

} // namespace

TFileStream::TFileStream(const std::string& winPath, uint16_t mode)
    : TFileStream(winPath, ResolvePath(winPath), mode) {}

TFileStream::TFileStream(const std::string& winPath, const std::string& path, uint16_t mode)
    : THandleStream(openFile(path, winPath, mode), path), name_(winPath) {}

THandleStream::~THandleStream() {
    if (fd_ >= 0)
        _close(fd_);
}

int64_t THandleStream::Read(void* buffer, int64_t count) {
    const int64_t n = ReadAt(pos_, buffer, count);
    pos_ += n;
    return n;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
    const int64_t n = transferAt(handleOf(fd_), pos_, static_cast<const uint8_t*>(buffer), count,
                                 [](HANDLE h, const uint8_t* p, DWORD c, DWORD* n, OVERLAPPED* o) {
                                     return WriteFile(h, p, c, n, o);
                                 });
    pos_ += n;
    return n;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : Size();
    if (base < 0 || base + offset < 0)
        return -1;
    pos_ = base + offset;
    return pos_;
}

int64_t THandleStream::ReadAt(int64_t position, void* buffer, int64_t count) {
    if (position < 0)
        return 0;
    return transferAt(
        handleOf(fd_), position, static_cast<uint8_t*>(buffer), count,
        [](HANDLE h, uint8_t* p, DWORD c, DWORD* n, OVERLAPPED* o) { return ReadFile(h, p, c, n, o); });
}

int64_t THandleStream::Size() {
    LARGE_INTEGER size;
    if (GetFileSizeEx(handleOf(fd_), &size))
        return static_cast<int64_t>(size.QuadPart);
    return -1;
}

void THandleStream::SetSize(int64_t size) {
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(handleOf(fd_), FileEndOfFileInfo, &eof, sizeof eof))
        throw EWriteError();
    if (pos_ > size)
        pos_ = size;
}

bool THandleStream::Flush() {
    return FlushFileBuffers(handleOf(fd_)) != 0;
}

} // namespace vx::platform
