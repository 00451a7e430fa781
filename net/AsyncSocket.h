// An asynchronous IPv4 TCP socket component: connect with host lookup, line
// and raw sending and receiving, a listening socket for data connections,
// receiving a stream into a file, time-outs, cancel and status reports. It
// knows lines and bytes only; what a line means is the protocol's business. Every wait blocks in the
// application's event loop, so the window stays live while it waits.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/Timer.h"

namespace vx::platform {
class TNotifyWindow;
class THandleStream;
namespace ws {
struct TLookup;
}
namespace tls {
class TSession;
}
} // namespace vx::platform

namespace vx::net {

using namespace vx::platform;

class ESockError : public Exception {
public:
    using Exception::Exception;
};
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};
// More bytes came than the receiver was prepared to take.
class EDataOverrun : public ESockError {
public:
    using ESockError::ESockError;
};

// The connection's protection failed: the peer could not be authenticated,
// the handshake broke off, or the protected stream was corrupted. The
// socket is closed by then; nothing more went to the peer.
class ETlsFailure : public ESockError {
public:
    using ESockError::ESockError;
};

using TOnErrorEvent = std::function<void(TObject* Sender, uint16_t Errno, const std::string& Errmsg)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;
using THandlerEvent = std::function<void(TObject* Sender, bool& Handled)>;

// Messages of the socket's receiver: socket notifications, and host lookup
// completions or accepts of a socket listening with UseAcceptMessage.
inline constexpr unsigned WM_ASYNCSOCKET = 1125;
inline constexpr unsigned WM_ASYNCDONE = 1126;

class TAsyncSocket : public TComponent {
public:
    static constexpr int WorkBufferSize = 65536;
    // The socket library's handle (ws::TSocket), spelled out here so that
    // users of the component need not see the socket library's names.
#ifdef _WIN32
    using TSocketHandle = uintptr_t;
    static constexpr TSocketHandle NoSocket = ~static_cast<uintptr_t>(0);
#else
    using TSocketHandle = int;
    static constexpr TSocketHandle NoSocket = -1;
#endif

    explicit TAsyncSocket(TComponent* owner = nullptr);
    ~TAsyncSocket() override;

    // Published properties.
    const std::string& Host() const {
        return host_;
    }
    void SetHost(std::string v) {
        host_ = std::move(v);
    }
    // Remote port for Connect (low 16 bits), local port for Listen (0: any).
    int32_t Port() const {
        return port_;
    }
    void SetPort(int32_t v) {
        port_ = v;
    }
    // Milliseconds for each armed wait; 0 disables time-outs.
    int32_t TimeOut() const {
        return timeOut_;
    }
    void SetTimeOut(int32_t v) {
        timeOut_ = v;
    }
    // Highest status level reported: 1 protocol lines, 4 socket milestones,
    // 8 traces.
    int32_t ReportLevel() const {
        return reportLevel_;
    }
    void SetReportLevel(int32_t v) {
        reportLevel_ = v;
    }
    const std::string& Proxy() const {
        return proxy_;
    }
    void SetProxy(std::string v) {
        proxy_ = std::move(v);
    }
    int32_t ProxyPort() const {
        return proxyPort_;
    }
    void SetProxyPort(int32_t v) {
        proxyPort_ = v;
    }

    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnDataReady; // the socket reports readable data
    TNotifyEvent OnAccept;    // accept notification of the connection socket
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketRecvd; // after each block received by CaptureFile
    TNotifyEvent OnPacketSent;

    // Operations.
    virtual TSocketHandle Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual void Abort();
    void Cancel();
    void CheckConnection();
    // Length 0 sends up to the first zero byte; at most 65535 bytes.
    void SendBuffer(const char* data, int length);
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    // One line with its LF (and any CR before it); empty when the peer closed.
    std::string ReadLn();
    std::string Read(int count);
    bool DataAvailable();
    void ClearInput();
    // Receives until the peer closes into a new file, at most maxBytes of
    // it: a byte beyond fails the receive with EDataOverrun, with the file
    // holding maxBytes. A symbolic link where the file goes is not followed.
    // The bytes go from the socket through a pipe into the file inside the
    // kernel where it can move them so, and through the work buffer where
    // it cannot; the blocks, counts and events are the same either way.
    void CaptureFile(const std::string& fileName, int64_t maxBytes = kNoLimit);
    // As CaptureFile, into a file already open, from where it stands: a
    // download that carries on where an earlier one stopped, into the file
    // that one made.
    void CaptureStream(THandleStream& file, int64_t maxBytes = kNoLimit);
    static constexpr int64_t kNoLimit = INT64_MAX;
    // False makes every CaptureFile of the process copy through the work
    // buffer (to compare the two ways, and to exercise the copying one).
    static void SetKernelCopy(bool allowed);
    // Listens on localAddr (network order; 0: every local address) at Port.
    void Listen(bool useAcceptMessage, uint32_t localAddr = 0);
    // Accept takes a connection only from this address (network order; 0:
    // from anywhere); one from elsewhere is closed at once and the wait
    // goes on.
    void SetAcceptFrom(uint32_t addr) {
        acceptFrom_ = addr;
    }
    // The local and the remote address of the connection (network order).
    uint32_t LocalAddress();
    uint32_t PeerAddress();
    std::string LocalAddressText();
    std::string LocalPortText();
    void CloseSocket();
    std::string ErrorText(int number);
    void SocketCheck(int tolerated);
    void StatusMessage(int level, const std::string& text);
    void TimerOn();
    void TimerOff();

