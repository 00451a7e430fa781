// The Win32 half of the canvas and the window controls, shared by their
// implementations: pictures are 32-bit DIB sections, drawing is GDI.
#pragma once

#include <windows.h>

#include <optional>

#include "platform/Canvas.h"
#include "platform/Window.h"

namespace vx::platform {

struct TBitmap::TImpl {
    HBITMAP bitmap = nullptr;
    uint32_t* bits = nullptr; // top-down rows, 0x00RRGGBB
    int width = 0, height = 0;
    ~TImpl();
};

struct TWindowControl::TImpl {
    HWND hwnd = nullptr;
    TColor color = clBtnFace;
    TColor fontColor = clWindowText;
    HFONT font = nullptr; // owned; null: the parent's
    virtual ~TImpl();
};

COLORREF ColorToColorRef(TColor c);
HFONT MakeFont(const TFont& font);
// The font a control draws with: its own or the nearest parent's.
HFONT FontOf(HWND hwnd);

// A canvas on a device context with a font; text without smoothing.
class TGdiCanvas : public TCanvas {
public:
    TGdiCanvas(HDC dc, HFONT font, int width, int height);
    ~TGdiCanvas() override;
    void FillRect(const TRect& r, TColor c) override;
    void SetClip(const TRect& r) override;
    void ClearClip() override;
    void Ellipse(const TRect& box, TColor pen, TColor brush) override;
    void Pie(const TRect& box, int startAngle16, int spanAngle16, TColor pen, TColor brush) override;
    void Line(double x1, double y1, double x2, double y2, TColor pen) override;
    TTextSize MeasureText(const std::string& utf8) override;
    void InvertText(int x, int y, const std::string& utf8) override;
    void Draw(int x, int y, const TBitmap& picture) override;

private:
    HDC dc_;
    HFONT font_;
    int width_, height_;
    std::optional<TRect> clip_;
    int saved_;
};

} // namespace vx::platform
