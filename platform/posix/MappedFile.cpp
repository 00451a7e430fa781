#include "platform/MappedFile.h"

#include <sys/mman.h>

#include <limits>

namespace vx::platform {

namespace {

// What an empty file's data points at: a mapping of no bytes is refused.
const uint8_t kNothing = 0;

} // namespace

TMappedFile::TMappedFile(const TReadOnlyFile& file, TUse use) {
    const int64_t size = file.Size();
    if (size < 0 || static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max())
        return;
    size_ = static_cast<size_t>(size);
    if (size_ == 0) {
        data_ = &kNothing;
        return;
    }
    void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, static_cast<int>(file.NativeHandle()), 0);
    if (map != MAP_FAILED) {
        if (use == TUse::Sequential)
            ::madvise(map, size_, MADV_SEQUENTIAL);
        data_ = static_cast<const uint8_t*>(map);
        mapped_ = true;
        return;
    }
    readWhole(file);
}

TMappedFile::~TMappedFile() {
    if (mapped_)
        ::munmap(const_cast<uint8_t*>(data_), size_);
}

} // namespace vx::platform
