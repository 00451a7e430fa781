#include "platform/MappedFile.h"

#include <new>

namespace vx::platform {

void TMappedFile::readWhole(const TReadOnlyFile& file) {
    copy_.reset(new (std::nothrow) uint8_t[size_]);
    if (copy_ && file.ReadAt(0, copy_.get(), size_) == static_cast<int64_t>(size_)) {
        data_ = copy_.get();
        return;
    }
    copy_.reset();
    size_ = 0;
}

} // namespace vx::platform
