#include "tests/app/AppTestSupport.h"
#include "app/RunLog.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/RunLog.h"
#include "db/DBTables.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "tests/db/EngineProbe.h"
#include "tests/support/TestDialogs.h"

namespace vx::test {

using namespace vx::platform;
using namespace vx::db;
using namespace vx::app;

namespace fs = std::filesystem;

std::string TWorkFolder::Path() const {
    return dir_.Path();
}

void TWorkFolder::Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path() + "/" + name, std::ios::binary) << bytes;
}

std::string TWorkFolder::Read(const std::string& name) const {
    std::ifstream in(Path() + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TWorkFolder::Has(const std::string& name) const {
    return fs::exists(Path() + "/" + name);
}

std::string TWorkFolder::MakeFolder(const std::string& name) const {
    fs::create_directories(Path() + "/" + name);
    return Path() + "/" + name;
}

std::vector<std::string> TWorkFolder::Names() const {
    std::vector<std::string> names;
    // The run log is in every folder a run worked in; its own tests read it.
    for (const auto& e : fs::directory_iterator(Path()))
        if (e.path().filename() != RunLog::kFileName)
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, std::string> TWorkFolder::Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(Path())) {
        const std::string rel = fs::relative(e.path(), Path()).string();
        if (rel == RunLog::kFileName)
            continue;
        files[rel] = e.is_regular_file() ? Read(rel) : "<dir>";
    }
    return files;
}

void ExecIn(const std::string& folder, const std::string& sql) {
    ExecLines(folder, {sql});
}

std::vector<std::string> FieldsOf(const std::string& folder, const std::string& table) {
    return TableFields(folder, table);
}

std::vector<std::string> TablesOf(const std::string& folder) {
    TDatabase db;
    db.SetDatabaseName("TablesOf");
    db.SetDriverName("STANDARD");
    db.Params().Add("PATH=" + folder);
    TStringList list;
    db.GetTableNames(list, false);
    std::vector<std::string> names(list.begin(), list.end());
    std::sort(names.begin(), names.end());
    return names;
}

void MakeSchemaTable(const std::string& folder, const std::vector<TSchemaRow>& rows) {
    ExecIn(folder, "CREATE TABLE Talvir (Tabela Varchar(40), Campo Varchar(40), Tipo Varchar(20))");
    auto q = [](const std::string& s) {
        std::string r = "'";
        for (char c : s) {
            r += c;
            if (c == '\'')
                r += '\'';
        }
        return r + "'";
    };
    for (const TSchemaRow& r : rows)
        ExecIn(folder, "INSERT INTO Talvir (Tabela, Campo, Tipo) VALUES (" + q(r.Tabela) + ", " + q(r.Campo) +
                           ", " + q(r.Tipo) + ")");
}

// ---- gauge and connection ------------------------------------------------

void TScaleGauge::SetMaxValue(int32_t v) {
    if (v < 0)
        throw EInvalidOperation(Format("Value must be between %d and %d", 1, INT32_MAX));
    max_ = v;
    progress_ = std::min(progress_, max_);
}

void TScaleGauge::SetProgress(int32_t v) {
    progress_ = std::clamp(v, 0, max_);
}

std::unique_ptr<TDatabase> OpenShopDatabase(std::string* tipo) {
    const TIniFile ini(kIniFileName);
    const UpdaterConfig cfg = ReadDatabaseConfig(ini);
    if (tipo)
        *tipo = cfg.Tipo;
    auto db = std::make_unique<TDatabase>();
    db->SetDatabaseName(FormLayout().Database1.DatabaseName);
    db->SetDriverName(FormLayout().Database1.DriverName);
    db->SetLoginPrompt(false);
    ConfigureConnection(*db, cfg);
    db->SetConnected(true);
    return db;
}

// ---- FTP -----------------------------------------------------------------

void TScriptedFtp::Connect() {
    log_.push_back("Connect");
    if (ConnectFails)
        throw Exception("Connection refused");
}

void TScriptedFtp::Download(const std::string& remote, const std::string& local) {
    log_.push_back("Download " + remote + " " + local);
    if (OnDownload)
        OnDownload(remote);
    auto it = Files.find(remote);
    if (it == Files.end())
        throw Exception("550 " + remote + ": No such file or directory");
    const std::string& bytes = it->second;
    auto a = Announced.find(remote);
    total_ = a != Announced.end() ? a->second : static_cast<int32_t>(bytes.size());
    recvd_ = 0;
    TFileStream out(local, fmCreate);
    for (size_t at = 0; at < bytes.size(); at += BlockSize) {
        const size_t n = std::min<size_t>(BlockSize, bytes.size() - at);
        out.WriteBuffer(bytes.data() + at, static_cast<int64_t>(n));
        recvd_ += static_cast<int32_t>(n);
        if (onPacket_)
            onPacket_(nullptr);
    }
    if (remote == FailAfterWriting)
        throw Exception("426 Connection closed; transfer aborted.");
}

void TScriptedFtp::Disconnect() {
    log_.push_back("Disconnect");
}

// ---- archive -------------------------------------------------------------

std::string ArchiveOf(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string s = "ARCHIVE\n";
    for (const auto& [name, content] : entries)
        s += name + content + "\n";
    return s;
}

void TScriptedArchive::SetFileName(const std::string& f) {
    log_.push_back("SetFileName " + f);
    fileName_ = f;
}

void TScriptedArchive::OpenArchive() {
    log_.push_back("OpenArchive");
    if (!FileExists(fileName_)) {
        TFileStream created(fileName_, fmCreate);
        created.WriteBuffer("ARCHIVE\n", 8);
    }
    TFileStream in(fileName_, fmOpenRead);
    content_.assign(static_cast<size_t>(in.Size()), '\0');
    if (!content_.empty())
        in.ReadBuffer(content_.data(), static_cast<int64_t>(content_.size()));
    if (content_.rfind("ARCHIVE\n", 0) != 0)
        throw Exception("ZipArchiver: Archive is corrupted");
    open_ = true;
}

void TScriptedArchive::ExtractByMask(const std::string& mask, uint32_t attr, const std::string& exclusion) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", attr);
    log_.push_back("ExtractByMask " + mask + " " + hex + " [" + exclusion + "]");
    if (!open_)
        throw Exception("ZipArchiver: Archive is not open");
    std::istringstream lines(content_.substr(8));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find_first_of("=<");
        if (eq == std::string::npos)
            continue;
        const std::string name = line.substr(0, eq);
        std::string bytes = line.substr(eq + 1);
        if (line[eq] == '<') {
            std::ifstream src(bytes, std::ios::binary);
            std::stringstream s;
            s << src.rdbuf();
            bytes = s.str();
        }
        // Written through the platform, so an existing file is replaced
        // whatever the letter case of its name, as extraction does.
        TFileStream out(name, fmCreate);
        out.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
}

