// Writes small Paradox tables of alpha fields (the 4.x format, unkeyed,
// 2 KiB blocks, code page 1252) for tests: the shape of the maker's schema
// table. The block chain may be laid out in any order of the file's blocks,
// so that a reader is seen to follow the chain rather than the file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx::test {

struct TParadoxWriter {
    // Fields: name and size (alpha).
    std::vector<std::pair<std::string, int>> fields;
    // Records: one text per field (CP1252; empty text = NULL).
    std::vector<std::vector<std::string>> records;
    // Records per block (0 = as many as fit).
    int recordsPerBlock = 0;
    // The file position of each block of the chain, in chain order (1-based
    // block numbers); empty = 1, 2, 3...
    std::vector<uint16_t> blockOrder;

    // The file's bytes.
    std::vector<uint8_t> Bytes() const;
    void Write(const std::string& linuxPath) const;
};

} // namespace vx::test
