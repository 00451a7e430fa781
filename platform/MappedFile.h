// The whole of an open file as one range of read-only memory, for a reader
// that needs it in one piece (a signature over the whole file): a mapping
// costs address space, not memory. Where the system cannot map the file (a
// file system without mappings) it is read into memory instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ReadOnlyFile.h"

namespace vx::platform {

class TMappedFile {
public:
    enum class TUse { Random, Sequential };
    // Maps the file as long as it is now. Sequential asks the system to read
    // ahead, for a reader that passes over the bytes once.
    explicit TMappedFile(const TReadOnlyFile& file, TUse use = TUse::Random);
    ~TMappedFile();
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;

    // False when the file could be neither mapped nor read.
    bool IsValid() const { return data_ != nullptr; }
    // Never null while valid, even for an empty file.
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    // True when the bytes are the system's mapping, false when they were read.
    bool IsMapped() const { return mapped_; }

private:
    // Where the system cannot map the file: its bytes read into memory, the
    // same on every system.
    void readWhole(const TReadOnlyFile& file);

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::unique_ptr<uint8_t[]> copy_;
};

} // namespace vx::platform