void TScriptedArchive::CloseArchive() {
    log_.push_back("CloseArchive");
    open_ = false;
}

TShopFixture::TShopFixture() {
    TestDialogs().Reset();
    Application()->SetCursor(crDefault);
    dados = aside.Path() + "/dados";
    std::filesystem::create_directories(dados);
    staging = aside.Path();
    MakeSchemaTable(staging, {{"Cad_Clientes", "Codigo", "Integer"},
                              {"Cad_Clientes", "Nome", "Varchar(40)"},
                              {"Cad_Clientes", "MalaDireta", "Char(1)"}});
    WriteIni("Vendarix");
    work.Write("Vendarix.exe", "old program");
}

void TShopFixture::WriteIni(const std::string& sistema, bool withSistema) {
    std::string ini = "[BDados]\r\nTipo=Standard\r\nCaminho=" + dados + "\r\n";
    if (withSistema)
        ini += "SistemaVendarix=" + sistema + "\r\n";
    work.Write("Brevanto.ini", ini);
}

std::vector<std::string> TShopFixture::Lines(const TCallLog& log, const std::string& prefix) {
    std::vector<std::string> r;
    for (const auto& l : log)
        if (l.rfind(prefix, 0) == 0)
            r.push_back(l);
    return r;
}

} // namespace vx::test
