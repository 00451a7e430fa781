#include "net/AsyncSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "net/FtpConst.h"
#include "platform/Application.h"
#include "platform/AsyncSelect.h"
#include "platform/Files.h"
#include "platform/KernelPipe.h"
#include "platform/NativeFiles.h"
#include "platform/Notifier.h"
#include "platform/Streams.h"
#include "platform/Timer.h"
#include "platform/Tls.h"

namespace vx::net {

using namespace vx::platform;

using namespace ftpconst;

static_assert(std::is_same_v<TAsyncSocket::TSocketHandle, ws::TSocket> &&
              TAsyncSocket::NoSocket == ws::INVALID_SOCKET);

namespace {

bool kernelCopy = true;

// The notifications every connection socket is registered for: read,
// out-of-band, accept, connect and close.
constexpr long kConnectionEvents = ws::FD_READ | ws::FD_OOB | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;
static_assert(kConnectionEvents == 61);

// Process-wide share count of the socket library.
int g_winsockUsers = 0;

// Runs a function on every way out of a scope.
template <class F> class TFinally {
public:
    explicit TFinally(F f) : f_(std::move(f)) {}
    ~TFinally() { f_(); }
    TFinally(const TFinally&) = delete;
    TFinally& operator=(const TFinally&) = delete;

private:
    F f_;
};

TApplication& app() {
    TApplication* a = Application();
    if (!a)
        throw ESockError("No message loop for the socket to wait in");
    return *a;
}

} // namespace

// ---------------------------------------------------------------- socket

TAsyncSocket::TAsyncSocket(TComponent* owner) : TComponent(owner), work_(WorkBufferSize + 1, 0) {
    StatusMessage(8, SCreate);
    window_ = std::make_unique<TNotifyWindow>(
        [this](unsigned msg, uintptr_t wParam, intptr_t lParam) { dispatch(msg, wParam, lParam); });
    proxy_.clear();
    timer_ = std::make_unique<TThreadTimer>(this);
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](TObject* sender) { TimerTriggered(sender); });
    timeOut_ = 0;
    canceled_ = destroying_ = connected_ = false;
    initWinsock();
}

TAsyncSocket::~TAsyncSocket() {
    StatusMessage(8, SDestroy);
    TAsyncSocket::Abort();
    Cancel();
    ws::CancelAsyncRequest(lookup_);
    timer_.reset();
    window_.reset();
    destroying_ = true;
    try {
        CloseSocket();
    } catch (...) {
        // Nothing can be reported from a destructor.
    }
    releaseWinsock();
}

void TAsyncSocket::initWinsock() {
    StatusMessage(8, SInitializingWinsock);
    if (g_winsockUsers++ == 0) {
        wsaInfo_.Add("Version= 1.1");
        wsaInfo_.Add("High Version= 2.2");
        wsaInfo_.Add("Description= " + ws::LibraryDescription());
        wsaInfo_.Add("System= Running");
        wsaInfo_.Add("Max Sockets= " + IntToStr(ws::MaxSockets()));
        wsaInfo_.Add("Max Udp pack size= 65507");
    }
    winsockShared_ = true;
    try {
        socket_ = newSocket(true);
    } catch (...) {
        releaseWinsock();
        throw ESockError(SWinsockInitFailed);
    }
}

void TAsyncSocket::releaseWinsock() {
    if (winsockShared_) {
        winsockShared_ = false;
        --g_winsockUsers;
    }
}

TAsyncSocket::TSocketHandle TAsyncSocket::newSocket(bool withLinger) {
    TSocketHandle s = ws::Socket();
    if (s == ws::INVALID_SOCKET) {
        SocketCheck(WSAEWOULDBLOCK);
        throw ESockError(SWinsockInitFailed);
    }
    // Closing resets the connection at once instead of lingering.
    if (withLinger)
        ws::SetLinger(s, true, 0);
    if (ws::AsyncSelect(s, window_.get(), WM_ASYNCSOCKET, kConnectionEvents) != 0) {
        ws::CloseSocket(s);
        throw ESockError(SWinsockInitFailed);
    }
    return s;
}

