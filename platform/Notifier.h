// A receiver of notifications for a component: a hidden window (a
// message-only window on Windows, a QObject on Linux). Messages posted to
// it are delivered from the event loop, in order, to its handler, as window
// messages are.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vx::platform {

class TNotifyWindow {
public:
    using Handler = std::function<void(unsigned msg, uintptr_t wParam, intptr_t lParam)>;
    explicit TNotifyWindow(Handler h);
    ~TNotifyWindow();
    // Queues a message; it is delivered later from the event loop. Safe to
    // call from another thread. Messages still queued when the receiver is
    // destroyed are dropped.
    void Post(unsigned msg, uintptr_t wParam, intptr_t lParam);
    // Delivers at once (SendMessage).
    void Send(unsigned msg, uintptr_t wParam, intptr_t lParam);
    // The window behind the receiver where the platform has one (Windows:
    // the HWND Winsock posts to); null elsewhere.
    void* NativeHandle() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vx::platform
