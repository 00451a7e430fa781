#include "net/FtpClient.h"

#include <exception>

#include "net/FtpConst.h"
#include "platform/Application.h"
#include "platform/AsyncSelect.h"
#include "platform/Timer.h"

using namespace ftpconst;

namespace {

bool isContinued(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

// The server closed the control connection where a reply was due.
class EServerGone : public FTPException {
public:
    EServerGone() : FTPException(SServerClosedConnection) {}
};

} // namespace

TFtpClient::TFtpClient(TComponent* owner) : TAsyncSocket(owner) {
    SetPort(21);
    vendor_ = DefaultVendor;
    // Replies are read when they are due; their arrival needs no action.
    OnDataReady = [](TObject*) {};
}

TFtpClient::~TFtpClient() {
    Cancel();
    dataConnection_.reset();
}

void TFtpClient::ReadExtraLines(std::string line) {
    while (isContinued(line)) {
        line = ReadLn();
        StatusMessage(1, line);
    }
}

std::string TFtpClient::Transaction(const std::string& command) {
    std::string reply = TAsyncSocket::Transaction(command);
    ReadExtraLines(reply);
    return reply;
}

void TFtpClient::Abort() {
    if (dataConnection_)
        dataConnection_->Cancel();
    // The time-out timer calls this too. When it ran out on a wait of the
    // control connection itself (a server that no longer answers, say the
    // QUIT after a stalled transfer), that wait must end as well: cancelling
    // only the data connection would leave it waiting for ever.
    if (TimedOut())
        TAsyncSocket::Abort();
}

int32_t TFtpClient::BytesRecvd() const {
    return dataConnection_ ? dataConnection_->BytesRecvd() : lastRecvd_;
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
    // closed. Otherwise QUIT is attempted, and an error of it wins.
    if (serverGone)
        TAsyncSocket::Disconnect();
    else
        Disconnect();
    StatusMessage(1, SDisconnected);
    std::rethrow_exception(first);
}

void TFtpClient::login() {
    // The greeting and all its continuation lines.
    const std::string greeting = ReadLn();
    StatusMessage(1, greeting);
    ReadExtraLines(greeting);
    if (greeting.empty()) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw EServerGone();
    }
    if (LeadingNumber(greeting) > 400) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw FTPException(greeting);
    }
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

void TFtpClient::Disconnect() {
    ClearCanceled();
    if (!Connected())
        return;
    StatusMessage(1, SQuit);
    vendor_ = DefaultVendor;
    if (DataAvailable())
        Read(0);
    try {
        Transaction("QUIT");
    } catch (...) {
        TAsyncSocket::Disconnect();
        throw;
    }
    TAsyncSocket::Disconnect();
    if (ReplyNumber() > 300 && ReplyNumber() < 600)
        throw FTPException(LastReply());
}

// ---------------------------------------------------------------- download

