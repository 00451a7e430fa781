// The update run without a window: scripted FTP and archive peers, real
// files in a private working folder and real local tables for the shop's
// database. Every outcome of the run, what it leaves in the folder, its
// messages, the cursor and whether the program is started.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "app/RunEnvironment.h"
#include "app/RunLog.h"
#include "app/SchemaReconciler.h"
#include "app/UpdateRun.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/Minisign.h"
#include "tests/support/PortableEnv.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;
using namespace vx::test;

namespace {

using Names = std::vector<std::string>;

class UpdateRunTest : public ::testing::Test, public TShopFixture {
protected:
    void SetUp() override {
        std::string tipo;
        database = OpenShopDatabase(&tipo);
        ftp.Files[kProgramRemote] = ArchiveOf({{"VENDARIX.EXE", "=new program"}});
        ftp.Files[kSchemaRemote] = ArchiveOf({{"Talvir.db", "<" + staging + "/Talvir.db"}});
        env = std::make_unique<TPlatformRunEnvironment>([this](const std::string& cmd, int show) {
            started.push_back({cmd, show, work.Read("Vendarix.exe")});
            return startResult;
        });
        reconciler = std::make_unique<TSchemaReconciler>(nullptr, *database, gauge, *env, tipo);
        TRunHooks hooks;
        hooks.Terminate = [this] { ++terminations; };
        run = std::make_unique<TUpdateRun>(*env, ftp, archive, *reconciler, gauge, std::move(hooks));
        ftp.SetOnPacketRecvd([this](TObject* sender) { run->FTPTalvirPacketRecvd(sender); });
    }

    // As the timer's dispatcher runs it: an error that escapes is shown by
    // the default exception handler.
    void execute() {
        Application()->Dispatch([this] { run->Execute(); });
    }

    TScriptedFtp ftp{log};
    TScriptedArchive archive{log};
    TScaleGauge gauge;
    std::unique_ptr<TDatabase> database;
    std::unique_ptr<TPlatformRunEnvironment> env;
    std::unique_ptr<TSchemaReconciler> reconciler;
    std::unique_ptr<TUpdateRun> run;
    unsigned startResult = 33;
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
    // The program stays under its name while the archives come.
    int inPlace = 0;
    ftp.OnDownload = [&](const std::string&) {
        inPlace += work.Read("Vendarix.exe") == "old program" && !work.Has("Vendarix.bkp");
    };
    execute();
    EXPECT_EQ(inPlace, 2);

