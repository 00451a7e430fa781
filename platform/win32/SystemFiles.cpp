#include "platform/SystemFiles.h"

#include <windows.h>

#include "platform/win32/Utf16.h"

namespace vx::platform {

bool IsFileAt(const std::string& path) {
    const DWORD a = ::GetFileAttributesW(WidenUtf8(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

int64_t ReadFileHead(const std::string& path, void* buffer, size_t count) {
    const HANDLE h = ::CreateFileW(WidenUtf8(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    auto* out = static_cast<char*>(buffer);
    size_t n = 0;
    while (n < count) {
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(count - n > 0x10000000 ? 0x10000000 : count - n);
        if (!::ReadFile(h, out + n, ask, &got, nullptr) || got == 0)
            break;
        n += got;
    }
    ::CloseHandle(h);
    return static_cast<int64_t>(n);
}

bool RemoveFileAt(const std::string& path) {
    return ::DeleteFileW(WidenUtf8(path).c_str()) != 0;
}

} // namespace vx::platform
