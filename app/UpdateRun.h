// The update run: the fixed, unattended sequence that fetches the program and
// schema archives, keeps the backup of the program, extracts both archives,
// reconciles the database, removes the downloads and starts the new program.
// It knows no widgets and no operating system: the FTP client, the archive
// component, the reconciliation, the gauge and the machine (cursor, boxes,
// files, settings, program start) are reached through what its constructor
// is given, and the window is told through TRunHooks when the updater is to
// end.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/UpdateServices.h"
#include "app/VerifiedFtpService.h"
#include "platform/SysUtils.h"

namespace vx::app {

using namespace vx::platform;

class TSchemaReconciler;

enum class TRunState {
    Starting, // window being created
    Armed,    // shown, the timer is running
    Running,  // the run is under way
    Finished, // the program was started and the updater ends
    Stopped,  // the connection failed; nothing was touched
    Broken,   // an error ended the run
};

struct TRunHooks {
    // Asks the application to end (a finished run).
    std::function<void()> Terminate;
};

class TUpdateRun {
public:
    // Each must outlive the run.
    TUpdateRun(IRunEnvironment& env, IFtpService& ftp, IArchiveService& archive,
               TSchemaReconciler& reconciler, IProgressDisplay& gauge, TRunHooks hooks);

    // Runs Download once and records its outcome. An exception that escapes
    // the run ends it Broken and is passed on to the caller, whose default
    // handler shows it.
    void Execute();
    // The run's steps, from the hourglass to the start of the program.
    void Download();
    // The FTP client's progress event: the gauge follows the transfer.
    void FTPTalvirPacketRecvd(TObject* Sender);

    // Running until the run ends; then Finished, Stopped or Broken.
    TRunState State() const { return state_; }
    // 0 finished with the program started, 1 stopped at the connection, 2
    // broken or the program could not be started, 3 finished with the
    // program started but an archive refused for its signature.
    int ExitCode() const;

private:
    // Downloads one archive; false (after the failure's message, with the
    // backup put back and the failed file deleted) when it did not arrive.
    bool fetch(const std::string& remote, const std::string& local, const std::string& shownName);
    void deleteDownload(const std::string& name);
    // When the program's executable is missing under every letter case but
    // its backup is there, puts the backup back, so that no outcome of a
    // run leaves the shop without its program.
    void restoreProgramFromBackup();
    void extract(const std::string& archive);
    void recordInstalled();

    IRunEnvironment& env_;
    IFtpService& ftp_;
    IArchiveService& archive_;
    TSchemaReconciler& reconciler_;
    IProgressDisplay& gauge_;
    TRunHooks hooks_;
    TRunState state_ = TRunState::Running;
    bool programStarted_ = false;
    bool signatureRefused_ = false;
    // With the maker's key set, the archives come through this, which
    // fetches and checks each one's signature.
    std::unique_ptr<TVerifiedFtpService> verified_;
};

} // namespace vx::app
