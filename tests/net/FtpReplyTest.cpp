// Replies gathered from lines: where a reply ends, its number, and the
// bounds that stop a reply that never ends.
#include <gtest/gtest.h>

#include "net/FtpClient.h"
#include "net/FtpReply.h"

using namespace vx::net;

using Lines = std::vector<std::string>;

namespace {

// Feeds lines until the reply is whole; returns it and how many lines were
// taken (the rest belong to the next reply).
TFtpReply gather(const Lines& lines, size_t& used) {
    TFtpReplyAssembler a;
    for (used = 0; used < lines.size();)
        if (a.Add(lines[used++]))
            return a.Take();
    ADD_FAILURE() << "the reply did not end";
    return a.Take();
}

} // namespace

TEST(FtpReply, EndsAtTheLineWithTheSameCodeAndASpace) {
    struct Row {
        const char* what;
        Lines lines;
        size_t used;
        int32_t number;
    } rows[] = {
        {"one line", {"200 ok\r\n", "next\r\n"}, 1, 200},
        {"the client's usual greeting",
         {"220-Welcome\r\n", "220-second line\r\n", " still going\r\n", "220 ready\r\n", "331 x\r\n"},
         4,
         220},
        // RFC 959's own example: text lines, one beginning with digits of
        // another code, end only at the first code with a space.
        {"RFC 959 example",
         {"123-First line\r\n", "Second line\r\n", "  234 A line beginning with numbers\r\n",
          "234 another code, still text\r\n", "123 The last line\r\n", "230 next reply\r\n"},
         5,
         123},
        {"a last line without text", {"211-Status\r\n", "211\r\n", "200 next\r\n"}, 2, 211},
        {"a dash that is no code's", {"ab-cd\r\n", "200 next\r\n"}, 1, 0},
        {"LF line ends", {"150-a\n", "150 b\n"}, 2, 150},
        {"a longer number", {"2200-x\r\n"}, 1, 2200},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        size_t used = 0;
        TFtpReply reply = gather(r.lines, used);
        EXPECT_EQ(used, r.used);
        EXPECT_EQ(reply.Number, r.number);
        EXPECT_EQ(reply.Lines, Lines(r.lines.begin(), r.lines.begin() + static_cast<long>(r.used)));
        EXPECT_EQ(reply.First(), r.lines.front());
    }
}

TEST(FtpReply, NumberIsTheLeadingDigits) {
    EXPECT_EQ(LeadingNumber("250 ok\r\n"), 250);
    EXPECT_EQ(LeadingNumber("no digits\r\n"), 0);
    EXPECT_EQ(LeadingNumber("32768 over\r\n"), 32768);
    // Ten digits beyond 32 bits read as 0; only the first ten count.
    EXPECT_EQ(LeadingNumber("9999999999 x\r\n"), 0);
    EXPECT_EQ(LeadingNumber("12345678901\r\n"), 1234567890);
    EXPECT_TRUE((TFtpReply{150, {"150 x\r\n"}, false}).Preliminary());
    EXPECT_FALSE((TFtpReply{226, {"226 x\r\n"}, false}).Preliminary());
}

TEST(FtpReply, MoreThanAThousandLinesOr64KiBFail) {
    {
        TFtpReplyAssembler a;
        EXPECT_FALSE(a.Add("220-flood\r\n"));
        for (size_t i = 1; i < TFtpReplyAssembler::kMaxLines; ++i)
            ASSERT_FALSE(a.Add("220-more\r\n"));
        EXPECT_THROW(a.Add("220 the end, too late\r\n"), FTPException);
    }
    {
        TFtpReplyAssembler a;
        const std::string line(1000, 'x');
        EXPECT_FALSE(a.Add("220-" + line + "\r\n"));
        size_t bytes = line.size() + 6;
        while (bytes + line.size() + 2 <= TFtpReplyAssembler::kMaxBytes) {
            ASSERT_FALSE(a.Add(line + "\r\n"));
            bytes += line.size() + 2;
        }
        try {
            a.Add(line + "\r\n");
            FAIL() << "no failure past 64 KiB";
        } catch (const FTPException& e) {
            EXPECT_STREQ(e.what(), "Reply too long: more than 1000 lines or 65536 bytes");
        }
    }
    // Within the bounds a long reply is whole.
    TFtpReplyAssembler a;
    EXPECT_FALSE(a.Add("220-x\r\n"));
    for (int i = 0; i < 997; ++i)
        ASSERT_FALSE(a.Add("x\r\n"));
    EXPECT_TRUE(a.Add("220 end\r\n"));
    EXPECT_EQ(a.Take().Lines.size(), 999u);
}
