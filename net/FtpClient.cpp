#include "net/FtpClient.h"

#include <algorithm>
#include <exception>

#include "net/FtpConst.h"
#include "net/FtpTransfer.h"
#include "platform/Application.h"
#include "platform/AsyncSelect.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "platform/Timer.h"
#include "platform/Tls.h"

namespace vx::net {

using namespace vx::platform;

using namespace ftpconst;

namespace {

// The server closed the control connection where a reply was due.
class EServerGone : public FTPException {
public:
    EServerGone() : FTPException(SServerClosedConnection) {}
};

constexpr const char* SAuthTls = "AUTH TLS";
constexpr const char* STlsRefused = "The server refused TLS: %s";
constexpr const char* SDataProtectionRefused = "The server refused to protect the data connections: %s";

// Arms the control connection's time-out for a span of several reads (the
// lines of one reply, or the replies of one command), unless a wider span
// has armed it already: the span as a whole is bounded, not each read.
class TTimeOutSpan {
public:
    explicit TTimeOutSpan(TAsyncSocket& s) : s_(s), armed_(!s.Timer().Enabled()) {
        if (armed_)
            s_.TimerOn();
    }
    ~TTimeOutSpan() {
        if (armed_)
            s_.TimerOff();
    }
    TTimeOutSpan(const TTimeOutSpan&) = delete;
    TTimeOutSpan& operator=(const TTimeOutSpan&) = delete;

private:
    TAsyncSocket& s_;
    bool armed_;
};

// Runs f when the scope ends, however it ends.
template <class F> class TOnExit {
public:
    explicit TOnExit(F f) : f_(std::move(f)) {}
    ~TOnExit() { f_(); }
    TOnExit(const TOnExit&) = delete;
    TOnExit& operator=(const TOnExit&) = delete;

private:
    F f_;
};

int32_t addCounts(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

} // namespace

TFtpClient::TFtpClient(TComponent* owner) : TAsyncSocket(owner) {
    SetPort(21);
    vendor_ = DefaultVendor;
    // Replies are read when they are due; their arrival needs no action.
    OnDataReady = [](TObject*) {};
}

TFtpClient::~TFtpClient() {
    Cancel();
    transfer_.reset();
}

TAsyncSocket* TFtpClient::DataConnection() const {
    return transfer_ ? &transfer_->Data() : nullptr;
}

void TFtpClient::outOfStep() {
    owedReplies_ = 0;
    if (Connected())
        TAsyncSocket::Disconnect();
}

TFtpReply TFtpClient::ReadReply() {
    TTimeOutSpan span(*this);
    TFtpReplyAssembler assembler;
    try {
        for (;;) {
            const std::string line = ReadLn();
            if (line.empty()) {
                // The server has hung up: this side closes too, so that the
                // next command finds the connection gone instead of sending
                // into it.
                TFtpReply cut = assembler.Take();
                cut.Cut = true;
                outOfStep();
                return cut;
            }
            StatusMessage(1, line);
            if (assembler.Add(line))
                return assembler.Take();
        }
    } catch (const ESockError& e) {
        outOfStep();
        if (e.Message() == SLineTooLong)
            throw FTPException(Format(SReplyTooLong, static_cast<int>(TFtpReplyAssembler::kMaxLines),
                                      static_cast<int>(TFtpReplyAssembler::kMaxBytes)));
        throw;
    } catch (...) {
        outOfStep();
        throw;
    }
}

void TFtpClient::takeReply(const TFtpReply& reply) {
    // A reply cut off by the server's close reads as no reply at all.
    lastReply_ = reply.Cut ? std::string() : reply.First();
    replyNumber_ = 0;
    if (lastReply_.empty())
        return;
    // Read as a 32-bit number, then stored in the 16-bit reply number under
    // a range check.
    if (reply.Number > INT16_MAX)
        throw ERangeError();
    replyNumber_ = static_cast<int16_t>(reply.Number);
}

std::string TFtpClient::Transaction(const std::string& command) {
    StatusMessage(8, STransaction);
    replyNumber_ = 0;
    try {
        Writeln(command);
    } catch (const EAbortError&) {
        throw;
    } catch (const ESockError&) {
        // A command that cannot be sent has no reply to wait for.
        outOfStep();
        throw;
    }
    TTimeOutSpan span(*this);
    TFtpReply reply = ReadReply();
    // Replies owed to a command given up on come first; QUIT's own 221 is
    // never one of them, so a server that never sent them does not cost the
    // goodbye.
    while (owedReplies_ > 0 && !reply.Empty() && !reply.Cut) {
        if (command == "QUIT" && reply.Number == 221)
            break;
        --owedReplies_;
        reply = ReadReply();
    }
    takeReply(reply);
    return lastReply_;
}

void TFtpClient::settleOwedReplies() {
    const int waitMs = TimeOut() > 0 ? TimeOut() : kOwedWaitMs;
    while (owedReplies_ > 0 && Connected()) {
        TApplication* a = Application();
        const bool ready = a && a->WaitUntilFor([this] { return !Connected() || DataAvailable(); }, waitMs);
        if (!Connected())
            break;
        if (!ready) {
            outOfStep();
            return;
        }
        ReadReply();
        --owedReplies_;
    }
    if (!Connected())
        owedReplies_ = 0;
}

void TFtpClient::Abort() {
    if (transfer_)
        transfer_->Data().Cancel();
    // The time-out timer calls this too. When it ran out on a wait of the
    // control connection itself (a server that no longer answers, say the
    // QUIT after a stalled transfer), that wait must end as well: cancelling
    // only the data connection would leave it waiting for ever.
    if (TimedOut())
        TAsyncSocket::Abort();
}

int32_t TFtpClient::BytesRecvd() const {
    return transfer_ ? addCounts(restartAt_, transfer_->Received()) : lastRecvd_;
}

// ---------------------------------------------------------------- login

void TFtpClient::loginCheck() {
    // An empty reply means the server hung up; going on would send the
    // password into a closed connection and report a login that never was.
    if (LastReply().empty()) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw EServerGone();
    }
    if (ReplyNumber() > 400 && ReplyNumber() < 600) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw FTPException(LastReply());
    }
}

