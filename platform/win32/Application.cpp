// The application on Windows: the thread's message loop, waits that sleep
// in GetMessage until a message (a socket notification, a timer, a posted
// message) arrives, the wait cursor, and the dialog layer: real boxes, or
// unattended when UPDATER_UNATTENDED is set (there is no display to test
// for on Windows).
#include "platform/Application.h"

#include <cstdlib>

#include "platform/Dialogs.h"
#include "platform/Notifier.h"
#include "platform/win32/Win.h"

#include <commctrl.h>

namespace vx::platform {

namespace {
TApplication* g_app = nullptr;

bool unattendedAsked() {
    const char* u = std::getenv("UPDATER_UNATTENDED");
    return u && *u && std::string(u) != "0";
}

// Dispatches one message; false when it was WM_QUIT.
bool dispatch(const MSG& m) {
    if (m.message == WM_QUIT)
        return false;
    TranslateMessage(&m);
    DispatchMessageW(&m);
    return true;
}
} // namespace

struct TApplication::Impl {
    bool quit = false; // WM_QUIT seen: the loop is over
};

TApplication* Application() {
    return g_app;
}

TApplication::TApplication(int& argc, char** argv) : impl_(std::make_unique<Impl>()) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    unattended_ = unattendedAsked();
    // The title comes from the running program's own name, as argv[0] may
    // be anything the caller chose.
    wchar_t exe[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    title_ = TitleFromPath(n > 0 ? win::FromWide(std::wstring_view(exe, n), CP_UTF8)
                                 : std::string(argc > 0 && argv && argv[0] ? argv[0] : ""));
    g_app = this;
    if (unattended_) {
        const char* answers = std::getenv("UPDATER_ANSWERS");
        SetDialogs(MakeUnattendedDialogs(answers ? answers : ""));
    } else {
        SetDialogs(MakeNativeDialogs());
    }
}

TApplication::~TApplication() {
    SetDialogs(nullptr);
    WSACleanup();
    g_app = nullptr;
}

void TApplication::ProcessMessages() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
        if (!dispatch(m))
            impl_->quit = true;
}

void TApplication::WaitUntil(const std::function<bool()>& cond) {
    // GetMessage sleeps until something arrives for the thread; then the
    // condition is tested again. Nothing here polls.
    // A quit asked meanwhile is kept for Run; the wait goes on, as the
    // caller's condition says.
    MSG m;
    while (!cond()) {
        const BOOL r = GetMessageW(&m, nullptr, 0, 0);
        if (r == 0)
            impl_->quit = true;
        else if (r > 0)
            dispatch(m);
        else
            break;
    }
}

bool TApplication::WaitUntilFor(const std::function<bool()>& cond, int timeoutMs) {
    bool expired = false;
    TNotifyWindow w([&expired](unsigned msg, uintptr_t, intptr_t) {
        if (msg == WM_TIMER)
            expired = true;
    });
    SetTimer(static_cast<HWND>(w.NativeHandle()), 1,
             timeoutMs < static_cast<int>(USER_TIMER_MINIMUM) ? USER_TIMER_MINIMUM
                                                              : static_cast<UINT>(timeoutMs),
             nullptr);
    WaitUntil([&] { return expired || cond(); });
    KillTimer(static_cast<HWND>(w.NativeHandle()), 1);
    return cond();
}

int TApplication::Run() {
    if (terminated_)
        return 0;
    MSG m;
    while (!impl_->quit) {
        if (GetMessageW(&m, nullptr, 0, 0) <= 0)
            impl_->quit = true;
        else
            dispatch(m);
    }
    return 0;
}

void TApplication::Terminate() {
    terminated_ = true;
    // Ends the message loop once the running handler has returned.
    PostQuitMessage(0);
}

void TApplication::SetCursor(int c) {
    cursor_ = c;
    LPCWSTR shape = c == crHourGlass ? IDC_WAIT : IDC_ARROW;
    ::SetCursor(LoadCursorW(nullptr, shape));
}

} // namespace vx::platform
