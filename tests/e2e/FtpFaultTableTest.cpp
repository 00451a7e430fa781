// The shipped updater against an FTP server that misbehaves, one row per
// fault: silence or a hang-up at each step, refusals, replies that never
// end, data that never ends, a third party on the data port. Whatever the
// server does, the run ends in a few time-outs, shows the message of the
// download that failed, and leaves the shop with its program whole: the new
// one when everything arrived, else the old one, started; or, when no
// connection could be made at all, the old one untouched.
#include <gtest/gtest.h>

#include <strings.h>

#include <filesystem>
#include <functional>

#include "tests/e2e/Shop.h"
#include "tests/support/FtpPeer.h"

using namespace vx::test;

namespace fs = std::filesystem;
using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

const std::string kTitle = "Atualizarvendarix: ";
const std::string kNoConnection =
    kTitle + "Falha na conex\xc3\xa3o, verifique a conex\xc3\xa3o com a Internet e tente novamente. [ok]";
std::string downloadFailed(const std::string& name) {
    return kTitle + "Problemas ao descarregar arquivo \"" + name + "\" [ok]";
}
const std::string kProgramFailed = downloadFailed("Vendarix.zip");
const std::string kSchemaFailed = downloadFailed("TabelasTalvir.zip");

const std::string kProgramRemote = "/Pagina/Download/Vendarix.zip";
const std::string kSchemaRemote = "/Pagina/Download/TabelasTalvir.zip";

// Short, so that the table stays fast; every wait of the run is bounded by it.
constexpr int kTimeOutMs = 1000;

// What the server serves.
struct Files {
    std::string program;
    std::string schema;
};

std::string opening(const std::string& remote, const std::string& bytes, const std::string& code = "150") {
    return code + " Opening BINARY mode data connection for " + remote + " (" + std::to_string(bytes.size()) +
           " bytes).\r\n";
}

// The script of one server.
class Script {
public:
    Script(TFtpPeer& p, bool passive) : p_(p), passive_(passive) {}
    TFtpPeer& peer() { return p_; }

    Script& greeting(const std::string& g = "220 Servidor pronto.\r\n") {
        p_.Send(g);
        return *this;
    }
    Script& login(const std::string& g = "220 Servidor pronto.\r\n") {
        greeting(g);
        p_.Expect("USER anonymous", "331 Senha, por favor.\r\n")
            .Expect("PASS loja@example.com", "230 Bem-vindo.\r\n")
            .Expect("TYPE I", "200 Type set to I.\r\n");
        return *this;
    }
    // The updater comes back for the next archive on a fresh connection.
    Script& relogin() {
        p_.AcceptControl();
        return login();
    }
    Script& open() {
        if (passive_)
            p_.ExpectPasv();
        else
            p_.ExpectPort();
        return *this;
    }
    Script& serve(const std::string& remote, const std::string& bytes, const std::string& code = "150") {
        open();
        p_.Expect("RETR " + remote, opening(remote, bytes, code))
            .OpenData()
            .SendData(bytes)
            .CloseData()
            .Send("226 Transfer complete.\r\n");
        return *this;
    }
    Script& refuse(const std::string& remote) {
        open();
        p_.Expect("RETR " + remote, "550 " + remote + ": No such file or directory.\r\n");
        return *this;
    }
    // A transfer cut on its way is taken up again with REST, at most three
    // times; here each of those tries is cut again at once, so the archive
    // still does not arrive.
    Script& cutAgain(const std::string& remote, size_t had) {
        for (int i = 0; i < 3; ++i) {
            open();
            p_.Expect("REST " + std::to_string(had), "350 Restarting.\r\n")
                .Expect("RETR " + remote, "150 Opening BINARY mode data connection.\r\n")
                .OpenData()
                .CloseData()
                .Send("426 Connection closed; transfer aborted.\r\n");
        }
        return *this;
    }
    Script& quit() {
        p_.Expect("QUIT", "221 Adeus.\r\n");
        return *this;
    }

private:
    TFtpPeer& p_;
    bool passive_;
};

enum class Outcome {
    Updated,       // both archives arrived: the new program, started
    ProgramFailed, // the program archive did not arrive: the old program, started
    SchemaFailed,  // the schema archive did not arrive: the old program, started
    BothFailed,    // neither arrived: the old program, started
    Stopped,       // no connection: nothing touched, nothing started
};

struct Row {
    const char* name;
    std::function<void(Script&, const Files&)> script;
    Outcome outcome;
    bool passive = false;
};

