// The dialog layer on Windows: plain Win32 modal boxes built from an
// in-memory dialog template, so that every box has the Portuguese captions
// and the buttons the request names (a message box of the system has fixed
// English ones): messages, the failure box with three buttons, the
// overwrite question, and the input box with its edit line.
#include "platform/Dialogs.h"

#include <algorithm>
#include <vector>

#include "platform/Application.h"
#include "platform/Text.h"
#include "platform/win32/Win.h"

namespace vx::platform {

namespace {

constexpr WORD kTextId = 100;
constexpr WORD kEditId = 101;
constexpr WORD kFirstButtonId = 200;

// A DLGTEMPLATE with its items, laid out in dialog units.
class TTemplate {
public:
    TTemplate(const std::wstring& title, short cx, short cy, int items) {
        align(4);
        DLGTEMPLATE t{};
        t.style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        t.cdit = static_cast<WORD>(items);
        t.cx = cx;
        t.cy = cy;
        add(&t, sizeof t);
        word(0); // no menu
        word(0); // the standard class
        text(title);
        word(9);
        text(L"Segoe UI");
    }
    void item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD cls, const std::wstring& s) {
        align(4);
        DLGITEMTEMPLATE i{};
        i.style = style | WS_CHILD | WS_VISIBLE;
        i.x = x;
        i.y = y;
        i.cx = cx;
        i.cy = cy;
        i.id = id;
        add(&i, sizeof i);
        word(0xFFFF);
        word(cls);
        text(s);
        word(0); // no creation data
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(data_.data()); }

private:
    void add(const void* p, size_t n) {
        const auto* b = static_cast<const char*>(p);
        data_.insert(data_.end(), b, b + n);
    }
    void word(WORD w) { add(&w, sizeof w); }
    void text(const std::wstring& s) { add(s.c_str(), (s.size() + 1) * sizeof(wchar_t)); }
    void align(size_t n) {
        while (data_.size() % n)
            data_.push_back(0);
    }
    std::vector<char> data_;
};

constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;

std::wstring wide(const std::string& ansi) {
    return win::ToWide(ansi, 1252);
}

struct TBoxState {
    const TDialogRequest* request = nullptr;
    std::wstring* input = nullptr; // the input box's value
    TModalResult result = mrNone;
};

INT_PTR CALLBACK boxProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* st = reinterpret_cast<TBoxState*>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dlg, DWLP_USER, lParam);
        st = reinterpret_cast<TBoxState*>(lParam);
        if (st->input) {
            SetDlgItemTextW(dlg, kEditId, st->input->c_str());
            SetFocus(GetDlgItem(dlg, kEditId));
            SendDlgItemMessageW(dlg, kEditId, EM_SETSEL, 0, -1);
            return FALSE;
        }
        return TRUE;
    case WM_COMMAND: {
        const WORD id = LOWORD(wParam);
        if (id == IDCANCEL) { // Esc or the close box
            st->result = st->input ? mrCancel : st->request->defaultResult;
            EndDialog(dlg, 0);
            return TRUE;
        }
        if (id >= kFirstButtonId && id < kFirstButtonId + st->request->buttons.size()) {
            st->result = st->request->buttons[id - kFirstButtonId].result;
            if (st->input) {
                wchar_t buf[1024] = {};
                GetDlgItemTextW(dlg, kEditId, buf, 1024);
                *st->input = buf;
            }
            EndDialog(dlg, 0);
            return TRUE;
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

TModalResult runBox(const TDialogRequest& r, std::wstring* input) {
    const std::wstring text = wide(r.text);
    // Width from the longest line, height from the number of lines: a
    // rough measure in dialog units that needs no device context.
    int lines = 1, longest = 0, cur = 0;
    for (wchar_t c : text) {
        if (c == L'\n') {
            ++lines;
            cur = 0;
        } else if (c != L'\r') {
            longest = std::max(longest, ++cur);
        }
    }
    const int n = static_cast<int>(r.buttons.size());
    const short buttonW = 50, buttonH = 14, gap = 6, margin = 8;
    const short textW = static_cast<short>(std::min(360, std::max(120, longest * 4)));
    const short textH = static_cast<short>(lines * 10);
    const short buttonsW = static_cast<short>(n * buttonW + (n - 1) * gap);
    const short cx = static_cast<short>(std::max<int>(textW, buttonsW) + 2 * margin);
    const short editH = input ? 14 : 0;
    const short cy = static_cast<short>(margin + textH + (input ? editH + gap : 0) + gap + buttonH + margin);
    TTemplate t(wide(r.title), cx, cy, 1 + n + (input ? 1 : 0));
    t.item(SS_LEFT | SS_NOPREFIX, margin, margin, textW, textH, kTextId, kStatic, text);
    if (input)
        t.item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, margin, static_cast<short>(margin + textH + gap / 2),
               static_cast<short>(cx - 2 * margin), editH, kEditId, kEdit, L"");
    short x = static_cast<short>((cx - buttonsW) / 2);
    const short y = static_cast<short>(cy - margin - buttonH);
    for (int i = 0; i < n; ++i) {
        const bool def = r.buttons[i].result == r.defaultResult;
        t.item((def ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP, x, y, buttonW, buttonH,
               static_cast<WORD>(kFirstButtonId + i), kButton, wide(r.buttons[i].caption));
        x = static_cast<short>(x + buttonW + gap);
    }
    switch (r.icon) {
    case TDialogIcon::Error:
        MessageBeep(MB_ICONHAND);
        break;
    case TDialogIcon::Warning:
        MessageBeep(MB_ICONEXCLAMATION);
        break;
    case TDialogIcon::Question:
        MessageBeep(MB_ICONQUESTION);
        break;
    default:
        break;
    }
    TBoxState st;
    st.request = &r;
    st.input = input;
    st.result = r.defaultResult;
    if (DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), GetActiveWindow(), boxProc,
                                reinterpret_cast<LPARAM>(&st)) == -1)
        return r.defaultResult;
    return st.result;
}

class TWin32Dialogs : public IDialogs {
public:
    TModalResult Show(const TDialogRequest& r) override { return runBox(r, nullptr); }

    bool InputQuery(const std::string& title, const std::string& prompt, std::string& value) override {
        TDialogRequest r;
        r.title = title;
        r.text = prompt;
        r.buttons = {{mrOk, "OK"}, {mrCancel, "Cancel"}};
        r.defaultResult = mrOk;
        std::wstring v = wide(value);
        if (runBox(r, &v) != mrOk)
            return false;
        value = win::FromWide(v, 1252);
        return true;
    }
};

} // namespace

std::unique_ptr<IDialogs> MakeNativeDialogs() {
    return std::make_unique<TWin32Dialogs>();
}

} // namespace vx::platform
