// Starting a program with CreateProcessW and the show command given, the
// available memory from GlobalMemoryStatusEx, the process-wide lock.
#include "platform/Process.h"

#include <vector>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

// The updater's environment without its own settings: UPDATER_FTP_PASSWORD
// and the others are meant for the updater, and the program it starts has
// no business seeing them. The block is sorted already; filtering keeps it so.
std::vector<wchar_t> childEnvironment() {
    static constexpr std::wstring_view kOwnPrefix = L"UPDATER_";
    std::vector<wchar_t> block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* e = env; e && *e; e += wcslen(e) + 1) {
        const std::wstring_view v(e);
        if (v.size() >= kOwnPrefix.size() &&
            CompareStringOrdinal(v.data(), static_cast<int>(kOwnPrefix.size()), kOwnPrefix.data(),
                                 static_cast<int>(kOwnPrefix.size()), TRUE) == CSTR_EQUAL)
            continue;
        block.insert(block.end(), v.begin(), v.end());
        block.push_back(L'\0');
    }
    if (env)
        FreeEnvironmentStringsW(env);
    if (block.empty())
        block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

} // namespace

// The results are those of the system's own WinExec: above 31 on success,
// 2 file not found, 3 path not found, 11 bad format, 0 out of resources.
unsigned WinExec(const std::string& cmdLine, int showCmd) {
    std::wstring cmd = win::ToWide(cmdLine, 1252);
    if (cmd.find_first_not_of(L' ') == std::wstring::npos)
        return 2;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(showCmd);
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> env = childEnvironment();
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                        nullptr, &si, &pi)) {
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            return 2;
        case ERROR_PATH_NOT_FOUND:
            return 3;
        case ERROR_BAD_EXE_FORMAT:
            return 11;
        default:
            return 0;
        }
    }
    // The updater does not wait for the program it starts.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 33;
}

uint64_t AvailablePhysicalMemory() {
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof m;
    return GlobalMemoryStatusEx(&m) ? static_cast<uint64_t>(m.ullAvailPhys) : 0;
}

std::recursive_mutex& ProcessLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace vx::platform