    EXPECT_EQ(run->State(), TRunState::Finished);
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
    EXPECT_EQ(run->ExitCode(), 0);
    EXPECT_EQ(FieldsOf(dados, "Cad_Clientes"), (Names{"Codigo", "Nome", "MalaDireta"}));
}

TEST_F(UpdateRunTest, UnreachableServerStopsWithOneMessageAndTouchesNothing) {
    work.Write("Vendarix.bkp", "backup");
    const auto before = work.Snapshot();
    ftp.ConnectFails = true;
    execute();

    EXPECT_EQ(run->State(), TRunState::Stopped);
    EXPECT_EQ(TestDialogs().Texts(),
              Names{Txt("Falha na conexão, verifique a conexão com a Internet e tente novamente.")});
    const auto& box = TestDialogs().shown[0].request;
    EXPECT_EQ(box.title, Application()->Title());
    EXPECT_EQ(box.icon, TDialogIcon::None);
    EXPECT_EQ(log, Names{"Connect"});
    EXPECT_EQ(work.Snapshot(), before);
    EXPECT_EQ(Application()->Cursor(), crArrow);
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(run->ExitCode(), 1);
}

TEST_F(UpdateRunTest, MissingProgramArchiveRestoresTheBackupAtOnceAndStartsTheOldProgram) {
    // Without SistemaVendarix the default name is asked for, and named in the message.
    WriteIni("", false);
    bool programBackBeforeSchema = false;
    ftp.OnDownload = [&](const std::string& remote) {
        if (remote == kSchemaRemote)
            programBackBeforeSchema = work.Read("Vendarix.exe") == "old program" && !work.Has("Vendarix.bkp");
    };
    execute();

    const std::string invalido = Txt("Inválido");
    EXPECT_EQ(log[1], "Download /Pagina/Download/" + invalido + ".zip .\\Vendarix.zip");
    EXPECT_EQ(TestDialogs().Texts(), Names{Txt("Problemas ao descarregar arquivo \"") + invalido + ".zip\""});
    EXPECT_TRUE(programBackBeforeSchema);
    EXPECT_EQ(Lines(log, "Disconnect").size(), 2u);
    // Nothing of the failed download is opened; the schema archive is.
    EXPECT_EQ(archiveCalls(log), Names(kExtractBoth.begin() + 4, kExtractBoth.end()));
    EXPECT_EQ(run->State(), TRunState::Finished);
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
}

// A new program needs its tables: without the schema archive the shop keeps
// the old program and its tables as they are, and the old program starts.
TEST_F(UpdateRunTest, MissingSchemaArchiveKeepsTheOldProgramAndStartsIt) {
    ftp.Files.erase(kSchemaRemote);
    execute();

    EXPECT_EQ(run->State(), TRunState::Finished);
    EXPECT_EQ(TestDialogs().Texts(), Names{Txt("Problemas ao descarregar arquivo \"TabelasTalvir.zip\"")});
    EXPECT_EQ(archiveCalls(log), Names{});
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    EXPECT_EQ(work.Read("Vendarix.exe"), "old program");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
    // No reconciliation: the table the schema would have made is not there.
    EXPECT_ANY_THROW(FieldsOf(dados, "Cad_Clientes"));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(run->ExitCode(), 0);
}

// A download that fails part-way leaves nothing of it behind to be opened.
TEST_F(UpdateRunTest, PartOfAFailedDownloadIsDeleted) {
    ftp.FailAfterWriting = kProgramRemote;
    execute();

    EXPECT_EQ(TestDialogs().Texts(), Names{Txt("Problemas ao descarregar arquivo \"Vendarix.zip\"")});
    EXPECT_EQ(archiveCalls(log), Names(kExtractBoth.begin() + 4, kExtractBoth.end()));
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
}

TEST_F(UpdateRunTest, BothDownloadsFailing) {
    ftp.Files.clear();
    execute();

    EXPECT_EQ(TestDialogs().Texts(), (Names{Txt("Problemas ao descarregar arquivo \"Vendarix.zip\""),
                                            Txt("Problemas ao descarregar arquivo \"TabelasTalvir.zip\"")}));
    EXPECT_EQ(Lines(log, "Disconnect").size(), 3u);
    // The second rename found no backup; the old program is in place and
    // starts, with nothing extracted.
    EXPECT_EQ(archiveCalls(log), Names{});
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    EXPECT_EQ(work.Read("Vendarix.exe"), "old program");
    EXPECT_EQ(run->State(), TRunState::Finished);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
    EXPECT_EQ(run->ExitCode(), 0);
}

TEST_F(UpdateRunTest, NoProgramAtStartMakesNoBackup) {
    std::filesystem::remove(work.Path() + "/Vendarix.exe");
    execute();
    EXPECT_EQ(run->State(), TRunState::Finished);
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    EXPECT_EQ(work.Read("Vendarix.exe"), "new program");
}

TEST_F(UpdateRunTest, ReconciliationErrorLeavesTheFilesAndStartsNothing) {
    std::filesystem::remove(staging + "/Talvir.db");
    MakeSchemaTable(staging, {{"Cad_Produtos", "Codigo", "Integer"},
                              {"Cad_Produtos", "Preco", "Float"},
                              {"Cad_Produtos", "Preco", "Float"}});
    execute();

    EXPECT_EQ(run->State(), TRunState::Broken);
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
    ftp.Files[kProgramRemote] = ArchiveOf({{"LEIAME.TXT", "=notes"}});
    execute();
    EXPECT_EQ(run->State(), TRunState::Finished);
    EXPECT_FALSE(work.Has("Vendarix.bkp"));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "old program");
}

TEST_F(UpdateRunTest, BrokenRunWithoutAProgramPutsTheBackupBack) {
    // A program archive of 0 bytes cannot be opened.
    ftp.Files[kProgramRemote] = "";
    execute();
    EXPECT_EQ(run->State(), TRunState::Broken);
    EXPECT_EQ(work.Read("Vendarix.exe"), "old program");
    EXPECT_FALSE(work.Has("Vendarix.bkp"));
    EXPECT_TRUE(started.empty());
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().Texts()[0], "ZipArchiver: Archive is corrupted.");
}

