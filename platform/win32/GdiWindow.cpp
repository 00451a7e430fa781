#include "platform/win32/GdiGraphics.h"
#include "platform/win32/Utf16.h"

namespace vx::platform {

namespace {

const wchar_t kFormClass[] = L"VxForm";
const wchar_t kPaintClass[] = L"VxPaintBox";
const wchar_t kLabelClass[] = L"VxLabel";

HWND hwndOf(const TWindowControl* c) {
    return c ? static_cast<HWND>(c->Native()) : nullptr;
}

TWindowControl* controlOf(HWND h) {
    return reinterpret_cast<TWindowControl*>(::GetWindowLongPtrW(h, GWLP_USERDATA));
}

struct TLabelImpl : TWindowControl::TImpl {
    std::wstring caption;
    bool transparent = false;
};

// The size of one line of text in the window's font, as DrawTextW lays it
// out for painting; {0, 0} when it cannot be measured.
SIZE textSize(HWND h, const std::wstring& text) {
    SIZE size{0, 0};
    const HDC dc = ::GetDC(h);
    if (!dc)
        return size;
    const HGDIOBJ old = ::SelectObject(dc, FontOf(h));
    RECT rc{0, 0, 0, 0};
    if (::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc,
                    DT_LEFT | DT_TOP | DT_NOPREFIX | DT_SINGLELINE | DT_CALCRECT))
        size = {rc.right - rc.left, rc.bottom - rc.top};
    ::SelectObject(dc, old);
    ::ReleaseDC(h, dc);
    return size;
}

LRESULT CALLBACK formProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* form = static_cast<TFormWindow*>(controlOf(h));
    switch (msg) {
    case WM_KEYDOWN:
        if (wp == VK_ESCAPE && form) {
            form->Close();
            return 0;
        }
        break;
    case WM_CLOSE:
        // Closing hides the window; its owner decides what follows.
        if (form && form->OnCloseQuery && !form->OnCloseQuery())
            return 0;
        ::ShowWindow(h, SW_HIDE);
        if (form && form->OnClose)
            form->OnClose();
        return 0;
    case WM_ERASEBKGND:
        if (form) {
            RECT rc;
            ::GetClientRect(h, &rc);
            const HBRUSH b = ::CreateSolidBrush(ColorToColorRef(form->Color()));
            ::FillRect(reinterpret_cast<HDC>(wp), &rc, b);
            ::DeleteObject(b);
            return 1;
        }
        break;
    }
    return ::DefWindowProcW(h, msg, wp, lp);
}

LRESULT CALLBACK paintProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* box = static_cast<TPaintBox*>(controlOf(h));
    switch (msg) {
    case WM_ERASEBKGND:
        return 1; // the owner paints every pixel
    case WM_PAINT: {
        PAINTSTRUCT ps;
        const HDC dc = ::BeginPaint(h, &ps);
        if (box && box->OnPaint) {
            RECT rc;
            ::GetClientRect(h, &rc);
            TGdiCanvas canvas(dc, FontOf(h), rc.right, rc.bottom);
            box->OnPaint(canvas);
        }
        ::EndPaint(h, &ps);
        return 0;
    }
    }
    return ::DefWindowProcW(h, msg, wp, lp);
}

