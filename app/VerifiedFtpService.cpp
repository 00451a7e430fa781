#include "app/VerifiedFtpService.h"

#include "platform/Files.h"
#include "platform/PrivateFolder.h"

namespace vx::app {

using namespace vx::platform;

namespace {

// The name the archive has on the server, which its signature must name.
std::string remoteName(const std::string& remotePath) {
    const size_t slash = remotePath.find_last_of("/\\");
    return slash == std::string::npos ? remotePath : remotePath.substr(slash + 1);
}

TRefusal refusalOf(TVerifyResult r) {
    return r == TVerifyResult::OtherKey ? TRefusal::WrongKey : TRefusal::Damaged;
}

} // namespace

const char* RefusalText(TRefusal r) {
    switch (r) {
    case TRefusal::NoSignature:
        return "no signature";
    case TRefusal::WrongKey:
        return "wrong key";
    case TRefusal::Damaged:
        return "damaged";
    case TRefusal::WrongFile:
        return "wrong file name";
    case TRefusal::Older:
        return "older than installed";
    }
    return "?";
}

TVerifiedFtpService::TVerifiedFtpService(IFtpService& inner, const TSigningKey& key, IRunLog& log)
    : inner_(inner), verifier_(key), log_(log) {}

TVerifiedFtpService::~TVerifiedFtpService() {
    if (folder_.empty())
        return;
    RemoveFolderTree(folder_);
}

void TVerifiedFtpService::makePrivateFolder() {
    if (!folder_.empty())
        return;
    // Made fresh under a name nobody could take first, readable and
    // writable by the updater alone.
    std::string path;
    if (!CreatePrivateFolder("AtualizarVendarix", path))
        throw Exception("Cannot create folder " + path);
    folder_ = path;
}

void TVerifiedFtpService::loadRecord() {
    if (recordLoaded_)
        return;
    recordLoaded_ = true;
    if (record_.Load() == TReleaseRecord::TLoad::Damaged)
        log_.Write(std::string("record ") + TReleaseRecord::kFileName +
                   ": damaged, read as if missing: every signed release is taken");
}

void TVerifiedFtpService::Connect() {
    inner_.Connect();
}

std::string TVerifiedFtpService::VerifiedFile(const std::string& localFile) const {
    return folder_ + "/" + ExtractFileName(localFile);
}

void TVerifiedFtpService::Discard(const std::string& localFile) {
    if (folder_.empty())
        return;
    const std::string file = VerifiedFile(localFile);
    DeleteFile(file);
    DeleteFile(file + kSignatureSuffix);
}

void TVerifiedFtpService::refuse(const std::string& localFile, const std::string& remotePath, TRefusal reason,
                                 const std::string& detail) {
    Discard(localFile);
    const std::string text = std::string(RefusalText(reason)) + ": " + detail;
    log_.Write("signature " + remotePath + ": refused, " + text);
    throw ESignatureError(reason, text);
}

void TVerifiedFtpService::Download(const std::string& remotePath, const std::string& localFile) {
    // An empty local name means the remote name, as the client has it.
    const std::string local = localFile.empty() ? remotePath : localFile;
    const std::string name = remoteName(remotePath);
    makePrivateFolder();
    loadRecord();
    accepted_.erase(name);
    const std::string file = VerifiedFile(local);
    const std::string sigFile = file + kSignatureSuffix;
    // What an earlier download of the same name left must not stand in for
    // what fails to arrive now.
    Discard(local);
    try {
        inner_.Download(remotePath, file);
    } catch (...) {
        Discard(local);
        throw;
    }

    std::string failure;
    inner_.SetDownloadLimit(kSignatureLimit);
    try {
        inner_.Download(remotePath + kSignatureSuffix, sigFile);
    } catch (const std::exception& e) {
        failure = e.what();
        if (failure.empty())
            failure = "download failed";
    }
    inner_.SetDownloadLimit(0);
    if (!failure.empty()) {
        const bool tooLarge = inner_.BytesRecvd() > kSignatureLimit || FileSizeOf(sigFile) > kSignatureLimit;
        refuse(local, remotePath, tooLarge ? TRefusal::Damaged : TRefusal::NoSignature,
               remotePath + kSignatureSuffix + ": " + failure);
    }

    // The size is checked before a byte is read.
    std::string text;
    if (FileSizeOf(sigFile) > kSignatureLimit || !ReadSmallFile(sigFile, kSignatureLimit, text))
        refuse(local, remotePath, TRefusal::Damaged, "signature larger than 16384 bytes or unreadable");
    const std::optional<TDetachedSignature> sig = ParseDetachedSignature(text);
    if (!sig)
        refuse(local, remotePath, TRefusal::Damaged, VerifyResultText(TVerifyResult::Malformed));
    const TVerifyResult result = verifier_.Verify(file, *sig);
    if (result != TVerifyResult::Valid)
        refuse(local, remotePath, refusalOf(result), VerifyResultText(result));

    // The comment is the maker's now: its signature held.
    const std::optional<TReleaseStamp> stamp = ParseReleaseStamp(sig->TrustedComment);
    if (!stamp)
        refuse(local, remotePath, TRefusal::WrongFile, "trusted comment without file name and timestamp");
    if (stamp->File != name)
        refuse(local, remotePath, TRefusal::WrongFile, "signed for " + stamp->File);
    const std::optional<int64_t> installed = record_.Installed(name);
    if (installed && stamp->Timestamp < *installed)
        refuse(local, remotePath, TRefusal::Older,
               "signed at " + std::to_string(stamp->Timestamp) + ", installed " + std::to_string(*installed));
    accepted_[name] = stamp->Timestamp;
}

bool TVerifiedFtpService::RecordAccepted() {
    if (accepted_.empty())
        return true;
    for (const auto& [name, timestamp] : accepted_)
        record_.SetInstalled(name, timestamp);
    accepted_.clear();
    return record_.Save();
}

void TVerifiedFtpService::Disconnect() {
    inner_.Disconnect();
}

int32_t TVerifiedFtpService::BytesTotal() const {
    return inner_.BytesTotal();
}

int32_t TVerifiedFtpService::BytesRecvd() const {
    return inner_.BytesRecvd();
}

void TVerifiedFtpService::SetOnPacketRecvd(TNotifyEvent e) {
    inner_.SetOnPacketRecvd(std::move(e));
}

} // namespace vx::app