TEST_F(UpdateRunTest, StaleArchiveOfTheSystemIsDeletedOnlyInsideTheFolder) {
    WriteIni("Loja");
    work.Write("Loja.zip", "stale");
    ftp.Files["/Pagina/Download/Loja.zip"] = ftp.Files[kProgramRemote];
    execute();
    EXPECT_EQ(log[1], "Download /Pagina/Download/Loja.zip .\\Vendarix.zip");
    EXPECT_FALSE(work.Has("Loja.zip"));

    // A name that climbs out of the folder is not deleted there.
    TestDialogs().Reset();
    log.clear();
    std::ofstream(aside.Path() + "/fora.zip") << "keep";
    WriteIni("..\\" + std::filesystem::path(aside.Path()).filename().string() + "\\fora");
    execute();
    EXPECT_TRUE(std::filesystem::exists(aside.Path() + "/fora.zip"));
}

TEST_F(UpdateRunTest, PacketsMoveTheGauge) {
    ftp.Files["/a"] = std::string(400, 'x');
    ftp.BlockSize = 100;
    ftp.Download("/a", ".\\a.bin");
    EXPECT_EQ(gauge.MaxValue(), 400);
    EXPECT_EQ(gauge.Progress(), 400);

    // A transfer whose size was not announced holds the gauge at 0.
    ftp.Files["/b"] = "abc";
    ftp.Announced["/b"] = 0;
    ftp.Download("/b", ".\\b.bin");
    EXPECT_EQ(gauge.MaxValue(), 0);
    EXPECT_EQ(gauge.Progress(), 0);
}

TEST_F(UpdateRunTest, NegativeSizeRaisesIntoTheDownload) {
    ftp.Announced[kProgramRemote] = -1;
    execute();
    const Names texts = TestDialogs().Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0], Txt("Problemas ao descarregar arquivo \"Vendarix.zip\""));
}

// What a run killed at each moment leaves, and what the next run makes of
// it, with the server reachable and not. Extraction renames only whole files
// into place, so a program under any letter case is whole.
TEST_F(UpdateRunTest, NextRunAfterAKillAlwaysLeavesAWholeProgram) {
    struct Moment {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files; // besides Brevanto.ini
    };
    const std::vector<Moment> moments = {
        {"download under way", {{"Vendarix.exe", "old program"}, {"Vendarix.zip", "part"}}},
        {"program set aside by an older updater, download under way",
         {{"Vendarix.bkp", "old program"}, {"Vendarix.zip", "part"}}},
        {"extraction under way", {{"Vendarix.bkp", "old program"}, {"~vx41_1.tmp", "new pro"}}},
        {"program extracted, not yet renamed",
         {{"Vendarix.bkp", "old program"}, {"VENDARIX.EXE", "new program"}, {"Talvir.db", ""}}},
        {"downloads deleted, not yet renamed",
         {{"Vendarix.bkp", "old program"}, {"VENDARIX.EXE", "new program"}}},
        {"renamed, not yet started", {{"Vendarix.bkp", "old program"}, {"Vendarix.exe", "new program"}}},
    };
    for (const bool reachable : {false, true}) {
        for (const Moment& m : moments) {
            SCOPED_TRACE(std::string(m.what) + (reachable ? ", server reachable" : ", server unreachable"));
            for (const std::string& n : work.Names())
                if (n != "Brevanto.ini")
                    std::filesystem::remove(work.Path() + "/" + n);
            for (const auto& [name, bytes] : m.files)
                if (!bytes.empty())
                    work.Write(name, bytes);
            bool newWasWhole = false;
            for (const auto& [name, bytes] : m.files)
                newWasWhole = newWasWhole || (SameText(name, "Vendarix.exe") && bytes == "new program");
            TestDialogs().Reset();
            started.clear();
            ftp.ConnectFails = !reachable;
            execute();

            Names programs;
            for (const std::string& n : work.Names())
                if (SameText(n, "Vendarix.exe"))
                    programs.push_back(n);
            ASSERT_EQ(programs.size(), 1u);
            const std::string program = work.Read(programs[0]);
            if (reachable) {
                EXPECT_EQ(run->State(), TRunState::Finished);
                EXPECT_EQ(program, "new program");
                EXPECT_EQ(run->ExitCode(), 0);
            } else {
                EXPECT_EQ(run->State(), TRunState::Stopped);
                EXPECT_EQ(program, newWasWhole ? "new program" : "old program");
                // The backup stays while it may still be needed.
                EXPECT_EQ(work.Has("Vendarix.bkp"), newWasWhole);
            }
            EXPECT_FALSE(work.Has("~vx41_1.tmp"));
        }
    }
}

