#include "platform/KernelPipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Streams.h"

namespace vx::platform {

void TKernelPipe::Open(int blockSize) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    read_ = fds[0];
    write_ = fds[1];
    // Received bytes may sit in pieces smaller than a page, one piece
    // per slot of the pipe: with slots to spare one splice takes what
    // one receive would have taken. A smaller pipe only makes smaller
    // blocks.
    ::fcntl(write_, F_SETPIPE_SZ, 4 * blockSize);
}

void TKernelPipe::Close() {
    if (read_ >= 0)
        ::close(read_);
    if (write_ >= 0)
        ::close(write_);
    read_ = write_ = -1;
}

void TKernelPipe::Drain(THandleStream& file, int count, char* buffer, int size) {
    while (count > 0) {
        const ssize_t n =
            ::splice(read_, nullptr, file.Handle(), nullptr, static_cast<size_t>(count), SPLICE_F_MOVE);
        if (n > 0) {
            count -= static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            while (count > 0) {
                const ssize_t got = ::read(read_, buffer, static_cast<size_t>(std::min(count, size)));
                if (got <= 0)
                    throw EWriteError();
                file.WriteBuffer(buffer, got);
                count -= static_cast<int>(got);
            }
            Close();
            return;
        }
        throw EWriteError();
    }
}

} // namespace vx::platform
