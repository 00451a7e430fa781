// The state of one download: its data connection (listening or connecting,
// then connected), the size the server announced and the count received.
// It lives from the start of a download to its clean-up, apart from the
// session's login, so that nothing of one transfer leaks into the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/AsyncSocket.h"

namespace vx::platform {
class THandleStream;
}

namespace vx::net {

class TFtpTransfer {
public:
    // Without a size announced a transfer may not pass what the 32-bit
    // counts hold.
    static constexpr int64_t kUnannouncedLimit = INT32_MAX;

    // The data connection is owned by owner's component tree; it takes the
    // control connection's time-out and progress event.
    TFtpTransfer(TComponent* owner, int32_t timeOut, const TNotifyEvent& onPacketRecvd);
    ~TFtpTransfer();
    TFtpTransfer(const TFtpTransfer&) = delete;
    TFtpTransfer& operator=(const TFtpTransfer&) = delete;

    TAsyncSocket& Data() { return *data_; }

    // Active mode: listens on localAddr (the control connection's own
    // address) for a connection from serverAddr only.
    void Listen(uint32_t localAddr, uint32_t serverAddr);
    // Passive mode: connects to host:port.
    void Connect(const std::string& host, int32_t port);
    // Waits for the server's data connection, at most boundMs (0: no
    // bound), and takes it. Interrupt ends the wait early: the server has
    // answered on the control connection, or gone, instead of connecting.
    void Accept(int boundMs);
    void Interrupt();
    bool Accepting() const { return accepting_; }

    // What the server said it sends: (size, announced).
    void Announce(int32_t size, bool announced);
    int32_t Announced() const { return announced_; }
    // Receives everything into file from where it stands, never more than
    // maxBytes: a byte beyond fails the transfer at once (EDataOverrun) with
    // no more than maxBytes written.
    void Receive(THandleStream& file, int64_t maxBytes);
    // A transfer that moves fewer than minRate bytes a second over any span
    // of windowS seconds is given up as a stalled one is (0: no such bound).
    void SetMinRate(int32_t minRate, int32_t windowS) {
        minRate_ = minRate;
        rateWindowS_ = windowS;
    }
    int32_t Received() const { return data_->BytesRecvd(); }
    void Close() { data_->CloseSocket(); }

private:
    std::unique_ptr<TAsyncSocket> data_;
    int32_t announced_ = 0;
    bool sizeKnown_ = false;
    bool accepting_ = false;
    bool interrupted_ = false;
    int32_t minRate_ = 0;
    int32_t rateWindowS_ = 0;
};

} // namespace vx::net
