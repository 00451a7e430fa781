// The shipped updater under faults: servers that die, stall or refuse the
// data connection, a full disk, targets that cannot be replaced, a database
// that is not there, and hostile archives. After every run, whatever its
// outcome, the shop must still hold its program (the old one or the new
// one, whole), no file that was there may have been replaced by a broken
// one, and nothing may have been written outside the shop's folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/e2e/Shop.h"
#include "tests/support/ArchiveMaker.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/FtpServers.h"
#include "tests/support/RequireOrSkip.h"

using namespace vx::test;

namespace fs = std::filesystem;
using namespace e2e;
using Strings = std::vector<std::string>;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace {

const std::string kTitle = "Atualizarvendarix: ";
const std::string kFailureBox = "File processing error, possibly disk is full [abort,retry,ignore]";

std::string downloadFailed(const std::string& name) {
    return kTitle + "Problemas ao descarregar arquivo \"" + name + "\" [ok]";
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

[[maybe_unused]] size_t countOf(const Strings& lines, const std::string& part) {
    size_t n = 0;
    for (const auto& l : lines)
        n += l.find(part) != std::string::npos;
    return n;
}

// A small tmpfs over a folder, so that the disk fills up where the test
// wants it to; unmounted when the object goes.
class TTmpfs {
public:
    TTmpfs(const std::string& dir, const std::string& size) : dir_(dir) {
        mounted_ =
            ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0;
        if (!mounted_)
            why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    ~TTmpfs() {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string why_;
};

// The immutable attribute: the one way to make a file or folder that root
// cannot change. False when the file system does not have it.
bool setImmutable(const std::string& path, bool on) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// The scripted peer's login as the updater does it.
TFtpPeer& login(TFtpPeer& p) {
    return p.Send("220 Servidor pronto.\r\n")
        .Expect("USER anonymous", "331 Senha, por favor.\r\n")
        .Expect("PASS loja@example.com", "230 Bem-vindo.\r\n")
        .Expect("TYPE I", "200 Type set to I.\r\n");
}

// One whole download in active mode.
[[maybe_unused]] TFtpPeer& serve(TFtpPeer& p, const std::string& remote, const std::string& bytes) {
    return p.ExpectPort()
        .Expect("RETR " + remote, "150 Opening BINARY mode data connection for " + remote + " (" +
                                      std::to_string(bytes.size()) + " bytes).\r\n")
        .OpenData()
        .SendData(bytes)
        .CloseData()
        .Send("226 Transfer complete.\r\n");
}

// `size` zero bytes deflated (raw, as in an archive) as they are made, so
// that the test never holds them; with their CRC-32.
std::string deflatedZeros(uint64_t size, uint32_t& crc) {
    const std::string block(1 << 20, '\0');
    const auto* in = reinterpret_cast<const Bytef*>(block.data());
    const uLong blockCrc = crc32(0, in, static_cast<uInt>(block.size()));
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string out;
    std::vector<char> buf(1 << 16);
    uLong c = crc32(0, nullptr, 0);
    for (uint64_t done = 0; done < size; done += block.size()) {
        c = crc32_combine(c, blockCrc, static_cast<z_off_t>(block.size()));
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = static_cast<uInt>(block.size());
        const int flush = done + block.size() >= size ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buf.data());
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, flush);
            out.append(buf.data(), buf.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    crc = static_cast<uint32_t>(c);
    return out;
}

am::TEntry entry(const std::string& name, const std::string& data, uint16_t method = 0) {
    am::TEntry e;
    e.name = name;
    e.data = data;
    e.method = method;
    return e;
}

const std::string kProgramRemote = "/Pagina/Download/Vendarix.zip";
const std::string kSchemaRemote = "/Pagina/Download/TabelasTalvir.zip";

class FaultMatrix : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto it = immutable_.rbegin(); it != immutable_.rend(); ++it)
            setImmutable(*it, false);
        immutable_.clear();
        brought_.clear();
        vsftpd_.reset();
        mount_.reset();
        shop_.reset();
    }

    // A fresh shop; on a tmpfs of the given size when one is asked for
    // (false: the mount is not permitted here).
    bool makeShop(const std::string& tmpfsSize = "", const std::string& parent = "") {
        shop_ = std::make_unique<Shop>(parent);
        if (!tmpfsSize.empty()) {
            mount_ = std::make_unique<TTmpfs>(shop_->Dir(), tmpfsSize);
            if (!mount_->Mounted())
                return false;
        }
        shop_->MakeStandardShop();
        // Something outside the shop that an escaping entry would hit.
        WriteFile(shop_->Base() + "/fora.txt", "sentinel outside the shop\n");
        return true;
    }
    Shop& shop() { return *shop_; }

    // An archive made by Info-ZIP zip from the given files, in this order,
    // on the server; what it brings is remembered for the checks.
    void makeArchive(const std::string& archive, const std::vector<am::TSource>& files,
                     const Strings& options = {}) {
        std::string src = shop().Base() + "/src-" + archive;
        fs::remove_all(src);
        am::WriteTree(src, files);
        Strings args = {"-q", "-X"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(shop().Download() + "/" + archive);
        for (const auto& f : files) {
            args.push_back(f.name);
            brought_[lower(f.name)] = DigestOfBytes(f.data);
        }
        fs::remove(shop().Download() + "/" + archive);
        ASSERT_EQ(Zip(src, args), 0);
    }
    // The usual new program: the executable first, then a text and a
    // report that replace files the shop already has.
    std::vector<am::TSource> programFiles() {
        return {{"VENDARIX.EXE", ProgramScript("new")},
                {"LEIAME.TXT", "Vendarix 2.1 - novidades\r\n"},
                {"Relatorios/Vendas.rpt", am::TextBytes(200000, 7)}};
    }
    void makeProgramArchive() { makeArchive("Vendarix.zip", programFiles()); }
    void makeSchemaArchive() {
        shop().MakeSchemaArchive(Shop::DefaultSchema());
        brought_["talvir.db"] = DigestOfFile(shop().Base() + "/schema/Talvir.db");
    }
    // Files of the shop that the new program replaces, in their old state.
    void addOldFiles() {
        WriteFile(shop().Path("LEIAME.TXT"), "Vendarix 2.0\r\n");
        WriteFile(shop().Path("Relatorios/Vendas.rpt"), "relatorio antigo\r\n");
    }
    std::string archiveBytes(const std::string& name) { return ReadFile(shop().Download() + "/" + name); }

    int vsftpdPort() {
        if (!vsftpd_)
            vsftpd_ = std::make_unique<Vsftpd>(shop().Maker());
        return vsftpd_->Port();
    }

    // Taken just before a run.
    void snapshot() {
        before_ = TakeSnapshot(shop().Dir());
        outside_ = TakeSnapshot(shop().Base(), {"shop"});
    }

    RunResult run(int port, const std::map<std::string, std::string>& env = {}, RunControl control = {}) {
        snapshot();
        if (control.limitMs == 120000)
            control.limitMs = 60000;
        RunResult r = shop().Run(port, env, control);
        std::cout << "[ run      ] exit " << r.status << ", " << r.seconds << " s, peak " << r.peakKiB
                  << " KiB, " << r.dialogs.size() << " dialog(s)\n";
        for (const auto& d : r.dialogs)
            std::cout << "             " << d << "\n";
        return r;
    }

    // "old" or "new": which program the shop holds (checked whole).
    std::string program() {
        Strings names;
        std::string which;
        for (const auto& e : fs::directory_iterator(shop().Dir())) {
            if (strcasecmp(e.path().filename().c_str(), "Vendarix.exe") != 0)
                continue;
            names.push_back(e.path().filename());
            Digest d = DigestOfFile(e.path());
            which = d == DigestOfBytes(ProgramScript("old"))   ? "old"
                    : d == DigestOfBytes(ProgramScript("new")) ? "new"
                                                               : "broken";
        }
        EXPECT_EQ(names.size(), 1u) << "the program's file, in any letter case";
        return names.size() == 1 ? which : "missing";
    }

    // The three invariants; `extra` names further files that may be
    // missing or changed (a folder the test took away, say).
    void checkInvariants(const Strings& extra = {}) {
        SCOPED_TRACE("invariants");
        std::string p = program();
        EXPECT_TRUE(p == "old" || p == "new") << "Vendarix.exe is " << p;
        Snapshot after = TakeSnapshot(shop().Dir());
        std::map<std::string, std::pair<std::string, Digest>> afterByName;
        for (const auto& [name, d] : after)
            afterByName[lower(name)] = {name, d};
        auto allowed = [&](const std::string& name) {
            for (const auto& e : extra)
                if (name.rfind(e, 0) == 0)
                    return true;
            return false;
        };
        // Files that were there: the same, or what the archive brings, whole.
        for (const auto& [name, d] : before_) {
            const std::string l = lower(name);
            if (d.folder || l == "vendarix.exe" || l == "vendarix.bkp" || l.rfind("dados/", 0) == 0 ||
                allowed(name))
                continue;
            auto it = afterByName.find(l);
            if (it == afterByName.end()) {
                ADD_FAILURE() << name << " is gone";
                continue;
            }
            const Digest& now = it->second.second;
            auto b = brought_.find(l);
            EXPECT_TRUE(now == d || (b != brought_.end() && now == b->second))
                << name << " was replaced by " << now.size
                << " bytes that are neither the old file nor the new";
        }
        // New files: whole, or the downloads (which may be partial).
        for (const auto& [l, entry] : afterByName) {
            const auto& [name, d] = entry;
            EXPECT_EQ(fs::path(name).filename().string().rfind("~vx", 0), std::string::npos)
                << "temporary file left behind: " << name;
            if (d.folder || before_.count(name) || l == "vendarix.exe" || l == "started.log" ||
                l == "atualizarvendarix.log" || l == "vendarix.zip" || l == "tabelastalvir.zip" ||
                l.rfind("dados/", 0) == 0 || allowed(name))
                continue;
            if (l == "vendarix.bkp") {
                EXPECT_EQ(d, DigestOfBytes(ProgramScript("old"))) << "the backup is not the old program";
                continue;
            }
            auto b = brought_.find(l);
            if (b == brought_.end())
                ADD_FAILURE() << "unexpected new file " << name;
            else
                EXPECT_EQ(d, b->second) << name << " is not the archive's file, whole";
        }
        // The shop's tables are sound, whatever the reconciliation did.
        if (fs::is_directory(shop().Tables())) {
            for (const auto& e : fs::directory_iterator(shop().Tables()))
                EXPECT_EQ(integrity(e.path()), "ok") << e.path();
        }
        EXPECT_EQ(TakeSnapshot(shop().Base(), {"shop"}), outside_)
            << "something was written outside the shop";
    }

    static std::string integrity(const std::string& file) {
        sqlite3* db = nullptr;
        std::string r = "cannot open";
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
                sqlite3_step(st) == SQLITE_ROW)
                r = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return r;
    }

    std::string file(const std::string& name) { return ReadFile(shop().Path(name)); }
    bool exists(const std::string& name) { return fs::exists(shop().Path(name)); }
    bool started(const std::string& version) { return file("started.log") == version + "\n"; }

    std::unique_ptr<Shop> shop_;
    std::unique_ptr<TTmpfs> mount_;
    std::unique_ptr<Vsftpd> vsftpd_;
    Strings immutable_;
    std::map<std::string, Digest> brought_;
    Snapshot before_, outside_;
};

} // namespace

