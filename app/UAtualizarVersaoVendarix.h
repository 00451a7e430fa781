// The updater's window FAtualizarVersaoVendarix with its labels, gauge,
// timer, database connection, FTP client and archive component: window
// creation (configuration and connection), the one-shot timer that starts
// the run, and the one way the updater ends. The run itself (TUpdateRun) and
// the schema reconciliation (TSchemaReconciler) are units of their own that
// the window owns and calls.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/ProgressGauge.h"
#include "app/SchemaReconciler.h"
#include "app/UpdateRun.h"
#include "app/UpdateServices.h"
#include "app/UpdaterConfig.h"
#include "platform/SysUtils.h"
#include "platform/Window.h"

namespace vx::platform {
class TTimer;
}
namespace vx::db {
class TDatabase;
}

namespace vx::app {

using namespace vx::platform;

using vx::db::TDatabase;

// The window's stored layout: every value the window and its components are
// created with, in one declaration.
struct TLabelLayout {
    const char* Name;
    int Left, Top, Width, Height;
    const char* Caption; // UTF-8
    const char* FontName;
    int FontHeight; // character height in pixels
    bool Bold;
    TColor FontColor;
    bool Transparent;
};

struct TFormLayout {
    const char* Name;
    int Width, Height;   // outer size, frame included
    const char* Caption; // UTF-8
    TColor Color;
    const char* FontName;
    int FontHeight;
    TColor FontColor;
    TLabelLayout Label2;       // the red shadow, painted first
    TLabelLayout LAtualizando; // the blue text above it
    struct {
        int Left, Top, Width, Height;
        TColor ForeColor;
        TColor Color;
    } GTalvir;
    struct {
        const char* DatabaseName;
        const char* DriverName;
        bool LoginPrompt;
        const char* SessionName;
    } Database1;
    struct {
        bool Enabled; // the interval is not stored: the timer's 1000 ms apply
    } Timer1;
};
const TFormLayout& FormLayout();

// What the window is built with. Empty members take the shipped defaults.
struct TUpdaterSetup {
    TFtpSettings Ftp = CompiledFtpSettings();
    std::unique_ptr<IFtpService> FtpService;         // default: the window's FTP client
    std::unique_ptr<IArchiveService> ArchiveService; // default: the window's archive component
    // The machine as the run sees it; default: the platform's, starting the
    // program through StartProgram.
    std::unique_ptr<IRunEnvironment> Environment;
    std::function<unsigned(const std::string& cmdLine, int show)> StartProgram; // default: WinExec
    std::function<void()> Terminate; // default: the application's Terminate
    // Unattended, the updater ends with the run whatever its outcome.
    bool EndWhenRunEnds = false;
};

class TFAtualizarVersaoVendarix : public TComponent {
public:
    // Creates the window from its stored layout, then runs FormCreate; an
    // error there is shown by the default exception handler and the window
    // is created all the same.
    explicit TFAtualizarVersaoVendarix(TUpdaterSetup setup = {});
    ~TFAtualizarVersaoVendarix() override;

    // Shows the window centred on the screen, then runs FormShow.
    void Show();

    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void Timer1Timer(TObject* Sender);

    TRunState RunState() const;
    // 0 finished (program started), 1 stopped at the connection, 2 broken.
    int ExitCode() const;
    TFormWindow* Window() const;

    // Components of the window, named as in its layout.
    TLabelControl* Label2 = nullptr;
    TLabelControl* LAtualizando = nullptr;
    TProgressGauge* GTalvir = nullptr;
    std::unique_ptr<TDatabase> Database1;
    std::unique_ptr<TTimer> Timer1;

    IFtpService& FTPTalvir() { return *ftp_; }
    IArchiveService& ZipArchiver() { return *archive_; }
    TSchemaReconciler& Reconciler() { return *reconciler_; }
    TUpdateRun& Run() { return *run_; }

private:
    void createFromLayout();
    bool canClose() const;
    void runEnded();
    // The one way the window ends the updater: after a finished run, when
    // an unattended run has stopped or broken, and when the window is closed.
    void terminate();

    TUpdaterSetup setup_;
    std::unique_ptr<TFormWindow> form_; // parent of the labels and the gauge
    // The window's controls, gone before the window.
    std::unique_ptr<TLabelControl> label2_, lAtualizando_;
    std::unique_ptr<TProgressGauge> gTalvir_;
    std::unique_ptr<IProgressDisplay> gauge_; // GTalvir as the run sees it
    std::unique_ptr<IRunEnvironment> env_;
    std::unique_ptr<IFtpService> ftp_;
    std::unique_ptr<IArchiveService> archive_;
    std::unique_ptr<TSchemaReconciler> reconciler_;
    std::unique_ptr<TUpdateRun> run_;
    TRunState state_ = TRunState::Starting; // until the timer hands over to the run
    bool runStarted_ = false;
};

} // namespace vx::app
