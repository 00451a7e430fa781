// The cipher of encrypted Paradox tables. The key is the 32-bit value in the
// table's header, so a table decrypts without its password; only its low
// 16 bits take part.
#pragma once

#include <cstddef>
#include <cstdint>

// One data block of a table, in place; size a multiple of 256. The block's
// number in the file (counted from 1) is part of the key stream.
void ParadoxDecryptBlock(uint8_t* data, size_t size, uint32_t key, uint16_t blockNumber);
// A 256-byte-aligned range of the table's memo file, in place.
void ParadoxDecryptMemo(uint8_t* data, size_t size, uint32_t key);
