// The Qt half of the canvas and the window controls, shared by their
// implementations.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QWidget>

#include <optional>

#include "platform/Canvas.h"
#include "platform/Window.h"

namespace vx::platform {

struct TBitmap::TImpl {
    QImage image;
};

struct TWindowControl::TImpl {
    QPointer<QWidget> widget;
    TColor color = clBtnFace;
};

// The Qt colour of a platform colour; system colours come from the
// application's palette.
QColor ColorToQColor(TColor c);
QFont QFontOf(const TFont& font);

// A canvas over a painter of its own on a picture or a widget.
class TQtCanvas : public TCanvas {
public:
    TQtCanvas(QPaintDevice* device, QFont font);
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
    QPaintDevice* device_;
    QPainter painter_;
    QFont font_;
    std::optional<QRect> clip_;
};

} // namespace vx::platform
