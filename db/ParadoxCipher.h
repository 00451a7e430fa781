// The cipher of password-protected Paradox tables: the 256-byte chunk
// transform, the layouts it is applied in (data blocks of the .DB file, the
// whole .MB file) and the checksum that a master password is stored as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::db {

namespace ParadoxCipher {

constexpr size_t kChunk = 256;
constexpr size_t kMemoBlock = 4096;

// The key a table protected by this password carries (0 for the empty one).
uint32_t PasswordChecksum(const std::string& password);

// Data block n (numbered from 1 as in the block chain), in place; its size is
// a whole number of chunks.
void DecryptBlock(uint8_t* block, size_t size, uint32_t key, uint32_t blockNumber);
void EncryptBlock(uint8_t* block, size_t size, uint32_t key, uint32_t blockNumber);

// Bytes of the memo file, in place, from a chunk boundary on; every chunk of
// the memo file is transformed alike, so any whole chunks can be read alone.
void DecryptMemo(uint8_t* data, size_t size, uint32_t key);
void EncryptMemo(uint8_t* data, size_t size, uint32_t key);

} // namespace ParadoxCipher

} // namespace vx::db
