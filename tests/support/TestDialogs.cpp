#include "tests/support/TestDialogs.h"

namespace vx::test {

TModalResult TTestDialogs::Show(const TDialogRequest& request) {
    if (onShow)
        onShow(request);
    TModalResult r = request.defaultResult;
    if (!answers.empty()) {
        r = answers.front();
        answers.pop_front();
    }
    shown.push_back({request, r});
    return r;
}

bool TTestDialogs::InputQuery(const std::string&, const std::string& prompt, std::string& value) {
    prompts.push_back(prompt);
    if (inputs.empty())
        return false;
    value = inputs.front();
    inputs.pop_front();
    return true;
}

void TTestDialogs::Reset() {
    shown.clear();
    answers.clear();
    inputs.clear();
    prompts.clear();
    onShow = nullptr;
}

std::vector<std::string> TTestDialogs::Texts() const {
    std::vector<std::string> t;
    for (const auto& s : shown)
        t.push_back(s.request.text);
    return t;
}

} // namespace vx::test
