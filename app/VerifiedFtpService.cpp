#include "app/VerifiedFtpService.h"

#include "platform/Files.h"

namespace {

// Both the file and its signature go, whatever state the failure left them
// in: a partly received or refused archive is never opened.
void discard(const std::string& localFile) {
    if (FileExists(localFile))
        DeleteFile(localFile);
    DeleteSignatureOf(localFile);
}

} // namespace

TVerifiedFtpService::TVerifiedFtpService(IFtpService& inner, const TSigningKey& key)
    : inner_(inner), verifier_(key) {}

void TVerifiedFtpService::Connect() {
    inner_.Connect();
}

void TVerifiedFtpService::Download(const std::string& remotePath, const std::string& localFile) {
    // An empty local name means the remote name, as the client has it.
    const std::string local = localFile.empty() ? remotePath : localFile;
    const std::string localSig = local + kSignatureSuffix;
    // A signature left by an earlier, interrupted run must not stand in for
    // one that fails to arrive now.
    DeleteSignatureOf(local);
    try {
        inner_.Download(remotePath, local);
        inner_.Download(remotePath + kSignatureSuffix, localSig);
    } catch (...) {
        discard(local);
        throw;
    }
    const TVerifyResult result = verifier_.Verify(ResolvePath(local), ResolvePath(localSig));
    if (result != TVerifyResult::Valid) {
        discard(local);
        throw ESignatureError(remotePath + ": " + VerifyResultText(result));
    }
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

void DeleteSignatureOf(const std::string& localFile) {
    const std::string sig = localFile + kSignatureSuffix;
    if (FileExists(sig))
        DeleteFile(sig);
}
