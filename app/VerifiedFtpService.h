// Downloads that only deliver archives signed by the maker. Put in front of
// the run's FTP client, each Download fetches the file and, right after it
// on the same connection, its detached signature (the remote name +
// ".minisig"), and checks the one against the other with the maker's key.
//
// The signature binds more than the bytes: its trusted comment names the
// file it was made for and when it was signed, and an archive is taken only
// under the name it was signed for and only when it is not older than the
// release of that name installed last (TReleaseRecord).
//
// Both files land in a private folder of the updater's own, made fresh for
// the run where only the updater may enter, not in the shop's folder: what
// was verified is what is extracted, whatever a user of the shop's folder
// does to it meanwhile. VerifiedFile gives the archive's place there.
//
// A file that fails is deleted, with its signature, before anything else can
// open it, and the download raises as a failed transfer does, so the run
// treats it like one; the error says why it was refused.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "app/ReleaseRecord.h"
#include "app/SignatureVerifier.h"
#include "app/UpdateServices.h"

namespace vx::app {

inline constexpr const char* kSignatureSuffix = ".minisig";

enum class TRefusal {
    NoSignature, // none could be fetched
    WrongKey,    // made with another key
    Damaged,     // not a signature, too large, or not of these bytes
    WrongFile,   // signed for another file name, or without name or time
    Older,       // older than the release installed last
};

const char* RefusalText(TRefusal r);

// Raised for a file whose signature is missing or does not hold.
class ESignatureError : public Exception {
public:
    ESignatureError(TRefusal reason, const std::string& msg) : Exception(msg), reason_(reason) {}
    TRefusal Reason() const { return reason_; }

private:
    TRefusal reason_;
};

class TVerifiedFtpService : public IFtpService {
public:
    // The client and the log stay the caller's and must outlive this.
    TVerifiedFtpService(IFtpService& inner, const TSigningKey& key, IRunLog& log);
    // Removes the private folder with whatever is left in it.
    ~TVerifiedFtpService() override;

    void Connect() override;
    void Download(const std::string& remotePath, const std::string& localFile) override;
    void Disconnect() override;
    int32_t BytesTotal() const override;
    int32_t BytesRecvd() const override;
    void SetOnPacketRecvd(TNotifyEvent e) override;

    // Where the archive downloaded for localFile was verified and stays: the
    // name to open it by.
    std::string VerifiedFile(const std::string& localFile) const;
    // Deletes the archive downloaded for localFile and its signature.
    void Discard(const std::string& localFile);
    // Records the releases accepted in this run as installed; false when the
    // record could not be written.
    bool RecordAccepted();

    // A signature is a few hundred bytes: its download stops past this.
    static constexpr int64_t kSignatureLimit = TSignatureVerifier::kMaxSignatureFileSize;

private:
    void makePrivateFolder();
    void loadRecord();
    [[noreturn]] void refuse(const std::string& localFile, const std::string& remotePath, TRefusal reason,
                             const std::string& detail);

    IFtpService& inner_;
    TSignatureVerifier verifier_;
    IRunLog& log_;
    std::string folder_;
    bool recordLoaded_ = false;
    TReleaseRecord record_;
    // Remote file name to the signing time of the archive accepted now.
    std::map<std::string, int64_t> accepted_;
};

} // namespace vx::app
