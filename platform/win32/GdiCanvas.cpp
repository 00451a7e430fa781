#include <cmath>

#include "platform/win32/GdiGraphics.h"
#include "platform/win32/Utf16.h"

namespace vx::platform {

namespace {

// One GDI object selected into a context for a scope.
class TSelected {
public:
    TSelected(HDC dc, HGDIOBJ obj) : dc_(dc), obj_(obj), old_(::SelectObject(dc, obj)) {}
    ~TSelected() {
        ::SelectObject(dc_, old_);
        ::DeleteObject(obj_);
    }

private:
    HDC dc_;
    HGDIOBJ obj_;
    HGDIOBJ old_;
};

// A 32-bit top-down DIB section and its pixels.
HBITMAP makeDib(int width, int height, uint32_t** bits) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* p = nullptr;
    HBITMAP bmp = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    *bits = static_cast<uint32_t*>(p);
    return bmp;
}

POINT onEllipse(const TRect& box, int angle16) {
    const double a = angle16 / 16.0 * 3.14159265358979323846 / 180.0;
    const double cx = (box.Left + box.Right) / 2.0, cy = (box.Top + box.Bottom) / 2.0;
    return {static_cast<LONG>(std::lround(cx + std::cos(a) * box.Width())),
            static_cast<LONG>(std::lround(cy - std::sin(a) * box.Height()))};
}

} // namespace

COLORREF ColorToColorRef(TColor c) {
    // The platform's colours are COLORREFs already, system colours aside.
    return (c & 0x80000000u) ? ::GetSysColor(static_cast<int>(c & 0xFF))
                             : static_cast<COLORREF>(c & 0xFFFFFF);
}

uint32_t ColorToRgb(TColor c) {
    const COLORREF r = ColorToColorRef(c);
    return (static_cast<uint32_t>(GetRValue(r)) << 16) | (static_cast<uint32_t>(GetGValue(r)) << 8) |
           GetBValue(r);
}

HFONT MakeFont(const TFont& font) {
    LOGFONTW lf{};
    lf.lfHeight = -font.PixelHeight; // character height, not cell height
    lf.lfWeight = font.Bold ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = NONANTIALIASED_QUALITY;
    const std::wstring name = WidenUtf8(font.Name);
    lstrcpynW(lf.lfFaceName, name.c_str(), LF_FACESIZE);
    return ::CreateFontIndirectW(&lf);
}

TBitmap::TImpl::~TImpl() {
    if (bitmap)
        ::DeleteObject(bitmap);
}

TBitmap::TBitmap(int width, int height) : impl_(std::make_shared<TImpl>()) {
    impl_->width = width;
    impl_->height = height;
    impl_->bitmap = makeDib(width, height, &impl_->bits);
    // A DIB section starts all black.
}

int TBitmap::Width() const {
    return impl_->width;
}

int TBitmap::Height() const {
    return impl_->height;
}

uint32_t TBitmap::Pixel(int x, int y) const {
    return impl_->bits[static_cast<size_t>(y) * impl_->width + x] & 0xFFFFFFu;
}

// A memory context over the picture, released with the canvas.
class TBitmapCanvas : public TGdiCanvas {
public:
    TBitmapCanvas(HDC dc, HBITMAP bmp, HFONT font, int w, int h)
        : TGdiCanvas(dc, font, w, h), dc_(dc), old_(::SelectObject(dc, bmp)) {}
    ~TBitmapCanvas() override {
        ::SelectObject(dc_, old_);
        ::DeleteDC(dc_);
    }

private:
    HDC dc_;
    HGDIOBJ old_;
};

std::unique_ptr<TCanvas> TBitmap::Canvas() {
    return std::make_unique<TBitmapCanvas>(::CreateCompatibleDC(nullptr), impl_->bitmap,
                                           static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT)),
                                           impl_->width, impl_->height);
}

TGdiCanvas::TGdiCanvas(HDC dc, HFONT font, int width, int height)
    : dc_(dc), font_(font), width_(width), height_(height), saved_(::SaveDC(dc)) {}

TGdiCanvas::~TGdiCanvas() {
    ::RestoreDC(dc_, saved_);
}

void TGdiCanvas::FillRect(const TRect& r, TColor c) {
    const HBRUSH b = ::CreateSolidBrush(ColorToColorRef(c));
    const RECT rc{r.Left, r.Top, r.Right, r.Bottom};
    ::FillRect(dc_, &rc, b);
    ::DeleteObject(b);
}

