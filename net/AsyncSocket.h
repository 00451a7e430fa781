// An asynchronous IPv4 TCP socket component: connect with host lookup, line
// and raw sending and receiving, a one-line command/reply transaction, a
// listening socket for data connections, receiving a stream into a file,
// time-outs, cancel and status reports. Every wait blocks in the
// application's event loop, so the window stays live while it waits.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SysUtils.h"

class TNotifyWindow;
class TPlatformTimer;
namespace ws {
struct TLookup;
}

class ESockError : public Exception {
public:
    using Exception::Exception;
};
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

using TOnErrorEvent = std::function<void(TObject* Sender, uint16_t Errno, const std::string& Errmsg)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;
using THandlerEvent = std::function<void(TObject* Sender, bool& Handled)>;

// A window-message timer: it runs while Enabled, with an Interval above 0
// and an OnTimer handler. Changing any of them re-arms it; setting a value it
// already has does nothing, so a running timer is not restarted.
class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* owner = nullptr);
    ~TThreadTimer() override;
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t v);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent e);

private:
    void updateTimer();
    void fire();
    bool enabled_ = true;
    uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    std::unique_ptr<TPlatformTimer> timer_;
};

// Messages of the socket's receiver: socket notifications, and host lookup
// completions or accepts of a socket listening with UseAcceptMessage.
inline constexpr unsigned WM_ASYNCSOCKET = 1125;
inline constexpr unsigned WM_ASYNCDONE = 1126;

class TAsyncSocket : public TComponent {
public:
    static constexpr int WorkBufferSize = 65536;
    using TSocketHandle = int;
    static constexpr TSocketHandle NoSocket = -1;

    explicit TAsyncSocket(TComponent* owner = nullptr);
    ~TAsyncSocket() override;

    // Published properties.
    const std::string& Host() const { return host_; }
    void SetHost(std::string v) { host_ = std::move(v); }
    // Remote port for Connect (low 16 bits), local port for Listen (0: any).
    int32_t Port() const { return port_; }
    void SetPort(int32_t v) { port_ = v; }
    // Milliseconds for each armed wait; 0 disables time-outs.
    int32_t TimeOut() const { return timeOut_; }
    void SetTimeOut(int32_t v) { timeOut_ = v; }
    // Highest status level reported: 1 protocol lines, 4 socket milestones,
    // 8 traces.
    int32_t ReportLevel() const { return reportLevel_; }
    void SetReportLevel(int32_t v) { reportLevel_ = v; }
    const std::string& Proxy() const { return proxy_; }
    void SetProxy(std::string v) { proxy_ = std::move(v); }
    int32_t ProxyPort() const { return proxyPort_; }
    void SetProxyPort(int32_t v) { proxyPort_ = v; }

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
    virtual std::string Transaction(const std::string& command);
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
    void CaptureFile(const std::string& fileName);
    void Listen(bool useAcceptMessage);
    std::string LocalAddressText();
    std::string LocalPortText();
    void CloseSocket();
    std::string ErrorText(int number);
    void SocketCheck(int tolerated);
    void StatusMessage(int level, const std::string& text);
    void TimerOn();
    void TimerOff();

    // State.
    bool Connected() const { return connected_; }
    bool Canceled() const { return canceled_; }
    bool TimedOut() const { return timedOut_; }
    bool EventOk() const { return eventOk_; }
    bool EventDone() const { return eventDone_; }
    int32_t LastErrorNo() const { return lastErrorNo_; }
    const std::string& Status() const { return status_; }
    const std::string& LastReply() const { return lastReply_; }
    int16_t ReplyNumber() const { return replyNumber_; }
    int32_t BytesTotal() const { return bytesTotal_; }
    virtual int32_t BytesRecvd() const { return bytesRecvd_; }
    const TStringList& WSAInfo() const { return wsaInfo_; }
    TThreadTimer& Timer() { return *timer_; }
    TSocketHandle Socket() const { return socket_; }
    // Installs an accepted connection in place of the listening socket,
    // which is closed.
    void InstallSocket(TSocketHandle accepted);

protected:
    // The value of a reply line's leading digits (at most 10), 0 when there
    // are none or they do not fit 32 bits.
    static int32_t LeadingNumber(const std::string& line);
    void SetBytesTotal(int32_t v) { bytesTotal_ = v; }
    void SetTimedOut(bool v) { timedOut_ = v; }
    void ClearCanceled() { canceled_ = false; }
    void SetReplyNumber(int16_t v) { replyNumber_ = v; }
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
    // Blocks in the event loop until cond holds; any notification of this
    // socket, a timer or a posted event wakes it to test again.
    void waitFor(const std::function<bool()>& cond);
    bool takeWake();

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
    bool eventDone_ = false;
    bool woken_ = false;      // a notification arrived since the last test
    uint32_t remoteAddr_ = 0; // network byte order
    uint16_t remotePort_ = 0; // network byte order
    std::array<uint8_t, 1024> hostEntry_{};
    std::shared_ptr<ws::TLookup> lookup_;
    std::string lastReply_;
    int16_t replyNumber_ = 0;
    TSocketHandle socket_ = NoSocket;
    std::unique_ptr<TNotifyWindow> window_;
    bool connected_ = false;
    bool closedByPeer_ = false; // the last close came from the peer's close notification
    bool winsockShared_ = false;
};
