// The FTP client component: the control connection of RFC 959 (greeting,
// login directly or through a firewall, multi-line replies, QUIT) and the
// download of one remote file to one local file over an active or passive
// data connection, with a progress event per received block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/AsyncSocket.h"
#include "net/FtpReply.h"

namespace vx::platform {
class THandleStream;
namespace tls {
class TTrust;
}
} // namespace vx::platform

namespace vx::net {

class TFtpTransfer;

class FTPException : public Exception {
public:
    using Exception::Exception;
};

// The server refused REST: it cannot start a transfer part of the way into
// the file, and only a whole new one will do.
class ERestartRefused : public FTPException {
public:
    using FTPException::FTPException;
};

// Login style through a firewall or proxy (Proxy not empty).
enum TFirewallType : uint8_t { FTUser, FtOpen, FtSite };

// Kind of command reported to OnFailure, OnSuccess and OnUnSupportedFunction;
// the download is the only one this client performs.
enum TCmdType : uint8_t { cmdDownload = 9 };

using TFailureEvent = std::function<void(TObject* Sender, bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TObject* Sender, TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TObject* Sender, TCmdType Trans_Type)>;
using TFtpListItem = std::function<void(TObject* Sender, const std::string& Listing)>;

class TFtpClient : public TAsyncSocket {
public:
    static constexpr int32_t DefaultVendor = 2411;
    // How long a download waits for the server to open an active-mode data
    // connection before it gives up.
    static constexpr int DefaultAcceptTimeOut = 60000;

    explicit TFtpClient(TComponent* owner = nullptr);
    ~TFtpClient() override;

    // Connects to Host:Port (or Proxy:ProxyPort) and logs in. Nothing happens
    // when already connected. Raises ESockError or FTPException.
    void Connect() override;
    // Sends QUIT and closes. Nothing happens when not connected.
    void Disconnect() override;
    // One command and its whole reply; returns the reply's first line (empty
    // when the server closed the connection) and keeps it in LastReply, its
    // number in ReplyNumber. Replies still owed to an earlier command that
    // failed on this side are read and discarded first.
    std::string Transaction(const std::string& command);
    // One whole reply under one time-out. A reply that cannot be read whole
    // (silence, a flood beyond the bounds) leaves the control connection out
    // of step with its commands, so it is closed before the error goes on.
    TFtpReply ReadReply();
    // Cancels the data connection of the download under way, if any.
    void Abort() override;

    // Fetches RemoteFile into LocalFile (RemoteFile's name when empty),
    // made afresh once the server has agreed to send it: what had the name
    // before, a link included, is removed and never written through.
    void Download(const std::string& RemoteFile, const std::string& LocalFile);
    // Fetches RemoteFile into a file the caller has open, appending from
    // where it stands. With RestartAt above 0 the server is asked (REST) to
    // start there, and ERestartRefused says it will not. WholeSize is the
    // size an earlier try announced (0: none): servers announce either the
    // whole file or what is left of it on a restarted transfer, and that
    // size tells the two apart.
    void Download(const std::string& RemoteFile, THandleStream& LocalFile, int32_t RestartAt = 0,
                  int32_t WholeSize = 0);
    // The whole file's size as the last download's server announced it; 0
    // when it announced none.
    int32_t AnnouncedSize() const { return announcedWhole_; }
    // The server agreed to send the last download's file (a preliminary
    // reply to RETR) and its data connection was made: a failure after that
    // cut a transfer under way.
    bool TransferBegan() const { return transferBegan_; }

    // Size announced in a reply: the number in front of the first "BYTE"
    // (any letter case); 0 when there is none or it does not fit 32 bits.
    static int32_t ParseSize(const std::string& line);
    // As ParseSize; false when the line announces no size at all.
    static bool ParseSize(const std::string& line, int32_t& size);
    // Field n (from 1) of text split at delimiter; empty when there are fewer.
    static std::string NthField(const std::string& text, char delimiter, int n);
    // The data port of a PASV reply: the number in front of the first ")"
    // of the sixth comma-separated field plus 256 times the fifth field
    // (the reply's address is not used). EConvertError when a field is not
    // a number.
    static int32_t PasvPort(const std::string& reply);

    // Byte counts of the download: BytesTotal is the size the server
    // announced, and after the transfer the count received; BytesRecvd is
    // what the data connection has received so far (the last transfer's
    // count when none is under way).
    // Both count the whole file on a restarted transfer, the part that was
    // there before included, so a progress display goes on from where it
    // stood.
    int32_t BytesRecvd() const override;

