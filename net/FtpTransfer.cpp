#include "net/FtpTransfer.h"

#include "net/FtpConst.h"
#include "platform/Files.h"
#include "platform/Timer.h"

using namespace ftpconst;

TFtpTransfer::TFtpTransfer(TComponent* owner, int32_t timeOut, const TNotifyEvent& onPacketRecvd)
    : data_(std::make_unique<TAsyncSocket>(owner)) {
    data_->SetTimeOut(timeOut);
    if (onPacketRecvd)
        data_->OnPacketRecvd = onPacketRecvd;
}

TFtpTransfer::~TFtpTransfer() = default;

void TFtpTransfer::Listen(uint32_t localAddr, uint32_t serverAddr) {
    data_->SetPort(0);
    data_->SetAcceptFrom(serverAddr);
    data_->Listen(true, localAddr);
}

void TFtpTransfer::Connect(const std::string& host, int32_t port) {
    data_->SetPort(port);
    data_->SetHost(host);
    data_->Connect();
}

void TFtpTransfer::Interrupt() {
    if (!accepting_ || interrupted_)
        return;
    interrupted_ = true;
    data_->Cancel();
}

void TFtpTransfer::Accept(int boundMs) {
    interrupted_ = false;
    accepting_ = true;
    TPlatformTimer bound;
    bound.OnFire = [this] { Interrupt(); };
    if (boundMs > 0)
        bound.Start(static_cast<unsigned>(boundMs), false);
    TAsyncSocket::TSocketHandle accepted = TAsyncSocket::NoSocket;
    try {
        accepted = data_->Accept();
    } catch (const ESockError&) {
        accepting_ = false;
        if (interrupted_)
            throw ESockError(SErrorCreatingDataConnection);
        throw;
    }
    accepting_ = false;
    data_->InstallSocket(accepted);
}

void TFtpTransfer::Announce(int32_t size, bool announced) {
    announced_ = size;
    sizeKnown_ = announced;
}

void TFtpTransfer::Receive(const std::string& localFile) {
    try {
        data_->CaptureFile(localFile, sizeKnown_ ? announced_ : kUnannouncedLimit);
    } catch (const EDataOverrun&) {
        // A file larger than the server said is not the file it meant to
        // send; none of it is kept.
        data_->CloseSocket();
        DeleteFile(localFile);
        throw;
    }
}