void TAsyncSocket::dispatch(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    if (msg < WM_ASYNCSOCKET)
        return;
    // A notification left in the queue by a socket closed since then is not
    // this socket's business.
    if (msg == WM_ASYNCSOCKET && wParam != ws::Serial(socket_))
        return;
    const uint16_t event = ws::SelectEvent(lParam);
    eventOk_ = ws::SelectError(lParam) == 0;
    if (matches(msg, event))
        wait_.arrived = true;
    try {
        if (msg == WM_ASYNCSOCKET) {
            switch (event) {
            case ws::FD_READ:
                if (OnDataReady) {
                    try {
                        OnDataReady(this);
                    } catch (...) {
                    }
                }
                break;
            case ws::FD_ACCEPT:
                connected_ = true;
                if (OnAccept)
                    OnAccept(this);
                break;
            case ws::FD_CONNECT:
                if (eventOk_) {
                    connected_ = true;
                    if (OnConnect)
                        OnConnect(this);
                }
                break;
            case ws::FD_CLOSE:
                // Pending input is read first; the reader then sees the end
                // of the stream, and the object stays connected.
                if (!DataAvailable()) {
                    closedByPeer_ = true;
                    CloseSocket();
                }
                break;
            default:
                break;
            }
        } else if (msg == WM_ASYNCDONE && event == ws::FD_ACCEPT) {
            connected_ = true;
        }
        Notified();
    } catch (...) {
        // A notification has nobody to report to.
    }
}

bool TAsyncSocket::matches(unsigned msg, uint16_t event) const {
    switch (wait_.what) {
    case TWaitFor::Nothing:
        return false;
    case TWaitFor::Lookup:
        return msg == WM_ASYNCDONE;
    case TWaitFor::Accept:
        // As the listener was registered: by its own message, or as an
        // accept notification of the socket's message.
        return msg == WM_ASYNCDONE || event == ws::FD_ACCEPT;
    case TWaitFor::Connect:
        return msg == WM_ASYNCSOCKET && (event == ws::FD_CONNECT || event == ws::FD_CLOSE);
    case TWaitFor::Data:
        return msg == WM_ASYNCSOCKET && (event == ws::FD_READ || event == ws::FD_CLOSE);
    case TWaitFor::Room:
        return msg == WM_ASYNCSOCKET && (event == ws::FD_WRITE || event == ws::FD_CLOSE);
    }
    return false;
}

void TAsyncSocket::expect(TWaitFor what) {
    wait_.what = what;
    wait_.arrived = false;
}

void TAsyncSocket::await() {
    app().WaitUntil([this] { return wait_.arrived || timedOut_ || canceled_; });
    wait_.what = TWaitFor::Nothing;
}

TAsyncSocket::TRecv TAsyncSocket::receive(char* buffer, int length, bool peek, int& got, int pipeWrite) {
    if (pendingTls_)
        handshake();
    for (;;) {
        expect(TWaitFor::Data);
        const int n =
            pipeWrite < 0 ? recvBytes(buffer, length, peek) : ws::SpliceToPipe(socket_, pipeWrite, length);
        if (n > 0) {
            wait_.what = TWaitFor::Nothing;
            got = n;
            return TRecv::Data;
        }
        if (n == 0) {
            wait_.what = TWaitFor::Nothing;
            return TRecv::End;
        }
        lastErrorNo_ = ws::LastError();
        if (pipeWrite >= 0 && lastErrorNo_ == ws::ErrnoToWSA(EOPNOTSUPP)) {
            wait_.what = TWaitFor::Nothing;
            return TRecv::NoKernelCopy;
        }
        if (lastErrorNo_ == WSAENOTCONN) {
            wait_.what = TWaitFor::Nothing;
            return TRecv::NotConnected;
        }
        SocketCheck(WSAEWOULDBLOCK);
        if (canceled_)
            return TRecv::Canceled;
        await();
        if (canceled_)
            return TRecv::Canceled;
    }
}