LRESULT CALLBACK labelProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* label = controlOf(h);
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        const HDC dc = ::BeginPaint(h, &ps);
        if (label) {
            const auto& impl = static_cast<const TLabelImpl&>(label->Impl());
            RECT rc;
            ::GetClientRect(h, &rc);
            if (!impl.transparent) {
                const HBRUSH b = ::CreateSolidBrush(ColorToColorRef(impl.color));
                ::FillRect(dc, &rc, b);
                ::DeleteObject(b);
            }
            ::SetBkMode(dc, TRANSPARENT);
            ::SetTextColor(dc, ColorToColorRef(impl.fontColor));
            const HGDIOBJ old = ::SelectObject(dc, FontOf(h));
            RECT text = rc;
            ::DrawTextW(dc, impl.caption.c_str(), static_cast<int>(impl.caption.size()), &text,
                        DT_LEFT | DT_TOP | DT_NOPREFIX | DT_SINGLELINE);
            ::SelectObject(dc, old);
        }
        ::EndPaint(h, &ps);
        // An opaque label painted after a transparent one above it would
        // cover that one's text (the shadow over the caption): those above
        // that overlap it are painted again, after it.
        if (label && !static_cast<const TLabelImpl&>(label->Impl()).transparent) {
            RECT mine;
            ::GetWindowRect(h, &mine);
            for (HWND above = ::GetWindow(h, GW_HWNDPREV); above; above = ::GetWindow(above, GW_HWNDPREV)) {
                RECT theirs, both;
                if ((::GetWindowLongPtrW(above, GWL_EXSTYLE) & WS_EX_TRANSPARENT) &&
                    ::GetWindowRect(above, &theirs) && ::IntersectRect(&both, &mine, &theirs))
                    ::InvalidateRect(above, nullptr, FALSE);
            }
        }
        return 0;
    }
    }
    return ::DefWindowProcW(h, msg, wp, lp);
}

void registerClasses() {
    static const bool done = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        wc.lpfnWndProc = formProc;
        wc.lpszClassName = kFormClass;
        ::RegisterClassExW(&wc);
        wc.lpfnWndProc = paintProc;
        wc.lpszClassName = kPaintClass;
        ::RegisterClassExW(&wc);
        wc.lpfnWndProc = labelProc;
        wc.lpszClassName = kLabelClass;
        ::RegisterClassExW(&wc);
        return true;
    }();
    (void)done;
}

HWND create(const wchar_t* cls, DWORD style, DWORD exStyle, HWND parent, TWindowControl* control) {
    registerClasses();
    const HWND h = ::CreateWindowExW(exStyle, cls, L"", style, 0, 0, 0, 0, parent, nullptr,
                                     ::GetModuleHandleW(nullptr), nullptr);
    ::SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(control));
    return h;
}

} // namespace

TWindowControl::TImpl::~TImpl() {
    if (font)
        ::DeleteObject(font);
}

HFONT FontOf(HWND h) {
    for (; h; h = ::GetParent(h))
        if (TWindowControl* c = controlOf(h); c && c->Impl().font)
            return c->Impl().font;
    return static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
}

TWindowControl::TWindowControl(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}

TWindowControl::~TWindowControl() {
    if (impl_ && impl_->hwnd && ::IsWindow(impl_->hwnd)) {
        ::SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, 0);
        ::DestroyWindow(impl_->hwnd);
    }
}

void TWindowControl::SetName(const std::string&) {
    // Windows have no names of their own here; the owner keeps them.
}

