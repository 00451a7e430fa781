// Downloads that only deliver archives signed by the maker. Put in front of
// the run's FTP client, each Download fetches the file and, right after it
// on the same connection, its detached signature (the remote name +
// ".minisig", to the local name + ".minisig"), and checks the one against
// the other with the maker's key. A file that fails is deleted, with its
// signature, before anything else can open it, and the download raises as
// a failed transfer does, so the run treats it exactly like one.
#pragma once

#include <string>

#include "app/SignatureVerifier.h"
#include "app/UpdateServices.h"

inline constexpr const char* kSignatureSuffix = ".minisig";

// Raised for a file whose signature is missing or does not hold.
class ESignatureError : public Exception {
public:
    using Exception::Exception;
};

class TVerifiedFtpService : public IFtpService {
public:
    // The client stays the caller's and must outlive this.
    TVerifiedFtpService(IFtpService& inner, const TSigningKey& key);

    void Connect() override;
    void Download(const std::string& remotePath, const std::string& localFile) override;
    void Disconnect() override;
    int32_t BytesTotal() const override;
    int32_t BytesRecvd() const override;
    void SetOnPacketRecvd(TNotifyEvent e) override;

private:
    IFtpService& inner_;
    TSignatureVerifier verifier_;
};

// Deletes the signature downloaded beside a local file, if there is one.
void DeleteSignatureOf(const std::string& localFile);
