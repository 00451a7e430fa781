// On Windows the file system itself finds names without regard to case, so
// the index keeps nothing: each question goes to the system.
#include "platform/FolderIndex.h"

#include "platform/Files.h"
#include "platform/Streams.h"
#include "platform/win32/Win.h"

#include <fcntl.h>
#include <io.h>

namespace vx::platform {

TFolderIndex::Entry TFolderIndex::Find(const std::string& winPath) {
    Entry e;
    const DWORD a = GetFileAttributesW(win::WidePath(winPath).c_str());
    e.exists = a != INVALID_FILE_ATTRIBUTES;
    e.isDirectory = e.exists && (a & FILE_ATTRIBUTE_DIRECTORY);
    e.linuxPath = ResolvePath(winPath);
    return e;
}

std::unique_ptr<THandleStream> TFolderIndex::CreateNewFile(const std::string& winPath) {
    const std::string path = ResolvePath(winPath);
    // CREATE_NEW fails on a file of that name in any letter case.
    HANDLE h = CreateFileW(win::WideNative(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    return std::make_unique<THandleStream>(fd, path);
}

bool TFolderIndex::MakeFolder(const std::string& winPath) {
    return ForceDirectories(winPath);
}

std::string TFolderIndex::PathAsWritten(const std::string& winPath) {
    return ResolvePath(winPath);
}

void TFolderIndex::Removed(const std::string&) {}
void TFolderIndex::Added(const std::string&) {}
void TFolderIndex::Clear() {}

} // namespace vx::platform
