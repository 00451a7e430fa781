// The gauge's own painted pixels, offscreen: frame, inner rectangle, the
// bar's right edge, the exclusive-or text, and the setters' rules.
#include <QEvent>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>

#include "app/ProgressGauge.h"
#include "platform/Application.h"

using namespace vx::platform;
using namespace vx::app;

namespace {

constexpr int kW = 329; // the window's gauge
constexpr int kH = 17;
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kYellow = qRgb(255, 255, 0); // blue inverted
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class ProgressGaugeTest : public ::testing::Test {
protected:
    void SetUp() override {
        gauge.Control().Resize(kW, kH);
        gauge.SetForeColor(clBlue);
        gauge.Show();
        // Until the window is exposed a repaint has nowhere to go.
        Application()->ProcessMessages();
    }
    // What the system shows of the gauge.
    QWidget* widget() { return static_cast<QWidget*>(gauge.Control().Native()); }
    QImage shot() { return widget()->grab().toImage().convertToFormat(QImage::Format_RGB32); }
    // A column of the inner rectangle belongs to the bar when all its pixels
    // are the bar's colour or its inverse, to the empty part when all are
    // white or black.
    static bool barColumn(const QImage& img, int x) {
        for (int y = 1; y < kH - 1; ++y) {
            const QRgb p = img.pixel(x, y) & 0xFFFFFF;
            if (p != (kBlue & 0xFFFFFF) && p != (kYellow & 0xFFFFFF))
                return false;
        }
        return true;
    }
    static bool emptyColumn(const QImage& img, int x) {
        for (int y = 1; y < kH - 1; ++y) {
            const QRgb p = img.pixel(x, y) & 0xFFFFFF;
            if (p != (kWhite & 0xFFFFFF) && p != (kBlack & 0xFFFFFF))
                return false;
        }
        return true;
    }
    // The first inner column that is not part of the bar.
    static int barEnd(const QImage& img) {
        int x = 1;
        while (x < kW - 1 && barColumn(img, x))
            ++x;
        return x;
    }
    static bool frameIsBlack(const QImage& img) {
        for (int x = 0; x < kW; ++x)
            if (img.pixel(x, 0) != kBlack || img.pixel(x, kH - 1) != kBlack)
                return false;
        for (int y = 0; y < kH; ++y)
            if (img.pixel(0, y) != kBlack || img.pixel(kW - 1, y) != kBlack)
                return false;
        return true;
    }
    static int count(const QImage& img, QRgb colour) {
        int n = 0;
        for (int y = 1; y < kH - 1; ++y)
            for (int x = 1; x < kW - 1; ++x)
                n += img.pixel(x, y) == colour;
        return n;
    }

    TProgressGauge gauge;
};

TEST_F(ProgressGaugeTest, BarRightEdgeFollowsThePercentage) {
    // The inner width plus one (328) is the scale: trunc(p * 0.01 * 328) is
    // the bar's exclusive right edge, so the bar covers columns 1 .. edge-1.
    struct Row {
        int percent;
        int edge;
    };
    for (Row r : {Row{0, 1}, Row{1, 3}, Row{50, 164}, Row{99, 324}}) {
        gauge.SetProgress(r.percent);
        const QImage img = shot();
        SCOPED_TRACE(r.percent);
        EXPECT_TRUE(frameIsBlack(img));
        EXPECT_EQ(barEnd(img), r.edge);
        for (int x = r.edge; x < kW - 1; ++x)
            ASSERT_TRUE(emptyColumn(img, x)) << "column " << x;
    }
}

TEST_F(ProgressGaugeTest, FullBarFillsTheInnerRectangleExactly) {
    gauge.SetProgress(100);
    const QImage img = shot();
    EXPECT_TRUE(frameIsBlack(img));
    for (int x = 1; x < kW - 1; ++x)
        ASSERT_TRUE(barColumn(img, x)) << "column " << x;
}

TEST_F(ProgressGaugeTest, TextIsExclusiveOrOverBothParts) {
    gauge.SetProgress(0);
    QImage img = shot();
    EXPECT_GT(count(img, kBlack), 10) << "dark digits over the empty part";
    EXPECT_EQ(count(img, kYellow), 0);

    gauge.SetProgress(99);
    img = shot();
    EXPECT_GT(count(img, kYellow), 10) << "inverted-bar digits over the bar";
    EXPECT_EQ(count(img, kBlack), 0);

    // At 50 % the text straddles the bar's edge: both inversions at once,
    // and no third colour anywhere (the text is not anti-aliased).
    gauge.SetProgress(50);
    img = shot();
    EXPECT_GT(count(img, kYellow), 0);
    EXPECT_GT(count(img, kBlack), 0);
    EXPECT_EQ(count(img, kYellow) + count(img, kBlack) + count(img, kBlue) + count(img, kWhite),
              (kW - 2) * (kH - 2));
}

TEST_F(ProgressGaugeTest, TextIsCentredInTheInnerRectangle) {
    gauge.SetProgress(0);
    const QImage img = shot();
    int left = kW, right = -1, top = kH, bottom = -1;
    for (int y = 1; y < kH - 1; ++y)
        for (int x = 1; x < kW - 1; ++x)
            if (img.pixel(x, y) == kBlack) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, left);
    // Centred on (inner width + 1) / 2 = 164 within the glyphs' side bearings.
    EXPECT_LE(std::abs((left + right) / 2 - 164), 3);
    EXPECT_GE(top, 1);
    EXPECT_LE(bottom, kH - 2);
}

