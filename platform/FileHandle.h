// A file's time and attributes set through its open handle: no path
// lookups, and done before the handle is closed, as Windows programs do.
// The attribute rules are those of FileSetAttr: read-only is the absence
// of write permission; hidden, system, archive and the other kept bits go
// to the extended attribute user.DOSATTRIB where the file system allows it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Streams.h"

// A stream over a file descriptor it owns (closed with the stream).
class THandleStream : public TStream {
public:
    THandleStream(int fd, std::string linuxPath) : fd_(fd), path_(std::move(linuxPath)) {}
    ~THandleStream() override;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    bool Flush();
    int Handle() const { return fd_; }
    const std::string& LinuxPath() const { return path_; }

private:
    int fd_;
    std::string path_;
};

// MS-DOS date (high 16 bits) and time (low 16 bits), local time.
bool FileSetDateHandle(int fd, int32_t dosDateTime);
// unixMode: permission bits of an entry made on Unix, applied in place of
// the ones the attributes give; 0 keeps those.
bool FileSetAttrHandle(int fd, uint32_t attr, uint32_t unixMode = 0);
