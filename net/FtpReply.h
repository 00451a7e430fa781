// Replies of an FTP server as whole units: the lines of one reply gathered
// into {number, lines}, apart from the socket that brings the lines and the
// commands that read them. A reply that spans several lines begins with its
// three digits and "-", and ends only at the line that begins with the same
// three digits and a space; the lines between are text, whatever they begin
// with. Bounds keep a server from holding the client with a reply that never
// ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::net {

struct TFtpReply {
    // The leading digits of the first line (at most ten), 0 when there are
    // none or they do not fit 32 bits.
    int32_t Number = 0;
    // The reply's lines with their line ends; none when the server closed
    // the connection before a reply began.
    std::vector<std::string> Lines;
    // The connection closed before the reply was whole.
    bool Cut = false;

    bool Empty() const { return Lines.empty(); }
    // The first line, or the empty text.
    const std::string& First() const;
    // A preliminary reply (1xx): the command's outcome is still to come.
    bool Preliminary() const { return Number >= 100 && Number < 200; }
};

// Gathers lines into a reply. Raises FTPException past the bounds.
class TFtpReplyAssembler {
public:
    static constexpr size_t kMaxLines = 1000;
    static constexpr size_t kMaxBytes = 64 * 1024;

    // Adds one line (with its line end); true once the reply is whole.
    bool Add(const std::string& line);
    // The reply gathered so far, and a fresh start.
    TFtpReply Take();
    bool Started() const { return !reply_.Lines.empty(); }

private:
    TFtpReply reply_;
    size_t bytes_ = 0;
    std::string code_; // the three digits a multi-line reply ends with
};

// The value of a line's leading decimal digits, at most ten of them; 0 when
// there are none or they do not fit 32 bits.
int32_t LeadingNumber(const std::string& line);

} // namespace vx::net
