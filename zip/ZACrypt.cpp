#include "zip/ZACrypt.h"

#include <zlib.h>

namespace vx::zip {

namespace {

// The key schedule steps the CRC-32 one byte at a time, with zlib's table.
uint32_t crcByte(uint32_t crc, uint8_t b) {
    static const z_crc_t* const table = get_crc_table();
    return static_cast<uint32_t>(table[(crc ^ b) & 0xFF]) ^ (crc >> 8);
}

} // namespace

void TZACryptKeys::Init(std::string_view password) {
    key0_ = 0x12345678;
    key1_ = 0x23456789;
    key2_ = 0x34567890;
    for (char c : password)
        update(static_cast<uint8_t>(c));
}

void TZACryptKeys::update(uint8_t plain) {
    key0_ = crcByte(key0_, plain);
    key1_ = (key1_ + (key0_ & 0xFF)) * 134775813u + 1;
    key2_ = crcByte(key2_, static_cast<uint8_t>(key1_ >> 24));
}

uint8_t TZACryptKeys::streamByte() const {
    uint32_t t = (key2_ | 2) & 0xFFFF;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void TZACryptKeys::Decrypt(uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t plain = data[i] ^ streamByte();
        update(plain);
        data[i] = plain;
    }
}

} // namespace vx::zip