void TAsyncSocket::resolveHost() {
    StatusMessage(8, SResolveHost);
    const std::string name = proxy_.empty() ? host_ : proxy_;
    uint32_t addr = ws::InetAddr(name);
    if (addr != ws::INADDR_NONE) {
        remoteAddr_ = addr;
        return;
    }
    remoteAddr_ = 0;
    TimerOn();
    expect(TWaitFor::Lookup);
    ws::CancelAsyncRequest(lookup_);
    lookup_ = ws::AsyncGetHostByName(window_.get(), WM_ASYNCDONE, name);
    {
        TFinally off([this] {
            TimerOff();
            ws::CancelAsyncRequest(lookup_);
        });
        await();
    }
    if (timedOut_)
        throw ESockError(SHostLookupTimedOut);
    if (canceled_)
        throw ESockError(SHostLookupCanceled);
    if (!eventOk_)
        throw ESockError(SHostLookupFailed);
    hostEntry_.fill(0);
    if (ws::LookupAddresses(lookup_, hostEntry_.data(), static_cast<int>(hostEntry_.size())) < 1)
        throw ESockError(SHostLookupFailed);
    std::memcpy(&remoteAddr_, hostEntry_.data(), 4);
    if (OnHostResolved)
        OnHostResolved(this);
}

void TAsyncSocket::Connect() {
    StatusMessage(8, SConnecting);
    canceled_ = false;
    if (connected_)
        throw ESockError(SAlreadyConnected);
    closedByPeer_ = false;
    for (int retry = 0;; ++retry) {
        try {
            resolveHost();
        } catch (const ESockError& e) {
            if (e.Message() == SHostLookupTimedOut || e.Message() == SHostLookupCanceled)
                throw;
        }
        if (remoteAddr_ != 0)
            break;
        bool handled = false;
        if (retry == 0 && OnInvalidHost)
            OnInvalidHost(this, handled);
        if (!handled)
            throw ESockError(SNullRemoteAddress);
    }
    const int32_t port = proxy_.empty() ? port_ : proxyPort_;
    remotePort_ = ws::HostToNet16(static_cast<uint16_t>(port));
    eventOk_ = true;
    expect(TWaitFor::Connect);
    if (ws::Connect(socket_, remoteAddr_, remotePort_) != 0)
        SocketCheck(WSAEWOULDBLOCK);
    TimerOn();
    {
        TFinally off([this] { TimerOff(); });
        if (!connected_)
            await();
    }
    if (!timedOut_ && !canceled_ && eventOk_)
        return;
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (timedOut_)
        throw ESockError(SConnectionTimedOut);
    if (canceled_)
        throw ESockError(SConnectionCanceled);
    throw ESockError(SConnectionFailed);
}

void TAsyncSocket::Disconnect() {
    StatusMessage(8, SDisconnecting);
    CloseSocket();
}

void TAsyncSocket::Abort() {
    StatusMessage(8, SAbort);
    Cancel();
}

void TAsyncSocket::Cancel() {
    StatusMessage(8, SCanceling);
    canceled_ = true;
}

void TAsyncSocket::CheckConnection() {
    StatusMessage(8, SCheckingConnection);
    if (connected_)
        return;
    if (!OnConnectionRequired)
        throw Exception(SNotConnected);
    bool handled = false;
    OnConnectionRequired(this, handled);
    if (!handled || !connected_)
        throw Exception(SNotConnected);
}

void TAsyncSocket::SendBuffer(const char* data, int length) {
    StatusMessage(4, SSendingBuffer);
    if (length == 0)
        length = static_cast<int>(strnlen(data, 65535));
    length = std::min(length, 65535);
    TimerOn();
    TFinally off([this] { TimerOff(); });
    if (pendingTls_)
        handshake();
    if (tls_) {
        if (!tls_->Write(data, length))
            tlsFailed(tls_->Error());
        const std::string cipher = tls_->TakeOutput();
        sendRaw(cipher.data(), static_cast<int>(cipher.size()));
    } else {
        sendRaw(data, length);
    }
    wait_.what = TWaitFor::Nothing;
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(SSendAborted);
    }
}

void TAsyncSocket::sendRaw(const char* data, int length) {
    int sent = 0;
    while (!canceled_ && sent < length) {
        expect(TWaitFor::Room);
        int n = ws::Send(socket_, data + sent, length - sent);
        if (n == 0)
            break;
        if (n < 0) {
            SocketCheck(WSAEWOULDBLOCK);
            // The send buffer is full: wait until the socket has room again
            // rather than retrying at once.
            await();
            continue;
        }
        sent += n;
    }
    wait_.what = TWaitFor::Nothing;
}