int32_t TFtpClient::ParseSize(const std::string& line) {
    const std::string upper = UpperCase(line);
    const size_t at = upper.find("BYTE");
    if (at == std::string::npos)
        return 0;
    size_t end = at; // one past the last digit of the number
    while (end > 0 && !(line[end - 1] >= '0' && line[end - 1] <= '9'))
        --end;
    if (end == 0)
        return 0;
    size_t begin = end;
    while (begin > 0 && line[begin - 1] >= '0' && line[begin - 1] <= '9')
        --begin;
    int64_t v = 0;
    for (size_t i = begin; i < end; ++i) {
        v = v * 10 + (line[i] - '0');
        if (v > INT32_MAX)
            return 0;
    }
    return static_cast<int32_t>(v);
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
    try {
        ClearCanceled();
        CheckConnection();
        if (DataAvailable())
            Read(0);
        dataConnection_ = std::make_unique<TAsyncSocket>(this);
        dataConnection_->SetTimeOut(TimeOut());
        if (OnPacketRecvd)
            dataConnection_->OnPacketRecvd = OnPacketRecvd;
        bool success = false;
        auto cleanUp = [this] {
            lastRecvd_ = dataConnection_->BytesRecvd();
            dataConnection_.reset();
            accepting_ = false;
            if (Canceled()) {
                ClearCanceled();
                Transaction("ABOR");
            }
        };
        try {
            downloadSteps(RemoteFile, LocalFile.empty() ? RemoteFile : LocalFile, success);
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
    const int32_t port = PasvPort(reply);
    dataConnection_->SetPort(port);
    // The address in the reply is not used: a server behind address
    // translation names its private one.
    dataConnection_->SetHost(Host());
    dataConnection_->Connect();
    return true;
}

bool TFtpClient::openActive() {
    dataConnection_->SetPort(0);
    dataConnection_->Listen(true);
    Transaction("PORT " + LocalAddressText() + dataConnection_->LocalPortText());
    if (LastReply().empty())
        throw EServerGone();
    return !(ReplyNumber() > 300 && ReplyNumber() < 600);
}

void TFtpClient::Notified() {
    // While the download waits for the server to open the data connection,
    // a reply on the control connection (425, or any other) or its loss
    // means the connection will not come, unless it is already waiting.
    if (!accepting_ || !dataConnection_ || acceptInterrupted_)
        return;
    if (ws::Readable(dataConnection_->Socket()))
        return;
    if (!Connected() || DataAvailable()) {
        acceptInterrupted_ = true;
        dataConnection_->Cancel();
    }
}

void TFtpClient::acceptData() {
    acceptInterrupted_ = false;
    accepting_ = true;
    TPlatformTimer bound;
    bound.OnFire = [this] {
        acceptInterrupted_ = true;
        if (dataConnection_)
            dataConnection_->Cancel();
    };
    if (acceptTimeOut_ > 0)
        bound.Start(static_cast<unsigned>(acceptTimeOut_), false);
    Notified();
    TAsyncSocket::TSocketHandle accepted = NoSocket;
    try {
        accepted = dataConnection_->Accept();
    } catch (const ESockError&) {
        accepting_ = false;
        bound.Stop();
        if (acceptInterrupted_)
            throw ESockError(SErrorCreatingDataConnection);
        throw;
    }
    accepting_ = false;
    bound.Stop();
    dataConnection_->InstallSocket(accepted);
}

void TFtpClient::downloadSteps(const std::string& remoteFile, const std::string& localFile, bool& success) {
    bool handled = false;
    if (!(passive_ ? openPassive() : openActive()))
        return refused(handled);
    StatusMessage(1, "RETR " + remoteFile);
    SetBytesTotal(0);
    std::string line = TAsyncSocket::Transaction("RETR " + remoteFile);
    if (line.empty())
        throw EServerGone();
    if (ReplyNumber() > 300 && ReplyNumber() < 600)
        return refused(handled);
    while (isContinued(line)) {
        line = ReadLn();
        StatusMessage(1, line);
    }
    if (!passive_)
        acceptData();
    const int32_t announced = ParseSize(line);
    SetBytesTotal(announced);
    if (OnTransactionStart)
        OnTransactionStart(this);
    try {
        if (!Canceled() && !TimedOut())
            dataConnection_->CaptureFile(localFile);
    } catch (...) {
        // The transfer failed on this side (the local file cannot be made or
        // written): the server still answers the RETR once it sees the data
        // connection go. That late reply must not be taken as the answer to
        // the next command.
        dataConnection_->CloseSocket();
        drainCompletionReply();
        throw;
    }
    if (OnTransactionStop)
        OnTransactionStop(this);
    dataConnection_->CloseSocket();
    finishTransfer(announced);
    success = true;
}

void TFtpClient::drainCompletionReply() {
    if (Canceled() || TimedOut() || !Connected())
        return;
    if (Application())
        Application()->WaitUntilFor([this] { return DataAvailable() || !Connected(); }, kDrainWaitMs);
    if (!Connected() || !DataAvailable())
        return;
    try {
        std::string reply = ReadLn();
        StatusMessage(1, reply);
        ReadExtraLines(reply);
    } catch (const std::exception&) {
        // The reply is only discarded; the transfer's own error is the one
        // that counts.
    }
}

void TFtpClient::finishTransfer(int32_t announced) {
    const int32_t received = dataConnection_->BytesRecvd();
    SetBytesTotal(received);
    StatusMessage(1, Format(SReceivedBytes, received));
    if (Canceled() || TimedOut())
        throw EAbortError(SSendAborted);
    // The transfer counts only when the server says it completed: a data
    // connection that just ends may be a server that died half-way.
    std::string reply;
    if (Connected())
        reply = ReadLn();
    StatusMessage(1, reply);
    if (!Canceled() && !TimedOut())
        ReadExtraLines(reply);
    if (OnTransactionStop)
        OnTransactionStop(this);
    if (reply.empty())
        throw EServerGone();
    if (LeadingNumber(reply) >= 400)
        throw FTPException(reply);
    if (received < announced)
        throw FTPException(Format(STransferIncomplete, received, announced));
}
