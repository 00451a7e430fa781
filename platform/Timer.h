// Window timers: a one-shot or repeating Qt precise timer, and the TTimer
// component on top of it.
#pragma once

#include <functional>
#include <memory>

#include "platform/SysUtils.h"

class QTimer;

class TPlatformTimer {
public:
    TPlatformTimer();
    ~TPlatformTimer();
    void Start(unsigned intervalMs, bool repeat);
    void Stop();
    bool Active() const;
    std::function<void()> OnFire;

private:
    std::unique_ptr<QTimer> timer_;
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