TEST_F(ProgressGaugeTest, WithoutTextOnlyBarAndBackground) {
    gauge.SetShowText(false);
    gauge.SetBackColor(clWhite);
    gauge.SetProgress(50);
    const QImage img = shot();
    EXPECT_EQ(count(img, kBlack), 0);
    EXPECT_EQ(count(img, kBlue), (164 - 1) * (kH - 2));
}

TEST_F(ProgressGaugeTest, ZeroMaximumShowsNoBar) {
    // A download whose size was not announced: BytesTotal 0.
    gauge.SetMaxValue(0);
    gauge.SetProgress(1234);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_EQ(gauge.PercentDone(), 0);
    EXPECT_EQ(barEnd(shot()), 1);
}

TEST_F(ProgressGaugeTest, SmallerMaximumLowersProgress) {
    gauge.SetMaxValue(5000);
    gauge.SetProgress(4000);
    gauge.SetMaxValue(3);
    EXPECT_EQ(gauge.Progress(), 3);
    EXPECT_EQ(gauge.PercentDone(), 100);
    gauge.SetProgress(gauge.Progress() + 1);
    EXPECT_EQ(gauge.Progress(), 3);
}

TEST_F(ProgressGaugeTest, PercentageTruncatesTowardZero) {
    gauge.SetMaxValue(3);
    gauge.SetProgress(2);
    EXPECT_EQ(gauge.PercentDone(), 66);
    gauge.SetMinValue(-3);
    gauge.SetProgress(-2);
    EXPECT_EQ(gauge.PercentDone(), 16);
}

TEST_F(ProgressGaugeTest, RepaintsAtOnceAndOnlyWhenThePercentageChanges) {
    PaintCounter counter;
    widget()->installEventFilter(&counter);
    gauge.SetMaxValue(1000);
    const int repaints = gauge.RepaintCount();
    const int paints = counter.paints;

    gauge.SetProgress(5); // still 0 %
    EXPECT_EQ(gauge.RepaintCount(), repaints);
    gauge.SetProgress(10); // 1 %: painted before the call returns
    EXPECT_EQ(gauge.RepaintCount(), repaints + 1);
    EXPECT_EQ(counter.paints, paints + 1);
    gauge.SetProgress(19);
    EXPECT_EQ(counter.paints, paints + 1);
    widget()->removeEventFilter(&counter);
}

TEST_F(ProgressGaugeTest, OutOfRangeLimitsRaiseAndChangeNothing) {
    try {
        gauge.SetMaxValue(-1);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Value must be between 1 and 2147483647");
    }
    EXPECT_EQ(gauge.MaxValue(), 100);
    try {
        gauge.SetMinValue(101);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Value must be between -2147483647 and 99");
    }
    EXPECT_EQ(gauge.MinValue(), 0);
    // The maximum may equal the minimum.
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.MaxValue(), 0);
    // While the layout is loaded the order of the values does not matter.
    gauge.SetLoading(true);
    gauge.SetMaxValue(-5);
    gauge.SetLoading(false);
    EXPECT_EQ(gauge.MaxValue(), -5);
}

