#include <QApplication>
#include <QFontMetrics>
#include <QPalette>

#include "platform/posix/QtGraphics.h"

namespace vx::platform {

namespace {

QRect qrect(const TRect& r) {
    return QRect(r.Left, r.Top, r.Width(), r.Height());
}

} // namespace

QColor ColorToQColor(TColor c) {
    if (c & 0x80000000u) {
        const QPalette pal = QApplication::palette();
        switch (c & 0xFF) {
        case 5: // window background
            return pal.color(QPalette::Base);
        case 8: // window text
            return pal.color(QPalette::WindowText);
        case 15: // button face
            return pal.color(QPalette::Button);
        case 18: // button text
            return pal.color(QPalette::ButtonText);
        default:
            return pal.color(QPalette::Window);
        }
    }
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                  static_cast<int>((c >> 16) & 0xFF));
}

uint32_t ColorToRgb(TColor c) {
    return ColorToQColor(c).rgb() & 0xFFFFFFu;
}

QFont QFontOf(const TFont& font) {
    QFont f(QString::fromUtf8(font.Name));
    f.setPixelSize(font.PixelHeight);
    if (font.Bold)
        f.setBold(true);
    return f;
}

TBitmap::TBitmap(int width, int height) : impl_(std::make_shared<TImpl>()) {
    impl_->image = QImage(width, height, QImage::Format_RGB32);
    impl_->image.fill(Qt::black);
}

int TBitmap::Width() const {
    return impl_->image.width();
}

int TBitmap::Height() const {
    return impl_->image.height();
}

uint32_t TBitmap::Pixel(int x, int y) const {
    return impl_->image.pixel(x, y) & 0xFFFFFFu;
}

std::unique_ptr<TCanvas> TBitmap::Canvas() {
    return std::make_unique<TQtCanvas>(&impl_->image, QApplication::font());
}

TQtCanvas::TQtCanvas(QPaintDevice* device, QFont font)
    : device_(device), painter_(device), font_(std::move(font)) {
    // Without anti-aliasing an exclusive-or yields exactly two colours:
    // the inverses of the two beneath.
    font_.setStyleStrategy(QFont::NoAntialias);
}

void TQtCanvas::FillRect(const TRect& r, TColor c) {
    painter_.fillRect(qrect(r), ColorToQColor(c));
}

void TQtCanvas::SetClip(const TRect& r) {
    clip_ = qrect(r);
    painter_.setClipRect(*clip_);
}

void TQtCanvas::ClearClip() {
    clip_.reset();
    painter_.setClipping(false);
}

void TQtCanvas::Ellipse(const TRect& box, TColor pen, TColor brush) {
    painter_.setPen(ColorToQColor(pen));
    painter_.setBrush(ColorToQColor(brush));
    painter_.drawEllipse(qrect(box));
}

void TQtCanvas::Pie(const TRect& box, int startAngle16, int spanAngle16, TColor pen, TColor brush) {
    painter_.setPen(ColorToQColor(pen));
    painter_.setBrush(ColorToQColor(brush));
    painter_.drawPie(qrect(box), startAngle16, spanAngle16);
}

void TQtCanvas::Line(double x1, double y1, double x2, double y2, TColor pen) {
    painter_.setPen(ColorToQColor(pen));
    painter_.drawLine(QPointF(x1, y1), QPointF(x2, y2));
}

TCanvas::TTextSize TQtCanvas::MeasureText(const std::string& utf8) {
    const QFontMetrics fm(font_);
    return {fm.horizontalAdvance(QString::fromUtf8(utf8)), fm.height(), fm.ascent()};
}

void TQtCanvas::InvertText(int x, int y, const std::string& utf8) {
    // The glyphs in white on black, then combined by exclusive-or: black
    // leaves the picture as it is, white inverts it.
    QImage text(device_->width(), device_->height(), QImage::Format_RGB32);
    text.fill(Qt::black);
    {
        QPainter p(&text);
        p.setFont(font_);
        p.setPen(Qt::white);
        if (clip_)
            p.setClipRect(*clip_);
        p.drawText(x, y + QFontMetrics(font_).ascent(), QString::fromUtf8(utf8));
    }
    painter_.save();
    painter_.setClipping(false);
    painter_.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter_.drawImage(0, 0, text);
    painter_.restore();
}

void TQtCanvas::Draw(int x, int y, const TBitmap& picture) {
    painter_.drawImage(x, y, picture.Impl().image);
}

} // namespace vx::platform
