#include <windows.h>

#include "platform/FolderNames.h"
#include "platform/win32/Utf16.h"

namespace vx::platform {

std::string CaseFoldUtf8(const std::string& utf8) {
    // The file system's own comparison is an upper-casing without regard
    // to locale; any one mapping applied to both sides serves as a key.
    std::wstring w = WidenUtf8(utf8);
    if (w.empty())
        return utf8;
    const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, w.data(),
                                  static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr, 0);
    std::wstring up(static_cast<size_t>(n), L'\0');
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, w.data(), static_cast<int>(w.size()), up.data(),
                    n, nullptr, nullptr, 0);
    return NarrowToUtf8(up);
}

} // namespace vx::platform