void TWindowControl::SetBounds(int left, int top, int width, int height) {
    // A label is as large as its text in its own font: the stored size was
    // taken with the font the layout names, and the one the system gives in
    // its place (Wine has no Bookman Old Style) may be wider or taller.
    if (const auto* label = dynamic_cast<const TLabelImpl*>(impl_.get())) {
        const SIZE text = textSize(impl_->hwnd, label->caption);
        if (text.cx > 0 && text.cy > 0) {
            width = text.cx;
            height = text.cy;
        }
    }
    ::SetWindowPos(impl_->hwnd, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWindowControl::Resize(int width, int height) {
    ::SetWindowPos(impl_->hwnd, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
}

TRect TWindowControl::Bounds() const {
    RECT rc;
    ::GetWindowRect(impl_->hwnd, &rc);
    if (const HWND parent = ::GetParent(impl_->hwnd))
        ::MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rc), 2);
    return {rc.left, rc.top, rc.right, rc.bottom};
}

int TWindowControl::Width() const {
    RECT rc;
    ::GetClientRect(impl_->hwnd, &rc);
    return rc.right;
}

int TWindowControl::Height() const {
    RECT rc;
    ::GetClientRect(impl_->hwnd, &rc);
    return rc.bottom;
}

bool TWindowControl::Visible() const {
    return ::IsWindowVisible(impl_->hwnd) != 0;
}

void TWindowControl::Show() {
    ::ShowWindow(impl_->hwnd, SW_SHOW);
}

void TWindowControl::Repaint() {
    ::RedrawWindow(impl_->hwnd, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void TWindowControl::SetColor(TColor c) {
    impl_->color = c;
    ::InvalidateRect(impl_->hwnd, nullptr, TRUE);
}

TColor TWindowControl::Color() const {
    return impl_->color;
}

void TWindowControl::SetFont(const TFont& font) {
    if (impl_->font)
        ::DeleteObject(impl_->font);
    impl_->font = MakeFont(font);
    ::InvalidateRect(impl_->hwnd, nullptr, TRUE);
}

void TWindowControl::SetFontColor(TColor c) {
    impl_->fontColor = c;
    ::InvalidateRect(impl_->hwnd, nullptr, TRUE);
}

void* TWindowControl::Native() const {
    return impl_->hwnd;
}

TPaintBox::TPaintBox(TWindowControl* parent) : TWindowControl(std::make_unique<TImpl>()) {
    const HWND p = hwndOf(parent);
    impl_->hwnd = create(kPaintClass, p ? WS_CHILD | WS_VISIBLE : WS_POPUP, 0, p, this);
}

TPaintBox::~TPaintBox() = default;

std::unique_ptr<TCanvas> TPaintBox::CanvasOn(TBitmap& picture) const {
    // A memory context over the picture, with this control's font.
    class TOn : public TGdiCanvas {
    public:
        TOn(HDC dc, HBITMAP bmp, HFONT font, int w, int h)
            : TGdiCanvas(dc, font, w, h), dc_(dc), old_(::SelectObject(dc, bmp)) {}
        ~TOn() override {
            ::SelectObject(dc_, old_);
            ::DeleteDC(dc_);
        }

    private:
        HDC dc_;
        HGDIOBJ old_;
    };
    return std::make_unique<TOn>(::CreateCompatibleDC(nullptr), picture.Impl().bitmap, FontOf(impl_->hwnd),
                                 picture.Width(), picture.Height());
}

TLabelControl::TLabelControl(TWindowControl& parent, const TLabelStyle& style)
    : TWindowControl(std::make_unique<TLabelImpl>()) {
    auto& impl = static_cast<TLabelImpl&>(*impl_);
    impl.caption = WidenUtf8(style.Caption);
    impl.transparent = style.Transparent;
    impl.color = style.Color;
    impl.fontColor = style.FontColor;
    impl.font = MakeFont(style.Font);
    // Made last, shown on top; a transparent one is painted after what is
    // beneath it.
    impl.hwnd = create(kLabelClass, WS_CHILD | WS_VISIBLE, style.Transparent ? WS_EX_TRANSPARENT : 0,
                       hwndOf(&parent), this);
    ::SetWindowPos(impl.hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

TLabelControl::~TLabelControl() = default;

TFormWindow::TFormWindow() : TWindowControl(std::make_unique<TImpl>()) {
    // A caption and no border icons: no system menu, no minimise or maximise.
    impl_->hwnd =
        create(kFormClass, WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN, WS_EX_DLGMODALFRAME, nullptr, this);
}

TFormWindow::~TFormWindow() = default;

void TFormWindow::SetCaption(const std::string& utf8) {
    ::SetWindowTextW(impl_->hwnd, WidenUtf8(utf8).c_str());
}

void TFormWindow::ShowCentred(int outerWidth, int outerHeight) {
    // Here the outer size is the window's size itself.
    const int sw = ::GetSystemMetrics(SM_CXSCREEN), sh = ::GetSystemMetrics(SM_CYSCREEN);
    ::SetWindowPos(impl_->hwnd, nullptr, (sw - outerWidth) / 2, (sh - outerHeight) / 2, outerWidth,
                   outerHeight, SWP_NOZORDER);
    ::ShowWindow(impl_->hwnd, SW_SHOW);
    ::SetForegroundWindow(impl_->hwnd);
    ::SetFocus(impl_->hwnd);
}

bool TFormWindow::Close() {
    ::SendMessageW(impl_->hwnd, WM_CLOSE, 0, 0);
    return !Visible();
}

} // namespace vx::platform
