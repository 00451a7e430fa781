// What the system tells of one folder: which folder a path leads to now,
// the names in it, and notifications of the changes made to it by anyone.
// Paths here are the system's own (already resolved), UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vx::platform {

// Tells two folders apart even when one replaced the other under its name.
struct TFolderId {
    uint64_t device = 0;
    uint64_t node = 0;
    bool operator==(const TFolderId&) const = default;
};

// The folder the path leads to (through links); false when it leads to none.
bool FolderIdOf(const std::string& path, TFolderId& id);
// The names of the entries of a folder, "." and ".." left out; false when
// it cannot be read.
bool ReadFolderNames(const std::string& path, std::vector<std::string>& names);

class TFolderWatch {
public:
    enum class TChange { Added, Removed, Rewritten };
    using TSink = std::function<void(TChange, const std::string& nameUtf8)>;

    // Watches the folder, or gives null where notifications cannot be had
    // or would not tell all (a folder shared over the network, whose other
    // clients' changes are not reported here). `exhausted` is set when the
    // system is out of watches: asking again soon would be refused too.
    static std::unique_ptr<TFolderWatch> Start(const std::string& path, bool& exhausted);
    virtual ~TFolderWatch() = default;

    // Hands every change queued so far to the sink, in order. False when
    // changes were lost (the queue overflowed) or the folder itself went
    // away: the watch is then worthless and the folder must be read again.
    virtual bool Drain(const TSink& sink) = 0;
};

} // namespace vx::platform
