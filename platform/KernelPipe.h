// A pipe that holds one received block between a socket and a file, so
// that the kernel moves the bytes (splice) without their passing through
// the process. Where the system has no such pipe (Windows), Open leaves it
// closed and the caller receives into a buffer instead.
#pragma once

namespace vx::platform {

class THandleStream;

class TKernelPipe {
public:
    TKernelPipe() = default;
    ~TKernelPipe() { Close(); }
    TKernelPipe(const TKernelPipe&) = delete;
    TKernelPipe& operator=(const TKernelPipe&) = delete;

    // blockSize: the largest block one receive takes. Without a pipe (out of
    // descriptors, or none on this system) Write() stays -1.
    void Open(int blockSize);
    void Close();
    // The end the socket's bytes go into (ws::SpliceToPipe), or -1.
    int Write() const { return write_; }
    // Moves count bytes of the pipe into the file; what the pipe holds
    // beyond them (bytes past a bound) ends the transfer and goes with the
    // pipe. A file the kernel cannot write from a pipe gets them through
    // buffer, and the pipe is given up for the rest of the transfer.
    void Drain(THandleStream& file, int count, char* buffer, int size);

private:
    int read_ = -1;
    int write_ = -1;
};

} // namespace vx::platform
