#include "zip/ZAScan.h"

#include <algorithm>
#include <cstring>

#include "platform/SysUtils.h"

namespace vx::zip {

using namespace vx::platform;

namespace za {

namespace {
constexpr size_t FieldBlock = 65536;
}

TZAFieldReader::TZAFieldReader(TStream& stream, int64_t position) : stream_(stream), position_(position) {}

void TZAFieldReader::fill() {
    buffer_.resize(FieldBlock);
    stream_.Seek(position_, soBeginning);
    int64_t got = stream_.Read(buffer_.data(), static_cast<int64_t>(buffer_.size()));
    bufferStart_ = position_;
    bufferPos_ = 0;
    bufferLen_ = got > 0 ? static_cast<size_t>(got) : 0;
}

void TZAFieldReader::Read(void* dest, size_t count) {
    auto* out = static_cast<uint8_t*>(dest);
    while (count > 0) {
        if (bufferPos_ >= bufferLen_) {
            fill();
            if (bufferLen_ == 0)
                throw EReadError();
        }
        size_t n = std::min(count, bufferLen_ - bufferPos_);
        std::memcpy(out, buffer_.data() + bufferPos_, n);
        out += n;
        count -= n;
        bufferPos_ += n;
        position_ += static_cast<int64_t>(n);
    }
}

std::vector<uint8_t> TZAFieldReader::ReadBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    if (count > 0)
        Read(bytes.data(), count);
    return bytes;
}

void TZAFieldReader::Skip(size_t count) {
    size_t inBuffer = bufferLen_ - bufferPos_;
    if (count <= inBuffer) {
        bufferPos_ += count;
    } else {
        bufferPos_ = bufferLen_ = 0;
    }
    position_ += static_cast<int64_t>(count);
}

TZASignatureScanner::TZASignatureScanner(TStream& stream, int64_t from, uint32_t signature, int64_t window)
    : stream_(stream), size_(stream.Size()), next_(std::max<int64_t>(from, 0)), window_(window) {
    WriteU32LE(sig_, signature);
}

bool TZASignatureScanner::loadWindow(int64_t start) {
    if (start >= size_)
        return false;
    int64_t len = std::min(window_, size_ - start);
    buffer_.resize(static_cast<size_t>(len));
    stream_.Seek(start, soBeginning);
    int64_t got = stream_.Read(buffer_.data(), len);
    if (got <= 0)
        return false;
    buffer_.resize(static_cast<size_t>(got));
    bufferStart_ = start;
    return true;
}

int64_t TZASignatureScanner::Next() {
    while (next_ + 4 <= size_) {
        int64_t bufferEnd = bufferStart_ + static_cast<int64_t>(buffer_.size());
        if (bufferStart_ < 0 || next_ < bufferStart_ || next_ + 4 > bufferEnd) {
            if (!loadWindow(next_))
                return -1;
            bufferEnd = bufferStart_ + static_cast<int64_t>(buffer_.size());
            if (next_ + 4 > bufferEnd)
                return -1;
        }
        const uint8_t* base = buffer_.data();
        auto from = static_cast<size_t>(next_ - bufferStart_);
        size_t last = buffer_.size() - 4; // last index a whole signature fits
        for (size_t i = from; i <= last;) {
            const void* hit = std::memchr(base + i, sig_[0], last - i + 1);
            if (!hit)
                break;
            i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - base);
            if (std::memcmp(base + i, sig_, 4) == 0) {
                int64_t pos = bufferStart_ + static_cast<int64_t>(i);
                next_ = pos + 1;
                return pos;
            }
            ++i;
        }
        // Every start up to bufferEnd - 4 has been tested; the next window
        // overlaps this one so that a signature across the border is found.
        next_ = bufferEnd - 3;
        if (bufferEnd >= size_)
            return -1;
    }
    return -1;
}

void TZASignatureScanner::SeekTo(int64_t position) {
    next_ = std::max(next_, position);
}

bool TZASignatureScanner::ReadAt(int64_t position, uint8_t* dest, size_t count) {
    if (position < 0 || position > size_ || static_cast<int64_t>(count) > size_ - position)
        return false;
    int64_t bufferEnd = bufferStart_ + static_cast<int64_t>(buffer_.size());
    if (bufferStart_ >= 0 && position >= bufferStart_ &&
        position + static_cast<int64_t>(count) <= bufferEnd) {
        std::memcpy(dest, buffer_.data() + (position - bufferStart_), count);
        return true;
    }
    return ReadAtExactly(stream_, position, dest, count);
}

bool ReadAtExactly(TStream& stream, int64_t position, void* dest, size_t count) {
    if (position < 0)
        return false;
    if (stream.Seek(position, soBeginning) != position)
        return false;
    auto* out = static_cast<uint8_t*>(dest);
    size_t done = 0;
    while (done < count) {
        int64_t got = stream.Read(out + done, static_cast<int64_t>(count - done));
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

} // namespace za

} // namespace vx::zip