// ---------------------------------------------------------------- the server

TEST_F(FaultMatrix, ServerKilledInTheMiddleOfTheProgramArchive) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    // The executable comes first and arrives whole; the report behind it
    // does not compress and is cut off by the server's death.
    makeArchive("Vendarix.zip", {{"VENDARIX.EXE", ProgramScript("new")},
                                 {"Relatorios/Vendas.rpt", am::RandomBytes(1 << 20, 3)}});
    makeSchemaArchive();
    ThrottledServer server(shop().Maker(), 128 * 1024);
    if (!server.Port())
        return RequireOrSkip(server.Why());
    RunControl control;
    control.whileRunning = [&](pid_t) {
        std::error_code ec;
        if (server.Running() && fs::file_size(shop().Path("Vendarix.zip"), ec) >= 40000 && !ec)
            server.Kill();
    };
    RunResult r = run(server.Port(), {{"UPDATER_FTP_TIMEOUT", "5000"}}, control);
    EXPECT_FALSE(server.Running()) << "the server was not killed during the transfer";
    // Both downloads fail (the second finds the server gone); nothing of the
    // partial archive is opened, and the old program starts.
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, (Strings{downloadFailed("Vendarix.zip"), downloadFailed("TabelasTalvir.zip")}));
    EXPECT_EQ(program(), "old");
    EXPECT_EQ(file("Relatorios/Vendas.rpt"), "relatorio antigo\r\n");
    EXPECT_FALSE(exists("Vendarix.zip"));
    EXPECT_TRUE(started("old"));
    checkInvariants();
}