void TGdiCanvas::SetClip(const TRect& r) {
    clip_ = r;
    const HRGN rgn = ::CreateRectRgn(r.Left, r.Top, r.Right, r.Bottom);
    ::SelectClipRgn(dc_, rgn);
    ::DeleteObject(rgn);
}

void TGdiCanvas::ClearClip() {
    clip_.reset();
    ::SelectClipRgn(dc_, nullptr);
}

void TGdiCanvas::Ellipse(const TRect& box, TColor pen, TColor brush) {
    TSelected p(dc_, ::CreatePen(PS_SOLID, 1, ColorToColorRef(pen)));
    TSelected b(dc_, ::CreateSolidBrush(ColorToColorRef(brush)));
    // The outline covers the box's last row and column too.
    ::Ellipse(dc_, box.Left, box.Top, box.Right + 1, box.Bottom + 1);
}

void TGdiCanvas::Pie(const TRect& box, int startAngle16, int spanAngle16, TColor pen, TColor brush) {
    TSelected p(dc_, ::CreatePen(PS_SOLID, 1, ColorToColorRef(pen)));
    TSelected b(dc_, ::CreateSolidBrush(ColorToColorRef(brush)));
    // GDI draws pies counter-clockwise from the first radial to the second.
    const int from = spanAngle16 >= 0 ? startAngle16 : startAngle16 + spanAngle16;
    const int to = spanAngle16 >= 0 ? startAngle16 + spanAngle16 : startAngle16;
    const POINT a = onEllipse(box, from), z = onEllipse(box, to);
    ::SetArcDirection(dc_, AD_COUNTERCLOCKWISE);
    ::Pie(dc_, box.Left, box.Top, box.Right + 1, box.Bottom + 1, a.x, a.y, z.x, z.y);
}

void TGdiCanvas::Line(double x1, double y1, double x2, double y2, TColor pen) {
    TSelected p(dc_, ::CreatePen(PS_SOLID, 1, ColorToColorRef(pen)));
    ::MoveToEx(dc_, static_cast<int>(std::lround(x1)), static_cast<int>(std::lround(y1)), nullptr);
    ::LineTo(dc_, static_cast<int>(std::lround(x2)), static_cast<int>(std::lround(y2)));
    ::SetPixel(dc_, static_cast<int>(std::lround(x2)), static_cast<int>(std::lround(y2)),
               ColorToColorRef(pen));
}

TCanvas::TTextSize TGdiCanvas::MeasureText(const std::string& utf8) {
    const std::wstring w = WidenUtf8(utf8);
    const HGDIOBJ old = ::SelectObject(dc_, font_);
    SIZE sz{};
    ::GetTextExtentPoint32W(dc_, w.c_str(), static_cast<int>(w.size()), &sz);
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc_, &tm);
    ::SelectObject(dc_, old);
    return {sz.cx, tm.tmHeight, tm.tmAscent};
}

void TGdiCanvas::InvertText(int x, int y, const std::string& utf8) {
    // The glyphs in white on black in a picture of their own, then combined
    // by exclusive-or: black leaves the canvas as it is, white inverts it.
    TBitmap glyphs(width_, height_);
    const HDC mem = ::CreateCompatibleDC(dc_);
    const HGDIOBJ oldBmp = ::SelectObject(mem, glyphs.Impl().bitmap);
    const HGDIOBJ oldFont = ::SelectObject(mem, font_);
    ::SetBkMode(mem, TRANSPARENT);
    ::SetTextColor(mem, RGB(255, 255, 255));
    if (clip_) {
        const HRGN rgn = ::CreateRectRgn(clip_->Left, clip_->Top, clip_->Right, clip_->Bottom);
        ::SelectClipRgn(mem, rgn);
        ::DeleteObject(rgn);
    }
    const std::wstring w = WidenUtf8(utf8);
    ::TextOutW(mem, x, y, w.c_str(), static_cast<int>(w.size()));
    ::BitBlt(dc_, 0, 0, width_, height_, mem, 0, 0, SRCINVERT);
    ::SelectObject(mem, oldFont);
    ::SelectObject(mem, oldBmp);
    ::DeleteDC(mem);
}

void TGdiCanvas::Draw(int x, int y, const TBitmap& picture) {
    const HDC mem = ::CreateCompatibleDC(dc_);
    const HGDIOBJ old = ::SelectObject(mem, picture.Impl().bitmap);
    ::BitBlt(dc_, x, y, picture.Width(), picture.Height(), mem, 0, 0, SRCCOPY);
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
}

} // namespace vx::platform
