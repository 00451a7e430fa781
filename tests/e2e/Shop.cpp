#include "tests/e2e/Shop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/FtpServers.h"

namespace vx::test {

namespace fs = std::filesystem;

namespace e2e {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& data, bool executable) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
    if (executable)
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
}

std::string ProgramScript(const std::string& version) {
    return "#!/bin/sh\n# Vendarix " + version + "\necho \"" + version +
           "\" >> \"$(dirname \"$0\")/started.log\"\n";
}

namespace {

// FNV-1a over 64-bit words, then over the bytes left: quick enough for a
// file of a gigabyte, and any change of a byte or of the size shows.
struct Hasher {
    uint64_t h = 1469598103934665603ull;
    void add(const char* p, size_t n) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            h = (h ^ w) * 1099511628211ull;
        }
        for (; i < n; ++i)
            h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    }
};

} // namespace

Digest DigestOfBytes(const std::string& bytes) {
    Hasher h;
    h.add(bytes.data(), bytes.size());
    return Digest{false, bytes.size(), h.h};
}

Digest DigestOfFile(const std::string& path) {
    // Read in blocks whose size is a multiple of 8, so that the words fall
    // as they do for the whole text at once.
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    Hasher h;
    uint64_t size = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        std::streamsize n = in.gcount();
        if (n <= 0)
            break;
        h.add(buf.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
    }
    return Digest{false, size, h.h};
}

Snapshot TakeSnapshot(const std::string& folder, const std::vector<std::string>& skip) {
    Snapshot snap;
    std::error_code ec;
    auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), folder).string();
        bool skipped = rel == "AtualizarVendarix.log" || rel == "AtualizarVendarix.estado";
        for (const auto& s : skip)
            skipped = skipped || rel.rfind(s, 0) == 0;
        if (skipped) {
            if (it->is_directory())
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory() && !it->is_symlink())
            snap[rel + "/"] = Digest{true, 0, 0};
        else
            snap[rel] = DigestOfFile(it->path());
    }
    return snap;
}

namespace {

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string m = err ? err : "sqlite error";
        sqlite3_free(err);
        throw std::runtime_error(m + " in " + sql);
    }
}

std::string quote(const std::string& v) {
    std::string q = "'";
    for (char c : v)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

} // namespace

void MakeTable(const std::string& file, const std::string& createSql,
               const std::vector<std::vector<std::string>>& rows) {
    sqlite3* db = nullptr;
    fs::create_directories(fs::path(file).parent_path());
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("cannot create " + file);
    exec(db, createSql);
    std::string name = fs::path(file).stem().string();
    for (const auto& r : rows) {
        std::string v;
        for (const auto& c : r)
            v += (v.empty() ? "" : ",") + quote(c);
        exec(db, "INSERT INTO \"" + name + "\" VALUES (" + v + ")");
    }
    sqlite3_close(db);
}

std::vector<std::string> Columns(const std::string& file) {
    std::vector<std::string> cols;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return cols;
    }
    sqlite3_stmt* st = nullptr;
    std::string name;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table'", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    if (!name.empty() && sqlite3_prepare_v2(db, ("PRAGMA table_info(\"" + name + "\")").c_str(), -1, &st,
                                            nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW)
            cols.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return cols;
}

void MakeSchemaTable(const std::string& file, const SchemaRows& rows) {
    MakeTable(file, "CREATE TABLE Talvir (Tabela Varchar(40), Campo Varchar(40), Tipo Varchar(30))", rows);
}

int Zip(const std::string& dir, const std::vector<std::string>& args) {
    QProcess p;
    p.setWorkingDirectory(QString::fromStdString(dir));
    QStringList a;
    for (const auto& s : args)
        a << QString::fromStdString(s);
    p.start("zip", a);
    p.waitForFinished(60000);
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

Vsftpd::Vsftpd(const std::string& root, const std::string& extraConf) {
    dir_ = fs::temp_directory_path() /
           ("vx-vsftpd-" + std::to_string(getpid()) + "-" + std::to_string(FreeLoopbackPort()));
    fs::create_directories(dir_ + "/empty");
    port_ = FreeLoopbackPort();
    std::ostringstream conf;
    conf << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" << port_
         << "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\nanon_root=" << root
         << "\nno_anon_password=YES\nanon_world_readable_only=NO\nsecure_chroot_dir=" << dir_
         << "/empty\nbackground=NO\nseccomp_sandbox=NO\nconnect_from_port_20=NO\nxferlog_enable=NO\n"
            "vsftpd_log_file="
         << dir_ << "/vsftpd.log\n"
         << extraConf;
    WriteFile(dir_ + "/vsftpd.conf", conf.str());
    proc_ = std::make_unique<QProcess>();
    proc_->start("vsftpd", {QString::fromStdString(dir_ + "/vsftpd.conf")});
    if (!proc_->waitForStarted(5000))
        throw std::runtime_error("vsftpd does not start");
    for (int i = 0; i < 100; ++i) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (up)
            return;
        usleep(20000);
    }
    throw std::runtime_error("vsftpd does not listen");
}

