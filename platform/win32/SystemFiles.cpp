#include "platform/SystemFiles.h"

#include <windows.h>

#include "platform/win32/Utf16.h"
#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

// An environment variable as the system holds it (UTF-16) in UTF-8; the C
// library's copy is in the ANSI code page, which may not spell a path.
std::wstring environment(const wchar_t* name) {
    const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0)
        return {};
    std::wstring value(n, L'\0');
    const DWORD m = ::GetEnvironmentVariableW(name, value.data(), n);
    value.resize(m < n ? m : 0);
    return value;
}

} // namespace

std::string EngineConfigPath() {
    if (const std::wstring set = environment(L"UPDATER_DBCONFIG"); !set.empty())
        return win::FromWide(set, CP_UTF8);
    std::wstring data = environment(L"ProgramData");
    if (data.empty())
        data = L"C:\\ProgramData";
    return win::FromWide(data + L"\\Vendarix\\aliases.ini", CP_UTF8);
}

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