void TAsyncSocket::Write(const std::string& text) {
    StatusMessage(8, SWrite);
    size_t n = std::min(text.size(), static_cast<size_t>(WorkBufferSize));
    std::memcpy(work_.data(), text.data(), n);
    work_[n] = 0;
    SendBuffer(work_.data(), 0);
}

void TAsyncSocket::Writeln(const std::string& text) {
    StatusMessage(8, SWriteln);
    Write(text + "\r\n");
}

std::string TAsyncSocket::ReadLn() {
    StatusMessage(8, SReadLn);
    // A caller that reads several lines under one time-out (a reply of many
    // lines) has armed the timer already; it is left running for it.
    const bool armed = timer_->Enabled();
    TimerOn();
    TFinally off([this, armed] {
        if (!armed)
            TimerOff();
    });
    int received = 0;
    while (!canceled_) {
        const int room = WorkBufferSize - received;
        if (room <= 0)
            throw ESockError(SLineTooLong);
        int n = 0;
        // The buffer mirrors the line from its start: what is peeked lands
        // after what has been taken already.
        switch (receive(work_.data() + received, room, true, n)) {
        case TRecv::End:
        case TRecv::NoKernelCopy: // only receives into a pipe end so
            return std::string();
        case TRecv::NotConnected:
            // The peer's close may have been handled (and the socket
            // replaced) before this read: that is the end of the stream,
            // as when the close is seen by the read itself.
            if (closedByPeer_)
                return std::string();
            throw ESockError(SReadLnNotConnected);
        case TRecv::Canceled:
            continue;
        case TRecv::Data:
            break;
        }
        const char* begin = work_.data() + received;
        const char* lf = static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(n)));
        const int take = lf ? static_cast<int>(lf - begin) + 1 : n;
        int got = recvBytes(work_.data() + received, take, false);
        if (got < 0)
            SocketCheck(WSAEWOULDBLOCK);
        else
            received += got;
        if (lf && got == take)
            return std::string(work_.data(), static_cast<size_t>(received));
    }
    canceled_ = false;
    throw EAbortError(SReadLnAborted);
}

std::string TAsyncSocket::Read(int count) {
    StatusMessage(8, "Read( " + IntToStr(count) + " )");
    if (count < 0 || count > WorkBufferSize)
        throw ERangeError();
    if (count == 0) {
        int n = recvBytes(work_.data(), WorkBufferSize, true);
        if (n <= 0) {
            if (n < 0)
                SocketCheck(WSAEWOULDBLOCK);
            return std::string();
        }
        int got = recvBytes(work_.data(), n, false);
        if (got < 0) {
            SocketCheck(WSAEWOULDBLOCK);
            return std::string();
        }
        return std::string(work_.data(), static_cast<size_t>(got));
    }
    // The bytes are taken as they come rather than peeked at until all are
    // there: pending bytes left in the socket keep it readable, and the wait
    // would wake at once, again and again.
    std::string got;
    while (static_cast<int>(got.size()) < count) {
        int n = 0;
        const int want = count - static_cast<int>(got.size());
        switch (receive(work_.data(), want, false, n)) {
        case TRecv::End:
        case TRecv::NoKernelCopy: // only receives into a pipe end so
        case TRecv::NotConnected:
            return std::string();
        case TRecv::Canceled:
            canceled_ = false;
            throw EAbortError(SSendAborted);
        case TRecv::Data:
            got.append(work_.data(), static_cast<size_t>(n));
            break;
        }
    }
    return got;
}

bool TAsyncSocket::DataAvailable() {
    StatusMessage(8, SDataAvailable);
    char c;
    try {
        return recvBytes(&c, 1, true) >= 1;
    } catch (const ESockError&) {
        // A broken protected stream: the reader is to find out.
        return true;
    }
}

void TAsyncSocket::ClearInput() {
    StatusMessage(8, SClearingInput);
    std::vector<char> scratch(WorkBufferSize);
    recvBytes(scratch.data(), WorkBufferSize, false);
}

void TAsyncSocket::SetKernelCopy(bool allowed) {
    kernelCopy = allowed;
}