TEST_F(FaultMatrix, ServerKilledInTheMiddleOfTheSchemaArchive) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeProgramArchive();
    // The schema table sits behind a large entry, so it never arrives.
    shop().MakeSchemaArchive(Shop::DefaultSchema());
    std::string schema = shop().Base() + "/schema";
    WriteFile(schema + "/Leiame.dat", am::RandomBytes(1 << 20, 4));
    fs::remove(shop().Download() + "/TabelasTalvir.zip");
    ASSERT_EQ(Zip(schema, {"-q", "-X", shop().Download() + "/TabelasTalvir.zip", "Leiame.dat", "Talvir.db"}),
              0);
    ThrottledServer server(shop().Maker(), 128 * 1024);
    if (!server.Port())
        return RequireOrSkip(server.Why());
    RunControl control;
    control.whileRunning = [&](pid_t) {
        std::error_code ec;
        if (server.Running() && fs::file_size(shop().Path("TabelasTalvir.zip"), ec) >= 40000 && !ec)
            server.Kill();
    };
    RunResult r = run(server.Port(), {{"UPDATER_FTP_TIMEOUT", "5000"}}, control);
    EXPECT_FALSE(server.Running()) << "the server was not killed during the transfer";
    // The backup comes back and stays: a new program goes in only with its
    // tables, so the whole program archive is not extracted, and the old
    // program starts.
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("TabelasTalvir.zip")});
    EXPECT_EQ(program(), "old");
    EXPECT_EQ(file("LEIAME.TXT"), "Vendarix 2.0\r\n");
    EXPECT_FALSE(exists("Talvir.db"));
    EXPECT_FALSE(exists("TabelasTalvir.zip"));
    EXPECT_TRUE(started("old"));
    checkInvariants();
}

