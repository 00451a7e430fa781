// The names of one folder keyed without regard to letter case, as the
// Windows file system compares them. Several names of the same letters
// may exist side by side (on Linux they do): the exact spelling asked for
// wins, else the one taken in first.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vx::platform {

class TFolderNames {
public:
    void Add(const std::string& nameUtf8);
    void Remove(const std::string& nameUtf8);
    void Clear() { folded_.clear(); }
    // Whether this exact spelling is there.
    bool Has(const std::string& nameUtf8) const;
    // The name on disk of the entry named so in any letter case.
    std::optional<std::string> Find(const std::string& nameUtf8) const;
    // Every name as on disk, in no particular order.
    std::vector<std::string> Names() const;

    // The key names are compared by: simple case folding, ASCII at once.
    static std::string Fold(const std::string& nameUtf8);

private:
    std::unordered_map<std::string, std::vector<std::string>> folded_; // folded -> names on disk
};

// Simple case folding of UTF-8 text beyond ASCII, as the system's own
// text facilities give it.
std::string CaseFoldUtf8(const std::string& utf8);

} // namespace vx::platform
