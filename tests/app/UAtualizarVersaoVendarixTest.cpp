// The update run end to end with scripted FTP and archive peers, real files
// in a private working folder and real local tables for the shop's
// database: every outcome of the run, what it leaves in the folder, its
// messages, the cursor and whether the program is started.
#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>

#include <gtest/gtest.h>

#include "app/UAtualizarVersaoVendarix.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Text.h"
#include "platform/Timer.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestDialogs.h"

namespace {

using Names = std::vector<std::string>;

const std::string kProgramRemote = "/Pagina/Download/Vendarix.zip";
const std::string kSchemaRemote = "/Pagina/Download/TabelasTalvir.zip";

struct Started {
    std::string cmd;
    int show;
    std::string program; // Vendarix.exe's content at that moment
};

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestDialogs().Reset();
        Application()->SetCursor(crDefault);
        dados = aside.path().toStdString() + "/dados";
        std::filesystem::create_directories(dados);
        staging = aside.path().toStdString();
        MakeSchemaTable(staging, {{"Cad_Clientes", "Codigo", "Integer"},
                                  {"Cad_Clientes", "Nome", "Varchar(40)"},
                                  {"Cad_Clientes", "MalaDireta", "Char(1)"}});
        writeIni("Vendarix");
        work.Write("Vendarix.exe", "old program");
    }

    void writeIni(const std::string& sistema, bool withSistema = true) {
        std::string ini = "[BDados]\r\nTipo=Standard\r\nCaminho=" + dados + "\r\n";
        if (withSistema)
            ini += "SistemaVendarix=" + sistema + "\r\n";
        work.Write("Brevanto.ini", ini);
    }

    std::unique_ptr<TFAtualizarVersaoVendarix> makeForm(bool endWhenRunEnds = false) {
        TUpdaterSetup s;
        auto f = std::make_unique<TScriptedFtp>(log);
        ftp = f.get();
        ftp->Files[kProgramRemote] = ArchiveOf({{"VENDARIX.EXE", "=new program"}});
        ftp->Files[kSchemaRemote] = ArchiveOf({{"Talvir.db", "<" + staging + "/Talvir.db"}});
        s.FtpService = std::move(f);
        s.ArchiveService = std::make_unique<TScriptedArchive>(log);
        s.StartProgram = [this](const std::string& cmd, int show) {
            started.push_back({cmd, show, work.Read("Vendarix.exe")});
            return 33u;
        };
        s.Terminate = [this] { ++terminations; };
        s.EndWhenRunEnds = endWhenRunEnds;
        return std::make_unique<TFAtualizarVersaoVendarix>(std::move(s));
    }

    // Shows the window and lets its timer start the run, as the message
    // loop would; the timer's interval is shortened to keep the test fast.
    static void run(TFAtualizarVersaoVendarix& form) {
        form.Timer1->SetInterval(1);
        form.Show();
        const bool ended = Application()->WaitUntilFor(
            [&] {
                const TRunState s = form.RunState();
                return s == TRunState::Finished || s == TRunState::Stopped || s == TRunState::Broken;
            },
            10000);
        ASSERT_TRUE(ended);
    }

    static Names count(const TCallLog& log, const std::string& prefix) {
        Names r;
        for (const auto& l : log)
            if (l.rfind(prefix, 0) == 0)
                r.push_back(l);
        return r;
    }

    QTemporaryDir aside; // the shop's tables and the schema table's source
    std::string dados, staging;
    TWorkFolder work;
    TCallLog log;
    TScriptedFtp* ftp = nullptr;
    std::vector<Started> started;
    int terminations = 0;
};

const Names kExtractBoth = {
    "SetFileName .\\Vendarix.zip",      "OpenArchive", "ExtractByMask *.* 28BF []", "CloseArchive",
    "SetFileName .\\TabelasTalvir.zip", "OpenArchive", "ExtractByMask *.* 28BF []", "CloseArchive"};

Names archiveCalls(const TCallLog& log) {
    Names r;
    for (const auto& l : log)
        if (l.rfind("SetFileName", 0) == 0 || l == "OpenArchive" || l.rfind("Extract", 0) == 0 ||
            l == "CloseArchive")
            r.push_back(l);
    return r;
}

