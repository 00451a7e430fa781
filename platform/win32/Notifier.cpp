// The receiver of notifications is a message-only window: messages posted to
// it come back through the thread's message loop in order, as the original
// design of the components has it, and Winsock posts its socket
// notifications to it directly.
#include "platform/Notifier.h"

#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

const wchar_t kClassName[] = L"VxNotifyWindow";

LRESULT CALLBACK notifyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* owner = reinterpret_cast<TNotifyWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    // Window timers and the application's messages (WM_USER and above) go
    // to the owner; the window's own housekeeping stays with the system.
    if (owner && (msg == WM_TIMER || msg >= WM_USER)) {
        owner->Send(msg, static_cast<uintptr_t>(wParam), static_cast<intptr_t>(lParam));
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

} // namespace

namespace win {

HWND MakeMessageWindow(void* owner) {
    static const ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = notifyProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc);
    }();
    (void)atom;
    HWND h = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (h)
        SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    return h;
}

} // namespace win

struct TNotifyWindow::Impl {
    Handler handler;
    HWND hwnd = nullptr;
};

TNotifyWindow::TNotifyWindow(Handler h) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(h);
    impl_->hwnd = win::MakeMessageWindow(this);
}

// Messages still queued for a destroyed window are discarded by the loop.
TNotifyWindow::~TNotifyWindow() {
    if (impl_->hwnd) {
        SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, 0);
        DestroyWindow(impl_->hwnd);
    }
}

void TNotifyWindow::Post(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    PostMessageW(impl_->hwnd, msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

void TNotifyWindow::Send(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    if (impl_->handler)
        impl_->handler(msg, wParam, lParam);
}

void* TNotifyWindow::NativeHandle() const {
    return impl_->hwnd;
}

} // namespace vx::platform