TEST_F(UpdateRunTest, LoneBackupIsPutBackEvenWhenTheServerCannotBeReached) {
    std::filesystem::rename(work.Path() + "/Vendarix.exe", work.Path() + "/Vendarix.bkp");
    ftp.ConnectFails = true;
    execute();
    EXPECT_EQ(run->State(), TRunState::Stopped);
    EXPECT_EQ(work.Names(), (Names{"Brevanto.ini", "Vendarix.exe"}));
    EXPECT_EQ(work.Read("Vendarix.exe"), "old program");
    EXPECT_EQ(log, Names{"Connect"});
}

TEST_F(UpdateRunTest, OnlyTheUpdatersOwnTemporariesAreRemovedBelowTheShopFolder) {
    const std::string sub = work.MakeFolder("Relatorios/Modelos");
    const Names own = {"~vx1_1.tmp", "~vx4242_17.tmp"};
    Names alike = {"~vx1_1.tmp.txt", "~vx_1.tmp", "~vx1_.tmp", "vx1_1.tmp", "~vxa_1.tmp"};
#ifndef _WIN32
    alike.push_back("~VX1_1.TMP"); // another file here; on Windows the same one
#endif
    for (const auto& n : own) {
        work.Write(n, "left");
        work.Write("Relatorios/Modelos/" + n, "left");
    }
    for (const auto& n : alike)
        work.Write(n, "shop's own");
    // A folder of the same pattern is not a temporary of the updater's;
    // a link to a folder elsewhere is not followed there.
    work.MakeFolder("~vx9_9.tmp");
    std::filesystem::create_directories(aside.Path() + "/fora");
    std::ofstream(aside.Path() + "/fora/~vx2_2.tmp") << "elsewhere";
#ifndef _WIN32
    // Symbolic links are granted to Windows' administrators only.
    std::filesystem::create_directory_symlink(aside.Path() + "/fora", work.Path() + "/Atalho");
#endif
    ftp.ConnectFails = true;
    execute();

    for (const auto& n : own) {
        EXPECT_FALSE(work.Has(n)) << n;
        EXPECT_FALSE(std::filesystem::exists(sub + "/" + n)) << n;
    }
    for (const auto& n : alike)
        EXPECT_TRUE(work.Has(n)) << n;
    EXPECT_TRUE(work.Has("~vx9_9.tmp"));
    EXPECT_TRUE(std::filesystem::exists(aside.Path() + "/fora/~vx2_2.tmp"));
}

TEST_F(UpdateRunTest, ExitStatusIsZeroOnlyWhenTheProgramActuallyStarted) {
    startResult = 2; // the platform's "file not found"
    execute();
    EXPECT_EQ(run->State(), TRunState::Finished);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(run->ExitCode(), 2);
}

// The machine held in memory: the run's files, cursor, boxes and program
// start are what it says, and every effect and log line is recorded in
// order.
class TRecordingEnvironment : public IRunEnvironment, private IRunLog {
public:
    IRunLog& Log() override { return *this; }
    void Write(const std::string& text) override { trail.push_back("log " + text); }
    void SetCursor(int cursor) override { trail.push_back("cursor " + std::to_string(cursor)); }
    void ShowMessage(const std::string& text) override { trail.push_back("message " + text); }
    bool FileExists(const std::string& name) override { return files.count(UpperCase(name)) > 0; }
    void DeleteFile(const std::string& name) override {
        if (files.erase(UpperCase(name)))
            trail.push_back("delete " + name);
    }
    void RenameFile(const std::string& from, const std::string& to) override {
        if (!FileExists(from) || FileExists(to))
            return;
        files.erase(UpperCase(from));
        files.insert(UpperCase(to));
        trail.push_back("rename " + from + " " + to);
    }
    void RemoveExtractionLeftovers() override { trail.push_back("leftovers"); }
    std::string ReadSistemaVendarix() override { return sistema; }
    std::string SigningKeyText() override { return key; }
    unsigned StartProgram(const std::string& cmdLine, int show) override {
        trail.push_back("start " + cmdLine + " " + std::to_string(show));
        return 33;
    }