// The gauge's picture as the widget painted it before it drew through the
// platform's canvas, pixel for pixel: every kind, with and without a frame,
// at a few percentages.
QImage paintedAsBefore(TProgressGauge& g, const QFont& widgetFont, int width, int height) {
    QImage pic(width, height, QImage::Format_RGB32);
    pic.fill(Qt::black);
    const int d = g.BorderStyle() == bsSingle ? 1 : 0;
    const QRect in(QPoint(d, d), QPoint(width - d, height - d));
    const int l = in.left(), t = in.top(), r = in.right(), b = in.bottom();
    const QColor fore(ColorToRgb(g.ForeColor()) | 0xFF000000u), back(ColorToRgb(g.BackColor()) | 0xFF000000u);
    const int pct = g.PercentDone();
    {
        QPainter p(&pic);
        p.fillRect(QRect(l, t, r - l, b - t), back);
    }
    if (g.Kind() == gkHorizontalBar) {
        QPainter p(&pic);
        const int w = r - l + 1;
        const int fill = std::min(static_cast<int>(std::trunc(pct * 0.01 * w)), w);
        if (fill >= 1)
            p.fillRect(QRect(l, t, fill - l, b - t + 1 - t), fore);
    } else if (g.Kind() == gkVerticalBar) {
        QPainter p(&pic);
        const int fill = static_cast<int>(std::trunc(pct * 0.01 * (b - t)));
        if (fill >= 1)
            p.fillRect(QRect(l, b - fill, r - l, fill), fore);
    } else if (g.Kind() == gkPie || g.Kind() == gkNeedle) {
        QPainter p(&pic);
        p.setClipRect(QRect(l, t, r - l, b - t));
        const QRect box(l, t, r - l - 1, b - t - 1);
        if (g.Kind() == gkNeedle) {
            p.setPen(fore);
            const double angle = pct * M_PI / 100.0;
            const QPointF c(box.center().x(), box.bottom());
            p.drawLine(c, c + QPointF(-std::cos(angle) * box.width() / 2, -std::sin(angle) * box.height()));
        } else {
            p.setPen(Qt::black);
            p.setBrush(back);
            p.drawEllipse(box);
            p.setBrush(fore);
            if (pct > 0)
                p.drawPie(box, 90 * 16, -(pct * 360 * 16 / 100));
        }
    }
    if (g.ShowText()) {
        const QString s = QString::number(pct) + "%";
        QFont f = widgetFont;
        f.setStyleStrategy(QFont::NoAntialias);
        const QFontMetrics fm(f);
        QImage text(pic.size(), QImage::Format_RGB32);
        text.fill(Qt::black);
        {
            QPainter p(&text);
            p.setFont(f);
            p.setPen(Qt::white);
            p.setClipRect(QRect(l, t, r - l, b - t));
            p.drawText((r - l + 1 - fm.horizontalAdvance(s)) / 2, (b - t + 1 - fm.height()) / 2 + fm.ascent(),
                       s);
        }
        QPainter p(&pic);
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        p.drawImage(0, 0, text);
    }
    return pic;
}

TEST_F(ProgressGaugeTest, PicturesAsPaintedBefore) {
    for (const QSize size : {QSize(kW, kH), QSize(61, 45)}) {
        gauge.Control().Resize(size.width(), size.height());
        for (TGaugeKind kind : {gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle})
            for (TBorderStyle border : {bsSingle, bsNone})
                for (int percent : {0, 1, 37, 50, 99, 100}) {
                    gauge.SetKind(kind);
                    gauge.SetBorderStyle(border);
                    gauge.SetProgress(percent);
                    SCOPED_TRACE(testing::Message()
                                 << size.width() << "x" << size.height() << " kind " << kind << " border "
                                 << border << " at " << percent << " %");
                    const TBitmap pic = gauge.Picture();
                    const QImage want = paintedAsBefore(gauge, widget()->font(), size.width(), size.height());
                    ASSERT_EQ(pic.Width(), want.width());
                    ASSERT_EQ(pic.Height(), want.height());
                    int differ = 0;
                    for (int y = 0; y < want.height(); ++y)
                        for (int x = 0; x < want.width(); ++x)
                            differ += pic.Pixel(x, y) != (want.pixel(x, y) & 0xFFFFFFu);
                    EXPECT_EQ(differ, 0);
                }
    }
}

} // namespace
