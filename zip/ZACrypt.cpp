#include "zip/ZACrypt.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> CrcTable = makeCrcTable();

uint32_t crcByte(uint32_t crc, uint8_t b) {
    return CrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
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
