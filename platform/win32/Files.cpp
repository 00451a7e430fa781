// Windows file names on Windows: the system already separates folders at
// "\" and "/", matches names without regard to case and keeps attributes
// and times; this half only converts the logic's CP1252 to the wide API.
// ResolvePath gives the path in UTF-8, the form the rest of the half (and
// std::filesystem through u8 paths) opens.
#include "platform/Files.h"

#include <algorithm>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace win {

std::wstring WidePath(const std::string& winPath) {
    std::wstring w = ToWide(winPath, 1252);
    for (auto& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

std::wstring WideNative(const std::string& utf8Path) {
    std::wstring w = ToWide(utf8Path, CP_UTF8);
    for (auto& c : w)
        if (c == L'/')
            c = L'\\';
    return w;
}

} // namespace win

namespace {
DWORD attributes(const std::string& winPath) {
    return GetFileAttributesW(win::WidePath(winPath).c_str());
}
} // namespace

std::string ResolvePath(const std::string& winPath) {
    return win::FromWide(win::WidePath(winPath), CP_UTF8);
}

std::string DriveRoot(char letter) {
    return std::string(1, letter) + ":\\";
}

bool IsRemovableDrive(const std::string& winPath) {
    if (winPath.size() < 2 || winPath[1] != ':')
        return false;
    return GetDriveTypeW(win::WidePath(DriveRoot(winPath[0])).c_str()) == DRIVE_REMOVABLE;
}

bool FileExists(const std::string& winPath) {
    const DWORD a = attributes(winPath);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& winPath) {
    const DWORD a = attributes(winPath);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteFile(const std::string& winPath) {
    return DeleteFileW(win::WidePath(winPath).c_str()) != 0;
}

namespace {
std::wstring fullPath(const std::wstring& p) {
    const DWORD n = GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    const DWORD m = n ? GetFullPathNameW(p.c_str(), n, full.data(), nullptr) : 0;
    full.resize(m);
    return full;
}
} // namespace

// MoveFileExW without REPLACE_EXISTING fails when the target exists. A
// target that is the source under other letters changes the case of the
// name; not every file system behind the API does that in one rename (Wine
// keeps the old spelling), so that one goes through a temporary name.
bool RenameFile(const std::string& from, const std::string& to) {
    const std::wstring f = win::WidePath(from), t = win::WidePath(to);
    const std::wstring ff = fullPath(f), ft = fullPath(t);
    if (!ff.empty() && ff != ft && CompareStringOrdinal(ff.c_str(), -1, ft.c_str(), -1, TRUE) == CSTR_EQUAL) {
        const std::wstring tmp = f + L".~vx" + std::to_wstring(GetCurrentProcessId());
        if (!MoveFileExW(f.c_str(), tmp.c_str(), 0))
            return false;
        if (MoveFileExW(tmp.c_str(), t.c_str(), 0))
            return true;
        MoveFileExW(tmp.c_str(), f.c_str(), 0);
        return false;
    }
    return MoveFileExW(f.c_str(), t.c_str(), 0) != 0;
}

bool CreateDir(const std::string& winPath) {
    return CreateDirectoryW(win::WidePath(winPath).c_str(), nullptr) != 0;
}

bool ForceDirectories(const std::string& winPath) {
    std::string p = winPath;
    while (!p.empty() && (p.back() == '\\' || p.back() == '/'))
        p.pop_back();
    if (p.empty() || DirectoryExists(p))
        return !p.empty();
    const std::string parent = ExtractFilePath(p);
    // "X:" and "\" (and a bare name) need no parent made.
    if (!parent.empty() && parent.size() < p.size() && parent != p.substr(0, 2) + "\\" &&
        !(parent.size() == 2 && parent[1] == ':'))
        if (!ForceDirectories(parent))
            return false;
    return CreateDir(p) || DirectoryExists(p);
}

uint32_t FileGetAttr(const std::string& winPath) {
    const DWORD a = attributes(winPath);
    return a == INVALID_FILE_ATTRIBUTES ? faInvalid : static_cast<uint32_t>(a);
}

bool FileSetAttr(const std::string& winPath, uint32_t attr) {
    DWORD a = attr & ~static_cast<uint32_t>(faDirectory | faVolumeID);
    return SetFileAttributesW(win::WidePath(winPath).c_str(), a ? a : FILE_ATTRIBUTE_NORMAL) != 0;
}

// Windows keeps no permission bits: a Unix mode without any write bit
// makes the file read-only, which is all of it Windows can express.
bool FileSetMode(const std::string& winPath, uint32_t mode) {
    const DWORD a = attributes(winPath);
    if (a == INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD want = (mode & 0222) ? (a & ~FILE_ATTRIBUTE_READONLY) : (a | FILE_ATTRIBUTE_READONLY);
    return want == a || SetFileAttributesW(win::WidePath(winPath).c_str(), want) != 0;
}

int32_t FileGetDate(const std::string& winPath) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(win::WidePath(winPath).c_str(), GetFileExInfoStandard, &d) ||
        (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    FILETIME local;
    WORD date = 0, time = 0;
    if (!FileTimeToLocalFileTime(&d.ftLastWriteTime, &local) || !FileTimeToDosDateTime(&local, &date, &time))
        return -1;
    return static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
}

bool FileSetDate(const std::string& winPath, int32_t dosDateTime) {
    HANDLE h = CreateFileW(win::WidePath(winPath).c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FILETIME local, utc;
    const bool ok = DosDateTimeToFileTime(static_cast<WORD>(static_cast<uint32_t>(dosDateTime) >> 16),
                                          static_cast<WORD>(dosDateTime & 0xFFFF), &local) &&
                    LocalFileTimeToFileTime(&local, &utc) && SetFileTime(h, nullptr, nullptr, &utc);
    CloseHandle(h);
    return ok;
}

bool WorkingFolderIsSystemFolder() {
    wchar_t cwd[MAX_PATH + 1], windows[MAX_PATH + 1], system[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, cwd);
    if (n == 0 || n > MAX_PATH)
        return false;
    const auto same = [&cwd](wchar_t* folder, UINT length) {
        if (length == 0 || length > MAX_PATH)
            return false;
        std::wstring a(cwd), b(folder, length);
        for (std::wstring* s : {&a, &b})
            while (s->size() > 3 && s->back() == L'\\')
                s->pop_back();
        return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
    };
    return same(windows, GetWindowsDirectoryW(windows, MAX_PATH + 1)) ||
           same(system, GetSystemDirectoryW(system, MAX_PATH + 1));
}

std::vector<std::string> ListDirectory(const std::string& winPath) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((win::WidePath(IncludeTrailingBackslash(winPath)) + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring_view n(fd.cFileName);
        if (n != L"." && n != L"..")
            names.push_back(win::FromWide(n, 1252));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

// MS-DOS times are local; Unix times count seconds since 1970 in UTC. The
// system's own conversions apply the zone's rules of that date.
namespace {
constexpr int64_t kEpochDiff = 11644473600LL; // 1601 to 1970, in seconds
}

int64_t DosDateTimeToUnix(int32_t dosDateTime) {
    FILETIME local, utc;
    const uint32_t v = static_cast<uint32_t>(dosDateTime);
    const uint32_t date = v >> 16, time = v & 0xFFFF;
    const uint32_t month = (date >> 5) & 0x0F, day = date & 0x1F;
    if (month < 1 || month > 12 || day < 1 || (time >> 11) > 23 || ((time >> 5) & 0x3F) > 59 ||
        (time & 0x1F) * 2 > 59)
        return -1;
    if (!DosDateTimeToFileTime(static_cast<WORD>(date), static_cast<WORD>(time), &local) ||
        !LocalFileTimeToFileTime(&local, &utc))
        return -1;
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
    return ticks / 10000000 - kEpochDiff;
}

int32_t UnixToDosDateTime(int64_t unixTime) {
    const uint64_t ticks = static_cast<uint64_t>(unixTime + kEpochDiff) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}, local;
    WORD date = 0, time = 0;
    if (!FileTimeToLocalFileTime(&utc, &local))
        return -1;
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&local, &st))
        return -1;
    if (st.wYear < 1980)
        return static_cast<int32_t>((1u << 5 | 1u) << 16); // 1980-01-01
    if (!FileTimeToDosDateTime(&local, &date, &time))
        return -1;
    return static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
}

// The program's own small files (its record, its log): opened without
// following a link, and only when what is at the name is a plain file of one
// name, so that nothing planted there is read or written through.
namespace {

HANDLE openOwnFile(const std::string& winPath, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileW(win::WidePath(winPath).c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    // The two small queries rather than GetFileInformationByHandle, whose
    // volume serial number costs Wine some milliseconds on every call (the
    // run log opens its file so for every line).
    FILE_STANDARD_INFO standard{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileType(h) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) || standard.Directory ||
        (tag.FileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ||
        standard.NumberOfLinks != 1) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

bool writeAll(HANDLE h, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        if (!WriteFile(h, bytes.data() + done, want, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

} // namespace

bool ReadSmallFile(const std::string& winPath, size_t maxBytes, std::string& out) {
    out.clear();
    HANDLE h = openOwnFile(winPath, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(h, &size) && static_cast<uint64_t>(size.QuadPart) <= maxBytes;
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (ok && done < out.size()) {
            DWORD got = 0;
            ok = ReadFile(h, out.data() + done, static_cast<DWORD>(out.size() - done), &got, nullptr) &&
                 got > 0;
            done += got;
        }
    }
    CloseHandle(h);
    if (!ok)
        out.clear();
    return ok;
}

int64_t FileSizeOf(const std::string& winPath) {
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(win::WidePath(winPath).c_str(), GetFileExInfoStandard, &d) ||
        (d.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
}

bool AppendToFile(const std::string& winPath, const std::string& bytes) {
    HANDLE h = openOwnFile(winPath, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = writeAll(h, bytes);
    return CloseHandle(h) && ok;
}

bool WriteFileDurably(const std::string& winPath, const std::string& bytes) {
    const std::wstring path = win::WidePath(winPath);
    const std::wstring temp = path + L".novo";
    // A leftover of a killed write, or something planted at the name, goes
    // first: the new file is made fresh (CREATE_NEW) and never through a link.
    DeleteFileW(temp.c_str());
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = writeAll(h, bytes) && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    if (ok)
        ok = MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok)
        DeleteFileW(temp.c_str());
    return ok;
}

} // namespace vx::platform