TEST_F(FaultMatrix, ServerThatStopsAnsweringIsGivenUpAfterTheTimeOut) {
    // The data stops half-way; or it all arrives and the completion reply
    // never comes. Either way the QUIT that follows is not answered either.
    for (bool dataStalls : {true, false}) {
        SCOPED_TRACE(dataStalls ? "data stalls" : "no completion reply");
        ASSERT_TRUE(makeShop());
        addOldFiles();
        makeProgramArchive();
        makeSchemaArchive();
        const std::string zip = archiveBytes("Vendarix.zip");
        TFtpPeer peer;
        login(peer)
            .ExpectPort()
            .Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection for Vendarix.zip (" +
                                                  std::to_string(zip.size()) + " bytes).\r\n")
            .OpenData();
        if (dataStalls)
            peer.SendData(zip.substr(0, zip.size() / 2));
        else
            peer.SendData(zip).CloseData();
        peer.Hold();
        peer.Start();
        RunResult r = run(peer.Port(), {{"UPDATER_FTP_TIMEOUT", "1000"}}, RunControl{nullptr, 20000});
        ASSERT_NE(r.status, -2) << "the updater still waited after 20 s";
        // The silent server is given up after the time-out; the schema
        // archive's fresh login gets no greeting either. The old program is
        // put back under its name and starts.
        EXPECT_EQ(r.status, 0) << r.stderrText;
        EXPECT_EQ(r.dialogs, (Strings{downloadFailed("Vendarix.zip"), downloadFailed("TabelasTalvir.zip")}));
        EXPECT_EQ(program(), "old");
        EXPECT_FALSE(exists("Vendarix.bkp"));
        EXPECT_TRUE(started("old"));
        checkInvariants();
        TearDown();
    }
}

// With the stored time-out 0 every wait lasts until its event: a silent
// server keeps the updater waiting for ever, with the program set aside as
// the backup. Whoever ends the updater then, the next run must not lose it.
TEST_F(FaultMatrix, WithoutTimeOutASilentServerIsWaitedForAndTheNextRunKeepsTheProgram) {
    ASSERT_TRUE(makeShop());
    makeProgramArchive();
    const std::string zip = archiveBytes("Vendarix.zip");
    {
        TFtpPeer peer;
        login(peer)
            .ExpectPort()
            .Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection.\r\n")
            .OpenData()
            .SendData(zip.substr(0, 1000))
            .Hold();
        peer.Start();
        RunResult r = run(peer.Port(), {{"UPDATER_FTP_TIMEOUT", "0"}}, RunControl{nullptr, 2500});
        EXPECT_EQ(r.status, -2) << "the updater did not wait: " << r.stderrText;
        EXPECT_EQ(r.dialogs, Strings{});
    }
    // Killed while waiting: the program is set aside only once both
    // archives are here, so it is still in place.
    EXPECT_EQ(file("Vendarix.exe"), ProgramScript("old"));
    EXPECT_FALSE(exists("Vendarix.bkp"));
    // The next run finds the program archive missing on the server: the old
    // program must come back and start.
    fs::remove(shop().Download() + "/Vendarix.zip");
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
    EXPECT_EQ(program(), "old");
    EXPECT_TRUE(started("old"));
}

