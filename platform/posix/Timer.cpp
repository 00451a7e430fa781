#include "platform/Timer.h"

#include <QTimer>

namespace vx::platform {

struct TPlatformTimer::Impl {
    QTimer timer;
};

TPlatformTimer::TPlatformTimer() : impl_(std::make_unique<Impl>()) {
    QTimer* t = &impl_->timer;
    t->setTimerType(Qt::PreciseTimer);
    QObject::connect(t, &QTimer::timeout, [this] {
        if (OnFire)
            OnFire();
    });
}

TPlatformTimer::~TPlatformTimer() = default;

void TPlatformTimer::Start(unsigned intervalMs, bool repeat) {
    impl_->timer.setSingleShot(!repeat);
    impl_->timer.start(static_cast<int>(intervalMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : intervalMs));
}

void TPlatformTimer::Stop() {
    impl_->timer.stop();
}

bool TPlatformTimer::Active() const {
    return impl_->timer.isActive();
}

} // namespace vx::platform
