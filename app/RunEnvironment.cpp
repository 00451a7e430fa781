#include "app/RunEnvironment.h"

#include <filesystem>
#include <system_error>

#include "app/UpdaterConfig.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "zip/ZATempName.h"

namespace vx::app {

using namespace vx::platform;
using namespace vx::zip;

void RemoveExtractionLeftovers() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Symbolic links are not followed into other folders: only what lies
    // below the shop's folder itself is the updater's to clean.
    fs::recursive_directory_iterator it(fs::current_path(ec), fs::directory_options::skip_permission_denied,
                                        ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (!za::IsExtractionTemporaryName(p.filename().string()))
            continue;
        if (fs::is_directory(fs::symlink_status(p, ec)))
            continue;
        fs::remove(p, ec);
        ec.clear();
    }
}

TPlatformRunEnvironment::TPlatformRunEnvironment(TStartProgram startProgram)
    : startProgram_(std::move(startProgram)) {}

IRunLog& TPlatformRunEnvironment::Log() {
    return log_;
}

void TPlatformRunEnvironment::SetCursor(int cursor) {
    Application()->SetCursor(cursor);
}

void TPlatformRunEnvironment::ShowMessage(const std::string& text) {
    vx::platform::ShowMessage(text);
}

bool TPlatformRunEnvironment::FileExists(const std::string& name) {
    return vx::platform::FileExists(name);
}

void TPlatformRunEnvironment::DeleteFile(const std::string& name) {
    vx::platform::DeleteFile(name);
}

void TPlatformRunEnvironment::RenameFile(const std::string& from, const std::string& to) {
    vx::platform::RenameFile(from, to);
}

void TPlatformRunEnvironment::RemoveExtractionLeftovers() {
    vx::app::RemoveExtractionLeftovers();
}

std::string TPlatformRunEnvironment::ReadSistemaVendarix() {
    return vx::app::ReadSistemaVendarix();
}

std::string TPlatformRunEnvironment::SigningKeyText() {
    return vx::app::SigningKeyText();
}

unsigned TPlatformRunEnvironment::StartProgram(const std::string& cmdLine, int show) {
    return startProgram_ ? startProgram_(cmdLine, show) : WinExec(cmdLine, show);
}

} // namespace vx::app