// A server that trickles one byte every 1.3 s, under a least rate of 1 KiB/s
// over 1 s: each of the four tries of the program archive ends after its
// window, the run goes on with the schema archive, and the old program,
// never moved from its name, starts.
TEST_F(FaultMatrix, TrickleEndsWithinItsBoundAndTheProgramStaysInPlace) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeProgramArchive();
    makeSchemaArchive();
    const std::string zip = archiveBytes("Vendarix.zip");
    TFtpPeer peer;
    login(peer);
    for (int attempt = 0; attempt < 4; ++attempt) {
        peer.ExpectPort();
        if (attempt > 0)
            peer.Expect("REST " + std::to_string(attempt), "350 Restarting.\r\n");
        peer.Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection for Vendarix.zip (" +
                                                  std::to_string(zip.size()) + " bytes).\r\n")
            .OpenData()
            .SendData(zip.substr(attempt, 1), true)
            .Pause(1300)
            .SendData(zip.substr(attempt + 1, 1), true)
            .SendData(zip.substr(attempt + 2, 1), true)
            .CloseData()
            .Send("426 Transfer aborted.\r\n");
    }
    peer.Expect("QUIT", "221 Adeus.\r\n").AcceptControl();
    login(peer);
    serve(peer, kSchemaRemote, archiveBytes("TabelasTalvir.zip")).Expect("QUIT", "221 Adeus.\r\n");
    peer.Start();
    int programMissing = 0;
    RunControl control{[&](pid_t) { programMissing += !exists("Vendarix.exe"); }, 30000};
    const auto start = std::chrono::steady_clock::now();
    RunResult r = run(peer.Port(),
                      {{"UPDATER_FTP_TIMEOUT", "10000"},
                       {"UPDATER_FTP_MIN_RATE", "1024"},
                       {"UPDATER_FTP_RATE_WINDOW", "1"}},
                      control);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_NE(r.status, -2) << "the updater still waited after 30 s";
    EXPECT_TRUE(peer.Wait(1000)) << peer.Error();
    EXPECT_EQ(peer.Error(), "");
    // Four windows and three waits for the server's 426, plus the rest of
    // the run.
    EXPECT_LT(took, 4 * 1.3 + 8.0);
    EXPECT_EQ(programMissing, 0);
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
    EXPECT_EQ(program(), "old");
    EXPECT_FALSE(exists("Vendarix.bkp"));
    EXPECT_TRUE(started("old"));
    checkInvariants();
}

// The data connection never comes: bounded by the time-out.
TEST_F(FaultMatrix, ServerThatNeverOpensTheDataConnection) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeProgramArchive();
    makeSchemaArchive();
    TFtpPeer peer;
    login(peer)
        .ExpectPort()
        .Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection for Vendarix.zip.\r\n")
        .Expect("QUIT", "221 Adeus.\r\n")
        .AcceptControl();
    login(peer);
    serve(peer, kSchemaRemote, archiveBytes("TabelasTalvir.zip")).Expect("QUIT", "221 Adeus.\r\n");
    peer.Start();
    RunResult r = run(peer.Port(), {{"UPDATER_FTP_TIMEOUT", "1000"}}, RunControl{nullptr, 30000});
    ASSERT_NE(r.status, -2) << "the updater still waited after 30 s";
    EXPECT_TRUE(peer.Wait(1000)) << peer.Error();
    EXPECT_EQ(peer.Error(), "");
    // Like a program archive missing on the server: the old program stays
    // and starts, the tables are brought up to date.
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
    EXPECT_EQ(program(), "old");
    EXPECT_TRUE(started("old"));
    EXPECT_EQ(Columns(shop().Tables() + "/Vendas.db"), (Strings{"Numero", "Data", "Total"}));
    checkInvariants();
}

TEST_F(FaultMatrix, ServerThatAnswers425) {
    // At once instead of 150, or after 150 while the client waits for the
    // data connection.
    for (bool after150 : {false, true}) {
        SCOPED_TRACE(after150 ? "425 after 150" : "425 at once");
        ASSERT_TRUE(makeShop());
        addOldFiles();
        makeProgramArchive();
        makeSchemaArchive();
        TFtpPeer peer;
        login(peer).ExpectPort();
        if (after150)
            peer.Expect("RETR " + kProgramRemote, "150 Opening BINARY mode data connection.\r\n")
                .Pause(200)
                .Send("425 Failed to establish connection.\r\n");
        else
            peer.Expect("RETR " + kProgramRemote, "425 Can't open data connection.\r\n");
        peer.Expect("QUIT", "221 Adeus.\r\n").AcceptControl();
        login(peer);
        serve(peer, kSchemaRemote, archiveBytes("TabelasTalvir.zip")).Expect("QUIT", "221 Adeus.\r\n");
        peer.Start();
        RunResult r = run(peer.Port(), {{"UPDATER_FTP_TIMEOUT", "5000"}}, RunControl{nullptr, 30000});
        EXPECT_TRUE(peer.Wait(1000)) << peer.Error();
        EXPECT_EQ(peer.Error(), "");
        EXPECT_EQ(r.status, 0) << r.stderrText;
        EXPECT_EQ(r.dialogs, Strings{downloadFailed("Vendarix.zip")});
        EXPECT_EQ(program(), "old");
        EXPECT_TRUE(started("old"));
        checkInvariants();
        TearDown();
    }
}

// ---------------------------------------------------------------- the disk

