// Drawing without the system's types: colours as the platform stores them,
// rectangles, fonts, a canvas that draws on a window or an off-screen
// picture, and the picture itself. The drawing a control does is written
// once against these and shows the same on every system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vx::platform {

// Colours as the platform stores them: 0x00BBGGRR, or a system colour
// (high bit set, low byte the system colour index).
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clWindowText = 0x80000008;

// The colour as 0x00RRGGBB; system colours are those of the desktop in use.
uint32_t ColorToRgb(TColor c);

// Left and top inclusive, right and bottom exclusive, as the platform's
// rectangles are.
struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
};

struct TFont {
    std::string Name; // family, UTF-8
    int PixelHeight = 0;
    bool Bold = false;
};

class TBitmap;

// Draws with one pen width, no smoothing of edges and no smoothing of text,
// so that every pixel is of a colour drawn (or its inverse).
class TCanvas {
public:
    virtual ~TCanvas() = default;

    virtual void FillRect(const TRect& r, TColor c) = 0;
    // Drawing after it is limited to r, until ClearClip.
    virtual void SetClip(const TRect& r) = 0;
    virtual void ClearClip() = 0;
    // An ellipse inside box outlined with pen and filled with brush.
    virtual void Ellipse(const TRect& box, TColor pen, TColor brush) = 0;
    // A slice of that ellipse; angles in sixteenths of a degree,
    // counter-clockwise from three o'clock (a negative span turns clockwise).
    virtual void Pie(const TRect& box, int startAngle16, int spanAngle16, TColor pen, TColor brush) = 0;
    virtual void Line(double x1, double y1, double x2, double y2, TColor pen) = 0;

    // Text is drawn in the canvas's font: that of the control painted, or
    // the desktop's for a picture of its own.
    struct TTextSize {
        int Width = 0;  // advance of the whole text
        int Height = 0; // of a line
        int Ascent = 0; // from the line's top to the baseline
    };
    virtual TTextSize MeasureText(const std::string& utf8) = 0;
    // Inverts every pixel the text's glyphs cover (exclusive-or with white),
    // within the clip; the line's top left corner at x, y.
    virtual void InvertText(int x, int y, const std::string& utf8) = 0;

    virtual void Draw(int x, int y, const TBitmap& picture) = 0;
};

// An off-screen picture in 24-bit colour. Copies share the pixels.
class TBitmap {
public:
    TBitmap(int width, int height);
    int Width() const;
    int Height() const;
    // 0x00RRGGBB.
    uint32_t Pixel(int x, int y) const;
    // A canvas on the picture, with the desktop's font.
    std::unique_ptr<TCanvas> Canvas();

    struct TImpl;
    const TImpl& Impl() const { return *impl_; }
    TImpl& Impl() { return *impl_; }

private:
    std::shared_ptr<TImpl> impl_;
};

} // namespace vx::platform
