#include "platform/AsyncSelect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include <QSocketNotifier>

#include "platform/Notifier.h"
#include "platform/SocketAddress.h"

namespace vx::platform {

namespace ws {

namespace {

thread_local int g_lastError = 0;

int fail(int e) {
    g_lastError = ErrnoToWSA(e);
    return SOCKET_ERROR;
}

// What the socket is doing decides which readiness means what: an
// unconnected TCP socket polls as hung up, a listening one as readable when a
// connection waits, a connecting one as writable when the attempt ends.
enum class TState { Idle, Connecting, Listening, Open, Failed };

struct TWatch {
    TSocket fd = INVALID_SOCKET;
    uintptr_t serial = 0;
    TState state = TState::Idle;
    TNotifyWindow* window = nullptr;
    unsigned msg = 0;
    long mask = 0;
    bool readPosted = false;  // FD_READ / FD_ACCEPT posted, not yet consumed
    bool closePosted = false; // FD_CLOSE posted; nothing more will be read
    bool writeWanted = false; // a send blocked
    std::unique_ptr<QSocketNotifier> reader;
    std::unique_ptr<QSocketNotifier> writer;

    void post(long event, int error) {
        if (window && (mask & event || event == FD_WRITE))
            window->Post(msg, serial, MakeSelectReply(event, error));
    }
    void update();
    void onReadable();
    void onWritable();
};

uintptr_t g_nextSerial = 1;
std::unordered_map<TSocket, std::unique_ptr<TWatch>>& watches() {
    static std::unordered_map<TSocket, std::unique_ptr<TWatch>> w;
    return w;
}
TWatch* find(TSocket s) {
    auto it = watches().find(s);
    return it == watches().end() ? nullptr : it->second.get();
}

void TWatch::update() {
    // The notifiers exist only once a receiver is registered.
    if (!window)
        return;
    if (!reader) {
        reader = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(reader.get(), &QSocketNotifier::activated, [this] { onReadable(); });
        writer = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        QObject::connect(writer.get(), &QSocketNotifier::activated, [this] { onWritable(); });
    }
    bool wantRead = (state == TState::Open || state == TState::Listening) && !readPosted && !closePosted;
    bool wantWrite = state == TState::Connecting || (state == TState::Open && writeWanted);
    // A notifier that stayed enabled while its readiness is not consumed
    // would fire on every pass of the event loop.
    if (reader->isEnabled() != wantRead)
        reader->setEnabled(wantRead);
    if (writer->isEnabled() != wantWrite)
        writer->setEnabled(wantWrite);
}

int pendingBytes(TSocket fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

void TWatch::onReadable() {
    if (state == TState::Listening) {
        readPosted = true;
        update();
        post(FD_ACCEPT, 0);
        return;
    }
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0)
        return;
    int soError = 0;
    if (p.revents & POLLERR) {
        socklen_t len = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    }
    if (soError != 0 || (p.revents & (POLLRDHUP | POLLHUP))) {
        // The peer closed (or reset): the close is reported once; input that
        // is still pending is announced first, so that it is read before the
        // end of the stream is seen.
        closePosted = true;
        update();
        if (soError == 0 && pendingBytes(fd) > 0)
            post(FD_READ, 0);
        post(FD_CLOSE, soError ? ErrnoToWSA(soError) : 0);
        return;
    }
    if (p.revents & POLLIN) {
        readPosted = true;
        update();
        post(FD_READ, 0);
    }
}

void TWatch::onWritable() {
    if (state == TState::Connecting) {
        int soError = 0;
        socklen_t len = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        state = soError ? TState::Failed : TState::Open;
        update();
        post(FD_CONNECT, soError ? ErrnoToWSA(soError) : 0);
        return;
    }
    writeWanted = false;
    update();
    post(FD_WRITE, 0);
}

TWatch& watch(TSocket s) {
    auto& slot = watches()[s];
    if (!slot) {
        slot = std::make_unique<TWatch>();
        slot->fd = s;
        slot->serial = g_nextSerial++;
    }
    return *slot;
}

} // namespace

int LastError() {
    return g_lastError;
}
void SetLastError(int number) {
    g_lastError = number;
}

int ErrnoToWSA(int e) {
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EWOULDBLOCK:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    // Writing to a connection the peer has closed is a reset there.
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return 10100 + e;
    }
}

int GaiToWSA(int code) {
    switch (code) {
    case 0:
        return 0;
    case EAI_NONAME:
        return 11001;
    case EAI_AGAIN:
        return 11002;
    case EAI_FAIL:
        return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return 11004;
#endif
    case EAI_ADDRFAMILY:
        return 11004;
    case EAI_MEMORY:
        return 10055;
    case EAI_SYSTEM:
        return ErrnoToWSA(errno);
    default:
        return 11003;
    }
}

TSocket Socket() {
    TSocket s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        fail(errno);
        return INVALID_SOCKET;
    }
    watch(s);
    return s;
}

int SetLinger(TSocket s, bool on, int seconds) {
    linger l{on ? 1 : 0, seconds};
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : fail(errno);
}

namespace {
// A read that took what was posted for: the next notification is wanted.
void rearmRead(TSocket s) {
    if (TWatch* w = find(s))
        if (w->readPosted) {
            w->readPosted = false;
            w->update();
        }
}
} // namespace

