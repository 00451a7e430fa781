// What the two halves of the socket calls (AsyncSelect) share: the IPv4
// address a call takes or fills in, written once over the system's own
// sockaddr_in (the same members on every system), and a lookup's answer
// handed out as 4-byte entries. Only those halves include this header.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/AsyncSelect.h"

struct sockaddr;

namespace vx::platform {

namespace ws {

// The system's sockaddr_in for an address and a port in network byte order.
// The address goes in as its four bytes: Windows spells the member that
// holds them through a macro of its own.
template <class SockAddrIn> SockAddrIn MakeAddress(int family, uint32_t addr, uint16_t port) {
    SockAddrIn a{};
    static_assert(sizeof a.sin_addr == sizeof addr);
    a.sin_family = static_cast<decltype(a.sin_family)>(family);
    a.sin_port = port;
    std::memcpy(&a.sin_addr, &addr, sizeof addr);
    return a;
}

// The address and port of a filled-in sockaddr_in, where wanted (either
// pointer may be null).
template <class SockAddrIn> void TakeAddress(const SockAddrIn& a, uint32_t* addr, uint16_t* port) {
    if (addr)
        std::memcpy(addr, &a.sin_addr, sizeof *addr);
    if (port)
        *port = a.sin_port;
}

// The local or the remote address of a socket: get is the system's
// getsockname or getpeername, Len the type of its length argument. False
// when the call failed (its error is the system's last one).
template <class SockAddrIn, class Len, class Get, class Socket>
bool AddressOf(Get get, Socket s, uint32_t* addr, uint16_t* port) {
    SockAddrIn a{};
    Len len = sizeof a;
    if (get(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    TakeAddress(a, addr, port);
    return true;
}

// The address of a dotted IPv4 text as the system's inet_pton reads it (pton,
// with InAddr its in_addr), or INADDR_NONE.
template <class InAddr, class Pton> uint32_t DottedAddress(Pton pton, int family, const std::string& text) {
    InAddr a{};
    static_assert(sizeof a == sizeof(uint32_t));
    if (pton(family, text.c_str(), &a) != 1)
        return INADDR_NONE;
    uint32_t addr;
    std::memcpy(&addr, &a, sizeof addr);
    return addr;
}

// The addresses found (network byte order) written into buffer as 4-byte
// entries; how many fitted.
int CopyAddresses(const std::vector<uint32_t>& found, uint8_t* buffer, int length);

} // namespace ws

} // namespace vx::platform
