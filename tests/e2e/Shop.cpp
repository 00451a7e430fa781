#include "tests/e2e/Shop.h"

#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

int freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
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

Vsftpd::Vsftpd(const std::string& root) {
    dir_ = fs::temp_directory_path() /
           ("vx-vsftpd-" + std::to_string(getpid()) + "-" + std::to_string(freePort()));
    fs::create_directories(dir_ + "/empty");
    port_ = freePort();
    std::ostringstream conf;
    conf << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" << port_
         << "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\nanon_root=" << root
         << "\nno_anon_password=YES\nanon_world_readable_only=NO\nsecure_chroot_dir=" << dir_
         << "/empty\nbackground=NO\nseccomp_sandbox=NO\nconnect_from_port_20=NO\nxferlog_enable=NO\n"
            "vsftpd_log_file="
         << dir_ << "/vsftpd.log\n";
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

Shop::Shop() {
    static int n = 0;
    base_ = fs::temp_directory_path() / ("vx-e2e-" + std::to_string(getpid()) + "-" + std::to_string(n++));
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
        if (rel == "started.log")
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

RunResult Shop::Run(int ftpPort, const std::map<std::string, std::string>& env) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("QT_QPA_PLATFORM", "offscreen");
    e.insert("UPDATER_FTP_HOST", "127.0.0.1");
    e.insert("UPDATER_FTP_PORT", QString::number(ftpPort));
    e.insert("UPDATER_FTP_USER", "anonymous");
    e.insert("UPDATER_FTP_PASSWORD", "loja@example.com");
    e.insert("UPDATER_FTP_PASSIVE", "0");
    e.insert("UPDATER_FTP_TIMEOUT", "20000");
    e.remove("UPDATER_ANSWERS");
    for (const auto& [k, v] : env)
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
    std::istringstream lines(r.stderrText);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("dialog: ", 0) == 0)
            r.dialogs.push_back(line.substr(8));
    // The started program writes its line a moment later.
    for (int i = 0; i < 50 && r.status == 0 && !fs::exists(Path("started.log")); ++i)
        usleep(20000);
    return r;
}

} // namespace e2e
