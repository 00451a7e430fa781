#include "platform/FileReplace.h"

#include <utility>

#include "platform/Files.h"
#include "platform/NativeFiles.h"
#include "platform/Text.h"

namespace vx::platform {

namespace {

// A Linux path's folder ("." for none) and name.
std::pair<std::string, std::string> split(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace

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
    const auto [sourceFolder, sourceName] = split(source);
    const auto [targetFolder, targetName] = split(wanted);
    const auto [oldFolder, oldName] = split(existing);
    // The rename goes through the folder's handle and reaches the disk with
    // the folder's flush.
    TDurableFolder dir(targetFolder);
    if (!dir.IsOpen())
        return false;
    if (!(sourceFolder == targetFolder ? dir.Rename(sourceName, targetName) : RenameOver(source, wanted)))
        return false;
    // Windows gives a replaced file the new name's letter case.
    if (existing != wanted && oldFolder == targetFolder) {
        const TFileStamp a = dir.Stamp(oldName), b = dir.Stamp(targetName);
        if (a.exists && b.exists && (a.id != b.id || a.device != b.device))
            dir.Remove(oldName);
    }
    dir.Flush();
    return true;
}

} // namespace vx::platform
