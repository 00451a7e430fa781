#include "net/FtpTransfer.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "net/FtpConst.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "platform/Timer.h"

namespace vx::net {

using namespace vx::platform;

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

namespace {

// Watches the count of a transfer against a least rate over a sliding
// window. The count is sampled a few times per window, so the span judged
// is the last window give or take a quarter of it; each sample is a timer
// event of the loop the transfer waits in, so the watch costs nothing
// between samples.
class TRateWatch {
public:
    static constexpr int kSamplesPerWindow = 4;

    TRateWatch(const TAsyncSocket& data, int32_t minRate, int32_t windowS, std::function<void()> tooSlow)
        : data_(data), least_(static_cast<int64_t>(minRate) * windowS), tooSlow_(std::move(tooSlow)) {
        if (minRate <= 0 || windowS <= 0)
            return;
        samples_.assign(kSamplesPerWindow + 1, 0);
        timer_.OnFire = [this] { sample(); };
        const int64_t periodMs = static_cast<int64_t>(windowS) * 1000 / kSamplesPerWindow;
        timer_.Start(static_cast<unsigned>(std::max<int64_t>(periodMs, 1)), true);
    }

private:
    void sample() {
        const int64_t now = static_cast<uint32_t>(data_.BytesRecvd());
        samples_[ticks_ % samples_.size()] = now;
        ++ticks_;
        if (ticks_ < kSamplesPerWindow)
            return;
        // The slot written next holds the count of one whole window ago
        // (the count at the start, 0, on the first look).
        const int64_t windowAgo = samples_[ticks_ % samples_.size()];
        if (now - windowAgo < least_) {
            timer_.Stop();
            tooSlow_();
        }
    }

    const TAsyncSocket& data_;
    int64_t least_;
    std::function<void()> tooSlow_;
    std::vector<int64_t> samples_;
    size_t ticks_ = 0;
    TPlatformTimer timer_;
};

} // namespace

void TFtpTransfer::Receive(THandleStream& file, int64_t maxBytes) {
    bool tooSlow = false;
    TRateWatch watch(*data_, minRate_, rateWindowS_, [this, &tooSlow] {
        tooSlow = true;
        data_->Cancel();
    });
    try {
        data_->CaptureStream(file, maxBytes);
    } catch (const EAbortError&) {
        if (tooSlow)
            throw ESockError(Format(STransferTooSlow, minRate_, rateWindowS_));
        throw;
    }
}

} // namespace vx::net
