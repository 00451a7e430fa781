// Asynchronous sockets in the manner of the platform's socket library: on
// Windows Winsock itself (WSAAsyncSelect, WSAAsyncGetHostByName), on POSIX
// non-blocking IPv4 stream sockets whose readiness, watched by the
// event loop, becomes read / accept / connect / close / write notifications
// with an error half, posted to a TNotifyWindow; host lookups run off the
// user-interface thread and post their completion back. Error numbers are
// the socket library's (10035 would block, 10061 refused, ...), so the texts
// the components show read as on the original platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vx::platform {

class TNotifyWindow;

namespace ws {

#ifdef _WIN32
using TSocket = uintptr_t; // a Winsock SOCKET
inline constexpr TSocket INVALID_SOCKET = ~static_cast<uintptr_t>(0);
#else
using TSocket = int;
inline constexpr TSocket INVALID_SOCKET = -1;
#endif
inline constexpr int SOCKET_ERROR = -1;
inline constexpr uint32_t INADDR_NONE = 0xFFFFFFFFu;

// Notification codes (the event half of a notification's lParam).
inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

inline intptr_t MakeSelectReply(long event, int error) {
    return static_cast<intptr_t>((static_cast<uint32_t>(error & 0xFFFF) << 16) | (event & 0xFFFF));
}
inline uint16_t SelectEvent(intptr_t lParam) {
    return static_cast<uint16_t>(lParam & 0xFFFF);
}
inline uint16_t SelectError(intptr_t lParam) {
    return static_cast<uint16_t>((lParam >> 16) & 0xFFFF);
}

// The last error of a socket call on this thread, as a socket library number.
int LastError();
void SetLastError(int number);
// A POSIX errno as the socket library's number; numbers without an
// equivalent become 10100 + errno, which no text claims.
int ErrnoToWSA(int e);
// A getaddrinfo result code as the resolver's number (11001..11004).
int GaiToWSA(int code);

// The calls return SOCKET_ERROR (or INVALID_SOCKET) on failure and set
// LastError. Addresses and ports are in network byte order.
TSocket Socket();
int SetLinger(TSocket s, bool on, int seconds);
// Starts a connect; completion comes as FD_CONNECT. Fails with 10035 (would
// block) in the normal case.
int Connect(TSocket s, uint32_t addr, uint16_t port);
int Bind(TSocket s, uint32_t addr, uint16_t port);
int Listen(TSocket s, int backlog);
TSocket Accept(TSocket s, uint32_t* addr, uint16_t* port);
// Receiving (also peeking) re-enables FD_READ, as the socket library does.
int Recv(TSocket s, char* buffer, int length, bool peek);
// Moves up to length received bytes from s into the pipe pipeWrite inside
// the kernel, with the same results as Recv. Unlike Recv it re-enables
// FD_READ only when it finds nothing to take (or the end of the stream):
// the caller is to call it again until then, instead of waiting for FD_READ.
// Where the kernel cannot move the bytes so, fails with WSAEOPNOTSUPP and
// takes nothing: the caller receives by Recv instead.
int SpliceToPipe(TSocket s, int pipeWrite, int length);
// A send that would block arms one FD_WRITE for when there is room again.
int Send(TSocket s, const char* buffer, int length);
int CloseSocket(TSocket s);
int GetSockName(TSocket s, uint32_t* addr, uint16_t* port);
// The address of the connection's other end.
int GetPeerName(TSocket s, uint32_t* addr, uint16_t* port);
// The address of a dotted IPv4 text, or INADDR_NONE.
uint32_t InetAddr(const std::string& text);
// Byte order of a port: host to network and back.
uint16_t HostToNet16(uint16_t v);
uint16_t NetToHost16(uint16_t v);
// What the socket library says of itself, and how many sockets a process
// may hold.
std::string LibraryDescription();
int64_t MaxSockets();
// True when a connection waits to be accepted (or data to be read).
bool Readable(TSocket s);

// Registers s: every notification in mask is posted to window as
// (msg, Serial(s), MakeSelectReply(event, error)). FD_WRITE is posted after
// a blocked send whatever the mask says. A notification is not repeated
// until the call that consumes it (Recv, Accept) has been made.
int AsyncSelect(TSocket s, TNotifyWindow* window, unsigned msg, long mask);
// A number that names this socket among all sockets ever made by the
// process; notifications carry it so that one left in the queue for a closed
// socket is not mistaken for its successor on the same descriptor.
uintptr_t Serial(TSocket s);

// A host lookup under way.
struct TLookup;
// Starts a lookup of name; on completion (msg, 0, MakeSelectReply(0,
// error)) is posted to window. The window must outlive the lookup or the
// lookup must be cancelled first.
std::shared_ptr<TLookup> AsyncGetHostByName(TNotifyWindow* window, unsigned msg, const std::string& name);
void CancelAsyncRequest(const std::shared_ptr<TLookup>& lookup);
// The addresses found (network byte order), written into buffer as 4-byte
// entries; returns how many fitted.
int LookupAddresses(const std::shared_ptr<TLookup>& lookup, uint8_t* buffer, int length);

} // namespace ws

} // namespace vx::platform
