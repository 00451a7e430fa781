#include "app/UpdateRun.h"

#include "app/SchemaReconciler.h"
#include "app/UpdaterConfig.h"
#include "app/VerifiedFtpService.h"
#include "platform/Application.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace vx::app {

using namespace vx::platform;

namespace {

// A name built from the ini file is deleted only when it stays inside the
// working folder: a value with a drive, a root or ".." must not make the
// updater delete files elsewhere on the machine.
bool staysInWorkingFolder(const std::string& name) {
    if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

void TUpdateRun::restoreProgramFromBackup() {
    if (!env_.FileExists("Vendarix.exe") && env_.FileExists("Vendarix.bkp"))
        env_.RenameFile("Vendarix.bkp", "Vendarix.exe");
}

TUpdateRun::TUpdateRun(IRunEnvironment& env, IFtpService& ftp, IArchiveService& archive,
                       TSchemaReconciler& reconciler, IProgressDisplay& gauge, TRunHooks hooks)
    : env_(env), ftp_(ftp), archive_(archive), reconciler_(reconciler), gauge_(gauge),
      hooks_(std::move(hooks)) {}

void TUpdateRun::Execute() {
    state_ = TRunState::Running;
    programStarted_ = false;
    signatureRefused_ = false;
    try {
        Download();
    } catch (...) {
        state_ = TRunState::Broken;
        restoreProgramFromBackup();
        throw;
    }
}

int TUpdateRun::ExitCode() const {
    switch (state_) {
    case TRunState::Finished:
        // The shop's program is running only when its start succeeded. A
        // refused signature is not an outage: someone may be serving what
        // the maker did not sign, and the shop's operator is to be told.
        if (!programStarted_)
            return 2;
        return signatureRefused_ ? 3 : 0;
    case TRunState::Broken:
        return 2;
    default: // stopped, or ended before the run touched anything
        return 1;
    }
}

bool TUpdateRun::fetch(const std::string& remote, const std::string& local, const std::string& shownName) {
    bool failed = false;
    try {
        // An archive whose signature does not hold fails here like one that
        // did not arrive, and is gone before anything opens it.
        if (verified_)
            verified_->Download(remote, local);
        else
            ftp_.Download(remote, local);
    } catch (const ESignatureError&) {
        // The service wrote its reason to the run log.
        signatureRefused_ = true;
        failed = true;
    } catch (const std::exception&) {
        failed = true;
    }
    if (!failed)
        return true;
    // Nothing of a download that failed is used: a partial archive would
    // put part of a program, or a program without its tables, in the shop.
    deleteDownload(local);
    env_.ShowMessage(Txt("Problemas ao descarregar arquivo ") + "\"" + shownName + "\"");
    ftp_.Disconnect();
    return false;
}

void TUpdateRun::deleteDownload(const std::string& name) {
    if (env_.FileExists(name))
        env_.DeleteFile(name);
    if (verified_) {
        // The signature downloaded beside it, if any.
        if (env_.FileExists(name + kSignatureSuffix))
            env_.DeleteFile(name + kSignatureSuffix);
        verified_->Discard(name);
    }
}

void TUpdateRun::extract(const std::string& archive) {
    try {
        // A signed archive is opened where it was verified, out of reach of
        // the shop's users; the name in the shop's folder is not looked at.
        archive_.SetFileName(verified_ ? verified_->VerifiedFile(archive) : archive);
        archive_.OpenArchive();
        archive_.ExtractByMask("*.*", 0x28BF, "");
        archive_.CloseArchive();
    } catch (const std::exception& e) {
        env_.Log().Write("extract " + archive + ": failed: " + e.what());
        throw;
    }
    env_.Log().Write("extract " + archive + ": done");
}

void TUpdateRun::recordInstalled() {
    // Only a release whose two archives both went in counts: a
    // program archive accepted but left out because its tables failed must
    // not keep the shop from being served the release it still runs.
    if (verified_ && !verified_->RecordAccepted())
        env_.Log().Write(std::string("record ") + TReleaseRecord::kFileName + ": could not be written");
}

void TUpdateRun::Download() {
    env_.SetCursor(crHourGlass);
    // Read before anything is touched: a setting that is not a key ends the
    // run here rather than letting unchecked archives through.
    if (const std::optional<TSigningKey> key = SigningKeyFromText(env_.SigningKeyText()))
        verified_ = std::make_unique<TVerifiedFtpService>(ftp_, *key, env_.Log());

    // What an earlier run that was killed may have left: the program set
    // aside as its backup, and the temporaries of an extraction. Both are
    // dealt with before the connection, so that a server that cannot be
    // reached does not leave the shop without its program.
    restoreProgramFromBackup();
    env_.RemoveExtractionLeftovers();

    bool connected = true;
    std::string why;
    try {
        ftp_.Connect();
    } catch (const std::exception& e) {
        connected = false;
        why = e.what();
    }
    if (!connected) {
        // The reason is for whoever reads the log (a certificate refused,
        // say); the shop sees the one message for every failed connection.
        env_.Log().Write("connect: failed: " + why);
        env_.ShowMessage(Txt("Falha na conexão, verifique a conexão com a Internet e tente novamente."));
        state_ = TRunState::Stopped;
        env_.SetCursor(crArrow);
        return;
    }

    const std::string sistema = env_.ReadSistemaVendarix();
    // The backup is deleted only with a whole program beside it. Extraction
    // renames only whole files into place, so a Vendarix.exe in any letter
    // case is the old program or the new one; a lone backup was put back
    // above and is the program itself.
    restoreProgramFromBackup();
    if (env_.FileExists("Vendarix.bkp") && env_.FileExists("Vendarix.exe"))
        env_.DeleteFile("Vendarix.bkp");
    const std::string stale = sistema + ".zip";
    if (staysInWorkingFolder(stale) && env_.FileExists(stale))
        env_.DeleteFile(stale);

    // The local name of the program archive is fixed, whatever the
    // configured system is called on the server.
    const bool program = fetch("/Pagina/Download/" + sistema + ".zip", ".\\Vendarix.zip", sistema + ".zip");
    const bool schema =
        fetch("/Pagina/Download/TabelasTalvir.zip", ".\\TabelasTalvir.zip", "TabelasTalvir.zip");
    ftp_.Disconnect();

    // A new program goes in only with the tables it needs: without the
    // schema archive the shop keeps its old program and its tables as they
    // are. The program is set aside only now, with both archives here: a
    // download that fails, stalls or is killed leaves it where it was.
    if (program && schema) {
        if (env_.FileExists("Vendarix.exe"))
            env_.RenameFile("Vendarix.exe", "Vendarix.bkp");
        extract(".\\Vendarix.zip");
    }
    if (schema) {
        extract(".\\TabelasTalvir.zip");
        if (program)
            recordInstalled();
        reconciler_.ConferirTabelas();
    }

    deleteDownload("TabelasTalvir.zip");
    if (env_.FileExists("Talvir.db"))
        env_.DeleteFile("Talvir.db");
    deleteDownload("Vendarix.zip");
    // The archive names the executable in capitals.
    env_.RenameFile("VENDARIX.EXE", "Vendarix.exe");
    // A program archive without the executable must not leave the shop
    // without its program: the backup goes back before the start.
    restoreProgramFromBackup();
    programStarted_ = env_.StartProgram("Vendarix.exe", SW_SHOW) > 31;
    env_.Log().Write(programStarted_ ? "start Vendarix.exe: ok" : "start Vendarix.exe: failed");
    env_.SetCursor(crArrow);
    state_ = TRunState::Finished;
    if (hooks_.Terminate)
        hooks_.Terminate();
    env_.SetCursor(crArrow);
}

void TUpdateRun::FTPTalvirPacketRecvd(TObject*) {
    if (ftp_.BytesTotal() != gauge_.MaxValue())
        gauge_.SetMaxValue(ftp_.BytesTotal());
    gauge_.SetProgress(ftp_.BytesRecvd());
}

} // namespace vx::app