const Row kRows[] = {
    {"a server that behaves",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program).serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::Updated},
    {"RFC 959's example greeting",
     [](Script& s, const Files& f) {
         s.login(
              "220-First line\r\nSecond line\r\n  234 A line beginning with numbers\r\n220 The last line\r\n")
             .serve(kProgramRemote, f.program)
             .serve(kSchemaRemote, f.schema)
             .quit();
     },
     Outcome::Updated},
    {"replies split byte by byte",
     [](Script& s, const Files& f) {
         for (char c : std::string("220-Servidor\r\n220 pronto.\r\n"))
             s.peer().Send(std::string(1, c)).Pause(1);
         s.peer()
             .Expect("USER anonymous", "331 Senha, por favor.\r\n")
             .Expect("PASS loja@example.com", "230 Bem-vindo.\r\n")
             .Expect("TYPE I", "200 Type set to I.\r\n")
             .ExpectPort()
             .Expect("RETR " + kProgramRemote);
         for (char c : opening(kProgramRemote, f.program))
             s.peer().Send(std::string(1, c)).Pause(1);
         s.peer().OpenData().SendData(f.program).CloseData();
         for (char c : std::string("226 Transfer complete.\r\n"))
             s.peer().Send(std::string(1, c)).Pause(1);
         s.serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::Updated},
    {"125 instead of 150",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program, "125").serve(kSchemaRemote, f.schema, "125").quit();
     },
     Outcome::Updated},
    {"data before the reply",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote)
             .OpenData()
             .SendData(f.program.substr(0, f.program.size() / 2))
             .Send(opening(kProgramRemote, f.program))
             .SendData(f.program.substr(f.program.size() / 2))
             .CloseData()
             .Send("226 Transfer complete.\r\n");
         s.serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::Updated},
    {"a hang-up right after the 226",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program);
         s.peer().Close();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::Updated},
    {"a third party on the data port first",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, opening(kProgramRemote, f.program))
             .IntrudeData("127.0.0.2", "PK\x03\x04 not the maker's archive")
             .OpenData()
             .SendData(f.program)
             .CloseData()
             .Send("226 Transfer complete.\r\n");
         s.serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::Updated},
    {"silence after QUIT",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program).serve(kSchemaRemote, f.schema);
         s.peer().Expect("QUIT").Hold();
     },
     Outcome::Updated},
    {"a hang-up at QUIT",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program).serve(kSchemaRemote, f.schema);
         s.peer().Expect("QUIT").Close();
     },
     Outcome::Updated},
    {"a hang-up at PORT (the download starts over)",
     [](Script& s, const Files& f) {
         s.login();
         s.peer().ExpectPort("").Close();
         s.relogin().serve(kProgramRemote, f.program).serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::Updated},

    // The connection cannot be made.
    {"silence instead of the greeting", [](Script& s, const Files&) { s.peer().Hold(); }, Outcome::Stopped},
    {"a hang-up instead of the greeting", [](Script& s, const Files&) { s.peer().Close(); },
     Outcome::Stopped},
    {"421 as the greeting",
     [](Script& s, const Files&) { s.greeting("421 Too many users.\r\n").peer().Close(); }, Outcome::Stopped},
    {"a greeting that never ends",
     [](Script& s, const Files&) {
         s.greeting("220-Bem-vindo\r\n").peer().SendRepeated("220-mais\r\n", 200000);
     },
     Outcome::Stopped},
    {"silence after USER",
     [](Script& s, const Files&) { s.greeting().peer().Expect("USER anonymous").Hold(); }, Outcome::Stopped},
    {"a hang-up after USER",
     [](Script& s, const Files&) { s.greeting().peer().Expect("USER anonymous").Close(); }, Outcome::Stopped},
    {"421 to USER",
     [](Script& s, const Files&) {
         s.greeting().peer().Expect("USER anonymous", "421 Service not available.\r\n").Close();
     },
     Outcome::Stopped},
    {"silence after PASS",
     [](Script& s, const Files&) {
         s.greeting()
             .peer()
             .Expect("USER anonymous", "331 Senha.\r\n")
             .Expect("PASS loja@example.com")
             .Hold();
     },
     Outcome::Stopped},
    {"a hang-up after PASS",
     [](Script& s, const Files&) {
         s.greeting()
             .peer()
             .Expect("USER anonymous", "331 Senha.\r\n")
             .Expect("PASS loja@example.com")
             .Close();
     },
     Outcome::Stopped},
    {"silence after TYPE",
     [](Script& s, const Files&) {
         s.greeting()
             .peer()
             .Expect("USER anonymous", "331 Senha.\r\n")
             .Expect("PASS loja@example.com", "230 Ok.\r\n")
             .Expect("TYPE I")
             .Hold();
     },
     Outcome::Stopped},
    {"a hang-up after TYPE",
     [](Script& s, const Files&) {
         s.greeting()
             .peer()
             .Expect("USER anonymous", "331 Senha.\r\n")
             .Expect("PASS loja@example.com", "230 Ok.\r\n")
             .Expect("TYPE I")
             .Close();
     },
     Outcome::Stopped},

    // The program archive does not arrive.
    {"silence after PORT",
     [](Script& s, const Files& f) {
         s.login();
         s.peer().ExpectPort("").Hold();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"silence after PASV",
     [](Script& s, const Files& f) {
         s.login();
         s.peer().Expect("PASV").Hold();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed, true},
    {"a PASV reply without \")\"",
     [](Script& s, const Files& f) {
         s.login();
         s.peer().Expect("PASV", "227 Entering Passive Mode (127,0,0,1,4,1\r\n");
         s.quit().relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed, true},
    {"silence after RETR",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer().Expect("RETR " + kProgramRemote).Hold();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"a hang-up after RETR",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer().Expect("RETR " + kProgramRemote).Close();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"421 to RETR",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer().Expect("RETR " + kProgramRemote, "421 Timeout.\r\n").Close();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"a late 425 after the wait for the data connection",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection.\r\n")
             .Pause(kTimeOutMs + 500)
             .Send("425 Failed to establish connection.\r\n");
         s.quit().relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"a 150 longer than any reply",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote)
             .SendRepeated("150 " + std::string(70000, 'x') + "\r\n", 1)
             .Hold();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"a 150 that never ends",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, "150-Abrindo\r\n")
             .SendRepeated("150-mais\r\n", 200000)
             .Hold();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"data that never ends",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection (1000 bytes).\r\n")
             .OpenData()
             .SendData(std::string(16 << 20, 'z'), true)
             .CloseData()
             .Send("426 Connection closed; transfer aborted.\r\n");
         s.quit().relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"silence mid-transfer",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, opening(kProgramRemote, f.program))
             .OpenData()
             .SendData(f.program.substr(0, f.program.size() / 2))
             .Hold();
         s.relogin().cutAgain(kProgramRemote, f.program.size() / 2).quit();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"426 mid-transfer",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, opening(kProgramRemote, f.program))
             .OpenData()
             .SendData(f.program.substr(0, f.program.size() / 2))
             .CloseData()
             .Send("426 Connection closed; transfer aborted.\r\n");
         s.cutAgain(kProgramRemote, f.program.size() / 2)
             .quit()
             .relogin()
             .serve(kSchemaRemote, f.schema)
             .quit();
     },
     Outcome::ProgramFailed},
    {"451 mid-transfer",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, opening(kProgramRemote, f.program))
             .OpenData()
             .SendData(f.program.substr(0, f.program.size() / 2))
             .CloseData()
             .Send("451 Local error in processing.\r\n");
         s.cutAgain(kProgramRemote, f.program.size() / 2)
             .quit()
             .relogin()
             .serve(kSchemaRemote, f.schema)
             .quit();
     },
     Outcome::ProgramFailed},
    {"silence instead of the completion reply",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, opening(kProgramRemote, f.program))
             .OpenData()
             .SendData(f.program)
             .CloseData()
             .Hold();
         s.relogin().cutAgain(kProgramRemote, f.program.size()).quit();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"a hang-up instead of the completion reply",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer()
             .Expect("RETR " + kProgramRemote, opening(kProgramRemote, f.program))
             .OpenData()
             .SendData(f.program)
             .CloseData()
             .Close();
         s.relogin().cutAgain(kProgramRemote, f.program.size()).quit();
         s.relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},
    {"a bare 226 and no data connection",
     [](Script& s, const Files& f) {
         s.login().open();
         s.peer().Expect("RETR " + kProgramRemote, "226 Transfer complete.\r\n");
         s.quit().relogin().serve(kSchemaRemote, f.schema).quit();
     },
     Outcome::ProgramFailed},

    // The schema archive does not arrive.
    {"the schema archive missing",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program).refuse(kSchemaRemote).quit();
     },
     Outcome::SchemaFailed},
    {"silence mid-transfer of the schema archive",
     [](Script& s, const Files& f) {
         s.login().serve(kProgramRemote, f.program).open();
         s.peer()
             .Expect("RETR " + kSchemaRemote, opening(kSchemaRemote, f.schema))
             .OpenData()
             .SendData(f.schema.substr(0, f.schema.size() / 2))
             .Hold();
         s.relogin().cutAgain(kSchemaRemote, f.schema.size() / 2).quit();
     },
     Outcome::SchemaFailed},

    // Neither arrives.
    {"both archives missing",
     [](Script& s, const Files&) {
         s.login().refuse(kProgramRemote).quit().relogin().refuse(kSchemaRemote).quit();
     },
     Outcome::BothFailed},
};

