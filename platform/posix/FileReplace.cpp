#include "platform/FileReplace.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Text.h"

bool ReplaceFile(const std::string& from, const std::string& to) {
    std::string source = ResolvePath(from);
    std::string existing = ResolvePath(to);
    std::string folder = ExtractFilePath(to);
    std::string name = AnsiToUtf8(ExtractFileName(to));
    std::string wanted;
    if (!folder.empty()) {
        wanted = ResolvePath(folder);
        if (wanted.empty() || wanted.back() != '/')
            wanted.push_back('/');
    }
    wanted.append(name);
    if (std::rename(source.c_str(), wanted.c_str()) != 0)
        return false;
    // Windows gives a replaced file the new name's letter case.
    struct stat a, b;
    if (existing != wanted && lstat(existing.c_str(), &a) == 0 && lstat(wanted.c_str(), &b) == 0 &&
        (a.st_ino != b.st_ino || a.st_dev != b.st_dev))
        unlink(existing.c_str());
    return true;
}
