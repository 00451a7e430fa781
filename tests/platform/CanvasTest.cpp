// The canvas on an off-screen picture: rectangles that end before their
// right and bottom edges, the clip, colours in the platform's byte order,
// and inverted text that a second drawing takes back.
#include "platform/Canvas.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vx::platform;

TEST(Canvas, RectanglesClipColoursAndInvertedText) {
    EXPECT_EQ(ColorToRgb(clRed), 0xFF0000u);
    EXPECT_EQ(ColorToRgb(clBlue), 0x0000FFu);
    EXPECT_EQ(ColorToRgb(0x00336699), 0x996633u);

    TBitmap pic(40, 20);
    EXPECT_EQ(pic.Pixel(0, 0), 0u) << "a new picture is black";
    auto c = pic.Canvas();
    c->FillRect({2, 3, 5, 7}, clRed);
    struct Row {
        int x, y;
        uint32_t rgb;
    };
    for (const Row r : {Row{2, 3, 0xFF0000}, Row{4, 6, 0xFF0000}, Row{5, 6, 0}, Row{4, 7, 0}, Row{1, 3, 0}}) {
        SCOPED_TRACE(testing::Message() << r.x << "," << r.y);
        EXPECT_EQ(pic.Pixel(r.x, r.y), r.rgb);
    }

    c->FillRect({0, 0, 40, 20}, clWhite);
    c->SetClip({10, 0, 20, 20});
    c->FillRect({0, 0, 40, 20}, clBlue);
    c->ClearClip();
    EXPECT_EQ(pic.Pixel(9, 5), 0xFFFFFFu);
    EXPECT_EQ(pic.Pixel(10, 5), 0x0000FFu);
    EXPECT_EQ(pic.Pixel(19, 5), 0x0000FFu);
    EXPECT_EQ(pic.Pixel(20, 5), 0xFFFFFFu);

    const TCanvas::TTextSize one = c->MeasureText("8");
    const TCanvas::TTextSize three = c->MeasureText("888");
    EXPECT_GT(one.Width, 0);
    EXPECT_GT(three.Width, one.Width);
    EXPECT_GE(one.Height, one.Ascent);
    EXPECT_GT(one.Ascent, 0);

    // Inverted within the clip only, each pixel to its exact inverse, and
    // the same text inverted again gives the picture back.
    auto snapshot = [&] {
        std::vector<uint32_t> px;
        for (int y = 0; y < pic.Height(); ++y)
            for (int x = 0; x < pic.Width(); ++x)
                px.push_back(pic.Pixel(x, y));
        return px;
    };
    const std::vector<uint32_t> before = snapshot();
    c->SetClip({0, 0, 15, 20});
    c->InvertText(2, 0, "888");
    const std::vector<uint32_t> inverted = snapshot();
    int changed = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        if (inverted[i] == before[i])
            continue;
        ++changed;
        EXPECT_EQ(inverted[i], before[i] ^ 0xFFFFFFu);
        EXPECT_LT(static_cast<int>(i % pic.Width()), 15) << "outside the clip";
    }
    EXPECT_GT(changed, 0);
    c->InvertText(2, 0, "888");
    EXPECT_EQ(snapshot(), before);
}
