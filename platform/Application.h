// The application object: the message queue (Qt's event loop, or the
// Windows message loop), waits that
// block in it, termination, the title and the screen cursor, and the default
// exception handler.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/SysUtils.h"

namespace vx::platform {

// Screen cursor values of the platform.
constexpr int crDefault = 0;
constexpr int crArrow = -2;
constexpr int crHourGlass = -11;

class TApplication {
public:
    // Creates the Qt application (offscreen when there is no display) and
    // picks the dialog layer: real Qt dialogs on a display, the unattended
    // one otherwise. argv[0] gives the title.
    TApplication(int& argc, char** argv);
    ~TApplication();

    // Processes every pending message, then returns.
    void ProcessMessages();
    // Blocks in the event loop until cond() holds: every notification,
    // timer or posted event wakes it to test cond() again. Never spins.
    void WaitUntil(const std::function<bool()>& cond);
    // As WaitUntil, but gives up after timeoutMs (returns cond()).
    bool WaitUntilFor(const std::function<bool()>& cond, int timeoutMs);
    // Runs the message loop until Terminate.
    int Run();
    void Terminate();
    bool Terminated() const { return terminated_; }

    // The executable's file name without folder and extension, with every
    // letter after the first in lower case ("Atualizarvendarix").
    const std::string& Title() const { return title_; }
    void SetTitle(std::string t) { title_ = std::move(t); }

    int Cursor() const { return cursor_; }
    void SetCursor(int c);

    // The default exception handler: an error box with a stop icon and OK,
    // the message with a full stop appended when it is not empty and its last
    // character sorts after '.'.
    void ShowException(const std::exception& e);
    static std::string ExceptionText(const std::string& message);

    // Runs f and hands any exception to ShowException, as the dispatcher of
    // an event does.
    void Dispatch(const std::function<void()>& f);

    // True when no display is in use (QT_QPA_PLATFORM=offscreen or none).
    bool Unattended() const { return unattended_; }

    // Makes the title from an executable path.
    static std::string TitleFromPath(const std::string& exePath);

private:
    // The platform's own state (the Qt application, or the Windows
    // message loop's).
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string title_;
    int cursor_ = crDefault;
    bool terminated_ = false;
    bool unattended_ = false;
};

// The one application object; null before it is created.
TApplication* Application();

} // namespace vx::platform
