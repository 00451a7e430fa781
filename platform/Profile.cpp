#include "platform/Profile.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Files.h"
#include "platform/Text.h"

namespace vx::platform {

namespace {

constexpr size_t kMaxValue = 2047;

std::string stripQuotes(std::string v) {
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
        return v.substr(1, v.size() - 2);
    return v;
}

} // namespace

std::optional<std::string> ReadSettingsText(const std::string& path) {
    // The path is UTF-8; as a u8 path it opens on Windows too, where a plain
    // char path would be taken in the ANSI code page.
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string bytes = ss.str();
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    return GuessToAnsi(bytes);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& winPath) {
    const std::optional<std::string> read = ReadSettingsText(ResolvePath(winPath));
    if (!read)
        return def;
    const std::string& text = *read;

    bool inSection = false;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find_first_of("\r\n", i);
        if (j == std::string::npos)
            j = text.size();
        std::string line = Trim(std::string_view(text).substr(i, j - i));
        i = j + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name =
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = SameText(name, section);
            continue;
        }
        if (!inSection)
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        if (!SameText(Trim(line.substr(0, eq)), key))
            continue;
        std::string value = stripQuotes(Trim(line.substr(eq + 1)));
        if (value.size() > kMaxValue)
            value.resize(kMaxValue);
        return value;
    }
    return def;
}

} // namespace vx::platform
