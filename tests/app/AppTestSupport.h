// Shared pieces of the updater's tests: a private working folder per test,
// local tables made through the engine, and scripted stand-ins for the FTP
// client and the archive component that record what the run asks of them.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/SchemaPlan.h"
#include "app/UAtualizarVersaoVendarix.h"
#include "app/UpdateRun.h"
#include "app/UpdateServices.h"
#include "tests/support/TempFolder.h"

namespace vx::test {

using namespace vx::app;

// Makes a fresh folder the working folder for the test's lifetime.
class TWorkFolder {
public:
    TWorkFolder() = default;
    std::string Path() const; // Linux path, no trailing slash
    // Files named relative to the working folder (exact Linux names).
    void Write(const std::string& name, const std::string& bytes) const;
    std::string Read(const std::string& name) const;
    bool Has(const std::string& name) const;
    std::string MakeFolder(const std::string& name) const; // returns its path
    // Names in the working folder (not recursive), sorted.
    std::vector<std::string> Names() const;
    // Every file below the folder with its content, for "untouched" checks.
    std::map<std::string, std::string> Snapshot() const;

private:
    TTempFolder dir_{true};
};

// Runs one statement against the local tables of a folder.
void ExecIn(const std::string& folder, const std::string& sql);
// Field names of a local table, in order, read through the engine.
std::vector<std::string> FieldsOf(const std::string& folder, const std::string& table);
std::vector<std::string> TablesOf(const std::string& folder);

// The window's gauge without a widget: the same scale, the progress kept
// within it, and a negative maximum refused as the gauge refuses it.
class TScaleGauge : public IProgressDisplay {
public:
    int32_t MaxValue() const override { return max_; }
    void SetMaxValue(int32_t v) override;
    int32_t Progress() const override { return progress_; }
    void SetProgress(int32_t v) override;
    void AddProgress(int32_t delta) override { SetProgress(progress_ + delta); }

private:
    int32_t max_ = 100;
    int32_t progress_ = 0;
};

// The shop's connection "Confeccao" as window creation opens it: the ini
// file of the working folder read, its Tipo given back through tipo.
std::unique_ptr<TDatabase> OpenShopDatabase(std::string* tipo = nullptr);

// A run log held in memory, its lines in the order written.
class TMemoryRunLog : public IRunLog {
public:
    void Write(const std::string& text) override { Lines.push_back(text); }
    std::vector<std::string> Lines;
};

// Writes Talvir.db with the rows, in that order, into folder.
void MakeSchemaTable(const std::string& folder, const std::vector<TSchemaRow>& rows);

// What a scripted peer was asked, in order: "Connect", "Download <remote>
// <local>", "Disconnect", "SetFileName <f>", "OpenArchive", "ExtractByMask
// <mask> <attr hex> <exclusion>", "CloseArchive".
using TCallLog = std::vector<std::string>;

class TScriptedFtp : public IFtpService {
public:
    explicit TScriptedFtp(TCallLog& log) : log_(log) {}
    void Connect() override;
    void Download(const std::string& remotePath, const std::string& localFile) override;
    void Disconnect() override;
    int32_t BytesTotal() const override { return total_; }
    int32_t BytesRecvd() const override { return recvd_; }
    void SetOnPacketRecvd(TNotifyEvent e) override { onPacket_ = std::move(e); }

    bool ConnectFails = false;
    // Remote path to the bytes the server sends; a path missing here fails
    // as the server's 550 would.
    std::map<std::string, std::string> Files;
    // Announced size for a path (default: the real size); -1 or 0 allowed.
    std::map<std::string, int32_t> Announced;
    int BlockSize = 4;
    // A remote path whose download writes all its bytes and then fails, as a
    // transfer whose completion never came.
    std::string FailAfterWriting;
    // Called at the start of each Download, before anything is written.
    std::function<void(const std::string& remote)> OnDownload;

private:
    TCallLog& log_;
    int32_t total_ = 0;
    int32_t recvd_ = 0;
    TNotifyEvent onPacket_;
};

// An archive is a text file of lines "name=content" (a file made with that
// content) or "name<path" (a copy of the file at path); an empty file is not
// an archive and cannot be opened; a missing one is created as an empty
// archive, as the real component does.
std::string ArchiveOf(const std::vector<std::pair<std::string, std::string>>& entries);

class TScriptedArchive : public IArchiveService {
public:
    explicit TScriptedArchive(TCallLog& log) : log_(log) {}
    void SetFileName(const std::string& fileName) override;
    void OpenArchive() override;
    void ExtractByMask(const std::string& mask, uint32_t searchAttr,
                       const std::string& exclusionMask) override;
    void CloseArchive() override;

private:
    TCallLog& log_;
    std::string fileName_;
    std::string content_;
    bool open_ = false;
};

// Where the run fetches its two archives from.
inline const std::string kProgramRemote = "/Pagina/Download/Vendarix.zip";
inline const std::string kSchemaRemote = "/Pagina/Download/TabelasTalvir.zip";

// One call to start the program, with the program's content at that moment.
struct TStartedProgram {
    std::string cmd;
    int show;
    std::string program;
};

// A shop as the run and the window tests both start from: a private working
// folder holding the old program and a settings file that points at local
// tables kept aside, and a schema table that adds a customer table.
class TShopFixture {
public:
    TShopFixture();
    void WriteIni(const std::string& sistema, bool withSistema = true);
    // The lines of log that start with prefix.
    static std::vector<std::string> Lines(const TCallLog& log, const std::string& prefix);

    TTempFolder aside; // the shop's tables and the schema table's source
    std::string dados, staging;
    TWorkFolder work;
    TCallLog log;
    std::vector<TStartedProgram> started;
    int terminations = 0;
};

} // namespace vx::test