    // State.
    bool Connected() const {
        return connected_;
    }
    bool Canceled() const {
        return canceled_;
    }
    bool TimedOut() const {
        return timedOut_;
    }
    bool EventOk() const {
        return eventOk_;
    }
    int32_t LastErrorNo() const {
        return lastErrorNo_;
    }
    const std::string& Status() const {
        return status_;
    }
    int32_t BytesTotal() const {
        return bytesTotal_;
    }
    virtual int32_t BytesRecvd() const {
        return bytesRecvd_;
    }
    const TStringList& WSAInfo() const {
        return wsaInfo_;
    }
    TThreadTimer& Timer() {
        return *timer_;
    }
    TSocketHandle Socket() const {
        return socket_;
    }
    // Installs an accepted connection in place of the listening socket,
    // which is closed.
    void InstallSocket(TSocketHandle accepted);

    // From here on the connection's bytes go through session: the handshake
    // runs now, waiting in the event loop under the time-out, and every
    // send and receive after it is protected. ETlsFailure when it fails.
    void StartTls(std::unique_ptr<tls::TSession> session);
    // The same, with the handshake at the first send or receive: for a
    // connection whose peer starts its side only after a later command.
    void StartTlsOnFirstUse(std::unique_ptr<tls::TSession> session);
    // The session protecting the connection; null when there is none.
    tls::TSession* Tls() const {
        return tls_.get();
    }

protected:
    void SetBytesTotal(int32_t v) {
        bytesTotal_ = v;
    }
    void SetTimedOut(bool v) {
        timedOut_ = v;
    }
    void ClearCanceled() {
        canceled_ = false;
    }
    // Called by the time-out timer: stops the timer, marks the time-out and
    // aborts the operation under way.
    void TimerTriggered(TObject* Sender);
    // Called after each notification this socket has handled, so that a
    // derived component can watch its connection while it waits on another.
    virtual void Notified() {}

private:
    void initWinsock();
    void releaseWinsock();
    TSocketHandle newSocket(bool withLinger);
    void dispatch(unsigned msg, uintptr_t wParam, intptr_t lParam);
    void resolveHost();

    // What a wait of this socket is for. Only the notification it names
    // ends it (besides the time-out and a cancel); one that comes before the
    // wait begins, once it is expected, is kept for it.
    enum class TWaitFor : uint8_t { Nothing, Lookup, Connect, Accept, Data, Room };
    struct TWaitState {
        TWaitFor what = TWaitFor::Nothing;
        bool arrived = false;
    };
    void expect(TWaitFor what);
    // Blocks in the event loop until the expected notification has come,
    // the time-out has run out or the operation is cancelled.
    void await();
    bool matches(unsigned msg, uint16_t event) const;

    // How one receive ended.
    enum class TRecv : uint8_t { Data, End, NotConnected, Canceled, NoKernelCopy };
    // The one receive of the component: takes (or peeks at) what is there,
    // up to length bytes; when nothing is there yet it waits for data and
    // tries again. got is the count of a TRecv::Data. With a pipe given the
    // bytes go into the pipe instead of the buffer; NoKernelCopy says the
    // kernel cannot do that for this socket, and nothing was taken.
    TRecv receive(char* buffer, int length, bool peek, int& got, int pipeWrite = -1);
    // Recv of the connection's plain bytes, through the session when there
    // is one: the same results, and the same re-arming of the read
    // notification.
    int recvBytes(char* buffer, int length, bool peek);
    // Sends all of data as it is, waiting for room in the event loop.
    void sendRaw(const char* data, int length);
    // Runs the handshake of the session given (or pending).
    void handshake();
    [[noreturn]] void tlsFailed(std::string why);

    std::string host_;
    int32_t port_ = 0;
    int32_t timeOut_ = 0;
    int32_t reportLevel_ = 0;
    std::string proxy_;
    int32_t proxyPort_ = 0;

    std::vector<char> work_; // WorkBufferSize plus one terminator byte
    TStringList wsaInfo_;
    bool canceled_ = false;
    bool destroying_ = false;
    int32_t lastErrorNo_ = 0;
    std::string status_;
    std::unique_ptr<TThreadTimer> timer_;
    bool eventOk_ = false;
    bool timedOut_ = false;
    int32_t bytesTotal_ = 0;
    int32_t bytesRecvd_ = 0;
    TWaitState wait_;
    uint32_t acceptFrom_ = 0; // network byte order; 0: any address
    uint32_t remoteAddr_ = 0; // network byte order
    uint16_t remotePort_ = 0; // network byte order
    std::array<uint8_t, 1024> hostEntry_{};
    std::shared_ptr<ws::TLookup> lookup_;
    TSocketHandle socket_ = NoSocket;
    std::unique_ptr<TNotifyWindow> window_;
    bool connected_ = false;
    bool closedByPeer_ = false; // the last close came from the peer's close notification
    bool winsockShared_ = false;
    std::unique_ptr<tls::TSession> tls_;
    std::unique_ptr<tls::TSession> pendingTls_; // its handshake waits for the first use
    std::string plain_;                         // decrypted bytes not yet taken (what a peek saw)
    std::vector<char> cipher_;                  // ciphertext as it comes off the socket
    bool tlsEnded_ = false;                     // the peer ended the protected stream
};

} // namespace vx::net