void TFtpClient::Connect() {
    ClearCanceled();
    if (Connected())
        return;
    ClearInput();
    // The trusted certificates are read before the server is called: a
    // file that cannot be read is this side's fault, and no reason to talk
    // to anybody.
    trust_.reset();
    if (tlsRequired_) {
        try {
            trust_ = std::make_unique<tls::TTrust>(caFile_);
        } catch (const ETlsError& e) {
            throw ETlsFailure(e.Message());
        }
    }
    TAsyncSocket::Connect();
    try {
        login();
    } catch (const EServerGone&) {
        failLogin(std::current_exception(), true);
    } catch (...) {
        failLogin(std::current_exception(), false);
    }
}

void TFtpClient::failLogin(std::exception_ptr first, bool serverGone) {
    // A server that has hung up cannot be told QUIT; the socket is just
    // closed. So is one that was to be spoken to under TLS only and is not
    // yet: not even QUIT goes out in clear. Otherwise QUIT is attempted,
    // and an error of it wins.
    if (serverGone || (tlsRequired_ && !Tls()))
        TAsyncSocket::Disconnect();
    else
        Disconnect();
    StatusMessage(1, SDisconnected);
    std::rethrow_exception(first);
}

void TFtpClient::login() {
    owedReplies_ = 0;
    // The greeting and all its continuation lines.
    const TFtpReply greeting = ReadReply();
    if (greeting.Empty() || greeting.Cut) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw EServerGone();
    }
    if (greeting.Number > 400) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw FTPException(greeting.First());
    }
    if (tlsRequired_)
        secureControl();
    if (fwAuthenticate_) {
        Transaction("USER " + fwUserID_);
        loginCheck();
        if (ReplyNumber() == 331) {
            StatusMessage(1, SPass);
            Transaction("PASS " + fwPassword_);
            loginCheck();
        }
    }
    if ((userID_.empty() || password_.empty()) && OnAuthenticationNeeded) {
        bool handled = false;
        OnAuthenticationNeeded(this, handled);
    }
    if (!Proxy().empty()) {
        switch (firewallType_) {
        case FTUser:
            Transaction("USER " + userID_ + "@" + Host());
            break;
        case FtOpen:
            Transaction("OPEN " + Host());
            break;
        case FtSite:
            Transaction("SITE " + Host());
            break;
        }
        if (LastReply().empty())
            loginCheck();
    }
    if (Proxy().empty() || firewallType_ != FTUser) {
        StatusMessage(1, "USER " + userID_);
        Transaction("USER " + userID_);
        loginCheck();
    }
    if (ReplyNumber() == 331) {
        // The password itself is never reported.
        StatusMessage(1, SPass);
        Transaction("PASS " + password_);
        loginCheck();
    }
    if (tlsRequired_)
        protectData();
    // Files are fetched byte for byte: in the default representation type
    // (ASCII) servers may turn every LF of an archive into CR LF. A server
    // that refuses the command still serves; only its silence counts.
    StatusMessage(1, "TYPE I");
    Transaction("TYPE I");
    if (LastReply().empty())
        loginCheck();
    if (OnConnect)
        OnConnect(this);
}

