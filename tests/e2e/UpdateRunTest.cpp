// The shipped updater, run unattended in a fresh shop folder against vsftpd
// on loopback (active mode), with archives made by Info-ZIP zip and the
// shop's local tables: one test per path of the run.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/socket.h>

#include <strings.h>

#include <filesystem>
#include <random>

#include "tests/db/EngineProbe.h"
#include "tests/e2e/Shop.h"

using namespace vx::test;

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const std::string kTitle = "Atualizarvendarix: ";
const std::string kNoConnection =
    kTitle + "Falha na conex\xc3\xa3o, verifique a conex\xc3\xa3o com a Internet e tente novamente. [ok]";
std::string downloadFailed(const std::string& name) {
    return kTitle + "Problemas ao descarregar arquivo \"" + name + "\" [ok]";
}

std::vector<std::string> column(const std::string& file, const std::string& sql) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(st, 0);
            out.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

using Strings = std::vector<std::string>;

class UpdateRun : public ::testing::Test {
protected:
    void SetUp() override {
        shop_ = std::make_unique<Shop>();
        shop_->MakeStandardShop();
        server_ = std::make_unique<Vsftpd>(shop_->Maker());
    }
    Shop& shop() { return *shop_; }
    RunResult run(const std::map<std::string, std::string>& env = {}) {
        return shop_->Run(server_->Port(), env);
    }
    std::string file(const std::string& name) { return ReadFile(shop_->Path(name)); }
    bool exists(const std::string& name) { return fs::exists(shop_->Path(name)); }
    // The shop's file of that name in any letter case.
    std::string fileNoCase(const std::string& name) {
        for (const auto& e : fs::directory_iterator(shop_->Dir()))
            if (strcasecmp(e.path().filename().c_str(), name.c_str()) == 0)
                return ReadFile(e.path());
        return {};
    }

    std::unique_ptr<Shop> shop_;
    std::unique_ptr<Vsftpd> server_;
};

} // namespace

TEST_F(UpdateRun, ReplacesTheProgramAndBringsTheTablesUpToDate) {
    shop().MakeProgramArchive();
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("new"));
    EXPECT_EQ(file("Vendarix.bkp"), ProgramScript("old"));
    EXPECT_EQ(file("started.log"), "new\n");
    EXPECT_TRUE(fs::exists(shop().Path("AtualizarVendarix.log")));
    EXPECT_EQ(shop().Files(), (Strings{"Brevanto.ini", "LEIAME.TXT", "Relatorios/", "Relatorios/Vendas.rpt",
                                       "Vendarix.bkp", "Vendarix.exe", "dados/", "dados/Cad_Clientes.db",
                                       "dados/Produtos.db", "dados/Vendas.db"}));
    EXPECT_EQ(Columns(shop().Tables() + "/Cad_Clientes.db"),
              (Strings{"Codigo", "Nome", "Email", "MalaDireta"}));
    EXPECT_EQ(column(shop().Tables() + "/Cad_Clientes.db", "SELECT MalaDireta FROM Cad_Clientes"),
              (Strings{"T", "T"}));
    EXPECT_EQ(Columns(shop().Tables() + "/Produtos.db"), (Strings{"Codigo", "Preco"}));
    EXPECT_EQ(Columns(shop().Tables() + "/Vendas.db"), (Strings{"Numero", "Data", "Total"}));
}

TEST_F(UpdateRun, StopsWhenTheServerCannotBeReached) {
    shop().MakeProgramArchive();
    Strings before = shop().Files();
    server_->Stop();
    RunResult r = run();
    EXPECT_EQ(r.status, 1) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{kNoConnection});
    // Nothing touched but the run log, which says why the run stopped.
    EXPECT_EQ(shop().Files(), before);
    EXPECT_NE(file("AtualizarVendarix.log").find("connect: failed"), std::string::npos);
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
}

TEST_F(UpdateRun, StopsWhenTheLoginIsRefused) {
    shop().MakeProgramArchive();
    Strings before = shop().Files();
    RunResult r = run({{"UPDATER_FTP_USER", "lojista"}}); // vsftpd: 530 anonymous only
    EXPECT_EQ(r.status, 1) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{kNoConnection});
    // Nothing touched but the run log, which says why the run stopped.
    EXPECT_EQ(shop().Files(), before);
    EXPECT_NE(file("AtualizarVendarix.log").find("connect: failed"), std::string::npos);
}

TEST_F(UpdateRun, MissingProgramArchiveRestoresAndStartsTheOldProgram) {
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_FALSE(exists("Vendarix.bkp"));
    EXPECT_FALSE(exists("Vendarix.zip"));
    EXPECT_FALSE(exists("Talvir.db"));
    EXPECT_EQ(file("started.log"), "old\n");
    EXPECT_EQ(Columns(shop().Tables() + "/Vendas.db"), (Strings{"Numero", "Data", "Total"}));
}

TEST_F(UpdateRun, MissingSistemaVendarixUsesTheDefaultName) {
    shop().WriteIni({{"Tipo", "Standard"}, {"Caminho", shop().Tables()}});
    shop().MakeProgramArchive();
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("Inv\xc3\xa1lido.zip")});
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_EQ(file("started.log"), "old\n");
}

