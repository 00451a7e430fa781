// Window timers: a one-shot or repeating precise timer of the platform, the TTimer
// component on top of it, and TThreadTimer, the time-out timer of the
// socket components.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/SysUtils.h"

namespace vx::platform {

class TPlatformTimer {
public:
    TPlatformTimer();
    ~TPlatformTimer();
    void Start(unsigned intervalMs, bool repeat);
    void Stop();
    bool Active() const;
    std::function<void()> OnFire;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Component timer: Enabled (initial true), Interval (initial 1000 ms),
// OnTimer. It runs when enabled with an interval above 0 and a handler.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner = nullptr);
    ~TTimer() override;
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v);
    unsigned Interval() const { return interval_; }
    void SetInterval(unsigned v);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent e);

private:
    void update();
    bool enabled_ = true;
    unsigned interval_ = 1000;
    TNotifyEvent onTimer_;
    TPlatformTimer timer_;
};

// The time-out timer of a socket component: it runs while Enabled, with an
// Interval above 0 and an OnTimer handler. Changing any of them re-arms it;
// setting a value it already has does nothing, so a running timer is not
// restarted. Its handler runs through the application's dispatcher, so an
// exception from it reaches the application's handler, not the event loop.
class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* owner = nullptr);
    ~TThreadTimer() override;
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t v);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent e);

private:
    void updateTimer();
    void fire();
    bool enabled_ = true;
    uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    TPlatformTimer timer_;
};

} // namespace vx::platform