void TFtpClient::secureControl() {
    StatusMessage(1, SAuthTls);
    Transaction(SAuthTls);
    if (LastReply().empty()) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw EServerGone();
    }
    // Only 234 starts the handshake; anything else (a 5xx, or a 3xx of an
    // older draft) leaves the connection in clear, which is no connection.
    if (ReplyNumber() != 234) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw ETlsFailure(Format(STlsRefused, LastReply().c_str()));
    }
    std::unique_ptr<tls::TSession> session;
    try {
        session = std::make_unique<tls::TSession>(*trust_, Proxy().empty() ? Host() : Proxy());
    } catch (const ETlsError& e) {
        throw ETlsFailure(e.Message());
    }
    try {
        StartTls(std::move(session));
    } catch (const ETlsFailure&) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw;
    }
}

void TFtpClient::protectData() {
    for (const char* command : {"PBSZ 0", "PROT P"}) {
        StatusMessage(1, command);
        Transaction(command);
        if (LastReply().empty())
            loginCheck();
        // Unless the server agrees, the files would come in clear.
        if (ReplyNumber() < 200 || ReplyNumber() > 299) {
            if (OnConnectionFailed)
                OnConnectionFailed(this);
            throw FTPException(Format(SDataProtectionRefused, LastReply().c_str()));
        }
    }
}

void TFtpClient::secureData() {
    if (!Tls() || !trust_)
        throw ETlsFailure("TLS: the control connection is not protected");
    try {
        transfer_->Data().StartTlsOnFirstUse(std::make_unique<tls::TSession>(*trust_, Host(), Tls()));
    } catch (const ETlsError& e) {
        throw ETlsFailure(e.Message());
    }
}

void TFtpClient::Disconnect() {
    ClearCanceled();
    if (!Connected()) {
        owedReplies_ = 0;
        return;
    }
    StatusMessage(1, SQuit);
    vendor_ = DefaultVendor;
    // Stale input goes; a reply still owed is read whole, as a reply.
    if (owedReplies_ == 0 && DataAvailable())
        Read(0);
    try {
        Transaction("QUIT");
    } catch (const EAbortError&) {
        outOfStep();
        throw;
    } catch (const ESockError&) {
        // The server has gone already: nobody is left to say goodbye to.
        outOfStep();
        return;
    } catch (...) {
        outOfStep();
        throw;
    }
    outOfStep();
    if (ReplyNumber() > 300 && ReplyNumber() < 600)
        throw FTPException(LastReply());
}

