// The timer components over the platform's window timer.
#include "platform/Timer.h"

#include "platform/Application.h"

namespace vx::platform {

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    timer_.OnFire = [this] {
        if (onTimer_)
            onTimer_(this);
    };
}

TTimer::~TTimer() {
    timer_.Stop();
}

void TTimer::SetEnabled(bool v) {
    if (v == enabled_)
        return;
    enabled_ = v;
    update();
}

void TTimer::SetInterval(unsigned v) {
    if (v == interval_)
        return;
    interval_ = v;
    update();
}

void TTimer::SetOnTimer(TNotifyEvent e) {
    onTimer_ = std::move(e);
    update();
}

void TTimer::update() {
    timer_.Stop();
    if (enabled_ && interval_ > 0 && onTimer_)
        timer_.Start(interval_, true);
}

TThreadTimer::TThreadTimer(TComponent* owner) : TComponent(owner) {
    timer_.OnFire = [this] { fire(); };
}

TThreadTimer::~TThreadTimer() {
    timer_.Stop();
}

void TThreadTimer::SetEnabled(bool v) {
    if (v == enabled_)
        return;
    enabled_ = v;
    updateTimer();
}

void TThreadTimer::SetInterval(uint32_t v) {
    if (v == interval_)
        return;
    interval_ = v;
    updateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent e) {
    onTimer_ = std::move(e);
    updateTimer();
}

void TThreadTimer::updateTimer() {
    timer_.Stop();
    if (enabled_ && interval_ != 0 && onTimer_)
        timer_.Start(interval_, true);
}

void TThreadTimer::fire() {
    if (!onTimer_)
        return;
    if (TApplication* a = Application())
        a->Dispatch([this] { onTimer_(this); });
    else
        onTimer_(this);
}

} // namespace vx::platform
