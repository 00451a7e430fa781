#include "app/UpdateServices.h"

namespace {

class TUnavailableFtp : public IFtpService {
public:
    void Connect() override { throw Exception("FTP client not available in this build"); }
    void Download(const std::string&, const std::string&) override {
        throw Exception("FTP client not available in this build");
    }
    void Disconnect() override {}
    int32_t BytesTotal() const override { return 0; }
    int32_t BytesRecvd() const override { return 0; }
    void SetOnPacketRecvd(TNotifyEvent) override {}
};

class TUnavailableArchive : public IArchiveService {
public:
    void SetFileName(const std::string&) override {}
    void OpenArchive() override { throw Exception("Archive component not available in this build"); }
    void ExtractByMask(const std::string&, uint32_t, const std::string&) override {}
    void CloseArchive() override {}
};

} // namespace

std::unique_ptr<IFtpService> MakeUnavailableFtp() {
    return std::make_unique<TUnavailableFtp>();
}
std::unique_ptr<IArchiveService> MakeUnavailableArchive() {
    return std::make_unique<TUnavailableArchive>();
}

#ifndef VX_HAVE_NET
std::unique_ptr<IFtpService> MakeFtpService(TComponent*, const TFtpSettings&) {
    return MakeUnavailableFtp();
}
#endif
#ifndef VX_HAVE_ZIP
std::unique_ptr<IArchiveService> MakeArchiveService(TComponent*) {
    return MakeUnavailableArchive();
}
#endif