// A new program goes in only with its tables: without the schema archive
// the old program stays, the tables stay as they are, and the old program
// starts.
TEST_F(UpdateRun, MissingSchemaArchiveKeepsAndStartsTheOldProgram) {
    shop().MakeProgramArchive();
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("TabelasTalvir.zip")});
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_FALSE(exists("Vendarix.bkp"));
    EXPECT_FALSE(exists("Vendarix.zip"));
    EXPECT_EQ(file("started.log"), "old\n");
    EXPECT_EQ(Columns(shop().Tables() + "/Cad_Clientes.db"), (Strings{"Codigo", "Nome"}));
}

TEST_F(UpdateRun, BothArchivesMissingKeepTheOldProgram) {
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, (Strings{downloadFailed("Vendarix.zip"), downloadFailed("TabelasTalvir.zip")}));
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_FALSE(exists("Vendarix.bkp"));
    EXPECT_EQ(file("started.log"), "old\n");
}

namespace {
std::string noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}
} // namespace

TEST_F(UpdateRun, TruncatedProgramArchiveFailsTheCutOffEntryOnly) {
    // The cut falls inside the last entry; what comes before it is whole.
    std::string src = shop().Maker() + "/../src";
    WriteFile(src + "/Relatorios/Vendas.rpt", noise(300000, 1));
    WriteFile(src + "/VENDARIX.EXE", ProgramScript("new"), true);
    WriteFile(src + "/Relatorios/Extra.rpt", noise(100000, 2));
    std::string zip = shop().Download() + "/Vendarix.zip";
    ASSERT_EQ(Zip(src, {"-q", "-X", zip, "Relatorios/Vendas.rpt", "VENDARIX.EXE", "Relatorios/Extra.rpt"}),
              0);
    fs::resize_file(zip, fs::file_size(zip) - 50000);
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    for (const std::string answer : {"ignore", "abort"}) {
        SCOPED_TRACE(answer);
        fs::remove(shop().Path("started.log"));
        RunResult r = run({{"UPDATER_ANSWERS", answer}});
        EXPECT_EQ(r.status, 0) << r.stderrText;
        ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
        EXPECT_NE(r.dialogs[0].find("File processing error, possibly disk is full [abort,retry,ignore]"),
                  std::string::npos)
            << r.dialogs[0];
        EXPECT_EQ(file("Vendarix.exe"), ProgramScript("new"));
        EXPECT_EQ(file("Relatorios/Vendas.rpt"), noise(300000, 1));
        EXPECT_FALSE(exists("Relatorios/Extra.rpt")) << "a cut-off entry must not be left as a partial file";
        EXPECT_EQ(file("started.log"), "new\n");
    }
}

TEST_F(UpdateRun, CorruptEntryLeavesTheOldFile) {
    std::string src = shop().Maker() + "/../src";
    WriteFile(src + "/VENDARIX.EXE", ProgramScript("new"), true);
    WriteFile(src + "/LEIAME.TXT", "NEW README CONTENT\r\n");
    ASSERT_EQ(Zip(src, {"-q", "-0", "-X", shop().Download() + "/Vendarix.zip", "VENDARIX.EXE", "LEIAME.TXT"}),
              0);
    std::string zip = ReadFile(shop().Download() + "/Vendarix.zip");
    size_t at = zip.find("NEW README");
    ASSERT_NE(at, std::string::npos);
    zip[at] = 'X';
    WriteFile(shop().Download() + "/Vendarix.zip", zip);
    WriteFile(shop().Path("LEIAME.TXT"), "old readme\r\n");
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    RunResult r = run({{"UPDATER_ANSWERS", "ignore"}});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_NE(r.dialogs[0].find("Invalid size or check sum"), std::string::npos) << r.dialogs[0];
    EXPECT_EQ(file("LEIAME.TXT"), "old readme\r\n");
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("new"));
}

TEST_F(UpdateRun, DatabaseUnreachableAtStartIsRetriedByTheReconciliation) {
    // The tables' folder does not exist when the window opens; the program
    // archive brings it, so the reconciliation finds it.
    shop().WriteIni(
        {{"Tipo", "Standard"}, {"Caminho", shop().Path("novos")}, {"SistemaVendarix", "Vendarix"}});
    std::string src = shop().Maker() + "/../src";
    WriteFile(src + "/VENDARIX.EXE", ProgramScript("new"), true);
    WriteFile(src + "/novos/LEIAME.TXT", "tabelas\r\n");
    ASSERT_EQ(Zip(src, {"-q", "-r", "-X", shop().Download() + "/Vendarix.zip", "VENDARIX.EXE", "novos"}), 0);
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText; // the engine's error from the window's creation
    EXPECT_EQ(r.dialogs[0].rfind(kTitle, 0), 0u);
    // A folder without tables takes Paradox tables: read through the engine.
    EXPECT_EQ(TableFields(shop().Path("novos"), "Vendas"), (Strings{"Numero", "Data", "Total"}));
    EXPECT_EQ(file("started.log"), "new\n");
}

TEST_F(UpdateRun, FailingAlterBreaksTheRunAndStartsNothing) {
    shop().MakeProgramArchive();
    SchemaRows rows = Shop::DefaultSchema();
    rows.push_back({"Cad_Clientes", "Email", "Varchar(60)"}); // added once, then refused
    shop().MakeSchemaArchive(rows);
    RunResult r = run();
    EXPECT_EQ(r.status, 2) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_FALSE(exists("started.log"));
    for (const char* f : {"Vendarix.bkp", "Vendarix.zip", "TabelasTalvir.zip", "Talvir.db"})
        EXPECT_TRUE(exists(f)) << f;
    // Extracted under the archive's spelling; the rename never came.
    EXPECT_EQ(file("VENDARIX.EXE"), ProgramScript("new"));
}
