// TProgressGauge: a progress gauge that paints itself on an off-screen
// picture and shows its percentage combined with the bar by exclusive-or,
// so the digits stay readable over both the empty part and the bar.
#pragma once

#include <cstdint>

#include <QColor>
#include <QImage>
#include <QWidget>

#include "platform/SysUtils.h"

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

// Colours as the platform stores them: 0x00BBGGRR, or a system colour
// (high bit set, low byte the system colour index).
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clWindowText = 0x80000008;
// The Qt colour of a platform colour; system colours come from the
// application's palette.
QColor ColorToQColor(TColor c);

class TProgressGauge : public QWidget, public TComponent {
public:
    explicit TProgressGauge(QWidget* parent = nullptr, TComponent* owner = nullptr);

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
    // The control's own colour (the widget background around the picture).
    TColor Color() const { return color_; }
    void SetColor(TColor c);

    // The picture of the gauge as it is painted.
    QImage Picture() const;
    // How many times the gauge has asked to be repainted.
    int RepaintCount() const { return repaints_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Immediate repaint: the gauge must follow the run even while it is
    // busy and no messages are processed.
    void refresh();
    QRect innerRect() const;
    void paintBar(QImage& pic, const QRect& inner) const;
    void paintPie(QImage& pic, const QRect& inner, bool needle) const;
    void paintText(QImage& pic, const QRect& inner) const;

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
