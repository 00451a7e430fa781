// Case-insensitive name lookup for operations that create many files in
// the same folders, such as extracting an archive. Looking up a missing
// name means reading its whole folder, so creating n files in one folder
// through ResolvePath reads that folder n times; an index reads each folder
// once and then keeps track of the files created through it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/FolderNames.h"

namespace vx::platform {

class THandleStream;

class TFolderIndex {
public:
    struct Entry {
        bool exists = false;
        bool isDirectory = false;
        std::string linuxPath; // the existing file, or where a new one goes
    };
    // Finds a Windows path (its folder must exist) as ResolvePath would.
    Entry Find(const std::string& winPath);
    // Creates an empty file spelled as the Windows path's last component
    // and opens it for writing; null when a file of that name (in any
    // letter case) exists or the file cannot be created.
    std::unique_ptr<THandleStream> CreateNewFile(const std::string& winPath);
    // Makes a folder and the folders above it that are missing, each spelled
    // as the Windows path unless one of the same letters exists (which is
    // used); false when one cannot be made or a file stands in the way.
    bool MakeFolder(const std::string& winPath);
    // The Linux path a file of this Windows path takes when it is made or
    // renamed there: its folder found without regard to case, its name
    // spelled as written.
    std::string PathAsWritten(const std::string& winPath);
    // Keeps the index right after a file went or appeared by other means.
    void Removed(const std::string& winPath);
    void Added(const std::string& winPath);
    void Clear();

private:
    // The names of one folder; of several of the same letters the first
    // added is the one found.
    using Listing = TFolderNames;
    Listing& listingFor(const std::string& winFolder, std::string& linuxFolder);
    // The listing a Windows path falls in and the name it has there.
    Listing& lookup(const std::string& winPath, std::string& linuxFolder, std::string& name);
    std::unordered_map<std::string, std::string> folders_; // Windows folder -> Linux folder
    std::map<std::string, Listing> listings_;              // Linux folder -> names
};

} // namespace vx::platform
