// A fresh folder under /tmp for one test, removed at the end; optionally
// the working folder while the test runs (restored afterwards).
#pragma once

#include <string>

namespace vx::test {

class TTempFolder {
public:
    explicit TTempFolder(bool enter = false);
    // Under another parent than /tmp (a memory file system, say).
    explicit TTempFolder(const std::string& parent, bool enter = false);
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::string previous_;
};

} // namespace vx::test
