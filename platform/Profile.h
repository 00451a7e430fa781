// The profile (ini file) reader with the platform's rules: section and key
// names without regard to case, the first match wins, blanks around the
// value removed, one pair of surrounding quotes removed, at most 2047
// characters, the default for a missing file, section or key, the empty
// text for an empty value. The file may be CP1252 or UTF-8; the result is
// CP1252.
#pragma once

#include <optional>
#include <string>

#include "platform/SysUtils.h"

namespace vx::platform {

// The whole text of a settings file (a Linux path) in CP1252: a UTF-8
// byte-order mark, as Windows editors write, is dropped first. Nothing when
// the file cannot be read.
std::optional<std::string> ReadSettingsText(const std::string& path);

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& winPath);

class TIniFile : public TObject {
public:
    explicit TIniFile(std::string winPath) : path_(std::move(winPath)) {}
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const {
        return GetPrivateProfileString(section, key, def, path_);
    }
    const std::string& FileName() const { return path_; }

private:
    std::string path_;
};

} // namespace vx::platform
