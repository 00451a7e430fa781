// A read-only view of the whole file; a file that cannot be mapped (on a
// share that refuses it, say) is read into memory instead.
#include "platform/MappedFile.h"

#include <limits>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

// What an empty file's data points at: a mapping of no bytes is refused.
const uint8_t kNothing = 0;

} // namespace

TMappedFile::TMappedFile(const TReadOnlyFile& file, TUse) {
    const int64_t size = file.Size();
    if (size < 0 || static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max())
        return;
    size_ = static_cast<size_t>(size);
    if (size_ == 0) {
        data_ = &kNothing;
        return;
    }
    HANDLE mapping = CreateFileMappingW(reinterpret_cast<HANDLE>(file.NativeHandle()), nullptr, PAGE_READONLY,
                                        0, 0, nullptr);
    if (mapping) {
        void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size_);
        // The view keeps the mapping alive by itself.
        CloseHandle(mapping);
        if (view) {
            data_ = static_cast<const uint8_t*>(view);
            mapped_ = true;
            return;
        }
    }
    readWhole(file);
}

TMappedFile::~TMappedFile() {
    if (mapped_)
        UnmapViewOfFile(data_);
}

} // namespace vx::platform
