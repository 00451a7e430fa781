// The stream base and the memory stream: the same on every platform.
#include "platform/Streams.h"

#include <algorithm>
#include <cstring>

namespace vx::platform {

int64_t TStream::Size() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

int64_t TStream::ReadAt(int64_t position, void* buffer, int64_t count) {
    if (position < 0 || Seek(position, soBeginning) != position)
        return 0;
    return Read(buffer, count);
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count)
        throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)) + 1);
    int64_t left = count;
    while (left > 0) {
        int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        left -= n;
    }
    return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    int64_t avail = static_cast<int64_t>(data_.size()) - pos_;
    int64_t n = std::max<int64_t>(0, std::min(avail, count));
    if (n > 0)
        std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::ReadAt(int64_t position, void* buffer, int64_t count) {
    int64_t avail = static_cast<int64_t>(data_.size()) - position;
    int64_t n = position < 0 ? 0 : std::max<int64_t>(0, std::min(avail, count));
    if (n > 0)
        std::memcpy(buffer, data_.data() + position, static_cast<size_t>(n));
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0)
        return 0;
    if (pos_ + count > static_cast<int64_t>(data_.size()))
        data_.resize(static_cast<size_t>(pos_ + count));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0
                   : origin == soCurrent ? pos_
                                         : static_cast<int64_t>(data_.size());
    int64_t p = base + offset;
    if (p < 0)
        return -1;
    pos_ = p;
    return pos_;
}

void TMemoryStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(size < 0 ? 0 : size));
    if (pos_ > size)
        pos_ = size;
}

void TMemoryStream::LoadFromStream(TStream& s) {
    s.SetPosition(0);
    int64_t n = s.Size();
    data_.resize(static_cast<size_t>(n));
    s.ReadBuffer(data_.data(), n);
    pos_ = 0;
}

void TMemoryStream::SaveToStream(TStream& s) {
    s.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

} // namespace vx::platform
