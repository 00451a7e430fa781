// The run's view of the window's FTP client.
#include <cctype>
#include <chrono>

#include "app/UpdateServices.h"
#include "app/UpdaterConfig.h"
#include "net/FtpClient.h"
#include "platform/Streams.h"

namespace vx::app {

using namespace vx::platform;
using namespace vx::net;

namespace {

class TFtpClientService : public IFtpService {
public:
    TFtpClientService(TComponent* owner, const TFtpSettings& s, IRunLog& log)
        : log_(log), client_(std::make_unique<TFtpClient>(owner)) {
        TFtpClient& c = *client_;
        c.SetName("FTPTalvir");
        c.SetHost(s.Host);
        c.SetPort(s.Port);
        c.SetUserID(s.User);
        c.SetPassword(s.Password);
        c.SetPassive(s.Passive);
        c.SetTimeOut(s.TimeoutMs);
        c.SetTlsRequired(s.Tls == "require");
        c.SetCaFile(s.CaFile);
        // A configured time-out bounds the wait for the server's data
        // connection too; without one that wait keeps the client's own bound.
        c.SetAcceptTimeOut(s.TimeoutMs > 0 ? s.TimeoutMs : TFtpClient::DefaultAcceptTimeOut);
        c.SetReportLevel(0);
        c.SetVendor(TFtpClient::DefaultVendor);
        c.SetParseList(false);
        c.SetProxyPort(0);
        c.SetFirewallType(FTUser);
        c.SetFWAuthenticate(false);
        c.SetMinRate(s.MinRate);
        c.SetRateWindow(s.RateWindowS);
        // The run disconnects after a failed download and then goes on to
        // fetch the next archive: a download that finds the client
        // disconnected logs in again, so a program archive missing on the
        // server still leaves the schema archive to be fetched.
        c.OnConnectionRequired = [this](TObject*, bool& Handled) {
            client_->Connect();
            Handled = true;
        };
        c.OnPacketRecvd = [this](TObject* sender) {
            if (onPacketRecvd_)
                onPacketRecvd_(sender);
        };
    }
    void Connect() override { client_->Connect(); }
    void Download(const std::string& remote, const std::string& local) override {
        const auto start = std::chrono::steady_clock::now();
        auto took = [&] {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            return std::to_string(ms.count() / 1000) + "." + std::to_string(ms.count() % 1000 / 100) + " s";
        };
        try {
            downloadResuming(remote, local);
        } catch (const std::exception& e) {
            log_.Write("download " + remote + ": failed after " + std::to_string(client_->BytesRecvd()) +
                       " bytes, " + took() + ": " + e.what());
            throw;
        }
        log_.Write("download " + remote + ": " + std::to_string(client_->BytesRecvd()) + " bytes in " +
                   took());
    }
    void SetDownloadLimit(int64_t maxBytes) override { client_->SetMaxBytes(maxBytes); }
    // The connection is closed whatever the server answers to QUIT, or if
    // it answers at all: a server that misbehaves at the goodbye has nothing
    // left to spoil, and must not break a run whose files have arrived.
    void Disconnect() override {
        try {
            client_->Disconnect();
        } catch (const std::exception&) {
        }
    }
    int32_t BytesTotal() const override { return client_->BytesTotal(); }
    int32_t BytesRecvd() const override { return client_->BytesRecvd(); }
    void SetOnPacketRecvd(TNotifyEvent e) override { onPacketRecvd_ = std::move(e); }

private:
    // What to do after a try of a download failed.
    enum class TNext : uint8_t { GiveUp, Resume, StartOver };

    // A transfer cut on the way (a reply of the 4xx kind, a data connection
    // that ended early, silence, a trickle, a lost control connection) is
    // worth taking up where it stopped. A refusal of the file (5xx), a file
    // larger than it may be, or a file that cannot be written is not: the
    // next try would end the same.
    static TNext after(const std::exception& e) {
        if (dynamic_cast<const ERestartRefused*>(&e))
            return TNext::StartOver;
        if (dynamic_cast<const EDataOverrun*>(&e))
            return TNext::GiveUp;
        if (dynamic_cast<const ESockError*>(&e))
            return TNext::Resume;
        if (dynamic_cast<const FTPException*>(&e)) {
            const std::string text = e.what();
            const bool reply = text.size() >= 3 && std::isdigit(static_cast<unsigned char>(text[0])) &&
                               std::isdigit(static_cast<unsigned char>(text[1])) &&
                               std::isdigit(static_cast<unsigned char>(text[2]));
            return reply && text[0] != '4' ? TNext::GiveUp : TNext::Resume;
        }
        return TNext::GiveUp;
    }

    // The file is made afresh once, and its handle kept across the tries:
    // a resume appends only to the file this download made, never to one
    // that something else put under the name in between.
    void downloadResuming(const std::string& remote, const std::string& local) {
        std::unique_ptr<THandleStream> file = CreateFreshFile(local);
        int32_t wholeSize = 0;
        bool begun = false;
        for (int attempt = 1;; ++attempt) {
            const int64_t had = file->Size();
            file->Seek(had, soBeginning);
            try {
                client_->Download(remote, *file, static_cast<int32_t>(had), wholeSize);
                return;
            } catch (const std::exception& e) {
                if (client_->AnnouncedSize() > 0 && wholeSize == 0)
                    wholeSize = client_->AnnouncedSize();
                // Only a transfer that was under way is taken up again: a
                // server that fails before it ever sends (silence at the
                // login, a refused data connection) is reported at once.
                begun = begun || client_->TransferBegan();
                const TNext next = after(e);
                if (!begun || next == TNext::GiveUp || attempt > kResumes)
                    throw;
                if (next == TNext::StartOver) {
                    file->SetSize(0);
                    file->Seek(0, soBeginning);
                }
                log_.Write("download " + remote + ": " +
                           (next == TNext::StartOver
                                ? std::string("starting over")
                                : "resuming at " + std::to_string(file->Size()) + " bytes") +
                           " (try " + std::to_string(attempt + 1) + " of " + std::to_string(kResumes + 1) +
                           ") after: " + e.what());
            }
        }
    }

    static constexpr int kResumes = 3;
    IRunLog& log_;
    std::unique_ptr<TFtpClient> client_;
    TNotifyEvent onPacketRecvd_;
};

} // namespace

std::unique_ptr<IFtpService> MakeFtpService(TComponent* owner, const TFtpSettings& settings, IRunLog& log) {
    return std::make_unique<TFtpClientService>(owner, settings, log);
}

} // namespace vx::app