class FtpFaultTable : public ::testing::TestWithParam<size_t> {};

std::string programIn(const Shop& shop) {
    std::string which = "missing";
    int found = 0;
    for (const auto& e : fs::directory_iterator(shop.Dir())) {
        if (strcasecmp(e.path().filename().c_str(), "Vendarix.exe") != 0)
            continue;
        ++found;
        const std::string bytes = ReadFile(e.path());
        which = bytes == ProgramScript("old") ? "old" : bytes == ProgramScript("new") ? "new" : "broken";
    }
    return found == 1 ? which : found == 0 ? "missing" : "twice";
}

} // namespace

TEST_P(FtpFaultTable, RunEndsWellAndInBoundedTime) {
    const Row& row = kRows[GetParam()];
    SCOPED_TRACE(row.name);
    Shop shop;
    shop.MakeStandardShop();
    shop.MakeProgramArchive();
    shop.MakeSchemaArchive(Shop::DefaultSchema());
    const Files files{ReadFile(shop.Download() + "/Vendarix.zip"),
                      ReadFile(shop.Download() + "/TabelasTalvir.zip")};
    TFtpPeer peer;
    Script script(peer, row.passive);
    row.script(script, files);
    peer.Start();
    RunControl control;
    control.limitMs = 30000;
    RunResult r = shop.Run(peer.Port(),
                           {{"UPDATER_FTP_TIMEOUT", std::to_string(kTimeOutMs)},
                            {"UPDATER_FTP_PASSIVE", row.passive ? "1" : "0"}},
                           control);
    std::cout << "[ row      ] " << row.name << ": exit " << r.status << ", " << r.seconds << " s\n";
    ASSERT_NE(r.status, -2) << "the updater was still running after 30 s";
    // A few time-outs at most: each failing step costs one, and the
    // process's own start and end little.
    EXPECT_LT(r.seconds, 8.0 * kTimeOutMs / 1000 + 4);

    Strings dialogs;
    std::string program = "new", started = "new\n";
    int status = 0;
    switch (row.outcome) {
    case Outcome::Updated:
        break;
    case Outcome::ProgramFailed:
        dialogs = {kProgramFailed};
        program = "old";
        started = "old\n";
        break;
    case Outcome::SchemaFailed:
        dialogs = {kSchemaFailed};
        program = "old";
        started = "old\n";
        break;
    case Outcome::BothFailed:
        dialogs = {kProgramFailed, kSchemaFailed};
        program = "old";
        started = "old\n";
        break;
    case Outcome::Stopped:
        dialogs = {kNoConnection};
        program = "old";
        started = "";
        status = 1;
        break;
    }
    EXPECT_EQ(r.status, status) << r.stderrText;
    EXPECT_EQ(r.dialogs, dialogs) << r.stderrText;
    EXPECT_EQ(programIn(shop), program);
    EXPECT_EQ(fs::exists(shop.Path("started.log")) ? ReadFile(shop.Path("started.log")) : "", started);
    // Nothing downloaded is left larger than what the server has.
    for (const auto& [name, bytes] :
         {std::pair{"Vendarix.zip", files.program}, {"TabelasTalvir.zip", files.schema}})
        if (fs::exists(shop.Path(name))) {
            EXPECT_LE(fs::file_size(shop.Path(name)), bytes.size()) << name;
        }
    if (row.outcome == Outcome::Stopped) {
        EXPECT_FALSE(fs::exists(shop.Path("Vendarix.bkp")));
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FtpFaultTable, ::testing::Range<size_t>(0, std::size(kRows)),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string n;
                             for (const char* c = kRows[info.param].name; *c; ++c)
                                 n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return std::to_string(info.param) + "_" + n;
                         });
