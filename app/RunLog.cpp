#include "app/RunLog.h"

#include <ctime>

#include "platform/Files.h"

namespace vx::app {

using namespace vx::platform;

namespace RunLog {
namespace {

std::string stamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    // One thread writes the log (the user-interface thread), so the shared
    // buffer of localtime is not raced.
    if (const std::tm* t = std::localtime(&now))
        local = *t;
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

std::string oneLine(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return s;
}

// Keeps the newer half of a log that reached its bound, from a line start.
void trim(size_t adding) {
    const int64_t size = FileSizeOf(kFileName);
    if (size < 0 || static_cast<uint64_t>(size) + adding < kMaxBytes)
        return;
    std::string old;
    if (!ReadSmallFile(kFileName, 4 * kMaxBytes, old)) {
        // Larger than any log this code writes, or not a plain file: a log
        // that cannot be trimmed is started afresh rather than left to grow.
        if (FileExists(kFileName))
            WriteFileDurably(kFileName, "");
        return;
    }
    if (old.size() <= kMaxBytes / 2)
        return;
    size_t from = old.size() - kMaxBytes / 2;
    size_t nl = old.find('\n', from);
    from = nl == std::string::npos ? old.size() : nl + 1;
    WriteFileDurably(kFileName, old.substr(from));
}

} // namespace

void Write(const std::string& text) {
    try {
        std::string line = stamp() + " " + oneLine(text) + "\r\n";
        trim(line.size());
        AppendToFile(kFileName, line);
    } catch (...) {
        // The log is a help, never a reason for the update to stop.
    }
}

} // namespace RunLog

} // namespace vx::app