Vsftpd::~Vsftpd() {
    Stop();
    fs::remove_all(dir_);
}

void Vsftpd::Stop() {
    if (proc_ && proc_->state() != QProcess::NotRunning) {
        proc_->kill();
        proc_->waitForFinished(5000);
    }
}

ThrottledServer::ThrottledServer(const std::string& root, int bytesPerSecond) {
    dir_ = root + "/../pyftpd";
    fs::create_directories(dir_);
    WriteFile(dir_ + "/server.py", "import sys\n"
                                   "from pyftpdlib.authorizers import DummyAuthorizer\n"
                                   "from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler\n"
                                   "from pyftpdlib.servers import FTPServer\n"
                                   "a = DummyAuthorizer()\n"
                                   "a.add_anonymous(sys.argv[1])\n"
                                   "ThrottledDTPHandler.write_limit = int(sys.argv[2])\n"
                                   "FTPHandler.authorizer = a\n"
                                   "FTPHandler.dtp_handler = ThrottledDTPHandler\n"
                                   "s = FTPServer(('127.0.0.1', 0), FTPHandler)\n"
                                   "open(sys.argv[3], 'w').write(str(s.address[1]))\n"
                                   "s.serve_forever()\n");
    std::string portFile = dir_ + "/port";
    if (::access("/usr/bin/python3", X_OK) != 0) {
        why_ = "no /usr/bin/python3";
        return;
    }
    std::string py = "/usr/bin/python3", script = dir_ + "/server.py", rate = std::to_string(bytesPerSecond);
    char* argv[] = {py.data(),   script.data(),   const_cast<char*>(root.c_str()),
                    rate.data(), portFile.data(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        int null = ::open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(py.c_str(), argv);
        _exit(127);
    }
    for (int i = 0; i < 500 && port_ == 0; ++i) {
        std::string p = ReadFile(portFile);
        if (!p.empty())
            port_ = std::stoi(p);
        else
            usleep(10000);
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why_ = "pyftpdlib did not start (python3-pyftpdlib installed?)";
            return;
        }
    }
    if (port_ == 0)
        why_ = "pyftpdlib did not come up";
}

void ThrottledServer::Kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

Shop::Shop(const std::string& parent) {
    static int n = 0;
    base_ = (parent.empty() ? fs::temp_directory_path() : fs::path(parent)) /
            ("vx-e2e-" + std::to_string(getpid()) + "-" + std::to_string(n++));
    fs::remove_all(base_);
    dir_ = base_ + "/shop";
    maker_ = base_ + "/ftp";
    fs::create_directories(dir_);
    fs::create_directories(Download());
}

Shop::~Shop() {
    if (!getenv("VX_KEEP_E2E"))
        fs::remove_all(base_);
}

std::vector<std::string> Shop::Files() const {
    std::vector<std::string> names;
    for (auto it = fs::recursive_directory_iterator(dir_); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), dir_).string();
        // The updater's run log and its record of the releases installed
        // are its own, not part of what a run installs.
        if (rel == "started.log" || rel == "AtualizarVendarix.log" || rel == "AtualizarVendarix.estado")
            continue;
        names.push_back(it->is_directory() ? rel + "/" : rel);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Shop::WriteIni(const std::map<std::string, std::string>& keys) {
    std::string ini = "[BDados]\r\n";
    for (const auto& [k, v] : keys)
        ini += k + "=" + v + "\r\n";
    WriteFile(Path("Brevanto.ini"), ini);
}

void Shop::MakeStandardShop(const std::string& sistema) {
    std::map<std::string, std::string> keys{{"Tipo", "Standard"}, {"Caminho", Tables()}};
    if (!sistema.empty())
        keys["SistemaVendarix"] = sistema;
    WriteIni(keys);
    WriteFile(Path("Vendarix.exe"), ProgramScript("old"), true);
    MakeTable(Tables() + "/Cad_Clientes.db",
              "CREATE TABLE Cad_Clientes (Codigo Integer, Nome Varchar(40), PRIMARY KEY(Codigo))",
              {{"1", "Maria"}, {"2", "Jo\xc3\xa3o"}});
    MakeTable(Tables() + "/Produtos.db", "CREATE TABLE Produtos (Codigo Integer, PRIMARY KEY(Codigo))");
}

void Shop::MakeProgramArchive(const std::string& name) {
    std::string src = base_ + "/program";
    WriteFile(src + "/VENDARIX.EXE", ProgramScript("new"), true);
    WriteFile(src + "/LEIAME.TXT", "Vendarix 2.1\r\n");
    WriteFile(src + "/Relatorios/Vendas.rpt", std::string(300000, 'v'));
    fs::remove(Download() + "/" + name);
    if (Zip(src, {"-q", "-r", "-X", Download() + "/" + name, "VENDARIX.EXE", "LEIAME.TXT", "Relatorios"}) !=
        0)
        throw std::runtime_error("zip failed");
}