    const std::string& UserID() const { return userID_; }
    void SetUserID(std::string v) { userID_ = std::move(v); }
    const std::string& Password() const { return password_; }
    void SetPassword(std::string v) { password_ = std::move(v); }
    bool Passive() const { return passive_; }
    void SetPassive(bool v) { passive_ = v; }
    int32_t Vendor() const { return vendor_; }
    void SetVendor(int32_t v) { vendor_ = v; }
    bool ParseList() const { return parseList_; }
    void SetParseList(bool v) { parseList_ = v; }
    TFirewallType FirewallType() const { return firewallType_; }
    void SetFirewallType(TFirewallType v) { firewallType_ = v; }
    const std::string& FWUserID() const { return fwUserID_; }
    void SetFWUserID(std::string v) { fwUserID_ = std::move(v); }
    const std::string& FWPassword() const { return fwPassword_; }
    void SetFWPassword(std::string v) { fwPassword_ = std::move(v); }
    bool FWAuthenticate() const { return fwAuthenticate_; }
    void SetFWAuthenticate(bool v) { fwAuthenticate_ = v; }
    int AcceptTimeOut() const { return acceptTimeOut_; }
    void SetAcceptTimeOut(int ms) { acceptTimeOut_ = ms; }
    // Explicit TLS: right after the greeting the control connection is
    // protected (AUTH TLS and the handshake), before the account name and
    // password go out, and so is every data connection (PBSZ 0, PROT P).
    // A server that refuses, or whose certificate does not chain to the
    // trusted ones or does not name Host, fails the connection; nothing is
    // ever sent in clear instead.
    bool TlsRequired() const { return tlsRequired_; }
    void SetTlsRequired(bool v) { tlsRequired_ = v; }
    // PEM file of the certificates trusted; empty: the system's.
    const std::string& CaFile() const { return caFile_; }
    void SetCaFile(std::string v) { caFile_ = std::move(v); }
    // A bound on the size of the files downloaded (0: only the announced
    // size, or 2 GiB without one): the byte beyond it fails the download
    // before it is written.
    int64_t MaxBytes() const { return maxBytes_; }
    void SetMaxBytes(int64_t v) { maxBytes_ = v < 0 ? 0 : v; }
    // A transfer that moves fewer than MinRate bytes a second over any span
    // of RateWindow seconds fails as one that has gone silent does (MinRate
    // 0: data that trickles is waited for as long as it comes).
    int32_t MinRate() const { return minRate_; }
    void SetMinRate(int32_t v) { minRate_ = v; }
    int32_t RateWindow() const { return rateWindow_; }
    void SetRateWindow(int32_t seconds) { rateWindow_ = seconds; }

    const std::string& LastReply() const { return lastReply_; }
    int16_t ReplyNumber() const { return replyNumber_; }
    // Replies the server still owes to commands whose outcome this side
    // gave up waiting for.
    int OwedReplies() const { return owedReplies_; }

    // The data connection of the download under way; null otherwise.
    TAsyncSocket* DataConnection() const;

    // Login completed. Hides the socket-level connect event.
    TNotifyEvent OnConnect;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TFtpListItem OnListItem;
    TUnsupportedEvent OnUnSupportedFunction;

private:
    void login();
    void loginCheck();
    void failLogin(std::exception_ptr first, bool serverGone);
    // AUTH TLS and the handshake of the control connection.
    void secureControl();
    // PBSZ 0 and PROT P: the data connections are to be protected too.
    void protectData();
    // The data connection's handshake, at its first use, offering the
    // control connection's session again.
    void secureData();
    void download(const std::string& remoteFile);
    void newTransfer();
    void downloadSteps(const std::string& remoteFile, bool& success);
    // Whole-file size from what a RETR announced after REST restartAt_.
    int64_t wholeFromAnnounced(int32_t announced) const;
    void receive(int64_t bound);
    // The data connection's first step (PASV, or listening and PORT); false
    // when the server refuses it.
    bool openData();
    bool openPassive();
    bool openActive();
    void finishTransfer(const TFtpReply& retrReply);
    // Waits (within the time-out) for the replies still owed and discards
    // them; a server that does not send them is out of step, and the
    // connection is closed so that the next command starts afresh.
    void settleOwedReplies();
    static constexpr int kOwedWaitMs = 3000;
    // The control connection no longer pairs replies with commands.
    void outOfStep();
    void takeReply(const TFtpReply& reply);
    void refused(bool& handled);
    void Notified() override;

    std::string userID_;
    std::string password_;
    bool passive_ = false;
    int32_t vendor_ = DefaultVendor;
    bool parseList_ = false;
    TFirewallType firewallType_ = FTUser;
    std::string fwUserID_;
    std::string fwPassword_;
    bool fwAuthenticate_ = false;
    int acceptTimeOut_ = DefaultAcceptTimeOut;
    bool tlsRequired_ = false;
    std::string caFile_;
    std::unique_ptr<tls::TTrust> trust_;
    int64_t maxBytes_ = 0;
    int32_t minRate_ = 0;
    int32_t rateWindow_ = 0;
    // The file of the download under way: the caller's, or one made under
    // freshName_ when the server agrees to send.
    THandleStream* into_ = nullptr;
    std::unique_ptr<THandleStream> fresh_;
    std::string freshName_;
    int32_t restartAt_ = 0;
    int32_t wholeHint_ = 0;
    int32_t announcedWhole_ = 0;
    bool transferBegan_ = false;
    std::unique_ptr<TFtpTransfer> transfer_;
    int32_t lastRecvd_ = 0;
    std::string lastReply_;
    int16_t replyNumber_ = 0;
    int owedReplies_ = 0;
};

} // namespace vx::net
