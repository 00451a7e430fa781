// Readers of the archive file: a field reader that refuses short reads and
// serves small reads from a block buffer, and a forward signature scanner
// that reads the file in overlapping windows.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Streams.h"

namespace vx::zip {

using namespace vx::platform;

namespace za {

// Sequential reads from a start position; a short read raises EReadError.
class TZAFieldReader {
public:
    TZAFieldReader(TStream& stream, int64_t position);
    void Read(void* dest, size_t count);
    std::vector<uint8_t> ReadBytes(size_t count);
    void Skip(size_t count);
    int64_t Position() const { return position_; }

private:
    void fill();
    TStream& stream_;
    int64_t position_;
    std::vector<uint8_t> buffer_;
    size_t bufferPos_ = 0;
    size_t bufferLen_ = 0;
    int64_t bufferStart_ = 0;
};

// Finds successive occurrences of a 4-byte signature from a position on,
// reading windows that overlap by 4 bytes.
class TZASignatureScanner {
public:
    TZASignatureScanner(TStream& stream, int64_t from, uint32_t signature, int64_t window);
    // The position of the next occurrence, or -1 when there is none.
    int64_t Next();
    // Restarts the search at a position at or after the last hit.
    void SeekTo(int64_t position);
    // Reads count bytes at an absolute position, from the window when it
    // holds them; false when the stream ends first.
    bool ReadAt(int64_t position, uint8_t* dest, size_t count);

private:
    bool loadWindow(int64_t start);
    TStream& stream_;
    int64_t size_;
    int64_t next_;
    uint8_t sig_[4];
    int64_t window_;
    std::vector<uint8_t> buffer_;
    int64_t bufferStart_ = -1;
};

// Reads exactly count bytes at position; false when the stream is shorter.
bool ReadAtExactly(TStream& stream, int64_t position, void* dest, size_t count);

} // namespace za

} // namespace vx::zip
