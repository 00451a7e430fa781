// What an end-to-end run needs: a fresh shop folder with its ini file, old
// program and local tables; a maker's folder served by vsftpd on loopback;
// archives made with Info-ZIP zip; the real updater run unattended in the
// shop folder; and views of the folder and the tables afterwards.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace vx::test {

namespace e2e {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data, bool executable = false);

// A file's size and a hash of its bytes, or a folder: enough to tell
// whether a file was replaced, without holding large files in memory.
struct Digest {
    bool folder = false;
    uint64_t size = 0;
    uint64_t hash = 0;
    bool operator==(const Digest&) const = default;
};
Digest DigestOfBytes(const std::string& bytes);
Digest DigestOfFile(const std::string& path);
// Every file and folder under `folder` by relative name ('/' separators,
// folders with a trailing '/'), leaving out the names that begin with one of
// `skip`.
using Snapshot = std::map<std::string, Digest>;
Snapshot TakeSnapshot(const std::string& folder, const std::vector<std::string>& skip = {});

// A small shell script standing in for the point-of-sale program: it
// records in started.log that it ran.
std::string ProgramScript(const std::string& version);

// Local tables: one SQLite file per table holding that table.
void MakeTable(const std::string& file, const std::string& createSql,
               const std::vector<std::vector<std::string>>& rows = {});
// Columns of the one table in a table file, in order ("" when none).
std::vector<std::string> Columns(const std::string& file);
// Rows of the schema table Talvir: (Tabela, Campo, Tipo), in this order.
using SchemaRows = std::vector<std::vector<std::string>>;
void MakeSchemaTable(const std::string& file, const SchemaRows& rows);

// Runs Info-ZIP zip in `dir` with the arguments; returns its exit status.
int Zip(const std::string& dir, const std::vector<std::string>& args);

// vsftpd on 127.0.0.1 on a free port, anonymous login, serving a folder.
class Vsftpd {
public:
    // extraConf: further lines of vsftpd.conf (TLS, say).
    explicit Vsftpd(const std::string& root, const std::string& extraConf = {});
    ~Vsftpd();
    int Port() const { return port_; }
    void Stop();

private:
    std::string dir_;
    int port_ = 0;
    std::unique_ptr<QProcess> proc_;
};

// pyftpdlib on loopback with its sending throttled, in a process of its
// own, so that a test can kill the whole server in the middle of a transfer
// as a crash or a power cut would, or let a run last long enough to be
// interrupted where it wants. Anonymous login, serving `root`.
class ThrottledServer {
public:
    ThrottledServer(const std::string& root, int bytesPerSecond);
    ~ThrottledServer() { Kill(); }
    int Port() const { return port_; }
    // Why the server is not there when Port() is 0.
    const std::string& Why() const { return why_; }
    void Kill();
    bool Running() const { return pid_ > 0; }

private:
    std::string dir_, why_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The outcome of one run of the updater.
struct RunResult {
    int status = -1;
    std::vector<std::string> dialogs; // the "dialog: ..." lines, without the prefix
    std::string stderrText;
    long peakKiB = 0;   // the updater's peak resident memory (VmHWM), when watched
    double seconds = 0; // wall time of the run
};

// How a run is watched: a hook called every few milliseconds while the
// updater runs (to break something at the right moment), and the time after
// which the updater is killed (status -2).
struct RunControl {
    std::function<void(pid_t)> whileRunning;
    int limitMs = 120000;
};

class Shop {
public:
    // The shop's folders go under `parent` (the temporary folder when empty).
    explicit Shop(const std::string& parent = "");
    ~Shop();
    const std::string& Base() const { return base_; }   // holds the shop and the maker's folders
    const std::string& Dir() const { return dir_; }     // the shop folder
    const std::string& Maker() const { return maker_; } // what the FTP server serves
    std::string Download() const { return maker_ + "/Pagina/Download"; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Tables() const { return dir_ + "/dados"; }
    // Files of the shop folder (relative names, folders with a trailing /).
    std::vector<std::string> Files() const;

    // The usual shop: Brevanto.ini for local tables in dados/, the old
    // program, tables Cad_Clientes (Codigo, Nome) and Produtos (Codigo).
    void MakeStandardShop(const std::string& sistema = "Vendarix");
    void WriteIni(const std::map<std::string, std::string>& keys);
    // The program archive Vendarix.zip (VENDARIX.EXE, LEIAME.TXT,
    // Relatorios/Vendas.rpt) and the schema archive TabelasTalvir.zip.
    void MakeProgramArchive(const std::string& name = "Vendarix.zip");
    void MakeSchemaArchive(const SchemaRows& rows);
    static SchemaRows DefaultSchema();

    RunResult Run(int ftpPort, const std::map<std::string, std::string>& env = {});
    // The same run as a child of this process, so that its resource use is
    // known and it can be watched while it runs.
    RunResult Run(int ftpPort, const std::map<std::string, std::string>& env, const RunControl& control);

private:
    void waitForStartedLine() const;
    std::string base_, dir_, maker_;
};

} // namespace e2e

} // namespace vx::test
