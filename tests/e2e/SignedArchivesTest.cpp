// The shipped updater with the maker's key set: archives signed with the
// minisign tool are installed, and an archive whose signature is missing,
// damaged, by another key or of another file is deleted unopened and handled
// as a failed download. vsftpd on loopback serves archives and signatures.
#include <gtest/gtest.h>

#include <sodium.h>

#include <filesystem>

#include "tests/e2e/Shop.h"
#include "tests/support/Minisign.h"
#include "tests/support/TempFolder.h"

using namespace vx::test;

namespace fs = std::filesystem;
using namespace e2e;

namespace {

using Strings = std::vector<std::string>;

const std::string kTitle = "Atualizarvendarix: ";
std::string downloadFailed(const std::string& name) {
    return kTitle + "Problemas ao descarregar arquivo \"" + name + "\" [ok]";
}

const Strings kUpdatedShop = {"Brevanto.ini",      "LEIAME.TXT",     "Relatorios/", "Relatorios/Vendas.rpt",
                              "Vendarix.bkp",      "Vendarix.exe",   "dados/",      "dados/Cad_Clientes.db",
                              "dados/Produtos.db", "dados/Vendas.db"};
// The program archive refused: the old program back under its name, nothing
// of the archive in the folder, the tables brought up to date.
const Strings kOldProgramKept = {"Brevanto.ini",          "Vendarix.exe",      "dados/",
                                 "dados/Cad_Clientes.db", "dados/Produtos.db", "dados/Vendas.db"};

class SignedArchives : public ::testing::Test {
public: // the spoilers of the table below reach the helpers
    static void SetUpTestSuite() {
        keys_ = new TTempFolder();
        maker_ = new TMinisignKeyPair(MakeMinisignKeyPair(keys_->Path(), "maker"));
        stranger_ = new TMinisignKeyPair(MakeMinisignKeyPair(keys_->Path(), "stranger"));
    }
    static void TearDownTestSuite() {
        delete stranger_;
        delete maker_;
        delete keys_;
    }
    void SetUp() override {
        shop_ = std::make_unique<Shop>();
        shop_->MakeStandardShop();
        shop_->MakeProgramArchive();
        shop_->MakeSchemaArchive(Shop::DefaultSchema());
        server_ = std::make_unique<Vsftpd>(shop_->Maker());
    }
    Shop& shop() { return *shop_; }
    std::string served(const std::string& name) const { return shop_->Download() + "/" + name; }
    // Signed now by the tool's own comment, or at the time given.
    void sign(const std::string& name, bool legacy = false, const TMinisignKeyPair* key = nullptr,
              long long timestamp = 0) {
        if (fs::exists(served(name) + ".minisig"))
            fs::remove(served(name) + ".minisig");
        MinisignSign(key ? *key : *maker_, served(name), legacy, "",
                     timestamp ? ReleaseComment(timestamp, name) : "");
    }
    RunResult run(std::map<std::string, std::string> env = {}) {
        env.emplace("UPDATER_SIGNING_KEY", maker_->PublicKeyLine);
        return shop_->Run(server_->Port(), env);
    }
    std::string file(const std::string& name) { return ReadFile(shop_->Path(name)); }
    void expectTablesUpdated() {
        EXPECT_EQ(Columns(shop().Tables() + "/Cad_Clientes.db"),
                  (Strings{"Codigo", "Nome", "Email", "MalaDireta"}));
        EXPECT_EQ(Columns(shop().Tables() + "/Vendas.db"), (Strings{"Numero", "Data", "Total"}));
    }
    void expectTablesUntouched() {
        EXPECT_EQ(Columns(shop().Tables() + "/Cad_Clientes.db"), (Strings{"Codigo", "Nome"}));
        EXPECT_FALSE(fs::exists(shop().Tables() + "/Vendas.db"));
    }
    // A signature made with the maker's secret key by hand, with the given
    // comment texts.
    std::string handMadeSignature(const std::string& name, const std::string& untrusted,
                                  const std::string& trusted) {
        const std::string data = ReadFile(served(name));
        unsigned char hash[crypto_generichash_BYTES_MAX];
        crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(data.data()),
                           data.size(), nullptr, 0);
        return MinisignSignatureFile(
            MinisignSecretKey(*maker_), "ED", FromBase64(maker_->PublicKeyLine).substr(2, 8),
            std::string(reinterpret_cast<const char*>(hash), sizeof hash), untrusted, trusted);
    }

