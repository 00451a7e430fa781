// The dialog layer of the tests: records every box and answers from a
// script, or with the box's default when the script is empty.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

namespace vx::test {

using namespace vx::platform;

class TTestDialogs : public IDialogs {
public:
    struct Shown {
        TDialogRequest request;
        TModalResult answer;
    };
    TModalResult Show(const TDialogRequest& request) override;
    bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override;
    void Reset();
    // Texts of the boxes shown so far, in order.
    std::vector<std::string> Texts() const;

    std::vector<Shown> shown;
    std::deque<TModalResult> answers; // next answers to boxes
    std::deque<std::string> inputs;   // next answers to input boxes; empty = cancel
    std::vector<std::string> prompts; // prompts of the input boxes shown
    // Called while a box is "open", before it is answered.
    std::function<void(const TDialogRequest&)> onShow;
};

// The instance TestMain installed; tests Reset() it in their set-up.
TTestDialogs& TestDialogs();

} // namespace vx::test
