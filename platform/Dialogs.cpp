#include "platform/Dialogs.h"

#include <cstdio>
#include <deque>

#include "platform/Application.h"
#include "platform/Text.h"

namespace vx::platform {

namespace {

std::unique_ptr<IDialogs> g_dialogs;

TModalResult wordResult(const std::string& w) {
    static const std::pair<const char*, TModalResult> words[] = {
        {"ok", mrOk},           {"cancel", mrCancel},     {"abort", mrAbort}, {"retry", mrRetry},
        {"ignore", mrIgnore},   {"yes", mrYes},           {"no", mrNo},       {"all", mrAll},
        {"notoall", mrNoToAll}, {"yestoall", mrYesToAll},
    };
    std::string l = LowerCase(Trim(w));
    for (const auto& [name, r] : words)
        if (l == name)
            return r;
    return mrNone;
}

std::string oneLine(const std::string& ansi) {
    std::string out;
    bool brk = false;
    for (char c : ansi) {
        if (c == '\r' || c == '\n') {
            brk = true;
            continue;
        }
        if (brk && !out.empty())
            out += ' ';
        brk = false;
        out += c;
    }
    return out;
}

class UnattendedDialogs : public IDialogs {
public:
    explicit UnattendedDialogs(const std::string& answers) {
        size_t i = 0;
        while (i <= answers.size() && !answers.empty()) {
            size_t j = answers.find(',', i);
            if (j == std::string::npos)
                j = answers.size();
            answers_.push_back(answers.substr(i, j - i));
            i = j + 1;
        }
    }

    TModalResult Show(const TDialogRequest& r) override {
        std::string buttons;
        for (const auto& b : r.buttons) {
            if (!buttons.empty())
                buttons += ",";
            buttons += ResultWord(b.result);
        }
        std::string line = "dialog: " + AnsiToUtf8(oneLine(r.title)) + ": " + AnsiToUtf8(oneLine(r.text)) +
                           " [" + buttons + "]\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        TModalResult result = r.defaultResult;
        if (!answers_.empty()) {
            TModalResult w = wordResult(answers_.front());
            answers_.pop_front();
            for (const auto& b : r.buttons)
                if (b.result == w)
                    result = w;
        }
        return result;
    }

    bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override {
        std::string line =
            "dialog: " + AnsiToUtf8(oneLine(title)) + ": " + AnsiToUtf8(oneLine(prompt)) + " [input]\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        if (answers_.empty())
            return false;
        value = Utf8ToAnsi(answers_.front());
        answers_.pop_front();
        return true;
    }

private:
    std::deque<std::string> answers_;
};

std::string appTitle() {
    return Application() ? Application()->Title() : std::string();
}

} // namespace

IDialogs& Dialogs() {
    if (!g_dialogs)
        g_dialogs = MakeUnattendedDialogs("");
    return *g_dialogs;
}

std::unique_ptr<IDialogs> SetDialogs(std::unique_ptr<IDialogs> d) {
    std::swap(g_dialogs, d);
    return d;
}

std::unique_ptr<IDialogs> MakeUnattendedDialogs(const std::string& answers) {
    return std::make_unique<UnattendedDialogs>(answers);
}

std::string ResultWord(TModalResult r) {
    switch (r) {
    case mrOk:
        return "ok";
    case mrCancel:
        return "cancel";
    case mrAbort:
        return "abort";
    case mrRetry:
        return "retry";
    case mrIgnore:
        return "ignore";
    case mrYes:
        return "yes";
    case mrNo:
        return "no";
    case mrAll:
        return "all";
    case mrNoToAll:
        return "notoall";
    case mrYesToAll:
        return "yestoall";
    case mrNone:
        break;
    }
    return "none";
}

void ShowMessage(const std::string& text) {
    TDialogRequest r;
    r.title = appTitle();
    r.text = text;
    r.icon = TDialogIcon::None;
    r.buttons = {{mrOk, "OK"}};
    r.defaultResult = mrOk;
    Dialogs().Show(r);
}

void ShowErrorBox(const std::string& text) {
    TDialogRequest r;
    r.title = appTitle();
    r.text = text;
    r.icon = TDialogIcon::Error;
    r.buttons = {{mrOk, "OK"}};
    r.defaultResult = mrOk;
    Dialogs().Show(r);
}

} // namespace vx::platform
