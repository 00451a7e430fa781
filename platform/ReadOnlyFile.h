// A file opened for reading and nothing else, in the system's own spelling
// of its path (no Windows-name lookup): the readers of archives, signatures
// and tables hold one for as long as they read, so the file they checked is
// the file they read, whatever is renamed over its name meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::platform {

class TReadOnlyFile {
public:
    TReadOnlyFile() = default;
    // Opens the file; IsOpen() tells whether that worked and Error() why not.
    explicit TReadOnlyFile(const std::string& path);
    ~TReadOnlyFile();
    TReadOnlyFile(TReadOnlyFile&& other) noexcept;
    TReadOnlyFile& operator=(TReadOnlyFile&& other) noexcept;
    TReadOnlyFile(const TReadOnlyFile&) = delete;
    TReadOnlyFile& operator=(const TReadOnlyFile&) = delete;

    bool IsOpen() const { return handle_ != kNoHandle; }
    // The system's text for the last failure to open or to size the file.
    const std::string& Error() const { return error_; }

    // The size of whatever was opened, -1 when it cannot be had.
    int64_t Size() const;
    // The size when the file is a plain file, -1 for anything else (a
    // folder, a device, a pipe).
    int64_t RegularSize() const;

    // Up to n bytes from the current position onwards, as many as there are
    // before the end (fewer only at the end); -1 on an error.
    int64_t Read(void* buf, size_t n);
    // The same from a given offset, leaving the current position alone.
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) const;
    // Tells the system the file will be read once from start to end, so it
    // reads ahead generously; a hint only.
    void AdviseSequential() const;

    // For the other platform facilities (the mapped file): the system's
    // handle, opaque to everyone else.
    intptr_t NativeHandle() const { return handle_; }

private:
    static constexpr intptr_t kNoHandle = -1;
    intptr_t handle_ = kNoHandle;
    mutable std::string error_;
};

} // namespace vx::platform