// ---------------------------------------------------------------- download

int32_t TFtpClient::ParseSize(const std::string& line) {
    int32_t size = 0;
    ParseSize(line, size);
    return size;
}

bool TFtpClient::ParseSize(const std::string& line, int32_t& size) {
    size = 0;
    const std::string upper = UpperCase(line);
    const size_t at = upper.find("BYTE");
    if (at == std::string::npos)
        return false;
    size_t end = at; // one past the last digit of the number
    while (end > 0 && !(line[end - 1] >= '0' && line[end - 1] <= '9'))
        --end;
    if (end == 0)
        return false;
    size_t begin = end;
    while (begin > 0 && line[begin - 1] >= '0' && line[begin - 1] <= '9')
        --begin;
    int64_t v = 0;
    for (size_t i = begin; i < end; ++i) {
        v = v * 10 + (line[i] - '0');
        if (v > INT32_MAX)
            return false;
    }
    size = static_cast<int32_t>(v);
    // Only "<number> bytes" states the size exactly; "0.4 kbytes to
    // download", which some servers send, gives the gauge its number but
    // is no bound the data can be held to.
    if (begin > 0 && (line[begin - 1] == '.' || line[begin - 1] == ','))
        return false;
    for (size_t i = end; i < at; ++i)
        if (line[i] != ' ')
            return false;
    return true;
}

std::string TFtpClient::NthField(const std::string& text, char delimiter, int n) {
    if (n < 1)
        return std::string();
    size_t start = 0;
    for (int field = 1; field < n; ++field) {
        size_t d = text.find(delimiter, start);
        if (d == std::string::npos)
            return std::string();
        start = d + 1;
    }
    size_t d = text.find(delimiter, start);
    return text.substr(start, d == std::string::npos ? std::string::npos : d - start);
}

void TFtpClient::refused(bool& handled) {
    handled = false;
    if (!OnFailure)
        throw FTPException(LastReply());
    OnFailure(this, handled, cmdDownload);
    if (!handled)
        throw FTPException(LastReply());
}

void TFtpClient::Download(const std::string& RemoteFile, const std::string& LocalFile) {
    TOnExit done([this] {
        into_ = nullptr;
        fresh_.reset();
        freshName_.clear();
    });
    into_ = nullptr;
    freshName_ = LocalFile.empty() ? RemoteFile : LocalFile;
    restartAt_ = wholeHint_ = 0;
    download(RemoteFile);
}

void TFtpClient::Download(const std::string& RemoteFile, THandleStream& LocalFile, int32_t RestartAt,
                          int32_t WholeSize) {
    TOnExit done([this] {
        into_ = nullptr;
        restartAt_ = wholeHint_ = 0;
    });
    into_ = &LocalFile;
    freshName_.clear();
    restartAt_ = RestartAt > 0 ? RestartAt : 0;
    wholeHint_ = WholeSize > 0 ? WholeSize : 0;
    download(RemoteFile);
}

void TFtpClient::download(const std::string& RemoteFile) {
    announcedWhole_ = 0;
    transferBegan_ = false;
    try {
        ClearCanceled();
        if (owedReplies_ > 0)
            settleOwedReplies();
        CheckConnection();
        if (DataAvailable())
            Read(0);
        newTransfer();
        bool success = false;
        auto cleanUp = [this] {
            lastRecvd_ = addCounts(restartAt_, transfer_->Received());
            transfer_.reset();
            if (Canceled()) {
                ClearCanceled();
                // Its reply is not examined; a server that does not give
                // one has already lost the connection for it.
                try {
                    if (Connected())
                        Transaction("ABOR");
                } catch (const ESockError&) {
                } catch (const FTPException&) {
                }
            }
        };
        try {
            downloadSteps(RemoteFile, success);
        } catch (...) {
            cleanUp();
            throw;
        }
        cleanUp();
        if (success && OnSuccess)
            OnSuccess(this, cmdDownload);
    } catch (...) {
        if (!OnFailure)
            throw;
        bool handled = false;
        OnFailure(this, handled, cmdDownload);
        if (!handled)
            throw;
    }
}

