// Every box the system shows goes through one interface, so that the same
// logic runs on a display (real modal Qt dialogs), unattended (one line on
// standard error per box, answered from UPDATER_ANSWERS) and under test
// (recorded and answered as the test says).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vx::platform {

// Modal results, with the platform's values.
enum TModalResult : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7,
    mrAll = 8,
    mrNoToAll = 9,
    mrYesToAll = 10,
};

enum class TDialogIcon { None, Information, Warning, Error, Question };

struct TDialogButton {
    TModalResult result;
    std::string caption; // CP1252, with '&' marking the accelerator
};

struct TDialogRequest {
    std::string title; // CP1252
    std::string text;  // CP1252
    TDialogIcon icon = TDialogIcon::None;
    std::vector<TDialogButton> buttons;
    TModalResult defaultResult = mrOk; // the answer when the box is just closed
};

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // Shows the box modally and returns the result of the button chosen.
    virtual TModalResult Show(const TDialogRequest& request) = 0;
    // Input box: returns false when cancelled; value holds the default on
    // entry and the answer on return.
    virtual bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) = 0;
};

// The dialog layer in use. Never null once the application exists.
IDialogs& Dialogs();
// Replaces the dialog layer; returns the previous one.
std::unique_ptr<IDialogs> SetDialogs(std::unique_ptr<IDialogs> d);

// Real modal boxes of the platform (Qt widgets, or plain Win32 boxes).
std::unique_ptr<IDialogs> MakeNativeDialogs();
// Writes "dialog: <title>: <text> [<buttons>]" to stderr and answers with the
// next word of the comma-separated answers (ok, abort, retry, ignore, yes,
// no, yestoall, notoall, cancel, or a text for an input box), or with the
// default button when none is left.
std::unique_ptr<IDialogs> MakeUnattendedDialogs(const std::string& answers);
// The answer word of a result ("ok", "abort", ...).
std::string ResultWord(TModalResult r);

// A message to the user: titled with the application's title, no icon, OK.
void ShowMessage(const std::string& text);
// The default exception handler's box: stop icon, OK.
void ShowErrorBox(const std::string& text);

} // namespace vx::platform
