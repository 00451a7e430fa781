#include "app/UAtualizarVersaoVendarix.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QWidget>

#include "db/DBTables.h"
#include "db/SqlScanner.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/Timer.h"

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

// The window itself. It has no border icons, so Esc and the window
// manager's close are the ways out once a run has stopped or broken; while
// the run is under way a close request is refused, since the run is in the
// middle of replacing the program.
class TFormWidget : public QWidget {
public:
    std::function<bool()> canClose;
    std::function<void()> closed;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Escape)
            close();
        else
            QWidget::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override {
        if (canClose && !canClose()) {
            e->ignore();
            return;
        }
        e->accept();
        if (closed)
            closed();
    }
};

namespace {

QString qs(const char* utf8) {
    return QString::fromUtf8(utf8);
}

void applyLabel(QLabel& label, const TLabelLayout& l, TColor formColor) {
    label.setObjectName(qs(l.Name));
    label.setGeometry(l.Left, l.Top, l.Width, l.Height);
    label.setText(qs(l.Caption));
    label.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label.setMargin(0);
    label.setIndent(0);
    QFont f(qs(l.FontName));
    f.setPixelSize(l.FontHeight);
    f.setBold(l.Bold);
    label.setFont(f);
    QPalette pal = label.palette();
    pal.setColor(QPalette::WindowText, ColorToQColor(l.FontColor));
    pal.setColor(QPalette::Window, ColorToQColor(formColor));
    label.setPalette(pal);
    label.setAutoFillBackground(!l.Transparent);
}

// A name built from the ini file is deleted only when it stays inside the
// working folder: a value with a drive, a root or ".." must not make the
// updater delete files elsewhere on the machine.
bool staysInWorkingFolder(const std::string& name) {
    if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

std::string fieldType(const std::string& tipo, bool mssql) {
    if (!mssql)
        return tipo;
    if (tipo == "TimeStamp" || tipo == "Time")
        return "DateTime";
    if (tipo == "Autoinc")
        return "Int";
    if (tipo == "Money")
        return "Float";
    return tipo;
}

} // namespace

void RestoreProgramFromBackup() {
    if (!FileExists("Vendarix.exe") && FileExists("Vendarix.bkp"))
        RenameFile("Vendarix.bkp", "Vendarix.exe");
}

TFAtualizarVersaoVendarix::TFAtualizarVersaoVendarix(TUpdaterSetup setup)
    : TComponent(nullptr), setup_(std::move(setup)) {
    SetName(FormLayout().Name);
    createFromLayout();
    Application()->Dispatch([this] { FormCreate(this); });
}

TFAtualizarVersaoVendarix::~TFAtualizarVersaoVendarix() {
    // The timer first, so that nothing fires into a half-destroyed window.
    Timer1.reset();
    tableReader_.reset();
}

void TFAtualizarVersaoVendarix::createFromLayout() {
    const TFormLayout& L = FormLayout();
    SetLoading(true);

    form_ = std::make_unique<TFormWidget>();
    form_->setObjectName(qs(L.Name));
    form_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    form_->setWindowTitle(qs(L.Caption));
    form_->resize(L.Width, L.Height);
    QFont font(qs(L.FontName));
    font.setPixelSize(L.FontHeight);
    form_->setFont(font);
    QPalette pal = form_->palette();
    pal.setColor(QPalette::Window, ColorToQColor(L.Color));
    pal.setColor(QPalette::WindowText, ColorToQColor(L.FontColor));
    form_->setPalette(pal);
    form_->setAutoFillBackground(true);
    form_->setFocusPolicy(Qt::StrongFocus);
    form_->canClose = [this] { return canClose(); };
    form_->closed = [this] {
        if (setup_.Terminate)
            setup_.Terminate();
        else
            Application()->Terminate();
    };

    // Created in painting order: the shadow below, the blue text above.
    Label2 = new QLabel(form_.get());
    applyLabel(*Label2, L.Label2, L.Color);
    LAtualizando = new QLabel(form_.get());
    applyLabel(*LAtualizando, L.LAtualizando, L.Color);

    GTalvir = new TProgressGauge(form_.get(), this);
    GTalvir->SetName("GTalvir");
    GTalvir->setObjectName("GTalvir");
    GTalvir->setGeometry(L.GTalvir.Left, L.GTalvir.Top, L.GTalvir.Width, L.GTalvir.Height);
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

    ftp_ = setup_.FtpService ? std::move(setup_.FtpService) : MakeFtpService(this, setup_.Ftp);
    ftp_->SetOnPacketRecvd([this](TObject* sender) { FTPTalvirPacketRecvd(sender); });
    archive_ = setup_.ArchiveService ? std::move(setup_.ArchiveService) : MakeArchiveService(this);
    if (!setup_.StartProgram)
        setup_.StartProgram = [](const std::string& cmd, int show) { return WinExec(cmd, show); };

    SetLoading(false);
}

QWidget* TFAtualizarVersaoVendarix::Window() const {
    return form_.get();
}

void TFAtualizarVersaoVendarix::Show() {
    const TFormLayout& L = FormLayout();
    form_->show();
    // The stored size is the outer size: take off the frame the window
    // manager put around the window, and centre the whole on the screen.
    const QSize frame = form_->frameGeometry().size() - form_->geometry().size();
    form_->resize(L.Width - frame.width(), L.Height - frame.height());
    if (QScreen* screen = form_->screen()) {
        const QRect s = screen->geometry();
        form_->move(s.left() + (s.width() - L.Width) / 2, s.top() + (s.height() - L.Height) / 2);
    }
    form_->activateWindow();
    form_->setFocus();
    FormShow(this);
}

void TFAtualizarVersaoVendarix::FormCreate(TObject*) {
    state_ = TRunState::Starting;
    const TIniFile ini(kIniFileName);
    UpdaterConfig cfg = ReadDatabaseConfig(ini);
    ConfigTipo() = cfg.Tipo;
    ConfigureConnection(*Database1, cfg);
    Database1->SetConnected(true);
}

void TFAtualizarVersaoVendarix::FormShow(TObject*) {
    form_->repaint();
    Application()->ProcessMessages();
    state_ = TRunState::Armed;
    Timer1->SetEnabled(true);
}

void TFAtualizarVersaoVendarix::Timer1Timer(TObject*) {
    // Disabled first: the run pumps messages during the transfers, and the
    // timer must not start it a second time.
    Timer1->SetEnabled(false);
    state_ = TRunState::Running;
    try {
        Download();
    } catch (...) {
        state_ = TRunState::Broken;
        RestoreProgramFromBackup();
        runEnded();
        throw;
    }
    runEnded();
}

void TFAtualizarVersaoVendarix::runEnded() {
    if (setup_.EndWhenRunEnds && (state_ == TRunState::Stopped || state_ == TRunState::Broken)) {
        if (setup_.Terminate)
            setup_.Terminate();
        else
            Application()->Terminate();
    }
}

bool TFAtualizarVersaoVendarix::canClose() const {
    return state_ != TRunState::Running;
}

int TFAtualizarVersaoVendarix::ExitCode() const {
    switch (state_) {
    case TRunState::Finished:
        return 0;
    case TRunState::Broken:
        return 2;
    default: // stopped, or closed before the run touched anything
        return 1;
    }
}

void TFAtualizarVersaoVendarix::fetch(const std::string& remote, const std::string& local,
                                      const std::string& shownName) {
    bool failed = false;
    try {
        ftp_->Download(remote, local);
    } catch (const std::exception&) {
        failed = true;
    }
    if (!failed)
        return;
    ShowMessage(Txt("Problemas ao descarregar arquivo ") + "\"" + shownName + "\"");
    RenameFile("Vendarix.bkp", "Vendarix.exe");
    ftp_->Disconnect();
}

void TFAtualizarVersaoVendarix::extract(const std::string& archive) {
    archive_->SetFileName(archive);
    archive_->OpenArchive();
    archive_->ExtractByMask("*.*", 0x28BF, "");
    archive_->CloseArchive();
}

void TFAtualizarVersaoVendarix::Download() {
    Application()->SetCursor(crHourGlass);

    bool connected = true;
    try {
        ftp_->Connect();
    } catch (const std::exception&) {
        connected = false;
    }
    if (!connected) {
        ShowMessage(Txt("Falha na conexão, verifique a conexão com a Internet e tente novamente."));
        state_ = TRunState::Stopped;
        Application()->SetCursor(crArrow);
        return;
    }

    const std::string sistema = ReadSistemaVendarix();
    // A backup with no program beside it is the program itself: an earlier
    // run was ended (killed, or the machine went down) while the program was
    // set aside. It goes back under its name instead of being deleted as
    // stale, which would leave the shop without any program.
    RestoreProgramFromBackup();
    if (FileExists("Vendarix.bkp"))
        DeleteFile("Vendarix.bkp");
    const std::string stale = sistema + ".zip";
    if (staysInWorkingFolder(stale) && FileExists(stale))
        DeleteFile(stale);
    if (FileExists("Vendarix.exe"))
        RenameFile("Vendarix.exe", "Vendarix.bkp");

    // The local name of the program archive is fixed, whatever the
    // configured system is called on the server.
    fetch("/Pagina/Download/" + sistema + ".zip", ".\\Vendarix.zip", sistema + ".zip");
    fetch("/Pagina/Download/TabelasTalvir.zip", ".\\TabelasTalvir.zip", "TabelasTalvir.zip");
    ftp_->Disconnect();

    extract(".\\Vendarix.zip");
    extract(".\\TabelasTalvir.zip");
    ConferirTabelas();

    if (FileExists("TabelasTalvir.zip"))
        DeleteFile("TabelasTalvir.zip");
    if (FileExists("Talvir.db"))
        DeleteFile("Talvir.db");
    if (FileExists("Vendarix.zip"))
        DeleteFile("Vendarix.zip");
    // The archive names the executable in capitals.
    RenameFile("VENDARIX.EXE", "Vendarix.exe");
    // A program archive without the executable must not leave the shop
    // without its program: the backup goes back before the start.
    RestoreProgramFromBackup();
    setup_.StartProgram("Vendarix.exe", SW_SHOW);
    Application()->SetCursor(crArrow);
    state_ = TRunState::Finished;
    if (setup_.Terminate)
        setup_.Terminate();
    else
        Application()->Terminate();
    Application()->SetCursor(crArrow);
}

void TFAtualizarVersaoVendarix::FTPTalvirPacketRecvd(TObject*) {
    if (ftp_->BytesTotal() != GTalvir->MaxValue())
        GTalvir->SetMaxValue(ftp_->BytesTotal());
    GTalvir->SetProgress(ftp_->BytesRecvd());
}

void TFAtualizarVersaoVendarix::ConferirTabelas() {
    TStringList tabelas;
    Database1->GetTableNames(tabelas, false);
    TStringList campos;

    const std::string dbName = FormLayout().Database1.DatabaseName;
    auto comando = std::make_unique<TQuery>(this);
    comando->SetDatabaseName(dbName);
    if (!tableReader_)
        tableReader_ = std::make_unique<TTable>(this);
    tableReader_->SetDatabaseName(dbName);
    // These two read the schema table among the local tables of the
    // working folder, where it was extracted.
    auto linhas = std::make_unique<TQuery>(this);
    auto nomes = std::make_unique<TQuery>(this);
    nomes->SQL().Clear();
    nomes->SQL().Add("SELECT Tabela FROM Talvir GROUP BY Tabela");
    nomes->Open();

    const bool mssql = ConfigTipo() == "MSSQL";
    while (!nomes->Eof()) {
        const std::string t = nomes->FieldByName("Tabela");
        bool found = false;
        GTalvir->SetMaxValue(tabelas.Count());
        for (const std::string& n : tabelas) {
            // The server lists its tables with the owner in front ("dbo.").
            const std::string_view key = !mssql         ? std::string_view(n)
                                         : n.size() > 4 ? std::string_view(n).substr(4)
                                                        : std::string_view();
            if (SameText(key, t)) {
                found = true;
                break;
            }
            GTalvir->AddProgress(1);
        }

        linhas->SQL().Clear();
        linhas->SQL().Add("SELECT * FROM Talvir WHERE Tabela = " + SqlQuoteLiteral(t));
        linhas->Open();

        if (!found) {
            comando->SQL().Clear();
            if (t == "ComissaoVendedores") {
                comando->SQL().Add("CREATE TABLE ComissaoVendedores (Vendedor Varchar(2), Desconto Float, "
                                   "PRIMARY KEY(Vendedor, Desconto))");
            } else {
                const std::string c = linhas->FieldByName("Campo");
                const std::string y = fieldType(linhas->FieldByName("Tipo"), mssql);
                comando->SQL().Add("CREATE TABLE " + t + " (");
                comando->SQL().Add(c + " " + y + ", PRIMARY KEY(" + c + "))");
            }
            bool created = true;
            try {
                comando->ExecSQL();
            } catch (const std::exception&) {
                created = false;
            }
            if (!created)
                ShowMessage("Problemas ao criar tabela " + t);
        }

        tableReader_->SetTableName(t);
        tableReader_->Open();
        campos.Clear();
        for (int i = 0; i < tableReader_->FieldCount(); ++i)
            campos.Add(tableReader_->FieldName(i));
        tableReader_->Close();

        while (!linhas->Eof()) {
            const std::string campo = linhas->FieldByName("Campo");
            bool present = false;
            for (const std::string& f : campos) {
                if (SameText(f, campo)) {
                    present = true;
                    break;
                }
            }
            if (!present) {
                comando->SQL().Clear();
                comando->SQL().Add("ALTER TABLE " + t);
                comando->SQL().Add(" ADD " + campo + " " + fieldType(linhas->FieldByName("Tipo"), mssql));
                comando->ExecSQL();
                if (t == "Cad_Clientes" && campo == "MalaDireta") {
                    comando->SQL().Clear();
                    comando->SQL().Add("UPDATE Cad_Clientes SET MalaDireta = 'T' WHERE MalaDireta IS NULL");
                    comando->ExecSQL();
                }
            }
            linhas->Next();
        }
        nomes->Next();
    }
    nomes->Close();
}