void TFtpClient::newTransfer() {
    transfer_ = std::make_unique<TFtpTransfer>(this, TimeOut(), OnPacketRecvd);
    transfer_->SetMinRate(minRate_, rateWindow_);
}

int32_t TFtpClient::PasvPort(const std::string& reply) {
    const std::string f5 = NthField(reply, ',', 5);
    const std::string f6 = NthField(reply, ',', 6);
    const size_t paren = f6.find(')');
    const int32_t low = StrToInt(paren == std::string::npos ? std::string() : f6.substr(0, paren));
    // Numbers out of range wrap: only the port's low 16 bits are used.
    return static_cast<int32_t>(static_cast<uint32_t>(low) + 256u * static_cast<uint32_t>(StrToInt(f5)));
}

bool TFtpClient::openPassive() {
    const std::string reply = Transaction("PASV");
    if (reply.empty())
        throw EServerGone();
    if (ReplyNumber() > 499)
        return false;
    // The address in the reply is not used: a server behind address
    // translation names its private one, and a hostile one names a host the
    // client should not be sent to.
    transfer_->Connect(Host(), PasvPort(reply));
    return true;
}

bool TFtpClient::openActive() {
    // Listen only where the server reached this side, and take the data
    // connection only from the server itself: whoever else reaches the port
    // first must not be able to hand over the file.
    transfer_->Listen(LocalAddress(), PeerAddress());
    Transaction("PORT " + LocalAddressText() + transfer_->Data().LocalPortText());
    if (LastReply().empty())
        throw EServerGone();
    return !(ReplyNumber() > 300 && ReplyNumber() < 600);
}

void TFtpClient::Notified() {
    // While the download waits for the server to open the data connection,
    // a reply on the control connection (425, or any other) or its loss
    // means the connection will not come, unless it is already waiting.
    if (!transfer_ || !transfer_->Accepting())
        return;
    if (ws::Readable(transfer_->Data().Socket()))
        return;
    if (!Connected() || DataAvailable())
        transfer_->Interrupt();
}

bool TFtpClient::openData() {
    for (bool again = false;; again = true) {
        try {
            if (tlsRequired_)
                secureData();
            return passive_ ? openPassive() : openActive();
        } catch (const EAbortError&) {
            throw;
        } catch (const ESockError&) {
            if (again || Connected() || !OnConnectionRequired)
                throw;
        } catch (const EServerGone&) {
            if (again || Connected() || !OnConnectionRequired)
                throw;
        }
        // The server hung up between transfers (some close a connection
        // once a transfer is done, or after a while idle): nothing of this
        // download has happened yet, so it starts over once on a fresh login.
        newTransfer();
        CheckConnection();
    }
}

