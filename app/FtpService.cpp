// The run's view of the window's FTP client.
#include <chrono>

#include "app/RunLog.h"
#include "app/UpdateServices.h"
#include "app/UpdaterConfig.h"
#include "net/FtpClient.h"

namespace {

class TFtpClientService : public IFtpService {
public:
    TFtpClientService(TComponent* owner, const TFtpSettings& s)
        : client_(std::make_unique<TFtpClient>(owner)) {
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
            client_->Download(remote, local);
        } catch (const std::exception& e) {
            RunLog::Write("download " + remote + ": failed after " + std::to_string(client_->BytesRecvd()) +
                          " bytes, " + took() + ": " + e.what());
            throw;
        }
        RunLog::Write("download " + remote + ": " + std::to_string(client_->BytesRecvd()) + " bytes in " +
                      took());
    }
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
    std::unique_ptr<TFtpClient> client_;
    TNotifyEvent onPacketRecvd_;
};

} // namespace

std::unique_ptr<IFtpService> MakeFtpService(TComponent* owner, const TFtpSettings& settings) {
    return std::make_unique<TFtpClientService>(owner, settings);
}