    static TTempFolder* keys_;
    static TMinisignKeyPair* maker_;
    static TMinisignKeyPair* stranger_;
    std::unique_ptr<Shop> shop_;
    std::unique_ptr<Vsftpd> server_;
};

TTempFolder* SignedArchives::keys_ = nullptr;
TMinisignKeyPair* SignedArchives::maker_ = nullptr;
TMinisignKeyPair* SignedArchives::stranger_ = nullptr;

} // namespace

TEST_F(SignedArchives, SignaturesOfBothFormatsInstallTheUpdate) {
    sign("Vendarix.zip");
    sign("TabelasTalvir.zip", true);
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("new"));
    EXPECT_EQ(file("started.log"), "new\n");
    // The signatures went with their archives.
    EXPECT_EQ(shop().Files(), kUpdatedShop);
    expectTablesUpdated();
}

TEST_F(SignedArchives, CommentsAreReadAsTheMakerWroteThem) {
    // An empty untrusted comment, and a trusted one with blanks for tabs,
    // without "hashed" and with a field of the maker's own.
    WriteFile(served("Vendarix.zip.minisig"),
              handMadeSignature("Vendarix.zip", "", "versao:7.2 file:Vendarix.zip timestamp:1800000000"));
    WriteFile(served("TabelasTalvir.zip.minisig"),
              handMadeSignature("TabelasTalvir.zip", "", "timestamp:1800000000\tfile:TabelasTalvir.zip"));
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    EXPECT_EQ(file("started.log"), "new\n");
    EXPECT_EQ(shop().Files(), kUpdatedShop);
}