int Connect(TSocket s, uint32_t addr, uint16_t port) {
    const sockaddr_in a = MakeAddress<sockaddr_in>(AF_INET, addr, port);
    int r = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    int e = r == 0 ? 0 : errno;
    if (TWatch* w = find(s)) {
        if (r == 0 || e == EINPROGRESS) {
            // Even an immediate success is reported by notification.
            w->state = TState::Connecting;
            w->update();
        }
    }
    if (r == 0 || e == EINPROGRESS)
        return fail(EWOULDBLOCK);
    // The outcome of the attempt itself (refused, unreachable) is a
    // notification, even when the kernel knows it at once: callers treat
    // the call's own failure as a fault of the socket.
    if (e == ECONNREFUSED || e == ETIMEDOUT || e == ENETUNREACH || e == EHOSTUNREACH)
        if (TWatch* w = find(s)) {
            w->state = TState::Failed;
            w->post(FD_CONNECT, ErrnoToWSA(e));
            return fail(EWOULDBLOCK);
        }
    return fail(e);
}

int Bind(TSocket s, uint32_t addr, uint16_t port) {
    const sockaddr_in a = MakeAddress<sockaddr_in>(AF_INET, addr, port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : fail(errno);
}

int Listen(TSocket s, int backlog) {
    if (::listen(s, backlog) != 0)
        return fail(errno);
    if (TWatch* w = find(s)) {
        w->state = TState::Listening;
        w->update();
    }
    return 0;
}

TSocket Accept(TSocket s, uint32_t* addr, uint16_t* port) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    TSocket n = ::accept4(s, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int e = errno;
    if (TWatch* w = find(s)) {
        w->readPosted = false;
        w->update();
    }
    if (n < 0) {
        fail(e);
        return INVALID_SOCKET;
    }
    TakeAddress(a, addr, port);
    watch(n).state = TState::Open;
    return n;
}

int Recv(TSocket s, char* buffer, int length, bool peek) {
    ssize_t r = ::recv(s, buffer, static_cast<size_t>(length), peek ? MSG_PEEK : 0);
    int e = errno;
    rearmRead(s);
    if (r < 0)
        return fail(e);
    return static_cast<int>(r);
}

int SpliceToPipe(TSocket s, int pipeWrite, int length) {
    const ssize_t r = ::splice(s, nullptr, pipeWrite, nullptr, static_cast<size_t>(length),
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    const int e = errno;
    if (r < 0 && (e == EINVAL || e == ENOSYS || e == EOPNOTSUPP))
        return fail(EOPNOTSUPP);
    // While bytes keep coming the caller takes the next ones at once: the
    // read notification is re-armed only once the socket is found empty (or
    // at its end), right before the caller would wait for it. That spares a
    // notification per block of a long stream.
    if (r <= 0)
        rearmRead(s);
    if (r < 0)
        return fail(e);
    return static_cast<int>(r);
}

int Send(TSocket s, const char* buffer, int length) {
    ssize_t r = ::send(s, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (r >= 0)
        return static_cast<int>(r);
    int e = errno;
    if (e == EWOULDBLOCK)
        if (TWatch* w = find(s)) {
            w->writeWanted = true;
            w->update();
        }
    return fail(e);
}

int CloseSocket(TSocket s) {
    watches().erase(s);
    return ::close(s) == 0 ? 0 : fail(errno);
}

int GetSockName(TSocket s, uint32_t* addr, uint16_t* port) {
    return AddressOf<sockaddr_in, socklen_t>(::getsockname, s, addr, port) ? 0 : fail(errno);
}

int GetPeerName(TSocket s, uint32_t* addr, uint16_t* port) {
    return AddressOf<sockaddr_in, socklen_t>(::getpeername, s, addr, port) ? 0 : fail(errno);
}

uint32_t InetAddr(const std::string& text) {
    return DottedAddress<in_addr>(::inet_pton, AF_INET, text);
}

std::string LibraryDescription() {
    return "POSIX sockets";
}

int64_t MaxSockets() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    return static_cast<int64_t>(files.rlim_cur);
}

bool Readable(TSocket s) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

int AsyncSelect(TSocket s, TNotifyWindow* window, unsigned msg, long mask) {
    if (s < 0)
        return fail(ENOTSOCK);
    TWatch& w = watch(s);
    w.window = window;
    w.msg = msg;
    w.mask = mask;
    w.update();
    return 0;
}

uintptr_t Serial(TSocket s) {
    TWatch* w = find(s);
    return w ? w->serial : 0;
}

struct TLookup {
    std::mutex mutex;
    TNotifyWindow* window = nullptr; // null once cancelled
    unsigned msg = 0;
    std::vector<uint32_t> addresses;
};

std::shared_ptr<TLookup> AsyncGetHostByName(TNotifyWindow* window, unsigned msg, const std::string& name) {
    auto lookup = std::make_shared<TLookup>();
    lookup->window = window;
    lookup->msg = msg;
    // The resolver blocks, so it runs on its own thread; the window hears
    // of the result through its queue, as of any other notification.
    std::thread([lookup, name] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
        std::vector<uint32_t> found;
        for (addrinfo* p = res; rc == 0 && p; p = p->ai_next)
            if (p->ai_family == AF_INET)
                found.push_back(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
        if (res)
            ::freeaddrinfo(res);
        int error = rc != 0 ? GaiToWSA(rc) : found.empty() ? 11004 : 0;
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->addresses = std::move(found);
        if (lookup->window)
            lookup->window->Post(lookup->msg, 0, MakeSelectReply(0, error));
    }).detach();
    return lookup;
}

void CancelAsyncRequest(const std::shared_ptr<TLookup>& lookup) {
    if (!lookup)
        return;
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->window = nullptr;
}

int LookupAddresses(const std::shared_ptr<TLookup>& lookup, uint8_t* buffer, int length) {
    if (!lookup)
        return 0;
    std::lock_guard<std::mutex> lock(lookup->mutex);
    return CopyAddresses(lookup->addresses, buffer, length);
}

} // namespace ws

} // namespace vx::platform
