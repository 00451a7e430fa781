// Window creation reads .\Brevanto.ini and prepares Database1 for the
// configured kind; the FTP settings come from the build and the environment.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/UAtualizarVersaoVendarix.h"
#include "app/UpdaterConfig.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/PortableEnv.h"
#include "tests/support/TestDialogs.h"

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;
using namespace vx::test;

namespace {

using Names = std::vector<std::string>;

Names lines(const TStringList& l) {
    return Names(l.begin(), l.end());
}

class UpdaterConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestDialogs().Reset();
        // No alias is defined anywhere: opening an alias fails at once.
        const std::string aliases = aside.Path() + "/aliases.ini";
        std::ofstream(aliases) << "";
        setenv("UPDATER_DBCONFIG", aliases.c_str(), 1);
        dados = aside.Path() + "/dados";
        std::filesystem::create_directories(dados);
    }
    void TearDown() override { unsetenv("UPDATER_DBCONFIG"); }

    std::unique_ptr<TFAtualizarVersaoVendarix> create() {
        TUpdaterSetup s;
        s.FtpService = std::make_unique<TScriptedFtp>(log);
        s.ArchiveService = std::make_unique<TScriptedArchive>(log);
        return std::make_unique<TFAtualizarVersaoVendarix>(std::move(s));
    }

    TTempFolder aside;
    std::string dados;
    TWorkFolder work;
    TCallLog log;
};

TEST_F(UpdaterConfigTest, WithoutIniTheDefaultFolderIsOpenedAndItsErrorShown) {
    auto form = create();
    TDatabase& db = *form->Database1;
    EXPECT_EQ(form->Reconciler().DatabaseKind(), "Standard");
    EXPECT_EQ(db.DriverName(), "STANDARD");
    EXPECT_EQ(lines(db.Params()),
              (Names{"PATH=C:\\Sistemas\\Dados", "DEFAULT DRIVER=PARADOX", "ENABLE BCD=FALSE"}));
    EXPECT_EQ(db.TransIsolation(), tiDirtyRead);
    // The folder does not exist: the engine's error in the default
    // handler's box, and the window is there all the same.
    ASSERT_EQ(TestDialogs().shown.size(), 1u);
    EXPECT_EQ(TestDialogs().shown[0].request.icon, TDialogIcon::Error);
    EXPECT_FALSE(db.Connected());
    EXPECT_NE(form->Window(), nullptr);
    EXPECT_TRUE(work.Names().empty());
}

TEST_F(UpdaterConfigTest, EachKindFillsTheConnection) {
    struct Row {
        std::string ini;
        std::string tipo, driver, alias;
        Names params;
        TTransIsolation isolation;
    };
    const std::vector<Row> rows = {
        {"Tipo=Standard\r\nCaminho=" + dados,
         "Standard",
         "STANDARD",
         "",
         {"PATH=" + dados, "DEFAULT DRIVER=PARADOX", "ENABLE BCD=FALSE"},
         tiDirtyRead},
        // Compared exactly: small letters are "any other text".
        {"Tipo=standard\r\nCaminho=" + dados, "standard", "STANDARD", "", {}, tiReadCommitted},
        {"Tipo=\r\nCaminho=" + dados, "", "STANDARD", "", {}, tiReadCommitted},
        {"Tipo=Interbase\r\nCaminho=127.0.0.1:/nada/loja.fdb",
         "Interbase",
         "",
         "Talvir",
         {"SERVER NAME=127.0.0.1:/nada/loja.fdb", "USER NAME=SYSDBA", "password=quillrose"},
         tiReadCommitted},
        {"Tipo=MSSQL\r\nCaminho=LojaSQL\r\nSenhaBD=sim",
         "MSSQL",
         "",
         "LojaSQL",
         {"USER NAME=sa"},
         tiReadCommitted},
        {"Tipo=MSSQL\r\nCaminho=LojaSQL\r\nSenhaBD=Sim",
         "MSSQL",
         "",
         "LojaSQL",
         {"USER NAME=sa", "password=7302518"},
         tiReadCommitted},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.ini);
        work.Write("Brevanto.ini", "[BDados]\r\n" + r.ini + "\r\n");
        auto form = create();
        const TDatabase& db = *form->Database1;
        EXPECT_EQ(form->Reconciler().DatabaseKind(), r.tipo);
        EXPECT_EQ(db.DriverName(), r.driver);
        EXPECT_EQ(db.AliasName(), r.alias);
        EXPECT_EQ(lines(form->Database1->Params()), r.params);
        EXPECT_EQ(db.TransIsolation(), r.isolation);
    }
}

TEST_F(UpdaterConfigTest, IniWrittenOnWindowsOrOnLinuxReadsTheSame) {
    // Blanks, quotes, comments and a section header in other letters.
    const std::string body = "; atualização da loja\r\n[bdados]\r\n  Tipo =  Standard  \r\nCaminho=\"" +
                             dados + "\"\r\nSistemaVendarix = \"Promoção\"\r\n";
    for (const std::string& bytes : {Utf8ToAnsi(body), body}) {
        work.Write("Brevanto.ini", bytes);
        TestDialogs().Reset();
        auto form = create();
        EXPECT_EQ(form->Reconciler().DatabaseKind(), "Standard");
        EXPECT_EQ(form->Database1->Params()[0], "PATH=" + dados);
        EXPECT_TRUE(form->Database1->Connected());
        EXPECT_TRUE(TestDialogs().shown.empty());
        EXPECT_EQ(ReadSistemaVendarix(), Txt("Promoção"));
    }
}

