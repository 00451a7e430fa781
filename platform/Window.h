// The updater's window and its controls, as the system makes them: a form
// with a caption and no border icons, labels, and controls that paint
// themselves through a canvas. The window's logic lives with its users;
// this is only what the system must do for them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Canvas.h"

namespace vx::platform {

class TWindowControl {
public:
    virtual ~TWindowControl();
    TWindowControl(const TWindowControl&) = delete;
    TWindowControl& operator=(const TWindowControl&) = delete;

    void SetName(const std::string& name);
    // Position in the parent's client area (or on the screen) and size.
    void SetBounds(int left, int top, int width, int height);
    void Resize(int width, int height);
    TRect Bounds() const;
    int Width() const;
    int Height() const;
    bool Visible() const;
    void Show();
    // Paints at once, before returning: a busy run processes no messages.
    void Repaint();
    // Colours of the control: its background and its text.
    void SetColor(TColor c);
    TColor Color() const;
    void SetFont(const TFont& font);
    void SetFontColor(TColor c);

    // The system's own object (a QWidget*, a window handle), for the
    // system's half and for tests that look at what the system shows.
    void* Native() const;

    struct TImpl;
    const TImpl& Impl() const { return *impl_; }

protected:
    explicit TWindowControl(std::unique_ptr<TImpl> impl);
    std::unique_ptr<TImpl> impl_;
};

// A control whose every pixel the owner paints.
class TPaintBox : public TWindowControl {
public:
    // A child of parent, or a window of its own without one.
    explicit TPaintBox(TWindowControl* parent);
    ~TPaintBox() override;
    std::function<void(TCanvas&)> OnPaint;
    // A canvas on a picture, with this control's font, for painting the
    // control off the screen.
    std::unique_ptr<TCanvas> CanvasOn(TBitmap& picture) const;
};

struct TLabelStyle {
    std::string Caption; // UTF-8
    TFont Font;
    TColor FontColor = clBlack;
    TColor Color = clBtnFace;
    // Shows what is beneath it instead of its colour.
    bool Transparent = false;
};

class TLabelControl : public TWindowControl {
public:
    // Controls are stacked in the order they are made: the last on top.
    TLabelControl(TWindowControl& parent, const TLabelStyle& style);
    ~TLabelControl() override;
};

// A top-level window with a caption and no border icons. Esc and the
// window manager's close ask OnCloseQuery first.
class TFormWindow : public TWindowControl {
public:
    TFormWindow();
    ~TFormWindow() override;
    void SetCaption(const std::string& utf8);
    // outerWidth and outerHeight include the frame the system puts around
    // the window; shown centred on the screen with the keyboard focus.
    void ShowCentred(int outerWidth, int outerHeight);
    // Asks to close, as the user's close does; false when refused.
    bool Close();

    std::function<bool()> OnCloseQuery; // unassigned: closing is allowed
    std::function<void()> OnClose;      // after the window closed
};

} // namespace vx::platform
