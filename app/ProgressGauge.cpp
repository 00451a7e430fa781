#include "app/ProgressGauge.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

namespace vx::app {

TProgressGauge::TProgressGauge(TWindowControl* parent, TComponent* owner)
    : TComponent(owner), control_(std::make_unique<TPaintBox>(parent)) {
    control_->OnPaint = [this](TCanvas& c) { c.Draw(0, 0, Picture()); };
    SetColor(color_);
}

TProgressGauge::~TProgressGauge() = default;

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
    control_->SetColor(c);
}

void TProgressGauge::refresh() {
    ++repaints_;
    if (control_->Visible())
        control_->Repaint();
}

// The area inside the frame. Its right and bottom are the control's size
// less the frame, taken as inclusive coordinates: the bar and text
// arithmetic below is done in those terms, which is what puts a full bar
// exactly on the frame's inner edge.
TRect TProgressGauge::innerRect() const {
    const int d = borderStyle_ == bsSingle ? 1 : 0;
    return {d, d, control_->Width() - d, control_->Height() - d};
}

TBitmap TProgressGauge::Picture() const {
    TBitmap pic(std::max(control_->Width(), 1), std::max(control_->Height(), 1));
    const std::unique_ptr<TCanvas> c = control_->CanvasOn(pic);
    // Black everywhere first: what the inner rectangle does not cover is the frame.
    c->FillRect({0, 0, pic.Width(), pic.Height()}, clBlack);
    const TRect in = innerRect();
    c->FillRect(in, backColor_);
    switch (kind_) {
    case gkText:
        break;
    case gkHorizontalBar:
    case gkVerticalBar:
        paintBar(*c, in);
        break;
    case gkPie:
    case gkNeedle:
        paintPie(*c, in, kind_ == gkNeedle);
        break;
    }
    if (showText_)
        paintText(*c, in);
    return pic;
}

void TProgressGauge::paintBar(TCanvas& c, const TRect& in) const {
    const int l = in.Left, t = in.Top, r = in.Right, b = in.Bottom;
    const int w = r - l + 1;
    const int h = b - t + 1;
    if (kind_ == gkHorizontalBar) {
        int fill = static_cast<int>(std::trunc(PercentDone() * 0.01 * w));
        if (fill > w)
            fill = w;
        // The bar's right edge is the fill length itself, not left + length:
        // at 100 % that is exactly the inner rectangle's right edge.
        if (fill >= 1)
            c.FillRect({l, t, fill, h}, foreColor_);
    } else {
        // Upright bar, filled from the bottom.
        const int fill = static_cast<int>(std::trunc(PercentDone() * 0.01 * (b - t)));
        if (fill >= 1)
            c.FillRect({l, b - fill, r, b}, foreColor_);
    }
}

void TProgressGauge::paintPie(TCanvas& c, const TRect& in, bool needle) const {
    c.SetClip(in);
    // One pixel short of the inner rectangle on the right and at the bottom,
    // so the outline stays inside it.
    const TRect box{in.Left, in.Top, in.Right - 1, in.Bottom - 1};
    const int span = static_cast<int>(PercentDone() * 360 * 16 / 100);
    if (needle) {
        const double angle = PercentDone() * std::numbers::pi / 100.0;
        // The pivot: the middle of the box's last row.
        const double cx = (box.Left + box.Right - 1) / 2;
        const double cy = box.Bottom - 1;
        c.Line(cx, cy, cx - std::cos(angle) * box.Width() / 2, cy - std::sin(angle) * box.Height(),
               foreColor_);
    } else {
        c.Ellipse(box, clBlack, backColor_);
        if (span > 0)
            c.Pie(box, 90 * 16, -span, clBlack, foreColor_);
    }
    c.ClearClip();
}

void TProgressGauge::paintText(TCanvas& c, const TRect& in) const {
    const int l = in.Left, t = in.Top, r = in.Right, b = in.Bottom;
    const std::string s = Format("%d%%", PercentDone());
    const TCanvas::TTextSize size = c.MeasureText(s);
    const int x = (r - l + 1 - size.Width) / 2;
    const int y = (b - t + 1 - size.Height) / 2;
    c.SetClip(in);
    c.InvertText(x, y, s);
    c.ClearClip();
}

} // namespace vx::app