TEST_F(UpdaterConfigTest, SystemNameIsReadAfreshAndDefaultsWhenMissing) {
    EXPECT_EQ(ReadSistemaVendarix(), Txt("Inválido"));
    work.Write("Brevanto.ini", "[BDados]\r\nSistemaVendarix=Vendarix\r\n");
    EXPECT_EQ(ReadSistemaVendarix(), "Vendarix");
    work.Write("Brevanto.ini", "[BDados]\r\nSistemaVendarix=\r\n");
    EXPECT_EQ(ReadSistemaVendarix(), "");
}

TEST_F(UpdaterConfigTest, ParametersOfAnOpenConnectionAreRefusedButFormCreateClosesFirst) {
    work.Write("Brevanto.ini", "[BDados]\r\nTipo=Standard\r\nCaminho=" + dados + "\r\n");
    auto form = create();
    ASSERT_TRUE(form->Database1->Connected());
    try {
        form->Database1->Params().Add("X=1");
        FAIL() << "no error";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.Message(), "Cannot perform this operation on an open database");
    }
    TestDialogs().Reset();
    form->FormCreate(nullptr);
    EXPECT_TRUE(form->Database1->Connected());
    EXPECT_TRUE(TestDialogs().shown.empty());
}

class FtpEnvironmentTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* n :
             {"UPDATER_FTP_HOST", "UPDATER_FTP_PORT", "UPDATER_FTP_USER", "UPDATER_FTP_PASSWORD",
              "UPDATER_FTP_PASSIVE", "UPDATER_FTP_TIMEOUT", "UPDATER_FTP_TLS", "UPDATER_FTP_CA_FILE",
              "UPDATER_FTP_MIN_RATE", "UPDATER_FTP_RATE_WINDOW"})
            unsetenv(n);
    }
};

TEST_F(FtpEnvironmentTest, EachSettingCanBeOverridden) {
    const TFtpSettings compiled = CompiledFtpSettings();
    EXPECT_FALSE(compiled.Host.empty());
    EXPECT_EQ(compiled.Port, 21);
    EXPECT_FALSE(compiled.Passive);
    EXPECT_EQ(compiled.MinRate, 1024);
    EXPECT_EQ(compiled.RateWindowS, 60);

    const TFtpSettings same = ApplyFtpEnvironment(compiled);
    EXPECT_EQ(same.Host, compiled.Host);
    EXPECT_EQ(same.User, compiled.User);

    setenv("UPDATER_FTP_HOST", "127.0.0.1", 1);
    setenv("UPDATER_FTP_PORT", "2121", 1);
    setenv("UPDATER_FTP_USER", "loja", 1);
    setenv("UPDATER_FTP_PASSWORD", "segredo", 1);
    setenv("UPDATER_FTP_PASSIVE", "1", 1);
    setenv("UPDATER_FTP_TIMEOUT", "5000", 1);
    setenv("UPDATER_FTP_TLS", "require", 1);
    setenv("UPDATER_FTP_CA_FILE", "/etc/loja/ca.pem", 1);
    EXPECT_TRUE(compiled.Tls.empty());
    setenv("UPDATER_FTP_MIN_RATE", "0", 1);
    setenv("UPDATER_FTP_RATE_WINDOW", "2", 1);
    const TFtpSettings s = ApplyFtpEnvironment(compiled);
    EXPECT_EQ(s.Tls, "require");
    EXPECT_EQ(s.CaFile, "/etc/loja/ca.pem");
    EXPECT_EQ(s.Host, "127.0.0.1");
    EXPECT_EQ(s.Port, 2121);
    EXPECT_EQ(s.User, "loja");
    EXPECT_EQ(s.Password, "segredo");
    EXPECT_TRUE(s.Passive);
    EXPECT_EQ(s.TimeoutMs, 5000);
    EXPECT_EQ(s.MinRate, 0);
    EXPECT_EQ(s.RateWindowS, 2);
}

TEST_F(FtpEnvironmentTest, BadValuesAreReportedByName) {
    struct Row {
        const char* name;
        const char* value;
    };
    for (Row r :
         {Row{"UPDATER_FTP_PORT", "vinte"}, Row{"UPDATER_FTP_PORT", "70000"}, Row{"UPDATER_FTP_PASSIVE", "2"},
          Row{"UPDATER_FTP_TIMEOUT", "-1"}, Row{"UPDATER_FTP_TLS", "yes"}, Row{"UPDATER_FTP_TLS", "Require"},
          Row{"UPDATER_FTP_MIN_RATE", "-5"}, Row{"UPDATER_FTP_MIN_RATE", "1k"},
          Row{"UPDATER_FTP_RATE_WINDOW", "0"}, Row{"UPDATER_FTP_RATE_WINDOW", "86401"}}) {
        SCOPED_TRACE(r.value);
        setenv(r.name, r.value, 1);
        try {
            ApplyFtpEnvironment(CompiledFtpSettings());
            ADD_FAILURE() << "accepted";
        } catch (const EConvertError& e) {
            EXPECT_NE(e.Message().find(r.name), std::string::npos) << e.Message();
        }
        unsetenv(r.name);
    }
}

} // namespace