TEST_F(SignedArchives, RefusedProgramArchiveKeepsTheOldProgram) {
    struct Row {
        const char* what;
        std::function<void(SignedArchives&)> spoil;
        const char* reason;
    };
    const std::vector<Row> rows = {
        {"one byte of the archive changed",
         [](SignedArchives& t) {
             t.sign("Vendarix.zip");
             std::string zip = ReadFile(t.served("Vendarix.zip"));
             zip[zip.size() / 2] ^= 0x20;
             WriteFile(t.served("Vendarix.zip"), zip);
         },
         "damaged"},
        {"signed with another key", [](SignedArchives& t) { t.sign("Vendarix.zip", false, stranger_); },
         "wrong key"},
        {"no signature", [](SignedArchives&) {}, "no signature"},
        {"truncated signature",
         [](SignedArchives& t) {
             t.sign("Vendarix.zip");
             const std::string sig = ReadFile(t.served("Vendarix.zip.minisig"));
             WriteFile(t.served("Vendarix.zip.minisig"), sig.substr(0, sig.size() / 2));
         },
         "damaged"},
        {"garbage signature",
         [](SignedArchives& t) { WriteFile(t.served("Vendarix.zip.minisig"), std::string(400, '\xa7')); },
         "damaged"},
        {"signature of the schema archive",
         [](SignedArchives& t) {
             t.sign("TabelasTalvir.zip");
             fs::copy_file(t.served("TabelasTalvir.zip.minisig"), t.served("Vendarix.zip.minisig"));
         },
         "damaged"},
        {"schema archive with its signature served as the program",
         [](SignedArchives& t) {
             t.sign("TabelasTalvir.zip");
             fs::copy_file(t.served("TabelasTalvir.zip"), t.served("Vendarix.zip"),
                           fs::copy_options::overwrite_existing);
             fs::copy_file(t.served("TabelasTalvir.zip.minisig"), t.served("Vendarix.zip.minisig"));
         },
         "wrong file name"},
        {"another product's signed archive",
         [](SignedArchives& t) {
             fs::copy_file(t.served("Vendarix.zip"), t.served("Outro.zip"));
             t.sign("Outro.zip");
             fs::rename(t.served("Outro.zip.minisig"), t.served("Vendarix.zip.minisig"));
         },
         "wrong file name"},
        {"blank comment lines",
         [](SignedArchives& t) {
             std::string sig = t.handMadeSignature("Vendarix.zip", "", "");
             sig.erase(0, sig.find('\n'));
             sig.erase(sig.find("trusted comment: "), 17);
             WriteFile(t.served("Vendarix.zip.minisig"), sig);
         },
         "damaged"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        sign("TabelasTalvir.zip");
        row.spoil(*this);
        RunResult r = run();
        EXPECT_EQ(r.status, 3) << r.stderrText;
        EXPECT_NE(file("AtualizarVendarix.log")
                      .find(std::string("signature /Pagina/Download/Vendarix.zip: refused, ") + row.reason),
                  std::string::npos)
            << file("AtualizarVendarix.log");
        EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
        EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
        EXPECT_EQ(file("started.log"), "old\n");
        // Nothing of the refused archive was extracted, and no download
        // stayed behind.
        EXPECT_EQ(shop().Files(), kOldProgramKept);
        expectTablesUpdated();
    }
}

TEST_F(SignedArchives, EmptyTrustedCommentBindsNothingAndIsRefused) {
    WriteFile(served("Vendarix.zip.minisig"), handMadeSignature("Vendarix.zip", "", ""));
    sign("TabelasTalvir.zip");
    RunResult r = run();
    EXPECT_EQ(r.status, 3) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
    EXPECT_EQ(file("started.log"), "old\n");
}

TEST_F(SignedArchives, OlderReleaseIsRefusedOnceANewerIsInstalled) {
    // The release installed first, signed at 2000.
    sign("Vendarix.zip", false, nullptr, 2000);
    sign("TabelasTalvir.zip", false, nullptr, 2000);
    RunResult first = run();
    ASSERT_EQ(first.status, 0) << first.stderrText;
    EXPECT_EQ(file("AtualizarVendarix.estado"),
              "AtualizarVendarix estado 1\n2000 TabelasTalvir.zip\n2000 Vendarix.zip\n");

    // The server then serves an earlier program, signed and intact.
    const std::string older = shop().Base() + "/older";
    WriteFile(older + "/VENDARIX.EXE", ProgramScript("older"), true);
    fs::remove(served("Vendarix.zip"));
    ASSERT_EQ(Zip(older, {"-q", "-X", served("Vendarix.zip"), "VENDARIX.EXE"}), 0);
    struct Row {
        const char* what;
        const char* record; // written before the run; nullptr: left as it is
        int status;
        const char* program;
        const char* logged;
    };
    const Row rows[] = {
        {"newer installed", nullptr, 3, "new",
         "refused, older than installed: signed at 1000, installed 2000"},
        {"record damaged", "AtualizarVendarix estado 1\n2000 Vendarix", 0, "older",
         "record AtualizarVendarix.estado: damaged"},
        {"record lost", "", 0, "older", "end: finished, exit status 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(shop().Path("started.log"));
        fs::remove(shop().Path("AtualizarVendarix.log"));
        if (row.record && *row.record)
            WriteFile(shop().Path("AtualizarVendarix.estado"), row.record);
        else if (row.record)
            fs::remove(shop().Path("AtualizarVendarix.estado"));
        sign("Vendarix.zip", false, nullptr, 1000);
        RunResult r = run();
        EXPECT_EQ(r.status, row.status) << r.stderrText;
        EXPECT_EQ(file("started.log"), std::string(row.program) + "\n");
        EXPECT_EQ(file("Vendarix.exe"), ProgramScript(row.program));
        EXPECT_NE(file("AtualizarVendarix.log").find(row.logged), std::string::npos)
            << file("AtualizarVendarix.log");
        if (row.status == 0) {
            // What went in is what is recorded now.
            EXPECT_EQ(file("AtualizarVendarix.estado"),
                      "AtualizarVendarix estado 1\n2000 TabelasTalvir.zip\n1000 Vendarix.zip\n");
            WriteFile(shop().Path("Vendarix.exe"), ProgramScript("new"), true);
            WriteFile(shop().Path("AtualizarVendarix.estado"),
                      "AtualizarVendarix estado 1\n2000 TabelasTalvir.zip\n2000 Vendarix.zip\n");
        }
    }
}

TEST_F(SignedArchives, RefusedSchemaArchiveTouchesNoTable) {
    sign("Vendarix.zip");
    sign("TabelasTalvir.zip");
    // A schema table that adds a column nobody signed.
    const std::string signedSchema = ReadFile(served("TabelasTalvir.zip"));
    SchemaRows rows = Shop::DefaultSchema();
    rows.push_back({"Cad_Clientes", "Intruso", "Varchar(10)"});
    shop().MakeSchemaArchive(rows);
    ASSERT_NE(ReadFile(served("TabelasTalvir.zip")), signedSchema);
    RunResult r = run();
    // As for a schema archive missing on the server: the new program does
    // not go in without its tables, and the old one starts.
    EXPECT_EQ(r.status, 3) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("TabelasTalvir.zip")});
    EXPECT_FALSE(fs::exists(shop().Path("TabelasTalvir.zip")));
    EXPECT_FALSE(fs::exists(shop().Path("TabelasTalvir.zip.minisig")));
    EXPECT_FALSE(fs::exists(shop().Path("Talvir.db")));
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_EQ(file("started.log"), "old\n");
    expectTablesUntouched();
}

