// Asynchronous sockets on Winsock itself. Every socket and lookup reports
// to one relay window of the half (WSAAsyncSelect, WSAAsyncGetHostByName);
// the relay hands each notification on to the component's window with the
// socket's serial number. Winsock names the socket by its handle only, and
// a closed socket's handle is soon a new one's while notifications of the
// old may still wait in the queue (the peer's close of the last data
// connection, say, reaching the next one before it has said a word): each
// socket is therefore told to report under a message number of its own, in
// turn from a wide range, and a notification under another number than the
// handle's present socket's is dropped.
#include "platform/AsyncSelect.h"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/Notifier.h"
#include "platform/SocketAddress.h"
#include "platform/win32/Win.h"

namespace vx::platform {

namespace ws {

namespace {

constexpr unsigned kLookupMsg = WM_APP + 0x102;
constexpr unsigned kSocketMsgFirst = WM_APP + 0x200;
constexpr unsigned kSocketMsgCount = 0x3000;

struct TWatch {
    TNotifyWindow* window = nullptr;
    unsigned msg = 0;
    long mask = 0;
    uintptr_t serial = 0;
    unsigned socketMsg = 0;   // what Winsock posts for this socket
    bool writeWanted = false; // a send would have blocked
};

uintptr_t g_nextSerial = 1;

std::unordered_map<TSocket, TWatch>& watches() {
    static std::unordered_map<TSocket, TWatch> w;
    return w;
}

TWatch& newWatch(TSocket s) {
    TWatch& w = watches()[s];
    w = TWatch{};
    w.serial = g_nextSerial++;
    w.socketMsg = kSocketMsgFirst + static_cast<unsigned>(w.serial % kSocketMsgCount);
    return w;
}

std::unordered_map<HANDLE, std::shared_ptr<TLookup>>& lookups() {
    static std::unordered_map<HANDLE, std::shared_ptr<TLookup>> l;
    return l;
}

void relay(unsigned msg, uintptr_t wParam, intptr_t lParam);

HWND relayWindow() {
    static TNotifyWindow window(relay);
    return static_cast<HWND>(window.NativeHandle());
}

int fail() {
    return SOCKET_ERROR;
}

} // namespace

struct TLookup {
    HANDLE task = nullptr;
    TNotifyWindow* window = nullptr; // null once cancelled
    unsigned msg = 0;
    int error = 0;
    alignas(8) char buffer[MAXGETHOSTSTRUCT] = {};
};

namespace {

void relay(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    if (msg >= kSocketMsgFirst && msg < kSocketMsgFirst + kSocketMsgCount) {
        auto it = watches().find(static_cast<TSocket>(wParam));
        if (it == watches().end() || !it->second.window || it->second.socketMsg != msg)
            return;
        TWatch& w = it->second;
        const long event = WSAGETSELECTEVENT(lParam);
        if (event == FD_WRITE) {
            // Wanted when asked for, or once after a blocked send.
            if (!(w.mask & FD_WRITE) && !w.writeWanted)
                return;
            w.writeWanted = false;
        } else if (!(w.mask & event)) {
            return;
        }
        w.window->Send(w.msg, w.serial, MakeSelectReply(event, WSAGETSELECTERROR(lParam)));
    } else if (msg == kLookupMsg) {
        auto it = lookups().find(reinterpret_cast<HANDLE>(wParam));
        if (it == lookups().end())
            return;
        std::shared_ptr<TLookup> l = it->second;
        lookups().erase(it);
        l->task = nullptr;
        l->error = WSAGETASYNCERROR(lParam);
        if (l->window)
            l->window->Send(l->msg, 0, MakeSelectReply(0, l->error));
    }
}

// Winsock wants every event it is to report named; FD_WRITE always, so a
// blocked send hears when there is room again.
int reselect(TSocket s, const TWatch& w) {
    return WSAAsyncSelect(s, relayWindow(), w.socketMsg, w.mask | FD_WRITE) == 0 ? 0 : fail();
}

} // namespace

int LastError() {
    return WSAGetLastError();
}

void SetLastError(int number) {
    WSASetLastError(number);
}

// Winsock reports its own numbers; these two serve the POSIX half's callers.
int ErrnoToWSA(int e) {
    return 10100 + e;
}

int GaiToWSA(int code) {
    return code;
}

TSocket Socket() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == static_cast<SOCKET>(~static_cast<uintptr_t>(0)))
        return INVALID_SOCKET;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    newWatch(s);
    return s;
}

int SetLinger(TSocket s, bool on, int seconds) {
    linger l{static_cast<u_short>(on ? 1 : 0), static_cast<u_short>(seconds)};
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == 0 ? 0
                                                                                                    : fail();
}

