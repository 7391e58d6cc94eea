#pragma once
// The Win32 peers of controls, and what forms and controls share: labels, edits, drop-down
// lists and push buttons are the system's STATIC, EDIT, COMBOBOX and BUTTON controls on a
// form's window (Win32Form.cpp), placed in the form's scale from stored pixels (96 DPI) to
// its window's. The main thread only, as every window of the program.

#include "platform/Win32Api.h"
#include "ui/Backend.h"

#include <functional>
#include <memory>
#include <string>

namespace Win32 {

inline constexpr int DesignDpi = 96;
// The window property that holds the peer of a form's or a control's window.
inline constexpr const char* PeerProperty = "KivoPeer";

[[nodiscard]] HINSTANCE Instance();

// A form's scale from stored pixels to its window's.
class TDpiScale {
public:
    void SetDpi(int Value) { FDpi = Value > 0 ? Value : DesignDpi; }
    // A stored length or coordinate in the window's pixels.
    [[nodiscard]] int operator()(int Stored) const { return MulDiv(Stored, FDpi, DesignDpi); }
    // A length in the window's pixels as stored pixels, rounded up: a text measured so never
    // comes out shorter than it shows.
    [[nodiscard]] int Stored(int Shown) const { return (Shown * DesignDpi + FDpi - 1) / FDpi; }
    // A stored rectangle in the window's pixels; its edges are scaled, so that neighbours
    // stay neighbours.
    [[nodiscard]] RECT operator()(const RECT& Stored) const {
        return {(*this)(Stored.left), (*this)(Stored.top), (*this)(Stored.right),
                (*this)(Stored.bottom)};
    }

private:
    int FDpi = DesignDpi;
};

// The calls every control shares; the window is the control's own, placed at its stored
// bounds in the form's scale.
class TWin32Control : public TWidgetPeer {
public:
    TWin32Control(HWND Parent, const TDpiScale& Scale, const char* ClassName, DWORD Style,
                  DWORD ExStyle, std::function<void()> OnClick = {});
    ~TWin32Control() override;
    TWin32Control(const TWin32Control&) = delete;
    TWin32Control& operator=(const TWin32Control&) = delete;
    TWin32Control(TWin32Control&&) = delete;
    TWin32Control& operator=(TWin32Control&&) = delete;

    void SetBounds(int Left, int Top, int Width, int Height) override {
        FBounds = {Left, Top, Left + Width, Top + Height};
        Place();
    }
    void SetEnabled(bool Value) override { EnableWindow(FWindow, Value ? TRUE : FALSE); }
    void SetVisible(bool Value) override { ShowWindow(FWindow, Value ? SW_SHOW : SW_HIDE); }
    void SetText(const std::string& Value) override { SetWindowTextA(FWindow, Value.c_str()); }
    void SetColor(TColor Value) override {
        FColor = Value;
        InvalidateRect(FWindow, nullptr, TRUE);
    }
    void SetFocus() override { ::SetFocus(FWindow); }
    [[nodiscard]] bool Focused() const override { return GetFocus() == FWindow; }
    void Repaint() override {
        RedrawWindow(FWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

    [[nodiscard]] HWND Window() const { return FWindow; }
    [[nodiscard]] TColor Color() const { return FColor; }
    void Click() const {
        if (FOnClick) {
            FOnClick();
        }
    }
    // Places the window at the stored bounds in the form's current scale.
    virtual void Place() {
        const RECT Shown = FScale(FBounds);
        MoveWindow(FWindow, Shown.left, Shown.top, Shown.right - Shown.left,
                   WindowHeight(Shown.bottom - Shown.top), TRUE);
    }
    // The form's font changed: what depends on the text's size follows.
    virtual void Refit() {}

    // What the form asks of a control of some kinds. Whether its default colour is the
    // form's (a label's) rather than the window colour.
    [[nodiscard]] virtual bool TakesFormColor() const { return false; }
    // Whether Enter presses it when it has the focus (a push button's).
    [[nodiscard]] virtual bool PressedByEnter() const { return false; }
    // The text of its tooltip (an edit's); null for a control without one.
    [[nodiscard]] virtual const char* ToolTipText() const { return nullptr; }

protected:
    // The height the window is given for a control of this height (in the window's pixels).
    [[nodiscard]] virtual int WindowHeight(int Height) const { return Height; }
    [[nodiscard]] const TDpiScale& Scale() const { return FScale; }
    [[nodiscard]] const RECT& Bounds() const { return FBounds; }

private:
    const TDpiScale& FScale;
    RECT FBounds{};
    HWND FWindow;
    std::function<void()> FOnClick;
    TColor FColor = TColor::clDefault;
};

// The control whose window Window is; null for any other window.
[[nodiscard]] TWin32Control* ControlOf(HWND Window);

// The tooltip control of a form's edits, as the system's common controls make it.
[[nodiscard]] HWND CreateToolTip(HWND Form);

// A control of Kind on the form window Parent, in the form's Scale. An edit shows its
// tooltip through ToolTip (CreateToolTip), a button runs OnClick; the others take neither.
[[nodiscard]] std::unique_ptr<TWin32Control> CreateControl(TWidgetKind Kind, HWND Parent,
                                                           const TDpiScale& Scale, HWND ToolTip,
                                                           std::function<void()> OnClick);

} // namespace Win32
