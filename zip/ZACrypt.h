// The traditional PKWARE stream cipher of encrypted ZIP entries (three
// 32-bit keys driven by the CRC-32 table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vx::zip {

class TZACryptKeys {
public:
    // Keys set from the password with the standard's initial values.
    void Init(std::string_view password);
    // Decrypts in place; the keys carry on across calls.
    void Decrypt(uint8_t* data, size_t count);

private:
    void update(uint8_t plain);
    uint8_t streamByte() const;
    uint32_t key0_ = 0, key1_ = 0, key2_ = 0;
};

} // namespace vx::zip
