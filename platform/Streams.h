// Streams of the run-time library: the base, a file stream with the
// platform's open and share modes, and a memory stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SysUtils.h"

namespace vx::platform {

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Open modes (low nibble) and share modes (high nibble), as the platform has
// them. Sharing is not enforced on Linux beyond what POSIX gives.
constexpr uint16_t fmCreate = 0xFFFF;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareCompat = 0x0000;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;

class TStream : public TObject {
public:
    // Read and Write return the count done (may be short).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size();
    virtual void SetSize(int64_t size) = 0;
    // Reads at an absolute position. Streams over a file read there without
    // moving the stream's position (so threads may read side by side); the
    // others seek first, and are left after what was read.
    virtual int64_t ReadAt(int64_t position, void* buffer, int64_t count);
    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t p) { Seek(p, soBeginning); }
    // Raise EReadError / EWriteError on a short count.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies count bytes (all from the start when 0) from source.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over a file descriptor it owns (closed with the stream). On
// Windows the descriptor is the C library's over a file handle.
class THandleStream : public TStream {
public:
    THandleStream(int fd, std::string linuxPath) : fd_(fd), path_(std::move(linuxPath)) {}
    ~THandleStream() override;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t ReadAt(int64_t position, void* buffer, int64_t count) override;
    int64_t Size() override;
    void SetSize(int64_t size) override;
    // Writes the file's buffers through to the disk (fsync,
    // FlushFileBuffers).
    bool Flush();
    int Handle() const { return fd_; }
    // Gives up the descriptor: the caller closes it; the stream no longer does.
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    const std::string& LinuxPath() const { return path_; }

protected:
    int fd_;
    std::string path_;
    // Windows: where the next Read or Write goes. Every transfer there names
    // its offset, as a read at a position moves the handle's own pointer.
    int64_t pos_ = 0;
};

class TFileStream : public THandleStream {
public:
    // fmCreate creates or truncates (EFCreateError "Cannot create file %s");
    // other modes open an existing file (EFOpenError "Cannot open file %s").
    // The name is a Windows path, resolved without regard to case.
    TFileStream(const std::string& winPath, uint16_t mode);
    const std::string& FileName() const { return name_; }

private:
    // The path is resolved once, for the opening and for the handle's name.
    TFileStream(const std::string& winPath, const std::string& linuxPath, uint16_t mode);
    std::string name_;
};

// A new file for the updater's writing, open for reading and writing.
// Whatever has the name already is removed first, a file or a link planted
// there, and the file is then made exclusively without following links: its
// bytes never go through a link to a file elsewhere, whatever was put in the
// folder, even between the removal and the creation. EFCreateError "Cannot
// create file %s" when it cannot be made so.
std::unique_ptr<THandleStream> CreateFreshFile(const std::string& winPath);

class TMemoryStream : public TStream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t ReadAt(int64_t position, void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    void Clear() {
        data_.clear();
        pos_ = 0;
    }
    void LoadFromStream(TStream& s);
    void SaveToStream(TStream& s);
    const uint8_t* Memory() const { return data_.data(); }
    uint8_t* Memory() { return data_.data(); }

private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

} // namespace vx::platform