TEST_F(FaultMatrix, DiskFullWhileDownloading) {
    if (!makeShop("1m"))
        return RequireOrSkip(mount_->Why());
    addOldFiles();
    // An archive that cannot fit: its report does not compress.
    makeArchive("Vendarix.zip", {{"VENDARIX.EXE", ProgramScript("new")},
                                 {"Relatorios/Vendas.rpt", am::RandomBytes(2 << 20, 5)}});
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    ASSERT_GE(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_EQ(r.dialogs[0], downloadFailed("Vendarix.zip"));
    EXPECT_EQ(file("Relatorios/Vendas.rpt"), "relatorio antigo\r\n");
    checkInvariants();
}

TEST_F(FaultMatrix, DiskFullWhileExtracting) {
    if (!makeShop("1m"))
        return RequireOrSkip(mount_->Why());
    addOldFiles();
    // Small to download, too large to write out: the text that replaces
    // the old one does not fit, and the old one must stay.
    makeArchive("Vendarix.zip", {{"VENDARIX.EXE", ProgramScript("new")},
                                 {"Relatorios/Vendas.rpt", "relatorio novo\r\n"},
                                 {"LEIAME.TXT", std::string(3 << 20, ' ')}});
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    EXPECT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_NE(r.dialogs[0].find(kFailureBox), std::string::npos) << r.dialogs[0];
    EXPECT_EQ(file("LEIAME.TXT"), "Vendarix 2.0\r\n");
    EXPECT_EQ(file("Relatorios/Vendas.rpt"), "relatorio novo\r\n");
    EXPECT_EQ(program(), "new");
    EXPECT_TRUE(started("new"));
    checkInvariants();
}

// ---------------------------------------------------------------- the targets

TEST_F(FaultMatrix, FolderWhereAFileShouldGoAndAFileWhereAFolderShouldGo) {
    ASSERT_TRUE(makeShop());
    WriteFile(shop().Path("LEIAME.TXT/nota.txt"), "uma pasta com o nome do texto\r\n");
    WriteFile(shop().Path("Relatorios"), "um arquivo com o nome da pasta\r\n");
    makeProgramArchive();
    makeSchemaArchive();
    RunResult r = run(vsftpdPort(), {{"UPDATER_ANSWERS", "ignore,ignore"}});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs.size(), 2u) << r.stderrText;
    EXPECT_EQ(countOf(r.dialogs, kFailureBox), 2u) << r.stderrText;
    EXPECT_EQ(file("LEIAME.TXT/nota.txt"), "uma pasta com o nome do texto\r\n");
    EXPECT_EQ(file("Relatorios"), "um arquivo com o nome da pasta\r\n");
    EXPECT_EQ(program(), "new");
    EXPECT_TRUE(started("new"));
    checkInvariants();
}

TEST_F(FaultMatrix, ReadOnlyFolder) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeProgramArchive();
    makeSchemaArchive();
    // Root ignores permission bits; the immutable attribute holds for it.
    if (!setImmutable(shop().Path("Relatorios"), true))
        return RequireOrSkip("the file system has no immutable attribute");
    immutable_.push_back(shop().Path("Relatorios"));
    RunResult r = run(vsftpdPort(), {{"UPDATER_ANSWERS", "ignore"}});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_NE(r.dialogs[0].find(kFailureBox), std::string::npos) << r.dialogs[0];
    EXPECT_EQ(file("Relatorios/Vendas.rpt"), "relatorio antigo\r\n");
    EXPECT_EQ(file("LEIAME.TXT"), "Vendarix 2.1 - novidades\r\n");
    EXPECT_EQ(program(), "new");
    checkInvariants();
}

TEST_F(FaultMatrix, ReadOnlyShopFolder) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeProgramArchive();
    makeSchemaArchive();
    if (!setImmutable(shop().Dir(), true))
        return RequireOrSkip("the file system has no immutable attribute");
    immutable_.push_back(shop().Dir());
    RunResult r = run(vsftpdPort());
    // Nothing can be renamed or created: both downloads fail, nothing is
    // extracted, and the old program, never moved, is started.
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, (Strings{downloadFailed("Vendarix.zip"), downloadFailed("TabelasTalvir.zip")}));
    EXPECT_EQ(program(), "old");
    EXPECT_EQ(TakeSnapshot(shop().Dir()), before_);
    checkInvariants();
}

// ---------------------------------------------------------------- the database

TEST_F(FaultMatrix, DatabaseUnreachableAtStartAndAtTheReconciliation) {
    ASSERT_TRUE(makeShop());
    shop().WriteIni(
        {{"Tipo", "Standard"}, {"Caminho", shop().Path("semdados")}, {"SistemaVendarix", "Vendarix"}});
    addOldFiles();
    makeProgramArchive();
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    EXPECT_EQ(r.status, 2) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 2u) << r.stderrText;
    EXPECT_EQ(r.dialogs[0].rfind(kTitle, 0), 0u);
    EXPECT_EQ(r.dialogs[1].rfind(kTitle, 0), 0u);
    EXPECT_EQ(program(), "new");
    EXPECT_FALSE(exists("started.log"));
    EXPECT_FALSE(exists("semdados"));
    checkInvariants();
}

