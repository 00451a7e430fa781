#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>

#include "platform/posix/QtGraphics.h"

namespace vx::platform {

namespace {

QWidget* widgetOf(const TWindowControl* c) {
    return c ? static_cast<QWidget*>(c->Native()) : nullptr;
}

std::unique_ptr<TWindowControl::TImpl> implOf(QWidget* w) {
    auto impl = std::make_unique<TWindowControl::TImpl>();
    impl->widget = w;
    return impl;
}

class TPaintWidget : public QWidget {
public:
    explicit TPaintWidget(QWidget* parent, const TPaintBox& box) : QWidget(parent), box_(box) {
        // The owner paints every pixel; nothing needs erasing underneath.
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!box_.OnPaint)
            return;
        TQtCanvas canvas(this, font());
        box_.OnPaint(canvas);
    }

private:
    const TPaintBox& box_;
};

// No border icons, so Esc and the window manager's close are the ways out;
// the owner may refuse either.
class TFormWidget : public QWidget {
public:
    explicit TFormWidget(TFormWindow& form) : form_(form) {}

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Escape)
            close();
        else
            QWidget::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override {
        if (form_.OnCloseQuery && !form_.OnCloseQuery()) {
            e->ignore();
            return;
        }
        e->accept();
        if (form_.OnClose)
            form_.OnClose();
    }

private:
    TFormWindow& form_;
};

} // namespace

TWindowControl::TWindowControl(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}

TWindowControl::~TWindowControl() {
    // A parent destroyed first took its children with it.
    if (impl_ && impl_->widget)
        delete impl_->widget.data();
}

void TWindowControl::SetName(const std::string& name) {
    impl_->widget->setObjectName(QString::fromUtf8(name));
}

void TWindowControl::SetBounds(int left, int top, int width, int height) {
    impl_->widget->setGeometry(left, top, width, height);
}

void TWindowControl::Resize(int width, int height) {
    impl_->widget->resize(width, height);
}

TRect TWindowControl::Bounds() const {
    const QRect g = impl_->widget->geometry();
    return {g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

int TWindowControl::Width() const {
    return impl_->widget->width();
}

int TWindowControl::Height() const {
    return impl_->widget->height();
}

bool TWindowControl::Visible() const {
    return impl_->widget->isVisible();
}

void TWindowControl::Show() {
    impl_->widget->show();
}

void TWindowControl::Repaint() {
    impl_->widget->repaint();
}

void TWindowControl::SetColor(TColor c) {
    impl_->color = c;
    QPalette pal = impl_->widget->palette();
    pal.setColor(QPalette::Window, ColorToQColor(c));
    impl_->widget->setPalette(pal);
}

TColor TWindowControl::Color() const {
    return impl_->color;
}

void TWindowControl::SetFont(const TFont& font) {
    impl_->widget->setFont(QFontOf(font));
}

void TWindowControl::SetFontColor(TColor c) {
    QPalette pal = impl_->widget->palette();
    pal.setColor(QPalette::WindowText, ColorToQColor(c));
    impl_->widget->setPalette(pal);
}

void* TWindowControl::Native() const {
    return impl_->widget.data();
}

TPaintBox::TPaintBox(TWindowControl* parent) : TWindowControl(nullptr) {
    impl_ = implOf(new TPaintWidget(widgetOf(parent), *this));
}

TPaintBox::~TPaintBox() = default;

std::unique_ptr<TCanvas> TPaintBox::CanvasOn(TBitmap& picture) const {
    return std::make_unique<TQtCanvas>(&picture.Impl().image, impl_->widget->font());
}

TLabelControl::TLabelControl(TWindowControl& parent, const TLabelStyle& style) : TWindowControl(nullptr) {
    auto* label = new QLabel(widgetOf(&parent));
    impl_ = implOf(label);
    label->setText(QString::fromUtf8(style.Caption));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setMargin(0);
    label->setIndent(0);
    label->setFont(QFontOf(style.Font));
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, ColorToQColor(style.FontColor));
    pal.setColor(QPalette::Window, ColorToQColor(style.Color));
    label->setPalette(pal);
    label->setAutoFillBackground(!style.Transparent);
}

TLabelControl::~TLabelControl() = default;

TFormWindow::TFormWindow() : TWindowControl(nullptr) {
    auto* form = new TFormWidget(*this);
    impl_ = implOf(form);
    form->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    form->setAutoFillBackground(true);
    form->setFocusPolicy(Qt::StrongFocus);
}

TFormWindow::~TFormWindow() = default;

void TFormWindow::SetCaption(const std::string& utf8) {
    impl_->widget->setWindowTitle(QString::fromUtf8(utf8));
}

void TFormWindow::ShowCentred(int outerWidth, int outerHeight) {
    QWidget* form = impl_->widget;
    form->show();
    // The frame the window manager put around the window is known once it
    // is shown: take it off the outer size, and centre the whole.
    const QSize frame = form->frameGeometry().size() - form->geometry().size();
    form->resize(outerWidth - frame.width(), outerHeight - frame.height());
    if (QScreen* screen = form->screen()) {
        const QRect s = screen->geometry();
        form->move(s.left() + (s.width() - outerWidth) / 2, s.top() + (s.height() - outerHeight) / 2);
    }
    form->activateWindow();
    form->setFocus();
}

bool TFormWindow::Close() {
    return impl_->widget->close();
}

} // namespace vx::platform
