#include "app/ProgressGauge.h"

#include <climits>
#include <cmath>

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

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

TProgressGauge::TProgressGauge(QWidget* parent, TComponent* owner) : QWidget(parent), TComponent(owner) {
    // The picture covers every pixel; nothing needs erasing underneath.
    setAttribute(Qt::WA_OpaquePaintEvent);
    SetColor(color_);
}

void TProgressGauge::SetMinValue(int32_t v) {
    if (v == min_)
        return;
    if (v > max_ && !Loading())
        throw EInvalidOperation(Format("Value must be between %d and %d", -INT32_MAX, max_ - 1));
    min_ = v;
    if (progress_ < v)
        progress_ = v;
    refresh();
}

void TProgressGauge::SetMaxValue(int32_t v) {
    if (v == max_)
        return;
    if (v < min_ && !Loading())
        throw EInvalidOperation(Format("Value must be between %d and %d", min_ + 1, INT32_MAX));
    max_ = v;
    if (progress_ > v)
        progress_ = v;
    refresh();
}

void TProgressGauge::SetProgress(int32_t v) {
    const int32_t before = PercentDone();
    if (v < min_)
        v = min_;
    else if (v > max_)
        v = max_;
    if (v == progress_)
        return;
    progress_ = v;
    if (PercentDone() != before)
        refresh();
}

void TProgressGauge::AddProgress(int32_t delta) {
    const int64_t v = static_cast<int64_t>(progress_) + delta;
    SetProgress(static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v)));
}

int32_t TProgressGauge::PercentDone() const {
    const double span = static_cast<double>(max_) - static_cast<double>(min_);
    if (span == 0)
        return 0;
    const double done = static_cast<double>(progress_) - static_cast<double>(min_);
    return static_cast<int32_t>(std::trunc(done * 100.0 / span));
}

void TProgressGauge::SetKind(TGaugeKind k) {
    if (k != kind_) {
        kind_ = k;
        refresh();
    }
}

void TProgressGauge::SetShowText(bool v) {
    if (v != showText_) {
        showText_ = v;
        refresh();
    }
}

void TProgressGauge::SetBorderStyle(TBorderStyle b) {
    if (b != borderStyle_) {
        borderStyle_ = b;
        refresh();
    }
}

void TProgressGauge::SetForeColor(TColor c) {
    if (c != foreColor_) {
        foreColor_ = c;
        refresh();
    }
}

void TProgressGauge::SetBackColor(TColor c) {
    if (c != backColor_) {
        backColor_ = c;
        refresh();
    }
}

void TProgressGauge::SetColor(TColor c) {
    color_ = c;
    QPalette pal = palette();
    pal.setColor(QPalette::Window, ColorToQColor(c));
    setPalette(pal);
}

void TProgressGauge::refresh() {
    ++repaints_;
    if (isVisible())
        repaint();
}

// The area inside the frame, as left, top and exclusive right and bottom
// coordinates: the bar and text arithmetic below is done in those terms.
QRect TProgressGauge::innerRect() const {
    const int d = borderStyle_ == bsSingle ? 1 : 0;
    return QRect(QPoint(d, d), QPoint(width() - d, height() - d)); // right/bottom exclusive
}

QImage TProgressGauge::Picture() const {
    QImage pic(qMax(width(), 1), qMax(height(), 1), QImage::Format_RGB32);
    // Black everywhere first: what the inner rectangle does not cover is the frame.
    pic.fill(Qt::black);
    const QRect in = innerRect();
    const int l = in.left(), t = in.top(), r = in.right(), b = in.bottom();
    {
        QPainter p(&pic);
        p.fillRect(QRect(l, t, r - l, b - t), ColorToQColor(backColor_));
    }
    switch (kind_) {
    case gkText:
        break;
    case gkHorizontalBar:
    case gkVerticalBar:
        paintBar(pic, in);
        break;
    case gkPie:
    case gkNeedle:
        paintPie(pic, in, kind_ == gkNeedle);
        break;
    }
    if (showText_)
        paintText(pic, in);
    return pic;
}

void TProgressGauge::paintBar(QImage& pic, const QRect& in) const {
    const int l = in.left(), t = in.top(), r = in.right(), b = in.bottom();
    const int w = r - l + 1;
    const int h = b - t + 1;
    QPainter p(&pic);
    const QColor fore = ColorToQColor(foreColor_);
    if (kind_ == gkHorizontalBar) {
        int fill = static_cast<int>(std::trunc(PercentDone() * 0.01 * w));
        if (fill > w)
            fill = w;
        // The bar's right edge is the fill length itself, not left + length:
        // at 100 % that is exactly the inner rectangle's right edge.
        if (fill >= 1)
            p.fillRect(QRect(l, t, fill - l, h - t), fore);
    } else {
        // Upright bar, filled from the bottom.
        const int fill = static_cast<int>(std::trunc(PercentDone() * 0.01 * (b - t)));
        if (fill >= 1)
            p.fillRect(QRect(l, b - fill, r - l, fill), fore);
    }
}

void TProgressGauge::paintPie(QImage& pic, const QRect& in, bool needle) const {
    QPainter p(&pic);
    p.setClipRect(QRect(in.left(), in.top(), in.right() - in.left(), in.bottom() - in.top()));
    const QRect box(in.left(), in.top(), in.right() - in.left() - 1, in.bottom() - in.top() - 1);
    const QColor fore = ColorToQColor(foreColor_);
    const int span = static_cast<int>(PercentDone() * 360 * 16 / 100);
    if (needle) {
        p.setPen(fore);
        const double angle = PercentDone() * M_PI / 100.0;
        const QPointF c(box.center().x(), box.bottom());
        p.drawLine(c, c + QPointF(-std::cos(angle) * box.width() / 2, -std::sin(angle) * box.height()));
    } else {
        p.setPen(Qt::black);
        p.setBrush(ColorToQColor(backColor_));
        p.drawEllipse(box);
        p.setBrush(fore);
        if (span > 0)
            p.drawPie(box, 90 * 16, -span);
    }
}

void TProgressGauge::paintText(QImage& pic, const QRect& in) const {
    const int l = in.left(), t = in.top(), r = in.right(), b = in.bottom();
    const QString s = QString::fromStdString(Format("%d%%", PercentDone()));
    // Without anti-aliasing the exclusive-or yields exactly two colours: the
    // inverse of the empty part and the inverse of the bar.
    QFont f = font();
    f.setStyleStrategy(QFont::NoAntialias);
    const QFontMetrics fm(f);
    const int x = (r - l + 1 - fm.horizontalAdvance(s)) / 2;
    const int y = (b - t + 1 - fm.height()) / 2;

    QImage text(pic.size(), QImage::Format_RGB32);
    text.fill(Qt::black);
    {
        QPainter p(&text);
        p.setFont(f);
        p.setPen(Qt::white);
        p.setClipRect(QRect(l, t, r - l, b - t));
        p.drawText(x, y + fm.ascent(), s);
    }
    QPainter p(&pic);
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.drawImage(0, 0, text);
}

void TProgressGauge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, Picture());
}
