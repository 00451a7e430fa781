// The updater's own temporary names are recognised exactly: a run removes
// leftovers by this test, so a shop's file that only looks alike must not
// pass.
#include <gtest/gtest.h>

#include "zip/ZATempName.h"

using namespace vx::zip;

namespace {

TEST(ZATempName, OwnNamesAndLookalikes) {
    EXPECT_EQ(za::ExtractionTemporaryName(4242, 7), "~vx4242_7.tmp");
    EXPECT_TRUE(za::IsExtractionTemporaryName(za::ExtractionTemporaryName(1, 1)));
    EXPECT_TRUE(za::IsExtractionTemporaryName("~vx0_0.tmp"));
    EXPECT_TRUE(za::IsExtractionTemporaryName("~vx123456789_987654321.tmp"));
    for (const char* other :
         {"", "~vx.tmp", "~vx_1.tmp", "~vx1_.tmp", "~vx1_2.tm", "~vx1_2.tmp.bak", "x~vx1_2.tmp", "~VX1_2.tmp",
          "~vx1_2.TMP", "~vx1-2.tmp", "~vx1_2_3.tmp", "~vxa_2.tmp", "~vx1 _2.tmp", "~vx+1_2.tmp",
          "sub/~vx1_2.tmp", "~vx1_2.tmp/", "~vx\xD9\xA1_2.tmp", "Vendarix.tmp"})
        EXPECT_FALSE(za::IsExtractionTemporaryName(other)) << other;
}

} // namespace