TEST_F(UpdateRunTest, ReplacesTheProgramReconcilesAndStartsIt) {
    work.Write("Vendarix.bkp", "stale backup");
    work.Write("Vendarix.zip", "stale archive");
    auto form = makeForm();
    run(*form);

    EXPECT_EQ(form->RunState(), TRunState::Finished);
    EXPECT_TRUE(TestDialogs().Texts().empty());
    EXPECT_EQ(log, (Names{"Connect", "Download " + kProgramRemote + " .\\Vendarix.zip",
                          "Download " + kSchemaRemote + " .\\TabelasTalvir.zip", "Disconnect",
                          kExtractBoth[0], kExtractBoth[1], kExtractBoth[2], kExtractBoth[3], kExtractBoth[4],
                          kExtractBoth[5], kExtractBoth[6], kExtractBoth[7]}));
    // The stale backup gave way to the real one; the capital name from the
    // archive became the usual one; the downloads and Talvir.db are gone.
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.bkp", "Vendarix.exe"}));
    EXPECT_EQ(work.Read("Vendarix.bkp"), "old program");
    EXPECT_EQ(work.Read("Vendarix.exe"), "new program");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].cmd, "Vendarix.exe");
    EXPECT_EQ(started[0].show, 5);
    EXPECT_EQ(started[0].program, "new program");
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(Application()->Cursor(), crArrow);
    EXPECT_EQ(form->ExitCode(), 0);
    EXPECT_EQ(FieldsOf(dados, "Cad_Clientes"), (Names{"Codigo", "Nome", "MalaDireta"}));
}

TEST_F(UpdateRunTest, UnreachableServerStopsWithOneMessageAndTouchesNothing) {
    work.Write("Vendarix.bkp", "backup");
    const auto before = work.Snapshot();
    auto form = makeForm();
    ftp->ConnectFails = true;
    run(*form);

    EXPECT_EQ(form->RunState(), TRunState::Stopped);
    EXPECT_EQ(TestDialogs().Texts(),
              Names{Txt("Falha na conexão, verifique a conexão com a Internet e tente novamente.")});
    const auto& box = TestDialogs().shown[0].request;
    EXPECT_EQ(box.title, Application()->Title());
    EXPECT_EQ(box.icon, TDialogIcon::None);
    EXPECT_EQ(log, Names{"Connect"});
    EXPECT_EQ(work.Snapshot(), before);
    EXPECT_EQ(Application()->Cursor(), crArrow);
    EXPECT_TRUE(form->Window()->isVisible());
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(form->ExitCode(), 1);
}

TEST_F(UpdateRunTest, UnattendedTheUpdaterEndsWithTheStoppedRun) {
    auto form = makeForm(true);
    ftp->ConnectFails = true;
    run(*form);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form->ExitCode(), 1);
}

TEST_F(UpdateRunTest, MissingProgramArchiveRestoresTheBackupAtOnceAndStartsTheOldProgram) {
    // Without SistemaVendarix the default name is asked for, and named in the message.
    writeIni("", false);
    auto form = makeForm();
    bool programBackBeforeSchema = false;
    ftp->OnDownload = [&](const std::string& remote) {
        if (remote == kSchemaRemote)
            programBackBeforeSchema = work.Read("Vendarix.exe") == "old program" && !work.Has("Vendarix.bkp");
    };
    run(*form);

    const std::string invalido = Txt("Inválido");
    EXPECT_EQ(log[1], "Download /Pagina/Download/" + invalido + ".zip .\\Vendarix.zip");
    EXPECT_EQ(TestDialogs().Texts(), Names{Txt("Problemas ao descarregar arquivo \"") + invalido + ".zip\""});
    EXPECT_TRUE(programBackBeforeSchema);
    EXPECT_EQ(count(log, "Disconnect").size(), 2u);
    // The never-created program archive opened as an empty one and was
    // removed with the others.
    EXPECT_EQ(archiveCalls(log), kExtractBoth);
    EXPECT_EQ(form->RunState(), TRunState::Finished);
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
}

