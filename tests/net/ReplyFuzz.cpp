// libFuzzer target for the reply parsing of the FTP client: the size in a
// RETR reply and the port fields of a PASV reply, taken as the download
// takes them (the number in front of ")" in the sixth field, the fifth
// field as the high byte; a field that is not a number is a conversion
// error, never a crash), and the same bytes split into lines and gathered
// into replies, which stay within their bounds or fail cleanly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/FtpClient.h"
#include "net/FtpReply.h"

using namespace vx::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    if (TFtpClient::ParseSize(line) < 0)
        __builtin_trap();
    for (int i = 0; i <= 7; ++i) {
        const std::string f = TFtpClient::NthField(line, ',', i);
        if (f.size() > line.size() || f.find(',') != std::string::npos)
            __builtin_trap();
    }
    try {
        (void)TFtpClient::PasvPort(line);
    } catch (const EConvertError&) {
    }
    TFtpReplyAssembler replies;
    size_t start = 0;
    try {
        while (start < line.size()) {
            size_t lf = line.find('\n', start);
            const size_t end = lf == std::string::npos ? line.size() : lf + 1;
            if (replies.Add(line.substr(start, end - start))) {
                const TFtpReply r = replies.Take();
                if (r.Lines.empty() || r.Lines.size() > TFtpReplyAssembler::kMaxLines)
                    __builtin_trap();
            }
            start = end;
        }
    } catch (const FTPException&) {
    }
    return 0;
}
