#include "platform/FolderIndex.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileHandle.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/Text.h"

namespace vx::platform {

namespace {

void splitWin(const std::string& winPath, std::string& folder, std::string& leaf) {
    size_t p = winPath.find_last_of("\\/");
    if (p == std::string::npos && winPath.size() >= 2 && winPath[1] == ':')
        p = 1;
    folder = p == std::string::npos ? std::string() : winPath.substr(0, p + 1);
    leaf = p == std::string::npos ? winPath : winPath.substr(p + 1);
}

std::string joinLinux(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder == ".")
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

} // namespace

TFolderIndex::Listing& TFolderIndex::listingFor(const std::string& winFolder, std::string& linuxFolder) {
    auto f = folders_.find(winFolder);
    if (f == folders_.end())
        f = folders_.emplace(winFolder, winFolder.empty() ? std::string(".") : ResolvePath(winFolder)).first;
    linuxFolder = f->second;
    auto l = listings_.find(linuxFolder);
    if (l != listings_.end())
        return l->second;
    Listing& listing = listings_[linuxFolder];
    std::vector<std::string> names;
    ReadFolderNames(linuxFolder, names);
    for (const auto& n : names)
        listing.Add(n);
    return listing;
}

TFolderIndex::Listing& TFolderIndex::lookup(const std::string& winPath, std::string& linuxFolder,
                                            std::string& name) {
    std::string winFolder, leaf;
    splitWin(winPath, winFolder, leaf);
    Listing& listing = listingFor(winFolder, linuxFolder);
    name = AnsiToUtf8(leaf);
    if (const auto found = listing.Find(name))
        name = *found;
    return listing;
}

TFolderIndex::Entry TFolderIndex::Find(const std::string& winPath) {
    std::string linuxFolder, name;
    Listing& listing = lookup(winPath, linuxFolder, name);
    Entry e;
    e.linuxPath = joinLinux(linuxFolder, name);
    struct stat st;
    if (listing.Has(name) && lstat(e.linuxPath.c_str(), &st) == 0) {
        e.exists = true;
        e.isDirectory = S_ISDIR(st.st_mode);
    }
    return e;
}

std::unique_ptr<THandleStream> TFolderIndex::CreateNewFile(const std::string& winPath) {
    Entry e = Find(winPath);
    if (e.exists)
        return nullptr;
    int fd = ::open(e.linuxPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    Added(winPath);
    return std::make_unique<THandleStream>(fd, e.linuxPath);
}

bool TFolderIndex::MakeFolder(const std::string& winPath) {
    std::string p = winPath;
    while (!p.empty() && (p.back() == '\\' || p.back() == '/'))
        p.pop_back();
    std::string winFolder, leaf;
    splitWin(p, winFolder, leaf);
    // A root, a drive, or a step such as "..": the general path does it.
    if (leaf.empty() || leaf == "." || leaf == "..")
        return ForceDirectories(winPath);
    if (!winFolder.empty() && !MakeFolder(winFolder))
        return false;
    // Folders are looked up in the index's listing of their parent, read
    // once: many new folders side by side would otherwise each read the
    // whole parent folder again.
    const Entry e = Find(p);
    struct stat st;
    if (!e.exists) {
        if (::mkdir(e.linuxPath.c_str(), 0777) == 0) {
            Added(p);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    // Through a link to a folder, too.
    return ::stat(e.linuxPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string TFolderIndex::PathAsWritten(const std::string& winPath) {
    std::string winFolder, leaf, linuxFolder;
    splitWin(winPath, winFolder, leaf);
    listingFor(winFolder, linuxFolder);
    return joinLinux(linuxFolder, AnsiToUtf8(leaf));
}

void TFolderIndex::Added(const std::string& winPath) {
    std::string winFolder, leaf, linuxFolder;
    splitWin(winPath, winFolder, leaf);
    Listing& listing = listingFor(winFolder, linuxFolder);
    listing.Add(AnsiToUtf8(leaf));
}

void TFolderIndex::Removed(const std::string& winPath) {
    // Only the index changes: the file itself is not looked at.
    std::string linuxFolder, name;
    Listing& listing = lookup(winPath, linuxFolder, name);
    // Other names of the same letters stay findable.
    listing.Remove(name);
}

void TFolderIndex::Clear() {
    folders_.clear();
    listings_.clear();
}

} // namespace vx::platform
