// libFuzzer target for the reply parsing of the FTP client: the size in a
// RETR reply, the fields of a PASV reply, and the multi-line reply rules.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/FtpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const int32_t n = TFtpClient::ParseSize(line);
    if (n < 0)
        __builtin_trap();
    for (int i = 0; i <= 7; ++i) {
        const std::string f = TFtpClient::NthField(line, ',', i);
        if (f.size() > line.size() || f.find(',') != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
