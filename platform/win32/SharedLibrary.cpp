// LoadLibraryW with a bare file name searches the program's folder and the
// system's; the error text is the system's own.
#include "platform/SharedLibrary.h"

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

std::string systemText(DWORD code) {
    const std::wstring w = win::SystemMessage(code);
    return w.empty() ? "error " + std::to_string(code) : win::FromWide(w, CP_UTF8);
}

} // namespace

TSharedLibrary::~TSharedLibrary() {
    if (handle_)
        FreeLibrary(static_cast<HMODULE>(handle_));
}

bool TSharedLibrary::Load(const std::string& fileName) {
    if (handle_) {
        FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
    // No "insert the disk" box when the file is on a missing drive.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE h = LoadLibraryW(win::WideNative(fileName).c_str());
    const DWORD code = GetLastError();
    SetErrorMode(oldMode);
    if (!h) {
        error_ = fileName + ": " + systemText(code);
        return false;
    }
    handle_ = h;
    error_.clear();
    return true;
}

void* TSharedLibrary::Symbol(const char* name) {
    if (!handle_) {
        error_ = std::string(name) + ": no library is loaded";
        return nullptr;
    }
    FARPROC p = GetProcAddress(static_cast<HMODULE>(handle_), name);
    if (!p)
        error_ = std::string(name) + ": not found";
    return reinterpret_cast<void*>(p);
}

} // namespace vx::platform
