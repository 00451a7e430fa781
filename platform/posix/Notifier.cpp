#include "platform/Notifier.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace vx::platform {

namespace {

const QEvent::Type kNotifyEvent = static_cast<QEvent::Type>(QEvent::User + 1125);

struct NotifyEvent : QEvent {
    NotifyEvent(unsigned m, uintptr_t w, intptr_t l) : QEvent(kNotifyEvent), msg(m), wParam(w), lParam(l) {}
    unsigned msg;
    uintptr_t wParam;
    intptr_t lParam;
};

class Receiver : public QObject {
public:
    explicit Receiver(TNotifyWindow::Handler h) : handler(std::move(h)) {}
    bool event(QEvent* e) override {
        if (e->type() == kNotifyEvent) {
            auto* n = static_cast<NotifyEvent*>(e);
            if (handler)
                handler(n->msg, n->wParam, n->lParam);
            return true;
        }
        return QObject::event(e);
    }
    TNotifyWindow::Handler handler;
};

} // namespace

struct TNotifyWindow::Impl {
    explicit Impl(Handler h) : receiver(std::move(h)) {}
    Receiver receiver;
};

TNotifyWindow::TNotifyWindow(Handler h) : impl_(std::make_unique<Impl>(std::move(h))) {}

// Destroying the QObject removes its queued events.
TNotifyWindow::~TNotifyWindow() = default;

void TNotifyWindow::Post(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    QCoreApplication::postEvent(&impl_->receiver, new NotifyEvent(msg, wParam, lParam));
}

void TNotifyWindow::Send(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    if (impl_->receiver.handler)
        impl_->receiver.handler(msg, wParam, lParam);
}

void* TNotifyWindow::NativeHandle() const {
    return nullptr;
}

} // namespace vx::platform
