#include "app/ReleaseRecord.h"

#include "platform/Files.h"

namespace vx::app {

using namespace vx::platform;

namespace {

constexpr const char* kHeader = "AtualizarVendarix estado 1";
constexpr size_t kMaxDigits = 18;

} // namespace

TReleaseRecord::TLoad TReleaseRecord::Load() {
    installed_.clear();
    if (!FileExists(kFileName))
        return TLoad::Missing;
    std::string text;
    if (!ReadSmallFile(kFileName, kMaxBytes, text) || !Parse(text)) {
        installed_.clear();
        return TLoad::Damaged;
    }
    return TLoad::Read;
}

std::optional<int64_t> TReleaseRecord::Installed(const std::string& file) const {
    const auto it = installed_.find(file);
    if (it == installed_.end())
        return std::nullopt;
    return it->second;
}

void TReleaseRecord::SetInstalled(const std::string& file, int64_t timestamp) {
    installed_[file] = timestamp;
}

bool TReleaseRecord::Save() const {
    return WriteFileDurably(kFileName, Text());
}

std::string TReleaseRecord::Text() const {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [file, timestamp] : installed_)
        text += std::to_string(timestamp) + " " + file + "\n";
    return text;
}

bool TReleaseRecord::Parse(const std::string& text) {
    installed_.clear();
    size_t pos = 0;
    bool header = true;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        // Every line ends with its line feed: a record cut short is damaged.
        if (nl == std::string::npos)
            return false;
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (header) {
            if (line != kHeader)
                return false;
            header = false;
            continue;
        }
        const size_t blank = line.find(' ');
        if (blank == 0 || blank == std::string::npos || blank > kMaxDigits || blank + 1 == line.size())
            return false;
        int64_t timestamp = 0;
        for (size_t i = 0; i < blank; ++i) {
            if (line[i] < '0' || line[i] > '9')
                return false;
            timestamp = timestamp * 10 + (line[i] - '0');
        }
        const std::string file = line.substr(blank + 1);
        for (unsigned char c : file)
            if (c < 0x20 || c == 0x7F)
                return false;
        if (!installed_.emplace(file, timestamp).second)
            return false;
    }
    return !header;
}

} // namespace vx::app
