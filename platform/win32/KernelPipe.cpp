// Windows has no pipe a socket's bytes can be spliced into: the pipe stays
// closed and the caller receives into its buffer.
#include "platform/KernelPipe.h"

#include "platform/SysUtils.h"

namespace vx::platform {

void TKernelPipe::Open(int) {}

void TKernelPipe::Close() {}

void TKernelPipe::Drain(THandleStream&, int, char*, int) {
    throw EWriteError();
}

} // namespace vx::platform
