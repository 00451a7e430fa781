// The code pages both halves convert alike, and the round trip each case
// must survive: the Linux and the Windows file-access tests share them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/CodePage.h"

namespace vx::test {

struct TCodePageCase {
    unsigned codePage;
    std::string bytes, utf8;
};

inline const std::vector<TCodePageCase> kCommonCodePageCases = {
    {437, "a\x81\x9b", "aü¢"},
    {850, "\x87\xc6o", "ção"},
    {1250, "\x8a\x9a\xe8", "Ššč"},
    {1252, "Pre\xe7o \x80", "Preço €"},
};

// Each case's bytes read as its text, and the text written back as the
// same bytes.
inline void ExpectRoundTrips(const std::vector<TCodePageCase>& cases) {
    for (const TCodePageCase& c : cases) {
        SCOPED_TRACE(c.codePage);
        const platform::TCodePage page(c.codePage);
        ASSERT_TRUE(page.CanRead());
        EXPECT_EQ(page.ToUtf8(c.bytes), c.utf8);
        std::string back;
        EXPECT_EQ(page.FromUtf8(c.utf8, back), platform::TCodePage::TWrite::Done);
        EXPECT_EQ(back, c.bytes);
    }
}

} // namespace vx::test