void TAsyncSocket::CaptureFile(const std::string& fileName, int64_t maxBytes) {
    // Never through a symbolic link: the file goes where its name says,
    // not where a link planted in the folder points.
    const std::string path = ResolvePath(fileName);
    const int fd = CreateNativeNoFollow(path);
    if (fd < 0)
        throw EFCreateError(Format(SFCreateError, fileName));
    THandleStream file(fd, path);
    CaptureStream(file, maxBytes);
}

void TAsyncSocket::CaptureStream(THandleStream& file, int64_t maxBytes) {
    StatusMessage(8, SCaptureFile);
    bytesRecvd_ = 0;
    TimerOn();
    TFinally off([this] { TimerOff(); });
    {
        // The block's bytes wait in the pipe until they are written; none of
        // them passes through this process where the kernel can move them.
        // Protected bytes are decrypted here, so they cannot go by the
        // kernel's way.
        if (pendingTls_)
            handshake();
        TKernelPipe pipe;
        if (kernelCopy && !tls_)
            pipe.Open(WorkBufferSize);
        int64_t total = 0;
        while (!canceled_) {
            // One byte more than may still come, so that a byte beyond the
            // bound is seen at once.
            const int64_t left = maxBytes - total;
            const int want =
                static_cast<int>(std::min<int64_t>(WorkBufferSize, left < INT64_MAX ? left + 1 : left));
            int n = 0;
            const TRecv r = receive(work_.data(), want, false, n, pipe.Write());
            if (r == TRecv::NoKernelCopy) {
                pipe.Close();
                continue;
            }
            if (r != TRecv::Data)
                break;
            const int keep = static_cast<int>(std::min<int64_t>(n, left));
            if (pipe.Write() >= 0)
                pipe.Drain(file, keep, work_.data(), WorkBufferSize);
            else
                file.WriteBuffer(work_.data(), keep);
            if (n > left) {
                bytesRecvd_ =
                    static_cast<int32_t>(static_cast<uint32_t>(bytesRecvd_) + static_cast<uint32_t>(left));
                throw EDataOverrun(Format(SDataBeyondLimit, maxBytes));
            }
            total += n;
            bytesRecvd_ = static_cast<int32_t>(static_cast<uint32_t>(bytesRecvd_) + static_cast<uint32_t>(n));
            if (OnPacketRecvd)
                OnPacketRecvd(this);
            // The time-out measures silence, not the whole transfer: a
            // large download on a slow line must not be cut while data
            // still flows, so each block re-arms the timer.
            TimerOff();
            TimerOn();
            // The window repaints and handlers run between blocks, even
            // while the data never stops coming.
            app().ProcessMessages();
        }
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(SSendAborted);
    }
}

void TAsyncSocket::Listen(bool useAcceptMessage, uint32_t localAddr) {
    StatusMessage(8, SListening);
    remoteAddr_ = localAddr;
    remotePort_ = ws::HostToNet16(static_cast<uint16_t>(port_));
    expect(TWaitFor::Accept);
    ws::Bind(socket_, remoteAddr_, remotePort_);
    ws::AsyncSelect(socket_, window_.get(), useAcceptMessage ? WM_ASYNCDONE : WM_ASYNCSOCKET, ws::FD_ACCEPT);
    ws::Listen(socket_, 1);
}

TAsyncSocket::TSocketHandle TAsyncSocket::Accept() {
    StatusMessage(4, SAccepting);
    for (;;) {
        if (wait_.what != TWaitFor::Accept)
            expect(TWaitFor::Accept);
        if (!wait_.arrived && !canceled_)
            await();
        wait_.what = TWaitFor::Nothing;
        if (canceled_)
            throw ESockError(SAcceptingCanceled);
        if (!eventOk_)
            throw ESockError(SErrorCreatingDataConnection);
        uint32_t addr = 0;
        uint16_t port = 0;
        expect(TWaitFor::Accept);
        TSocketHandle s = ws::Accept(socket_, &addr, &port);
        if (s == ws::INVALID_SOCKET) {
            // Gone before it was taken: wait for the next one.
            if (ws::LastError() == WSAEWOULDBLOCK)
                continue;
            SocketCheck(WSAEWOULDBLOCK);
            throw ESockError(SErrorCreatingDataConnection);
        }
        if (acceptFrom_ != 0 && addr != acceptFrom_) {
            // Only the server may open the data connection: anybody else
            // who reaches the port first is turned away.
            StatusMessage(4, SRefusedDataConnection);
            ws::CloseSocket(s);
            continue;
        }
        wait_.what = TWaitFor::Nothing;
        ws::AsyncSelect(s, window_.get(), WM_ASYNCSOCKET, kConnectionEvents);
        remoteAddr_ = addr;
        remotePort_ = port;
        if (canceled_) {
            canceled_ = false;
            ws::CloseSocket(s);
            throw EAbortError(SSendAborted);
        }
        return s;
    }
}

