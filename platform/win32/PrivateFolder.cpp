// A folder of this process's own under the user's temporary folder, under a
// name nobody had: CreateDirectoryW fails when the name exists, so a name
// that someone planted is never taken over, only passed by.
#include "platform/PrivateFolder.h"

#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <system_error>

#include "platform/win32/Win.h"

namespace vx::platform {

bool CreatePrivateFolder(const std::string& prefix, std::string& path) {
    wchar_t root[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, root);
    if (n == 0 || n > MAX_PATH)
        return false;
    const std::wstring base = std::wstring(root, n) + win::ToWide(prefix, CP_UTF8) + L".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        const uint64_t mark = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                              static_cast<uint64_t>(now.QuadPart) ^
                              (static_cast<uint64_t>(attempt) * 0x9E3779B9u);
        wchar_t tail[17];
        swprintf(tail, 17, L"%016llx", static_cast<unsigned long long>(mark));
        const std::wstring wide = base + tail;
        if (CreateDirectoryW(wide.c_str(), nullptr)) {
            path = win::FromWide(wide, CP_UTF8);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool RemoveFolderTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(win::WideNative(path)), ec);
    return !ec;
}

} // namespace vx::platform
