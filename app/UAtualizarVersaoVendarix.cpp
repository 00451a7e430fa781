#include "app/UAtualizarVersaoVendarix.h"

#include "app/RunEnvironment.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Profile.h"
#include "platform/Timer.h"

namespace vx::app {

using namespace vx::platform;
using namespace vx::db;

const TFormLayout& FormLayout() {
    static const TFormLayout layout{
        .Name = "FAtualizarVersaoVendarix",
        .Width = 368,
        .Height = 151,
        .Caption = "Atualizar versão Vendarix v 2.1",
        .Color = clBtnFace,
        .FontName = "MS Sans Serif",
        .FontHeight = 11,
        .FontColor = clWindowText,
        .Label2 = {"Label2", 48, 19, 267, 32, "Atualizando versão", "Bookman Old Style", 27, true, clRed,
                   false},
        .LAtualizando = {"LAtualizando", 47, 18, 267, 32, "Atualizando versão", "Bookman Old Style", 27, true,
                         clBlue, true},
        .GTalvir = {16, 72, 329, 17, clBlue, clBtnFace},
        .Database1 = {"Confeccao", "STANDARD", false, "Default"},
        .Timer1 = {false},
    };
    return layout;
}

namespace {

TLabelStyle labelStyle(const TLabelLayout& l, TColor formColor) {
    return {l.Caption, {l.FontName, l.FontHeight, l.Bold}, l.FontColor, formColor, l.Transparent};
}

void place(TWindowControl& c, const TLabelLayout& l) {
    c.SetName(l.Name);
    c.SetBounds(l.Left, l.Top, l.Width, l.Height);
}

// GTalvir as the run and the reconciliation see it.
class TGaugeDisplay : public IProgressDisplay {
public:
    explicit TGaugeDisplay(TProgressGauge& g) : g_(g) {}
    int32_t MaxValue() const override { return g_.MaxValue(); }
    void SetMaxValue(int32_t v) override { g_.SetMaxValue(v); }
    int32_t Progress() const override { return g_.Progress(); }
    void SetProgress(int32_t v) override { g_.SetProgress(v); }
    void AddProgress(int32_t delta) override { g_.AddProgress(delta); }

private:
    TProgressGauge& g_;
};

} // namespace

TFAtualizarVersaoVendarix::TFAtualizarVersaoVendarix(TUpdaterSetup setup)
    : TComponent(nullptr), setup_(std::move(setup)) {
    SetName(FormLayout().Name);
    createFromLayout();
    Application()->Dispatch([this] { FormCreate(this); });
}

TFAtualizarVersaoVendarix::~TFAtualizarVersaoVendarix() {
    // The timer first, so that nothing fires into a half-destroyed window.
    Timer1.reset();
    run_.reset();
    reconciler_.reset();
}

void TFAtualizarVersaoVendarix::createFromLayout() {
    const TFormLayout& L = FormLayout();
    SetLoading(true);

    // No border icons: Esc and the window manager's close are the ways out
    // once a run has stopped or broken; while the run is under way a close
    // request is refused, since the run is in the middle of replacing the
    // program.
    form_ = std::make_unique<TFormWindow>();
    form_->SetName(L.Name);
    form_->SetCaption(L.Caption);
    form_->Resize(L.Width, L.Height);
    form_->SetFont({L.FontName, L.FontHeight, false});
    form_->SetColor(L.Color);
    form_->SetFontColor(L.FontColor);
    form_->OnCloseQuery = [this] { return canClose(); };
    form_->OnClose = [this] { terminate(); };

    // Created in painting order: the shadow below, the blue text above.
    label2_ = std::make_unique<TLabelControl>(*form_, labelStyle(L.Label2, L.Color));
    place(*label2_, L.Label2);
    Label2 = label2_.get();
    lAtualizando_ = std::make_unique<TLabelControl>(*form_, labelStyle(L.LAtualizando, L.Color));
    place(*lAtualizando_, L.LAtualizando);
    LAtualizando = lAtualizando_.get();

    gTalvir_ = std::make_unique<TProgressGauge>(form_.get(), this);
    GTalvir = gTalvir_.get();
    GTalvir->SetName("GTalvir");
    GTalvir->Control().SetName("GTalvir");
    GTalvir->SetBounds(L.GTalvir.Left, L.GTalvir.Top, L.GTalvir.Width, L.GTalvir.Height);
    GTalvir->SetForeColor(L.GTalvir.ForeColor);
    GTalvir->SetColor(L.GTalvir.Color);

    Database1 = std::make_unique<TDatabase>(this);
    Database1->SetName("Database1");
    Database1->SetDatabaseName(L.Database1.DatabaseName);
    Database1->SetDriverName(L.Database1.DriverName);
    Database1->SetLoginPrompt(L.Database1.LoginPrompt);
    Database1->SetSessionName(L.Database1.SessionName);

    Timer1 = std::make_unique<TTimer>(this);
    Timer1->SetName("Timer1");
    Timer1->SetEnabled(L.Timer1.Enabled);
    Timer1->SetOnTimer([this](TObject* sender) { Application()->Dispatch([&] { Timer1Timer(sender); }); });

    gauge_ = std::make_unique<TGaugeDisplay>(*GTalvir);
    // The environment first: the FTP client writes to its run log.
    env_ = setup_.Environment ? std::move(setup_.Environment)
                              : std::make_unique<TPlatformRunEnvironment>(setup_.StartProgram);
    ftp_ = setup_.FtpService ? std::move(setup_.FtpService) : MakeFtpService(this, setup_.Ftp, env_->Log());
    archive_ = setup_.ArchiveService ? std::move(setup_.ArchiveService) : MakeArchiveService(this);
    // The kind is read from the ini file by FormCreate.
    reconciler_ = std::make_unique<TSchemaReconciler>(this, *Database1, *gauge_, *env_, std::string());
    run_ = std::make_unique<TUpdateRun>(*env_, *ftp_, *archive_, *reconciler_, *gauge_,
                                        TRunHooks{[this] { terminate(); }});
    ftp_->SetOnPacketRecvd([this](TObject* sender) { run_->FTPTalvirPacketRecvd(sender); });

    SetLoading(false);
}

TFormWindow* TFAtualizarVersaoVendarix::Window() const {
    return form_.get();
}

void TFAtualizarVersaoVendarix::Show() {
    // The stored size is the outer size, frame included.
    form_->ShowCentred(FormLayout().Width, FormLayout().Height);
    FormShow(this);
}

void TFAtualizarVersaoVendarix::FormCreate(TObject*) {
    state_ = TRunState::Starting;
    const TIniFile ini(kIniFileName);
    UpdaterConfig cfg = ReadDatabaseConfig(ini);
    reconciler_->SetDatabaseKind(cfg.Tipo);
    ConfigureConnection(*Database1, cfg);
    Database1->SetConnected(true);
}

void TFAtualizarVersaoVendarix::FormShow(TObject*) {
    form_->Repaint();
    Application()->ProcessMessages();
    state_ = TRunState::Armed;
    Timer1->SetEnabled(true);
}

void TFAtualizarVersaoVendarix::Timer1Timer(TObject*) {
    // Disabled first: the run pumps messages during the transfers, and the
    // timer must not start it a second time.
    Timer1->SetEnabled(false);
    runStarted_ = true;
    // Everything in force for this run, the password excepted.
    const TFtpSettings& f = setup_.Ftp;
    const std::string tls =
        f.Tls.empty() ? std::string()
                      : ", TLS trusting " + (f.CaFile.empty() ? "the system's certificates" : f.CaFile);
    IRunLog& log = env_->Log();
    log.Write("begin: server " + f.Host + ":" + std::to_string(f.Port) + ", user " + f.User +
              (f.Passive ? ", passive" : ", active") + ", time-out " + std::to_string(f.TimeoutMs) + " ms" +
              tls + ", least rate " + std::to_string(f.MinRate) + " bytes/s over " +
              std::to_string(f.RateWindowS) + " s" + ", database " + reconciler_->DatabaseKind());
    try {
        run_->Execute();
    } catch (const std::exception& e) {
        log.Write(std::string("error: ") + e.what());
        runEnded();
        throw;
    } catch (...) {
        runEnded();
        throw;
    }
    runEnded();
}

TRunState TFAtualizarVersaoVendarix::RunState() const {
    return runStarted_ ? run_->State() : state_;
}

void TFAtualizarVersaoVendarix::runEnded() {
    const TRunState s = RunState();
    const char* outcome = s == TRunState::Finished  ? "finished"
                          : s == TRunState::Stopped ? "stopped at the connection"
                                                    : "broken";
    env_->Log().Write(std::string("end: ") + outcome + ", exit status " + std::to_string(ExitCode()));
    if (setup_.EndWhenRunEnds && (s == TRunState::Stopped || s == TRunState::Broken))
        terminate();
}

void TFAtualizarVersaoVendarix::terminate() {
    if (setup_.Terminate)
        setup_.Terminate();
    else
        Application()->Terminate();
}

bool TFAtualizarVersaoVendarix::canClose() const {
    return RunState() != TRunState::Running;
}

int TFAtualizarVersaoVendarix::ExitCode() const {
    // Closed before the run began: nothing was touched.
    return runStarted_ ? run_->ExitCode() : 1;
}

} // namespace vx::app