void TAsyncSocket::InstallSocket(TSocketHandle accepted) {
    closedByPeer_ = false;
    if (socket_ != NoSocket)
        ws::CloseSocket(socket_);
    socket_ = accepted;
}

uint32_t TAsyncSocket::LocalAddress() {
    uint32_t addr = 0;
    ws::GetSockName(socket_, &addr, nullptr);
    return addr;
}

uint32_t TAsyncSocket::PeerAddress() {
    uint32_t addr = 0;
    ws::GetPeerName(socket_, &addr, nullptr);
    return addr;
}

std::string TAsyncSocket::LocalAddressText() {
    uint32_t addr = 0;
    ws::GetSockName(socket_, &addr, nullptr);
    const auto* b = reinterpret_cast<const uint8_t*>(&addr);
    return Format("%d,%d,%d,%d", b[0], b[1], b[2], b[3]);
}

std::string TAsyncSocket::LocalPortText() {
    uint16_t port = 0;
    ws::GetSockName(socket_, nullptr, &port);
    const uint16_t p = ws::NetToHost16(port);
    return Format(",%d,%d", p >> 8, p & 0xFF);
}

void TAsyncSocket::CloseSocket() {
    StatusMessage(4, SRequestCloseSocket);
    const bool wasConnected = connected_;
    connected_ = false;
    if (tls_ && wasConnected && socket_ != NoSocket) {
        // The closing alert tells the peer the stream ends here and was not
        // cut; it is sent if there is room, never waited for.
        tls_->Shutdown();
        const std::string bye = tls_->TakeOutput();
        ws::Send(socket_, bye.data(), static_cast<int>(bye.size()));
    }
    tls_.reset();
    pendingTls_.reset();
    plain_.clear();
    tlsEnded_ = false;
    if (socket_ == NoSocket)
        return;
    const TSocketHandle s = socket_;
    socket_ = NoSocket;
    if (ws::CloseSocket(s) != 0) {
        SocketCheck(WSAEWOULDBLOCK);
        return;
    }
    if (destroying_)
        return;
    // A fresh socket at once, so that the object can connect again.
    socket_ = newSocket(false);
    if (OnDisconnect)
        OnDisconnect(this);
}

std::string TAsyncSocket::ErrorText(int number) {
    StatusMessage(8, SLookingUpError);
    if (number == 0)
        return std::string();
    for (const auto& row : SockErrorTable)
        if (row.number == number)
            return IntToStr(number) + ":" + row.message;
    return SUnknownError + IntToStr(number);
}

void TAsyncSocket::SocketCheck(int tolerated) {
    lastErrorNo_ = ws::LastError();
    if (lastErrorNo_ == tolerated || lastErrorNo_ <= 10000)
        return;
    const std::string text = ErrorText(lastErrorNo_);
    if (OnError)
        OnError(this, static_cast<uint16_t>(lastErrorNo_), text);
    throw ESockError(text);
}

void TAsyncSocket::StatusMessage(int level, const std::string& text) {
    if (reportLevel_ < level)
        return;
    status_ = text;
    if (destroying_ || !OnStatus)
        return;
    try {
        OnStatus(this, status_);
    } catch (...) {
        // A status display must not break the operation it reports on.
    }
}

void TAsyncSocket::TimerOn() {
    StatusMessage(8, STimerOn);
    timedOut_ = false;
    timer_->SetInterval(static_cast<uint32_t>(timeOut_));
    timer_->SetEnabled(true);
}