TEST_F(FaultMatrix, DatabaseLostBeforeTheReconciliation) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeProgramArchive();
    makeSchemaArchive();
    // Reachable when the window opens; gone (a share that dropped) by the
    // time the tables are compared.
    TFtpPeer peer;
    login(peer);
    serve(peer, kProgramRemote, archiveBytes("Vendarix.zip")).Do([&] {
        fs::rename(shop().Tables(), shop().Path(".dados-fora"));
    });
    serve(peer, kSchemaRemote, archiveBytes("TabelasTalvir.zip")).Expect("QUIT", "221 Adeus.\r\n");
    peer.Start();
    RunResult r = run(peer.Port());
    EXPECT_EQ(peer.Error(), "");
    EXPECT_EQ(r.status, 2) << r.stderrText;
    ASSERT_GE(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_EQ(r.dialogs.back().rfind(kTitle, 0), 0u);
    EXPECT_EQ(program(), "new");
    EXPECT_FALSE(exists("started.log"));
    checkInvariants({".dados-fora"});
    // The tables themselves were not touched.
    EXPECT_EQ(Columns(shop().Path(".dados-fora/Cad_Clientes.db")), (Strings{"Codigo", "Nome"}));
}

// ---------------------------------------------------------------- the archives

TEST_F(FaultMatrix, CorruptEntryLeavesTheOldFile) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeArchive("Vendarix.zip",
                {{"VENDARIX.EXE", ProgramScript("new")}, {"LEIAME.TXT", "NEW README CONTENT\r\n"}}, {"-0"});
    std::string zip = archiveBytes("Vendarix.zip");
    size_t at = zip.find("NEW README");
    ASSERT_NE(at, std::string::npos);
    zip[at] = 'X';
    WriteFile(shop().Download() + "/Vendarix.zip", zip);
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    EXPECT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_NE(r.dialogs[0].find("Invalid size or check sum"), std::string::npos) << r.dialogs[0];
    EXPECT_EQ(file("LEIAME.TXT"), "Vendarix 2.0\r\n");
    EXPECT_EQ(program(), "new");
    EXPECT_TRUE(started("new"));
    checkInvariants();
}

TEST_F(FaultMatrix, TruncatedArchiveLeavesTheOldFile) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    makeArchive("Vendarix.zip", {{"Relatorios/Vendas.rpt", am::RandomBytes(300000, 1)},
                                 {"VENDARIX.EXE", ProgramScript("new")},
                                 {"LEIAME.TXT", am::RandomBytes(100000, 2)}});
    std::string zip = shop().Download() + "/Vendarix.zip";
    fs::resize_file(zip, fs::file_size(zip) - 50000);
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    EXPECT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_NE(r.dialogs[0].find(kFailureBox), std::string::npos) << r.dialogs[0];
    EXPECT_EQ(file("LEIAME.TXT"), "Vendarix 2.0\r\n");
    EXPECT_EQ(program(), "new");
    EXPECT_TRUE(started("new"));
    checkInvariants();
}

TEST_F(FaultMatrix, ArchiveOfNoBytes) {
    ASSERT_TRUE(makeShop());
    addOldFiles();
    WriteFile(shop().Download() + "/Vendarix.zip", "");
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    // It cannot be opened: broken, with the old program back in place.
    EXPECT_EQ(r.status, 2) << r.stderrText;
    ASSERT_EQ(r.dialogs.size(), 1u) << r.stderrText;
    EXPECT_EQ(r.dialogs[0].rfind(kTitle, 0), 0u);
    EXPECT_EQ(program(), "old");
    EXPECT_FALSE(exists("started.log"));
    checkInvariants();
}

TEST_F(FaultMatrix, ArchiveOfAHundredThousandEntries) {
    // A question of scale, not of memory safety: the sanitized build takes
    // minutes over the hundred thousand flushed files and their check, and
    // the reading of such directories is covered there by the archive
    // component's own tests of 70,000 entries.
    if (kSanitized)
        GTEST_SKIP() << "scale test, left to the plain build";
    // On memory, so that the disk's cost of creating a file is not what is
    // measured.
    ASSERT_TRUE(makeShop("", TFtpServer::ScratchRoot()));
    constexpr int kEntries = 100000;
    auto nameOf = [](int i) {
        char n[40];
        std::snprintf(n, sizeof n, "Muitos/P%03d/A%05d.txt", i / 1000, i);
        return std::string(n);
    };
    auto dataOf = [](int i) { return "arquivo " + std::to_string(i) + "\r\n"; };
    // Python's zipfile: past 65,535 entries it writes the Zip64 end records.
    std::string hex;
    for (unsigned char c : ProgramScript("new")) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", c);
        hex += h;
    }
    am::MakeWithPython(
        shop().Download() + "/Vendarix.zip",
        "z.writestr('VENDARIX.EXE', bytes.fromhex('" + hex +
            "'))\n"
            "for i in range(" +
            std::to_string(kEntries) +
            "):\n"
            "    z.writestr('Muitos/P%03d/A%05d.txt' % (i // 1000, i), 'arquivo %d\\r\\n' % i)\n");
    brought_["vendarix.exe"] = DigestOfBytes(ProgramScript("new"));
    for (int i = 0; i < kEntries; ++i)
        brought_[lower(nameOf(i))] = DigestOfBytes(dataOf(i));
    makeSchemaArchive();
    RunResult r = run(vsftpdPort(), {}, RunControl{nullptr, 60000});
    ASSERT_NE(r.status, -2) << "not done in 60 s";
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    // The directory of so many entries is held in memory; it must stay
    // in proportion (about 70 MiB here).
    if (!kSanitized) {
        EXPECT_LT(r.peakKiB, 256 * 1024);
    }
    EXPECT_EQ(program(), "new");
    EXPECT_EQ(file(nameOf(kEntries - 1)), dataOf(kEntries - 1));
    checkInvariants();
}

