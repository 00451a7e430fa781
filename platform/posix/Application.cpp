#include "platform/Application.h"

#include <QApplication>
#include <QCursor>
#include <QEventLoop>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/Dialogs.h"
#include "platform/Text.h"

namespace vx::platform {

namespace {
TApplication* g_app = nullptr;

bool hasDisplay() {
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    if (qpa && *qpa)
        return std::strcmp(qpa, "offscreen") != 0 && std::strcmp(qpa, "minimal") != 0;
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}
} // namespace

struct TApplication::Impl {
    Impl(int& argc, char** argv) : qt(argc, argv) {}
    QApplication qt;
};

TApplication* Application() {
    return g_app;
}

TApplication::TApplication(int& argc, char** argv) {
    unattended_ = !hasDisplay();
    if (unattended_)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!std::getenv("XDG_RUNTIME_DIR")) {
        // Qt falls back to this folder anyway, with a warning on stderr that
        // would mix with the dialog lines of an unattended run.
        std::string dir = "/tmp/runtime-" + std::to_string(getuid());
        mkdir(dir.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 0);
    }
    impl_ = std::make_unique<Impl>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    title_ = TitleFromPath(argc > 0 && argv && argv[0] ? argv[0] : "");
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
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    g_app = nullptr;
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::WaitUntil(const std::function<bool()>& cond) {
    // WaitForMoreEvents sleeps in the event dispatcher until a socket
    // notifier, a timer or a posted event wakes it; then the condition is
    // tested again. Nothing here polls.
    while (!cond())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool TApplication::WaitUntilFor(const std::function<bool()>& cond, int timeoutMs) {
    bool expired = false;
    QTimer t;
    t.setTimerType(Qt::PreciseTimer);
    t.setSingleShot(true);
    QObject::connect(&t, &QTimer::timeout, [&expired] { expired = true; });
    t.start(timeoutMs < 0 ? 0 : timeoutMs);
    while (!cond() && !expired)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return cond();
}

int TApplication::Run() {
    if (terminated_)
        return 0;
    return QApplication::exec();
}

void TApplication::Terminate() {
    terminated_ = true;
    // Ends the message loop once the running handler has returned.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
}

void TApplication::SetCursor(int c) {
    cursor_ = c;
    if (c == crDefault) {
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
        return;
    }
    Qt::CursorShape shape = c == crHourGlass ? Qt::WaitCursor : Qt::ArrowCursor;
    if (QApplication::overrideCursor())
        QApplication::changeOverrideCursor(QCursor(shape));
    else
        QApplication::setOverrideCursor(QCursor(shape));
}

} // namespace vx::platform