TEST_F(UpdateRunTest, MissingSchemaArchiveEndsBrokenAfterExtractingTheProgram) {
    auto form = makeForm();
    ftp->Files.erase(kSchemaRemote);
    run(*form);

    EXPECT_EQ(form->RunState(), TRunState::Broken);
    const Names texts = TestDialogs().Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], Txt("Problemas ao descarregar arquivo \"TabelasTalvir.zip\""));
    // The reconciliation finds no Talvir.db: the engine's error in the
    // default handler's box.
    EXPECT_EQ(TestDialogs().shown[1].request.icon, TDialogIcon::Error);
    EXPECT_FALSE(texts[1].empty());
    // The backup went back and the program archive was extracted over it.
    EXPECT_EQ(work.Read("Vendarix.exe"), "new program");
    EXPECT_FALSE(work.Has("Vendarix.bkp"));
    EXPECT_TRUE(work.Has("Vendarix.zip"));
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(Application()->Cursor(), crHourGlass);
    EXPECT_TRUE(form->Window()->isVisible());
    EXPECT_EQ(form->ExitCode(), 2);
}

TEST_F(UpdateRunTest, BothDownloadsFailing) {
    auto form = makeForm(true);
    ftp->Files.clear();
    run(*form);

    const Names texts = TestDialogs().Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], Txt("Problemas ao descarregar arquivo \"Vendarix.zip\""));
    EXPECT_EQ(texts[1], Txt("Problemas ao descarregar arquivo \"TabelasTalvir.zip\""));
    EXPECT_EQ(count(log, "Disconnect").size(), 3u);
    // The second rename found no backup; the old program is in place.
    EXPECT_EQ(work.Read("Vendarix.exe"), "old program");
    EXPECT_FALSE(work.Has("Vendarix.bkp"));
    EXPECT_EQ(form->RunState(), TRunState::Broken);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form->ExitCode(), 2);
}

TEST_F(UpdateRunTest, NoProgramAtStartMakesNoBackup) {
    std::filesystem::remove(work.Path() + "/Vendarix.exe");
    auto form = makeForm();
    run(*form);
    EXPECT_EQ(form->RunState(), TRunState::Finished);
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    EXPECT_EQ(work.Read("Vendarix.exe"), "new program");
}

TEST_F(UpdateRunTest, ReconciliationErrorLeavesTheFilesAndStartsNothing) {
    std::filesystem::remove(staging + "/Talvir.db");
    MakeSchemaTable(staging, {{"Cad_Produtos", "Codigo", "Integer"},
                              {"Cad_Produtos", "Preco", "Float"},
                              {"Cad_Produtos", "Preco", "Float"}});
    auto form = makeForm();
    run(*form);

    EXPECT_EQ(form->RunState(), TRunState::Broken);
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().shown[0].request.icon, TDialogIcon::Error);
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "TabelasTalvir.zip", "Talvir.db", "VENDARIX.EXE",
                                   "Vendarix.bkp", "Vendarix.zip"}));
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(Application()->Cursor(), crHourGlass);
    // The statements before the error stay in effect.
    EXPECT_EQ(FieldsOf(dados, "Cad_Produtos"), (Names{"Codigo", "Preco"}));
}

TEST_F(UpdateRunTest, ProgramArchiveWithoutTheProgramPutsTheBackupBackBeforeTheStart) {
    auto form = makeForm();
    ftp->Files[kProgramRemote] = ArchiveOf({{"LEIAME.TXT", "=notes"}});
    run(*form);
    EXPECT_EQ(form->RunState(), TRunState::Finished);
    EXPECT_FALSE(work.Has("Vendarix.bkp"));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
}

TEST_F(UpdateRunTest, BrokenRunWithoutAProgramPutsTheBackupBack) {
    // A program archive of 0 bytes cannot be opened.
    auto form = makeForm();
    ftp->Files[kProgramRemote] = "";
    run(*form);
    EXPECT_EQ(form->RunState(), TRunState::Broken);
    EXPECT_EQ(work.Read("Vendarix.exe"), "old program");
    EXPECT_FALSE(work.Has("Vendarix.bkp"));
    EXPECT_TRUE(started.empty());
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().Texts()[0], "ZipArchiver: Archive is corrupted.");
}

TEST_F(UpdateRunTest, StaleArchiveOfTheSystemIsDeletedOnlyInsideTheFolder) {
    writeIni("Loja");
    work.Write("Loja.zip", "stale");
    auto form = makeForm();
    ftp->Files["/Pagina/Download/Loja.zip"] = ftp->Files[kProgramRemote];
    run(*form);
    EXPECT_EQ(log[1], "Download /Pagina/Download/Loja.zip .\\Vendarix.zip");
    EXPECT_FALSE(work.Has("Loja.zip"));

    // A name that climbs out of the folder is not deleted there.
    form.reset();
    TestDialogs().Reset();
    log.clear();
    std::ofstream(aside.path().toStdString() + "/fora.zip") << "keep";
    writeIni("..\\" + std::filesystem::path(aside.path().toStdString()).filename().string() + "\\fora");
    auto second = makeForm();
    run(*second);
    EXPECT_TRUE(std::filesystem::exists(aside.path().toStdString() + "/fora.zip"));
}