TEST_F(FaultMatrix, GigabyteOfZerosInAMegabyte) {
    ASSERT_TRUE(makeShop("", TFtpServer::ScratchRoot()));
    constexpr uint64_t kSize = uint64_t{1} << 30;
    uint32_t crc = 0;
    am::TEntry zeros;
    zeros.name = "Base/zeros.bin";
    zeros.method = 8;
    zeros.payload = deflatedZeros(kSize, crc);
    zeros.crc = crc;
    zeros.uncompressedSize = static_cast<uint32_t>(kSize);
    std::cout << "[ zeros    ] 1 GiB deflated to " << zeros.payload->size() << " bytes\n";
    am::TZipBuilder zip;
    zip.Add(entry("VENDARIX.EXE", ProgramScript("new"))).Add(zeros);
    WriteFile(shop().Download() + "/Vendarix.zip", zip.Build());
    brought_["vendarix.exe"] = DigestOfBytes(ProgramScript("new"));
    // A sparse file reads as the zeros without taking the space.
    const std::string expected = shop().Base() + "/zeros.expected";
    WriteFile(expected, "");
    fs::resize_file(expected, kSize);
    brought_["base/zeros.bin"] = DigestOfFile(expected);
    fs::remove(expected);
    makeSchemaArchive();
    RunResult r = run(vsftpdPort());
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.dialogs, Strings{});
    // Decoded as it streams: nothing of the size of the entry in memory.
    if (!kSanitized) { // the sanitizer's shadow memory is not the updater's
        EXPECT_LT(r.peakKiB, 64 * 1024);
    }
    EXPECT_EQ(fs::file_size(shop().Path("Base/zeros.bin")), kSize);
    EXPECT_EQ(program(), "new");
    EXPECT_TRUE(started("new"));
    checkInvariants();
}

TEST_F(FaultMatrix, UnsafeNamesWriteNothingOutsideTheShop) {
    ASSERT_TRUE(makeShop());
    const std::string absolute = shop().Base() + "/absoluto.txt";
    const Strings unsafe = {
        "../fora.txt",  "..\\fora.txt", "Relatorios/../../fora.txt",       absolute,
        "C:\\fora.txt", "C:fora.txt",   "\\\\servidor\\publico\\fora.txt", "//servidor/publico/fora.txt"};
    am::TZipBuilder zip;
    zip.Add(entry("VENDARIX.EXE", ProgramScript("new")));
    for (const auto& name : unsafe)
        zip.Add(entry(name, "escaped from the shop\r\n", 8));
    zip.Add(entry("LEIAME.TXT", "Vendarix 2.1\r\n"));
    WriteFile(shop().Download() + "/Vendarix.zip", zip.Build());
    brought_["vendarix.exe"] = DigestOfBytes(ProgramScript("new"));
    brought_["leiame.txt"] = DigestOfBytes("Vendarix 2.1\r\n");
    makeSchemaArchive();
    std::string answers;
    for (size_t i = 0; i < unsafe.size(); ++i)
        answers += i ? ",ignore" : "ignore";
    RunResult r = run(vsftpdPort(), {{"UPDATER_ANSWERS", answers}});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    // Each one refused in the component's box, and the rest extracted.
    EXPECT_EQ(r.dialogs.size(), unsafe.size()) << r.stderrText;
    EXPECT_EQ(countOf(r.dialogs, kFailureBox), unsafe.size());
    EXPECT_EQ(ReadFile(shop().Base() + "/fora.txt"), "sentinel outside the shop\n");
    EXPECT_FALSE(fs::exists(absolute));
    EXPECT_FALSE(fs::exists("/servidor"));
    EXPECT_EQ(file("LEIAME.TXT"), "Vendarix 2.1\r\n");
    EXPECT_EQ(program(), "new");
    EXPECT_TRUE(started("new"));
    checkInvariants();
}
