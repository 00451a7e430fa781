#include "net/FtpReply.h"

#include "net/FtpClient.h"
#include "net/FtpConst.h"

namespace vx::net {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool beginsWithCode(const std::string& line) {
    return line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]);
}

} // namespace

const std::string& TFtpReply::First() const {
    static const std::string none;
    return Lines.empty() ? none : Lines.front();
}

int32_t LeadingNumber(const std::string& line) {
    int64_t v = 0;
    for (size_t i = 0; i < line.size() && i < 10 && isDigit(line[i]); ++i)
        v = v * 10 + (line[i] - '0');
    return v > INT32_MAX ? 0 : static_cast<int32_t>(v);
}

bool TFtpReplyAssembler::Add(const std::string& line) {
    if (reply_.Lines.size() >= kMaxLines || line.size() > kMaxBytes - bytes_)
        throw FTPException(
            Format(ftpconst::SReplyTooLong, static_cast<int>(kMaxLines), static_cast<int>(kMaxBytes)));
    bytes_ += line.size();
    reply_.Lines.push_back(line);
    if (reply_.Lines.size() == 1) {
        reply_.Number = LeadingNumber(line);
        if (beginsWithCode(line) && line.size() >= 4 && line[3] == '-') {
            code_ = line.substr(0, 3);
            return false;
        }
        return true;
    }
    // The last line: the same code, then a space (or, from servers that
    // leave out an empty text, the line's end).
    if (line.compare(0, 3, code_) != 0 || line.size() < 4)
        return false;
    return line[3] == ' ' || line[3] == '\r' || line[3] == '\n';
}

TFtpReply TFtpReplyAssembler::Take() {
    TFtpReply r = std::move(reply_);
    reply_ = TFtpReply();
    bytes_ = 0;
    code_.clear();
    return r;
}

} // namespace vx::net