    std::set<std::string> files; // upper-cased: the names compare without letter case
    std::string sistema = "Loja";
    std::string key;
    Names trail;
};

// The run asks the machine for everything through its environment: no
// cursor, box, file, setting, program start or run log of the process is
// touched.
TEST(UpdateRunEnvironmentTest, EveryEffectGoesThroughTheEnvironment) {
    struct Row {
        const char* what;
        bool connectFails;
        std::string key;
        Names ftp;
        Names trail;
        std::set<std::string> files;
        TRunState state;
        int exitCode;
    };
    const std::string hourglass = "cursor " + std::to_string(crHourGlass);
    const std::string arrow = "cursor " + std::to_string(crArrow);
    const std::string failed = "message " + Txt("Problemas ao descarregar arquivo ");
    const Row rows[] = {
        {"server unreachable: the lone backup is put back all the same",
         true,
         "",
         {"Connect"},
         {hourglass, "rename Vendarix.bkp Vendarix.exe", "leftovers",
          "log connect: failed: Connection refused",
          "message " + Txt("Falha na conexão, verifique a conexão com a Internet e tente novamente."), arrow},
         {"VENDARIX.EXE", "LOJA.ZIP"},
         TRunState::Stopped,
         1},
        {"both archives missing: the old program is started",
         false,
         "",
         {"Connect", "Download /Pagina/Download/Loja.zip .\\Vendarix.zip", "Disconnect",
          "Download " + kSchemaRemote + " .\\TabelasTalvir.zip", "Disconnect", "Disconnect"},
         {hourglass, "rename Vendarix.bkp Vendarix.exe", "leftovers", "delete Loja.zip",
          failed + "\"Loja.zip\"", failed + "\"TabelasTalvir.zip\"", "start Vendarix.exe 5",
          "log start Vendarix.exe: ok", arrow, arrow},
         {"VENDARIX.EXE"},
         TRunState::Finished,
         0},
        {"a key setting that is not a key ends the run before anything",
         false,
         "RWQ",
         {},
         {hourglass, "rename Vendarix.bkp Vendarix.exe"},
         {"VENDARIX.EXE", "LOJA.ZIP"},
         TRunState::Broken,
         2},
    };
    const TWorkFolder work;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TCallLog log;
        TScriptedFtp ftp(log);
        ftp.ConnectFails = row.connectFails;
        TScriptedArchive archive(log);
        TScaleGauge gauge;
        TDatabase database;
        TRecordingEnvironment env;
        TSchemaReconciler reconciler(nullptr, database, gauge, env, "Standard");
        env.key = row.key;
        env.files = {"VENDARIX.BKP", "LOJA.ZIP"};
        int terminations = 0;
        TUpdateRun run(env, ftp, archive, reconciler, gauge, TRunHooks{[&] { ++terminations; }});
        try {
            run.Execute();
        } catch (const EConvertError&) {
        }
        EXPECT_EQ(log, row.ftp);
        EXPECT_EQ(env.trail, row.trail);
        EXPECT_EQ(env.files, row.files);
        EXPECT_EQ(run.State(), row.state);
        EXPECT_EQ(run.ExitCode(), row.exitCode);
        EXPECT_EQ(terminations, row.state == TRunState::Finished ? 1 : 0);
    }
    EXPECT_FALSE(work.Has(RunLog::kFileName));
}

// The run with the maker's key set: real signatures made by the tool over
// the scripted archives, served beside them.
class SignedUpdateRunTest : public UpdateRunTest {
public: // the spoilers of the table below reach the helpers
    using UpdateRunTest::ftp;

    void SetUp() override {
        UpdateRunTest::SetUp();
        key = MakeMinisignKeyPair(aside.Path());
        setenv("UPDATER_SIGNING_KEY", key.PublicKeyLine.c_str(), 1);
        release(kProgramRemote, 2000);
        release(kSchemaRemote, 2000);
    }
    void TearDown() override { unsetenv("UPDATER_SIGNING_KEY"); }