void TAsyncSocket::TimerOff() {
    StatusMessage(8, STimerOff);
    if (timer_)
        timer_->SetEnabled(false);
}

void TAsyncSocket::TimerTriggered(TObject*) {
    StatusMessage(8, STimerTriggered);
    TimerOff();
    timedOut_ = true;
    Abort();
}

// ---------------------------------------------------------------- TLS

void TAsyncSocket::StartTls(std::unique_ptr<tls::TSession> session) {
    pendingTls_ = std::move(session);
    TimerOn();
    TFinally off([this] { TimerOff(); });
    handshake();
}

void TAsyncSocket::StartTlsOnFirstUse(std::unique_ptr<tls::TSession> session) {
    pendingTls_ = std::move(session);
}

void TAsyncSocket::tlsFailed(std::string why) {
    // Whatever was under way is given up with the connection: nothing more
    // may reach a peer that failed its proof, and nothing more can be read
    // from a stream that broke.
    StatusMessage(4, "TLS: " + why);
    tls_.reset();
    pendingTls_.reset();
    CloseSocket();
    throw ETlsFailure("TLS: " + why);
}

void TAsyncSocket::handshake() {
    tls_ = std::move(pendingTls_);
    plain_.clear();
    tlsEnded_ = false;
    if (cipher_.empty())
        cipher_.resize(WorkBufferSize);
    for (;;) {
        const tls::TSession::TStep step = tls_->Handshake();
        // On a failure this is the alert that tells the peer why.
        const std::string out = tls_->TakeOutput();
        if (!out.empty() && step != tls::TSession::TStep::Failed)
            sendRaw(out.data(), static_cast<int>(out.size()));
        else if (!out.empty())
            ws::Send(socket_, out.data(), static_cast<int>(out.size()));
        if (step == tls::TSession::TStep::Done)
            return;
        if (step == tls::TSession::TStep::Failed)
            tlsFailed(tls_->Error());
        if (canceled_ || timedOut_)
            tlsFailed(timedOut_ ? "the handshake timed out" : "the handshake was cancelled");
        expect(TWaitFor::Data);
        const int n = ws::Recv(socket_, cipher_.data(), static_cast<int>(cipher_.size()), false);
        if (n > 0) {
            wait_.what = TWaitFor::Nothing;
            tls_->Feed(cipher_.data(), n);
            continue;
        }
        if (n == 0)
            tlsFailed("the peer closed the connection during the handshake");
        lastErrorNo_ = ws::LastError();
        if (lastErrorNo_ != WSAEWOULDBLOCK)
            tlsFailed(ErrorText(lastErrorNo_));
        await();
    }
}

int TAsyncSocket::recvBytes(char* buffer, int length, bool peek) {
    if (!tls_)
        return ws::Recv(socket_, buffer, length, peek);
    for (;;) {
        if (!plain_.empty()) {
            const int n = std::min(length, static_cast<int>(plain_.size()));
            std::memcpy(buffer, plain_.data(), static_cast<size_t>(n));
            if (!peek)
                plain_.erase(0, static_cast<size_t>(n));
            return n;
        }
        if (tlsEnded_)
            return 0;
        // A peek keeps what it decrypted for the read that follows it.
        int n;
        if (peek) {
            plain_.resize(static_cast<size_t>(std::max(length, 4096)));
            n = tls_->Read(plain_.data(), static_cast<int>(plain_.size()));
            plain_.resize(n > 0 ? static_cast<size_t>(n) : 0);
        } else {
            n = tls_->Read(buffer, length);
        }
        if (n > 0) {
            if (!peek)
                return n;
            continue;
        }
        if (n == 0) {
            tlsEnded_ = true;
            return 0;
        }
        if (n == -2)
            tlsFailed(tls_->Error());
        // The engine needs more of the peer's bytes. A connection that ends
        // without the closing alert ends the stream as well: what it carried
        // is judged by the protocol above (the server's word that the
        // transfer completed, the size it announced).
        const int got = ws::Recv(socket_, cipher_.data(), static_cast<int>(cipher_.size()), false);
        if (got > 0) {
            tls_->Feed(cipher_.data(), got);
            continue;
        }
        if (got == 0)
            tlsEnded_ = true;
        return got;
    }
}

} // namespace vx::net
