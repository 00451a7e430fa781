// The shipped updater with UPDATER_FTP_TLS=require: a whole update through a
// vsftpd that requires TLS for the login and the data, and the ways the run
// stops at the connection instead (a certificate not trusted, a server
// without TLS), leaving the shop as it was. A value of the setting that is
// not "require" stops the updater at start.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/e2e/Shop.h"

using namespace vx::test;

namespace fs = std::filesystem;
using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

const std::string kNoConnection =
    "Atualizarvendarix: Falha na conex\xc3\xa3o, verifique a conex\xc3\xa3o com a "
    "Internet e tente novamente. [ok]";

class FtpTlsRun : public ::testing::Test {
protected:
    void SetUp() override {
        shop.MakeStandardShop();
        shop.MakeProgramArchive();
        shop.MakeSchemaArchive(Shop::DefaultSchema());
        // The server's certificate (for 127.0.0.1) and another one.
        for (const char* name : {"server", "other"}) {
            const std::string base = shop.Path(std::string("../") + name);
            const std::string cmd =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                "-days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                base + ".key' -out '" + base + ".crt' >/dev/null 2>&1";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
        }
    }
    std::string cert(const char* name) {
        return fs::weakly_canonical(shop.Path(std::string("../") + name)).string();
    }
    std::string tlsConf() {
        return "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
               "ssl_ciphers=HIGH\nrsa_cert_file=" +
               cert("server") + ".crt\nrsa_private_key_file=" + cert("server") + ".key\n";
    }
    Shop shop;
};

} // namespace

TEST_F(FtpTlsRun, UpdatesThroughAServerThatRequiresTls) {
    for (const char* passive : {"0", "1"}) {
        SCOPED_TRACE(passive);
        Shop fresh;
        fresh.MakeStandardShop();
        fresh.MakeProgramArchive();
        fresh.MakeSchemaArchive(Shop::DefaultSchema());
        Vsftpd server(fresh.Maker(), tlsConf());
        RunResult r = fresh.Run(server.Port(), {{"UPDATER_FTP_TLS", "require"},
                                                {"UPDATER_FTP_CA_FILE", cert("server") + ".crt"},
                                                {"UPDATER_FTP_PASSIVE", passive}});
        EXPECT_EQ(r.status, 0) << r.stderrText;
        EXPECT_EQ(r.dialogs, Strings{});
        EXPECT_EQ(ReadFile(fresh.Path("Vendarix.exe")), ProgramScript("new"));
    }
}

TEST_F(FtpTlsRun, StopsAtTheConnectionWithoutTlsOrTrust) {
    Vsftpd tls(shop.Maker(), tlsConf());
    Vsftpd plain(shop.Maker());
    // The run's own log aside, nothing of the shop changes.
    auto files = [&] {
        Strings f = shop.Files();
        std::erase(f, "AtualizarVendarix.log");
        return f;
    };
    const Strings before = files();
    struct Row {
        const char* what;
        int port;
        std::string caFile;
        const char* logSays; // the reason, in the run's log
    };
    for (const Row& r :
         {Row{"another certificate trusted", tls.Port(), cert("other") + ".crt", "certificate refused"},
          Row{"the system's certificates", tls.Port(), "", "certificate refused"},
          Row{"a server without TLS", plain.Port(), cert("server") + ".crt", "refused TLS: 530"},
          Row{"a trust file that is not there", tls.Port(), cert("missing") + ".crt", "missing.crt"}}) {
        SCOPED_TRACE(r.what);
        RunResult run = shop.Run(r.port, {{"UPDATER_FTP_TLS", "require"}, {"UPDATER_FTP_CA_FILE", r.caFile}});
        EXPECT_EQ(run.status, 1) << run.stderrText;
        EXPECT_EQ(run.dialogs, Strings{kNoConnection});
        EXPECT_EQ(files(), before);
        EXPECT_NE(ReadFile(shop.Path("AtualizarVendarix.log")).find(r.logSays), std::string::npos);
        EXPECT_EQ(ReadFile(shop.Path("Vendarix.exe")), ProgramScript("old"));
    }
}

TEST_F(FtpTlsRun, AnotherValueOfTheSettingStopsTheUpdaterAtStart) {
    RunResult r = shop.Run(1, {{"UPDATER_FTP_TLS", "sim"}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.stderrText.find("UPDATER_FTP_TLS"), std::string::npos) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
}