void TFtpClient::downloadSteps(const std::string& remoteFile, bool& success) {
    bool handled = false;
    if (!openData())
        return refused(handled);
    if (restartAt_ > 0) {
        StatusMessage(1, "REST " + IntToStr(restartAt_));
        const std::string rest = Transaction("REST " + IntToStr(restartAt_));
        if (rest.empty())
            throw EServerGone();
        // Only 350 holds the server to the offset; after anything else the
        // RETR would send the file from its start, and appending that to
        // the part already here would make a file that never was.
        if (ReplyNumber() != 350)
            throw ERestartRefused(Format(SRestartRefused, rest));
    }
    StatusMessage(1, "RETR " + remoteFile);
    SetBytesTotal(0);
    replyNumber_ = 0;
    Writeln("RETR " + remoteFile);
    const TFtpReply reply = ReadReply();
    takeReply(reply);
    if (LastReply().empty())
        throw EServerGone();
    if (ReplyNumber() > 300 && ReplyNumber() < 600)
        return refused(handled);
    // From here the server owes the RETR's outcome until it has been read;
    // a transfer that fails on this side leaves it to come later.
    if (reply.Preliminary())
        ++owedReplies_;
    if (!passive_)
        transfer_->Accept(acceptTimeOut_);
    transferBegan_ = reply.Preliminary();
    int32_t announced = 0;
    const bool known = ParseSize(reply.Lines.back(), announced);
    const int64_t whole = known ? wholeFromAnnounced(announced) : announced;
    // A file smaller than the part already here is another file: nothing
    // of it can be appended.
    if (known && whole < restartAt_)
        throw ERestartRefused(Format(SRestartRefused, reply.First()));
    if (known && whole <= INT32_MAX)
        announcedWhole_ = static_cast<int32_t>(whole);
    SetBytesTotal(static_cast<int32_t>(std::min<int64_t>(whole, INT32_MAX)));
    const int64_t left = known ? whole - restartAt_ : announced;
    transfer_->Announce(static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX)), known);
    int64_t bound = (known ? whole : TFtpTransfer::kUnannouncedLimit) - restartAt_;
    if (maxBytes_ > 0)
        bound = std::min<int64_t>(bound, std::max<int64_t>(maxBytes_ - restartAt_, 0));
    if (OnTransactionStart)
        OnTransactionStart(this);
    if (!Canceled() && !TimedOut())
        receive(bound);
    if (OnTransactionStop)
        OnTransactionStop(this);
    transfer_->Close();
    finishTransfer(reply);
    success = true;
}

int64_t TFtpClient::wholeFromAnnounced(int32_t announced) const {
    if (restartAt_ == 0)
        return announced;
    if (wholeHint_ > 0)
        return announced == wholeHint_ ? announced : static_cast<int64_t>(announced) + restartAt_;
    // Without an earlier size, a count below the restart point can only be
    // what is left; one above it is taken as the whole file, as most
    // servers announce it.
    return announced >= restartAt_ ? announced : static_cast<int64_t>(announced) + restartAt_;
}

void TFtpClient::receive(int64_t bound) {
    // The file is made only now that the server has agreed to send it: a
    // refused RETR leaves whatever had the name as it was.
    if (!into_) {
        fresh_ = CreateFreshFile(freshName_);
        into_ = fresh_.get();
    }
    try {
        transfer_->Receive(*into_, bound);
    } catch (const EDataOverrun&) {
        // A file larger than it may be is not the file meant; none of a
        // file made here is kept.
        transfer_->Close();
        if (fresh_) {
            into_ = nullptr;
            fresh_.reset();
            DeleteFile(freshName_);
        }
        throw;
    }
}

void TFtpClient::finishTransfer(const TFtpReply& retrReply) {
    const int32_t received = transfer_->Received();
    const int32_t announced = transfer_->Announced();
    SetBytesTotal(addCounts(restartAt_, received));
    StatusMessage(1, Format(SReceivedBytes, received));
    if (Canceled() || TimedOut())
        throw EAbortError(SSendAborted);
    // The transfer counts only when the server says it completed: a data
    // connection that just ends may be a server that died half-way. A RETR
    // answered at once with its outcome (226 without 150) has said so
    // already; waiting for another reply would wait for nothing.
    TFtpReply done = retrReply;
    if (retrReply.Preliminary()) {
        done = Connected() ? ReadReply() : TFtpReply();
        if (owedReplies_ > 0)
            --owedReplies_;
    }
    if (OnTransactionStop)
        OnTransactionStop(this);
    if (done.Empty() || done.Cut)
        throw EServerGone();
    if (done.Number >= 400)
        throw FTPException(done.First());
    if (received < announced)
        throw FTPException(
            Format(STransferIncomplete, addCounts(restartAt_, received), addCounts(restartAt_, announced)));
}

} // namespace vx::net