TEST_F(UpdateRunTest, PacketsMoveTheGauge) {
    auto form = makeForm();
    TProgressGauge& g = *form->GTalvir;
    ftp->Files["/a"] = std::string(400, 'x');
    ftp->BlockSize = 100;
    const int repaints = g.RepaintCount();
    ftp->Download("/a", ".\\a.bin");
    EXPECT_EQ(g.MaxValue(), 400);
    EXPECT_EQ(g.Progress(), 400);
    // The new maximum, then 25, 50, 75 and 100 %.
    EXPECT_EQ(g.RepaintCount() - repaints, 5);

    // A transfer whose size was not announced holds the gauge at 0.
    ftp->Files["/b"] = "abc";
    ftp->Announced["/b"] = 0;
    ftp->Download("/b", ".\\b.bin");
    EXPECT_EQ(g.MaxValue(), 0);
    EXPECT_EQ(g.Progress(), 0);
    EXPECT_EQ(g.PercentDone(), 0);
}

TEST_F(UpdateRunTest, NegativeSizeRaisesIntoTheDownload) {
    auto form = makeForm();
    ftp->Announced[kProgramRemote] = -1;
    run(*form);
    const Names texts = TestDialogs().Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], Txt("Problemas ao descarregar arquivo \"Vendarix.zip\""));
}

TEST_F(UpdateRunTest, WindowClosesWithEscapeOnlyAfterTheRun) {
    auto form = makeForm();
    bool refusedDuringRun = false;
    ftp->OnDownload = [&](const std::string&) {
        refusedDuringRun = !form->Window()->close() && form->Window()->isVisible();
    };
    ftp->Files.erase(kSchemaRemote); // ends broken
    run(*form);
    EXPECT_TRUE(refusedDuringRun);
    EXPECT_EQ(terminations, 0);
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(form->Window(), &esc);
    EXPECT_FALSE(form->Window()->isVisible());
    EXPECT_EQ(terminations, 1);
}

TEST_F(UpdateRunTest, WindowAsStored) {
    auto form = makeForm();
    form->Show();
    QWidget* w = form->Window();
    EXPECT_EQ(w->frameGeometry().size(), QSize(368, 151));
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Atualizar versão Vendarix v 2.1"));
    EXPECT_FALSE(w->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMinMaxButtonsHint);
    const QRect screen = w->screen()->geometry();
    EXPECT_EQ(w->frameGeometry().topLeft(),
              QPoint(screen.left() + (screen.width() - 368) / 2, screen.top() + (screen.height() - 151) / 2));

    EXPECT_EQ(form->Label2->geometry(), QRect(48, 19, 267, 32));
    EXPECT_EQ(form->LAtualizando->geometry(), QRect(47, 18, 267, 32));
    for (QLabel* l : {form->Label2, form->LAtualizando}) {
        EXPECT_EQ(l->text(), QString::fromUtf8("Atualizando versão"));
        EXPECT_EQ(l->font().pixelSize(), 27);
        EXPECT_TRUE(l->font().bold());
    }
    EXPECT_EQ(form->Label2->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(form->LAtualizando->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_TRUE(form->Label2->autoFillBackground());
    EXPECT_FALSE(form->LAtualizando->autoFillBackground());
    // The blue text is painted above its shadow.
    EXPECT_GT(w->children().indexOf(form->LAtualizando), w->children().indexOf(form->Label2));

    EXPECT_EQ(form->GTalvir->geometry(), QRect(16, 72, 329, 17));
    EXPECT_EQ(form->GTalvir->ForeColor(), clBlue);
    EXPECT_EQ(form->GTalvir->Color(), clBtnFace);
    EXPECT_EQ(form->GTalvir->Kind(), gkHorizontalBar);
    EXPECT_EQ(form->Timer1->Interval(), 1000u);
    EXPECT_EQ(form->Database1->DatabaseName(), "Confeccao");
    EXPECT_FALSE(form->Database1->LoginPrompt());
}

} // namespace
