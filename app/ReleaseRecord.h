// The record of the releases installed: for each archive the updater
// fetches, by its file name on the server, the signing time of the last one
// it installed. A signed archive older than that is refused, so that a
// server that replays an earlier release, signed and intact, cannot take the
// shop back to a program with known faults.
//
// The file, AtualizarVendarix.estado in the shop's folder, is text:
//   AtualizarVendarix estado 1
//   <seconds> <file name>
//   ...
// It is written whole beside itself and renamed into place, so a kill leaves
// the old record or the new one. A record that is missing starts from
// nothing; one that does not read as above is treated as missing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vx::app {

class TReleaseRecord {
public:
    static constexpr const char* kFileName = "AtualizarVendarix.estado";
    static constexpr size_t kMaxBytes = 64 * 1024;

    enum class TLoad { Read, Missing, Damaged };

    // Reads the record of the working folder; the outcome says whether it
    // was there and whole.
    TLoad Load();
    // The signing time of the last installed archive of that name.
    std::optional<int64_t> Installed(const std::string& file) const;
    void SetInstalled(const std::string& file, int64_t timestamp);
    // Writes the record; false when it could not be written.
    bool Save() const;

    // The record's text and its reading, apart from the file.
    std::string Text() const;
    bool Parse(const std::string& text);

private:
    std::map<std::string, int64_t> installed_;
};

} // namespace vx::app
