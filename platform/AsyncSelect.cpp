#include "platform/AsyncSelect.h"

#include <cstring>

#include "platform/SocketAddress.h"

namespace vx::platform {

namespace ws {

// Network byte order is big-endian whatever the machine's.
uint16_t HostToNet16(uint16_t v) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
    uint16_t out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

uint16_t NetToHost16(uint16_t v) {
    uint8_t bytes[2];
    std::memcpy(bytes, &v, sizeof bytes);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

int CopyAddresses(const std::vector<uint32_t>& found, uint8_t* buffer, int length) {
    int n = 0;
    for (uint32_t a : found) {
        if ((n + 1) * 4 > length)
            break;
        std::memcpy(buffer + n * 4, &a, 4);
        ++n;
    }
    return n;
}

} // namespace ws

} // namespace vx::platform
