// Window timers: SetTimer on a message-only window of the timer's own, its
// WM_TIMER delivered by the message loop like every other message.
#include "platform/Timer.h"

#include "platform/Notifier.h"
#include "platform/win32/Win.h"

namespace vx::platform {

struct TPlatformTimer::Impl {
    explicit Impl(TPlatformTimer* owner)
        : window([owner, this](unsigned msg, uintptr_t, intptr_t) {
              if (msg != WM_TIMER || !active)
                  return;
              if (!repeat)
                  stop();
              if (owner->OnFire)
                  owner->OnFire();
          }) {}
    void stop() {
        if (active)
            KillTimer(static_cast<HWND>(window.NativeHandle()), 1);
        active = false;
    }
    TNotifyWindow window;
    bool active = false;
    bool repeat = false;
};

TPlatformTimer::TPlatformTimer() : impl_(std::make_unique<Impl>(this)) {}

TPlatformTimer::~TPlatformTimer() {
    impl_->stop();
}

void TPlatformTimer::Start(unsigned intervalMs, bool repeat) {
    impl_->repeat = repeat;
    // SetTimer replaces a running timer of the same id: a restart.
    impl_->active = SetTimer(static_cast<HWND>(impl_->window.NativeHandle()), 1,
                             intervalMs < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : intervalMs, nullptr) != 0;
}

void TPlatformTimer::Stop() {
    impl_->stop();
}

bool TPlatformTimer::Active() const {
    return impl_->active;
}

} // namespace vx::platform
