// The machine as the shipped updater gives it to the run: the application's
// cursor and dialog layer, the files of the working folder, the ini file and
// the signing key setting, and the program start, each reached through the
// platform layer, and the run log file of the working folder.
#pragma once

#include <functional>
#include <string>

#include "app/RunLog.h"
#include "app/UpdateServices.h"

namespace vx::app {

class TPlatformRunEnvironment : public IRunEnvironment {
public:
    using TStartProgram = std::function<unsigned(const std::string& cmdLine, int show)>;
    // startProgram replaces the platform's program start when given.
    explicit TPlatformRunEnvironment(TStartProgram startProgram = {});

    IRunLog& Log() override;
    void SetCursor(int cursor) override;
    void ShowMessage(const std::string& text) override;
    bool FileExists(const std::string& name) override;
    void DeleteFile(const std::string& name) override;
    void RenameFile(const std::string& from, const std::string& to) override;
    void RemoveExtractionLeftovers() override;
    std::string ReadSistemaVendarix() override;
    std::string SigningKeyText() override;
    unsigned StartProgram(const std::string& cmdLine, int show) override;

private:
    TStartProgram startProgram_;
    TFileRunLog log_;
};

// Removes the temporaries that an extraction killed before renaming them
// into place left in the working folder and the folders below it. Only the
// updater's own names go; anything else that merely looks alike stays.
void RemoveExtractionLeftovers();

} // namespace vx::app