    // Serves the remote file's current bytes signed at that time under the
    // name given (the remote file's own by default).
    void release(const std::string& remote, long long timestamp, std::string signedAs = "") {
        const std::string name = remote.substr(remote.rfind('/') + 1);
        if (signedAs.empty())
            signedAs = name;
        const std::string file = aside.Path() + "/" + signedAs;
        std::ofstream(file, std::ios::binary) << ftp.Files[remote];
        MinisignSign(key, file, false, file + ".minisig", ReleaseComment(timestamp, signedAs));
        std::ifstream in(file + ".minisig", std::ios::binary);
        ftp.Files[remote + ".minisig"] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string record() const {
        return work.Has(TReleaseRecord::kFileName) ? work.Read(TReleaseRecord::kFileName) : "<none>";
    }

    TMinisignKeyPair key;
};

TEST_F(SignedUpdateRunTest, VerifiedProgramIsWhatLandsWhateverHappensToTheShopFolder) {
    // Once the program archive is verified, someone with the shop's folder
    // puts their own archive where the download used to lie.
    ftp.OnDownload = [this](const std::string& remote) {
        if (remote == kSchemaRemote)
            std::thread([this] {
                work.Write("Vendarix.zip", ArchiveOf({{"VENDARIX.EXE", "=planted program"}}));
            }).join();
    };
    execute();
    EXPECT_EQ(run->ExitCode(), 0);
    EXPECT_TRUE(TestDialogs().Texts().empty());
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "new program");
    EXPECT_EQ(record(), "AtualizarVendarix estado 1\n2000 TabelasTalvir.zip\n2000 Vendarix.zip\n");
    EXPECT_FALSE(work.Has("Vendarix.zip"));
}

TEST_F(SignedUpdateRunTest, RefusedArchiveIsToldApartFromAnOutage) {
    struct Row {
        const char* what;
        std::function<void(SignedUpdateRunTest&)> spoil;
        const char* reason;
    };
    const std::vector<Row> rows = {
        {"schema archive served as the program",
         [](auto& t) {
             t.ftp.Files[kProgramRemote] = t.ftp.Files[kSchemaRemote];
             t.ftp.Files[kProgramRemote + ".minisig"] = t.ftp.Files[kSchemaRemote + ".minisig"];
         },
         "wrong file name"},
        {"another product's archive",
         [](auto& t) {
             t.ftp.Files[kProgramRemote] = ArchiveOf({{"VENDARIX.EXE", "=other product"}});
             t.release(kProgramRemote, 3000, "Outro.zip");
         },
         "wrong file name"},
        {"older release than installed",
         [](auto& t) {
             t.work.Write(TReleaseRecord::kFileName, "AtualizarVendarix estado 1\n2500 Vendarix.zip\n");
         },
         "older than installed"},
        {"no signature", [](auto& t) { t.ftp.Files.erase(kProgramRemote + ".minisig"); }, "no signature"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        if (work.Has(TReleaseRecord::kFileName))
            std::filesystem::remove(work.Path() + "/" + TReleaseRecord::kFileName);
        std::filesystem::remove(work.Path() + "/" + RunLog::kFileName);
        TestDialogs().Reset();
        started.clear();
        work.Write("Vendarix.exe", "old program");
        SetUp();
        row.spoil(*this);
        const std::string before = record();
        execute();
        EXPECT_EQ(run->State(), TRunState::Finished);
        EXPECT_EQ(run->ExitCode(), 3);
        EXPECT_EQ(TestDialogs().Texts(), Names{"Problemas ao descarregar arquivo \"Vendarix.zip\""});
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].program, "old program");
        const std::string runLog = work.Read(RunLog::kFileName);
        EXPECT_NE(runLog.find("signature " + kProgramRemote + ": refused, " + row.reason), std::string::npos)
            << runLog;
        // Without the program nothing of the release is recorded.
        EXPECT_EQ(record(), before);
    }
}

TEST_F(SignedUpdateRunTest, SameReleaseAgainIsTakenAndNothingIsRecordedWithoutBothArchives) {
    execute();
    ASSERT_EQ(run->ExitCode(), 0);
    const std::string installed = record();
    EXPECT_NE(installed, "<none>");

    started.clear();
    execute();
    EXPECT_EQ(run->ExitCode(), 0);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, "new program");

    // A newer program without its tables is not installed and so not
    // recorded: the shop may still be served the release it runs.
    ftp.Files[kProgramRemote] = ArchiveOf({{"VENDARIX.EXE", "=newer program"}});
    release(kProgramRemote, 4000);
    ftp.Files.erase(kSchemaRemote);
    started.clear();
    try {
        execute();
    } catch (...) {
    }
    EXPECT_EQ(record(), installed);
}

} // namespace