// A non-blocking connect fails with WSAEWOULDBLOCK; its outcome, success or
// refusal, comes as FD_CONNECT.
int Connect(TSocket s, uint32_t addr, uint16_t port) {
    const sockaddr_in a = MakeAddress<sockaddr_in>(AF_INET, addr, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return fail();
}

int Bind(TSocket s, uint32_t addr, uint16_t port) {
    const sockaddr_in a = MakeAddress<sockaddr_in>(AF_INET, addr, port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : fail();
}

int Listen(TSocket s, int backlog) {
    return ::listen(s, backlog) == 0 ? 0 : fail();
}

TSocket Accept(TSocket s, uint32_t* addr, uint16_t* port) {
    sockaddr_in a{};
    int len = sizeof a;
    SOCKET n = ::accept(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (n == static_cast<SOCKET>(~static_cast<uintptr_t>(0)))
        return INVALID_SOCKET;
    TakeAddress(a, addr, port);
    // The accepted socket inherits the listener's selection; it starts with
    // none of its own until the caller asks.
    WSAAsyncSelect(n, relayWindow(), 0, 0);
    u_long nonBlocking = 1;
    ioctlsocket(n, FIONBIO, &nonBlocking);
    newWatch(n);
    return n;
}

int Recv(TSocket s, char* buffer, int length, bool peek) {
    const int r = ::recv(s, buffer, length, peek ? MSG_PEEK : 0);
    return r < 0 ? fail() : r;
}

// Windows has no pipe to move socket bytes into inside the kernel.
int SpliceToPipe(TSocket, int, int) {
    WSASetLastError(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}

int Send(TSocket s, const char* buffer, int length) {
    const int r = ::send(s, buffer, length, 0);
    if (r >= 0)
        return r;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
        auto it = watches().find(s);
        if (it != watches().end())
            it->second.writeWanted = true;
        WSASetLastError(WSAEWOULDBLOCK);
    }
    return SOCKET_ERROR;
}

int CloseSocket(TSocket s) {
    watches().erase(s);
    return ::closesocket(s) == 0 ? 0 : fail();
}

int GetSockName(TSocket s, uint32_t* addr, uint16_t* port) {
    return AddressOf<sockaddr_in, int>(::getsockname, s, addr, port) ? 0 : fail();
}

int GetPeerName(TSocket s, uint32_t* addr, uint16_t* port) {
    return AddressOf<sockaddr_in, int>(::getpeername, s, addr, port) ? 0 : fail();
}

uint32_t InetAddr(const std::string& text) {
    return DottedAddress<in_addr>(::inet_pton, AF_INET, text);
}

std::string LibraryDescription() {
    return "WinSock 2.0";
}

// Winsock 2 sets no limit of its own.
int64_t MaxSockets() {
    return 32767;
}

bool Readable(TSocket s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval zero{0, 0};
    return ::select(0, &set, nullptr, nullptr, &zero) > 0;
}

int AsyncSelect(TSocket s, TNotifyWindow* window, unsigned msg, long mask) {
    auto it = watches().find(s);
    if (it == watches().end()) {
        WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    it->second.window = window;
    it->second.msg = msg;
    it->second.mask = mask;
    return reselect(s, it->second);
}

uintptr_t Serial(TSocket s) {
    auto it = watches().find(s);
    return it == watches().end() ? 0 : it->second.serial;
}

std::shared_ptr<TLookup> AsyncGetHostByName(TNotifyWindow* window, unsigned msg, const std::string& name) {
    auto lookup = std::make_shared<TLookup>();
    lookup->window = window;
    lookup->msg = msg;
    lookup->task =
        WSAAsyncGetHostByName(relayWindow(), kLookupMsg, name.c_str(), lookup->buffer, sizeof lookup->buffer);
    if (!lookup->task) {
        // Reported as a completion, as a failed lookup is.
        lookup->error = WSAGetLastError();
        window->Post(msg, 0, MakeSelectReply(0, lookup->error));
        return lookup;
    }
    lookups()[lookup->task] = lookup;
    return lookup;
}

void CancelAsyncRequest(const std::shared_ptr<TLookup>& lookup) {
    if (!lookup)
        return;
    lookup->window = nullptr;
    // A cancelled task posts nothing more; one already finished has its
    // message queued, which the relay drops.
    if (lookup->task && WSACancelAsyncRequest(lookup->task) == 0)
        lookups().erase(lookup->task);
}

int LookupAddresses(const std::shared_ptr<TLookup>& lookup, uint8_t* buffer, int length) {
    if (!lookup || lookup->task || lookup->error)
        return 0;
    const auto* h = reinterpret_cast<const hostent*>(lookup->buffer);
    if (h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list)
        return 0;
    std::vector<uint32_t> found;
    for (char** a = h->h_addr_list; *a; ++a) {
        uint32_t address;
        std::memcpy(&address, *a, sizeof address);
        found.push_back(address);
    }
    return CopyAddresses(found, buffer, length);
}

} // namespace ws

} // namespace vx::platform