SchemaRows Shop::DefaultSchema() {
    return {
        {"Cad_Clientes", "Codigo", "Integer"},
        {"Cad_Clientes", "Nome", "Varchar(40)"},
        {"Cad_Clientes", "Email", "Varchar(60)"},
        {"Cad_Clientes", "MalaDireta", "Varchar(1)"},
        {"Produtos", "Codigo", "Integer"},
        {"Produtos", "Preco", "Money"},
        {"Vendas", "Numero", "Integer"},
        {"Vendas", "Data", "Date"},
        {"Vendas", "Total", "Float"},
    };
}

void Shop::MakeSchemaArchive(const SchemaRows& rows) {
    std::string src = base_ + "/schema";
    fs::remove_all(src);
    MakeSchemaTable(src + "/Talvir.db", rows);
    fs::remove(Download() + "/TabelasTalvir.zip");
    if (Zip(src, {"-q", "-X", Download() + "/TabelasTalvir.zip", "Talvir.db"}) != 0)
        throw std::runtime_error("zip failed");
}

namespace {

// The updater's environment: this process's, unattended and offscreen,
// pointed at the FTP server on loopback, with the test's own settings last.
std::map<std::string, std::string> runEnvironment(int ftpPort,
                                                  const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        size_t eq = s.find('=');
        if (eq != std::string::npos)
            vars[s.substr(0, eq)] = s.substr(eq + 1);
    }
    vars["QT_QPA_PLATFORM"] = "offscreen";
    vars["UPDATER_FTP_HOST"] = "127.0.0.1";
    vars["UPDATER_FTP_PORT"] = std::to_string(ftpPort);
    vars["UPDATER_FTP_USER"] = "anonymous";
    vars["UPDATER_FTP_PASSWORD"] = "loja@example.com";
    vars["UPDATER_FTP_PASSIVE"] = "0";
    vars["UPDATER_FTP_TIMEOUT"] = "20000";
    vars.erase("UPDATER_ANSWERS");
    for (const auto& [k, v] : env)
        vars[k] = v;
    return vars;
}

void collectDialogs(RunResult& r) {
    std::istringstream lines(r.stderrText);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("dialog: ", 0) == 0)
            r.dialogs.push_back(line.substr(8));
}

} // namespace

void Shop::waitForStartedLine() const {
    // The started program creates its log before it writes its line.
    std::error_code ec;
    for (int i = 0; i < 500; ++i) {
        auto size = fs::file_size(Path("started.log"), ec);
        if (!ec && size > 0 && ReadFile(Path("started.log")).back() == '\n')
            return;
        usleep(20000);
    }
}

RunResult Shop::Run(int ftpPort, const std::map<std::string, std::string>& env) {
    QProcess p;
    QProcessEnvironment e;
    for (const auto& [k, v] : runEnvironment(ftpPort, env))
        e.insert(QString::fromStdString(k), QString::fromStdString(v));
    p.setProcessEnvironment(e);
    p.setWorkingDirectory(QString::fromStdString(dir_));
    p.start(VX_UPDATER, {});
    RunResult r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.status = -2;
    } else {
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    r.stderrText = p.readAllStandardError().toStdString();
    collectDialogs(r);
    // The started program writes its line a moment later; 3 also started
    // it, after refusing an archive.
    if (r.status == 0 || r.status == 3)
        waitForStartedLine();
    return r;
}

RunResult Shop::Run(int ftpPort, const std::map<std::string, std::string>& env, const RunControl& control) {
    // Everything the child needs is made before the fork: after it, only
    // the calls that are safe in a child of a threaded process.
    std::vector<std::string> vars;
    for (const auto& [k, v] : runEnvironment(ftpPort, env))
        vars.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string program = VX_UPDATER;
    char* argv[] = {program.data(), nullptr};
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err[1], 2);
        if (chdir(dir_.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(err[1]);
    if (pid < 0) {
        close(err[0]);
        throw std::runtime_error("fork failed");
    }
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    RunResult r;
    auto drain = [&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(err[0], buf, sizeof buf)) > 0)
            r.stderrText.append(buf, static_cast<size_t>(n));
    };
    // The peak is read from the child's own memory map while it runs: the
    // resource usage that wait4 reports starts from the high-water mark of
    // the forked copy of this process, not of the updater.
    long peak = 0;
    const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
    auto readPeak = [&] {
        std::ifstream in(statusFile);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmHWM:", 0) == 0)
                peak = std::max(peak, std::atol(line.c_str() + 6));
    };
    int status = 0;
    bool killed = false;
    for (;;) {
        pollfd p{err[0], POLLIN, 0};
        poll(&p, 1, 5);
        drain();
        readPeak();
        if (waitpid(pid, &status, WNOHANG) == pid)
            break;
        auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > std::chrono::milliseconds(control.limitMs)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            killed = true;
            break;
        }
        if (control.whileRunning)
            control.whileRunning(pid);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The started program inherits the pipe: what the updater wrote is
    // there now, and its end is not waited for.
    drain();
    close(err[0]);
    r.peakKiB = peak;
    r.status = killed ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    collectDialogs(r);
    if (r.status == 0 || r.status == 3)
        waitForStartedLine();
    return r;
}

} // namespace e2e

} // namespace vx::test
