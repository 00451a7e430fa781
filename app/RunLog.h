// The run log: what each run of the updater did, one line per event with
// the local time, appended to AtualizarVendarix.log in the shop's folder, so
// that when a shop calls, someone can tell what the last runs did and why
// they ended as they did. The log is kept under 1 MiB by dropping its older
// half. A log that cannot be written never stops the update: every call
// here swallows its failures.
#pragma once

#include <cstdint>
#include <string>

#include "app/UpdateServices.h"

namespace vx::app {

namespace RunLog {

inline constexpr const char* kFileName = "AtualizarVendarix.log";
inline constexpr uint64_t kMaxBytes = 1024 * 1024;

// Appends one line, "YYYY-MM-DD HH:MM:SS <text>", text in CP1252. Line
// breaks inside the text become spaces: one event is one line, whatever a
// server or an archive put in a message.
void Write(const std::string& text);

} // namespace RunLog

// The run log as the shipped updater keeps it: the file above.
class TFileRunLog : public IRunLog {
public:
    void Write(const std::string& text) override { RunLog::Write(text); }
};

} // namespace vx::app