TEST_F(SignedArchives, BothArchivesRefused) {
    sign("Vendarix.zip", false, stranger_);
    sign("TabelasTalvir.zip", true, stranger_);
    RunResult r = run();
    EXPECT_EQ(r.status, 3) << r.stderrText;
    EXPECT_EQ(r.dialogs, (Strings{downloadFailed("Vendarix.zip"), downloadFailed("TabelasTalvir.zip")}));
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_EQ(file("started.log"), "old\n");
    for (const char* f : {"Vendarix.bkp", "LEIAME.TXT", "Talvir.db", "TabelasTalvir.zip", "Vendarix.zip",
                          "TabelasTalvir.zip.minisig", "Vendarix.zip.minisig"})
        EXPECT_FALSE(fs::exists(shop().Path(f))) << f;
    expectTablesUntouched();
}

TEST_F(SignedArchives, KeyThatIsNoKeyStopsBeforeAnythingIsTouched) {
    sign("Vendarix.zip");
    sign("TabelasTalvir.zip");
    const Strings before = shop().Files();
    RunResult r = run({{"UPDATER_SIGNING_KEY", maker_->PublicKeyLine.substr(3)}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.stderrText.find("UPDATER_SIGNING_KEY"), std::string::npos) << r.stderrText;
    EXPECT_EQ(shop().Files(), before);
}

TEST_F(SignedArchives, WithoutAKeySignaturesAreNotFetched) {
    // Not even a broken one stops the run: a maker who does not sign is
    // served exactly as before.
    WriteFile(served("Vendarix.zip.minisig"), "garbage");
    RunResult r = shop().Run(server_->Port(), {});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    EXPECT_EQ(file("started.log"), "new\n");
    EXPECT_EQ(shop().Files(), kUpdatedShop);
}

TEST_F(SignedArchives, StartedProgramDoesNotSeeTheUpdatersSettings) {
    // The new program writes down the environment it was started with.
    const std::string src = shop().Base() + "/envprogram";
    WriteFile(
        src + "/VENDARIX.EXE",
        "#!/bin/sh\nenv > \"$(dirname \"$0\")/env.log\"\necho new >> \"$(dirname \"$0\")/started.log\"\n",
        true);
    fs::remove(served("Vendarix.zip"));
    ASSERT_EQ(Zip(src, {"-q", "-X", served("Vendarix.zip"), "VENDARIX.EXE"}), 0);
    sign("Vendarix.zip");
    sign("TabelasTalvir.zip");
    RunResult r = run({{"UPDATER_FTP_PASSWORD", "segredo-da-loja"}, {"VX_SHOP_NOTE", "kept"}});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(file("started.log"), "new\n");
    const std::string env = file("env.log");
    EXPECT_EQ(env.find("segredo-da-loja"), std::string::npos) << env;
    EXPECT_EQ(env.find("UPDATER_"), std::string::npos) << env;
    EXPECT_NE(env.find("VX_SHOP_NOTE=kept\n"), std::string::npos) << env;
}
