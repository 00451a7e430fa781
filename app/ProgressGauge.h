// TProgressGauge: a progress gauge that paints itself on an off-screen
// picture and shows its percentage combined with the bar by exclusive-or,
// so the digits stay readable over both the empty part and the bar.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Canvas.h"
#include "platform/SysUtils.h"
#include "platform/Window.h"

namespace vx::app {

using namespace vx::platform;

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

class TProgressGauge : public TComponent {
public:
    // A control of parent, or a window of its own without one.
    explicit TProgressGauge(TWindowControl* parent = nullptr, TComponent* owner = nullptr);
    ~TProgressGauge() override;

    int32_t MinValue() const { return min_; }
    // Raises EInvalidOperation "Value must be between %d and %d" above
    // MaxValue (unless the layout is being loaded); raises Progress to it.
    void SetMinValue(int32_t v);
    int32_t MaxValue() const { return max_; }
    // Raises EInvalidOperation below MinValue (unless the layout is being
    // loaded); lowers Progress to it.
    void SetMaxValue(int32_t v);
    int32_t Progress() const { return progress_; }
    // Clamped into MinValue..MaxValue; repaints only when the percentage
    // shown changes.
    void SetProgress(int32_t v);
    void AddProgress(int32_t delta);
    // 0 for an empty scale, else the share done truncated toward zero.
    int32_t PercentDone() const;

    TGaugeKind Kind() const { return kind_; }
    void SetKind(TGaugeKind k);
    bool ShowText() const { return showText_; }
    void SetShowText(bool v);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle b);
    TColor ForeColor() const { return foreColor_; }
    void SetForeColor(TColor c);
    TColor BackColor() const { return backColor_; }
    void SetBackColor(TColor c);
    // The control's own colour (the background around the picture).
    TColor Color() const { return color_; }
    void SetColor(TColor c);

    // Where the gauge is, and showing it.
    void SetBounds(int left, int top, int width, int height) {
        control_->SetBounds(left, top, width, height);
    }
    TRect Bounds() const { return control_->Bounds(); }
    void Show() { control_->Show(); }
    TPaintBox& Control() { return *control_; }

    // The picture of the gauge as it is painted.
    TBitmap Picture() const;
    // How many times the gauge has asked to be repainted.
    int RepaintCount() const { return repaints_; }

private:
    // Immediate repaint: the gauge must follow the run even while it is
    // busy and no messages are processed.
    void refresh();
    TRect innerRect() const;
    void paintBar(TCanvas& c, const TRect& inner) const;
    void paintPie(TCanvas& c, const TRect& inner, bool needle) const;
    void paintText(TCanvas& c, const TRect& inner) const;

    std::unique_ptr<TPaintBox> control_;
    int32_t min_ = 0;
    int32_t max_ = 100;
    int32_t progress_ = 0;
    TGaugeKind kind_ = gkHorizontalBar;
    bool showText_ = true;
    TBorderStyle borderStyle_ = bsSingle;
    TColor foreColor_ = clBlack;
    TColor backColor_ = clWhite;
    TColor color_ = clBtnFace;
    int repaints_ = 0;
};

} // namespace vx::app
