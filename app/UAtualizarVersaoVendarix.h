// The updater's window and its run: the window FAtualizarVersaoVendarix
// with its labels, gauge, timer, database connection, FTP client and
// archive component; window creation (configuration and connection), the
// one-shot timer that starts the run, the run itself and the schema
// reconciliation.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/ProgressGauge.h"
#include "app/UpdateServices.h"
#include "app/UpdaterConfig.h"
#include "platform/SysUtils.h"

class QLabel;
class QWidget;
class TDatabase;
class TTable;
class TTimer;
class TFormWidget;

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

enum class TRunState {
    Starting, // window being created
    Armed,    // shown, the timer is running
    Running,  // the run is under way
    Finished, // the program was started and the updater ends
    Stopped,  // the connection failed; nothing was touched
    Broken,   // an error ended the run
};

// What the window is built with. Empty members take the shipped defaults.
struct TUpdaterSetup {
    TFtpSettings Ftp = CompiledFtpSettings();
    std::unique_ptr<IFtpService> FtpService;         // default: the window's FTP client
    std::unique_ptr<IArchiveService> ArchiveService; // default: the window's archive component
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
    void Download();
    void ConferirTabelas();
    void FTPTalvirPacketRecvd(TObject* Sender);

    TRunState RunState() const { return state_; }
    // 0 finished (program started), 1 stopped at the connection, 2 broken.
    int ExitCode() const;
    QWidget* Window() const;

    // Components of the window, named as in its layout.
    QLabel* Label2 = nullptr;
    QLabel* LAtualizando = nullptr;
    TProgressGauge* GTalvir = nullptr;
    std::unique_ptr<TDatabase> Database1;
    std::unique_ptr<TTimer> Timer1;

    IFtpService& FTPTalvir() { return *ftp_; }
    IArchiveService& ZipArchiver() { return *archive_; }

private:
    void createFromLayout();
    void fetch(const std::string& remote, const std::string& local, const std::string& shownName);
    void extract(const std::string& archive);
    bool canClose() const;
    void runEnded();

    TUpdaterSetup setup_;
    std::unique_ptr<TFormWidget> form_; // parent of the labels and the gauge
    std::unique_ptr<IFtpService> ftp_;
    std::unique_ptr<IArchiveService> archive_;
    std::unique_ptr<TTable> tableReader_; // lives with the window once made
    TRunState state_ = TRunState::Starting;
};

// When the program's executable is missing under every letter case but its
// backup is there, puts the backup back, so that no outcome of a run leaves
// the shop without its program.
void RestoreProgramFromBackup();
