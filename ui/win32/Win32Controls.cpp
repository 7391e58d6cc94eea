// The controls of forms as user32 windows: the system's STATIC, EDIT, COMBOBOX and BUTTON
// controls. Texts are 8-bit characters in the system's ANSI code page.

#include "ui/win32/Win32Controls.h"

#include "ui/TextFit.h"

#include <algorithm>
#include <commctrl.h>
#include <string>
#include <vector>

namespace Win32 {
namespace {

constexpr int VisibleDropDownItems = 8;

// The size of Text in the font Window draws with.
SIZE TextExtent(HWND Window, const std::string& Text) {
    HDC Dc = GetDC(Window);
    const auto Font = reinterpret_cast<HFONT>(SendMessageA(Window, WM_GETFONT, 0, 0));
    HGDIOBJ Old = SelectObject(Dc, Font);
    SIZE Extent{};
    GetTextExtentPoint32A(Dc, Text.c_str(), static_cast<int>(Text.size()), &Extent);
    TEXTMETRICA Metrics{};
    GetTextMetricsA(Dc, &Metrics);
    SelectObject(Dc, Old);
    ReleaseDC(Window, Dc);
    Extent.cy = Metrics.tmHeight;
    return Extent;
}

std::string WindowText(HWND Window) {
    std::string Text(static_cast<std::size_t>(GetWindowTextLengthA(Window)) + 1, '\0');
    Text.resize(static_cast<std::size_t>(
        GetWindowTextA(Window, Text.data(), static_cast<int>(Text.size()))));
    return Text;
}

// The height of the area inside a control's border.
int InnerHeight(HWND Window) {
    RECT Client{};
    GetClientRect(Window, &Client);
    return Client.bottom - Client.top;
}

// A label shows its whole text on one line: when the text is wider or taller than the
// label (the system's metrics of the font differ by a pixel or two), it grows away from its
// aligned edge and downwards, as an auto-sized label does.
class TWin32Label : public TWin32Control {
public:
    TWin32Label(HWND Parent, const TDpiScale& Scale)
        : TWin32Control(Parent, Scale, "STATIC", SS_LEFTNOWORDWRAP, 0) {}

    void Place() override { Fit(); }
    [[nodiscard]] bool TakesFormColor() const override { return true; }
    void Refit() override { Fit(); }
    void SetText(const std::string& Value) override {
        TWin32Control::SetText(Value);
        FText = Value;
        Fit();
    }
    void SetAlignment(TAlignment Value) override {
        FAlignment = Value;
        LONG_PTR Style = GetWindowLongPtrA(Window(), GWL_STYLE) & ~LONG_PTR{SS_TYPEMASK};
        if (Value == TAlignment::taRightJustify) {
            Style |= SS_RIGHT;
        } else if (Value == TAlignment::taCenter) {
            Style |= SS_CENTER;
        } else {
            Style |= SS_LEFTNOWORDWRAP;
        }
        SetWindowLongPtrA(Window(), GWL_STYLE, Style);
        Fit();
    }

    // In stored pixels, as the form weighs it against the stored layout.
    [[nodiscard]] int TextWidth() const override {
        return Scale().Stored(TextExtent(Window(), FText).cx);
    }

private:
    void Fit() {
        const RECT Placed = Scale()(Bounds());
        RECT Shown = Placed;
        const SIZE Text = TextExtent(Window(), FText);
        Shown.bottom = std::max(Shown.bottom, Shown.top + Text.cy);
        const int Missing = Text.cx - (Placed.right - Placed.left);
        if (Missing > 0) {
            if (FAlignment == TAlignment::taRightJustify) {
                Shown.left -= Missing;
            } else {
                Shown.right += Missing;
            }
        }
        MoveWindow(Window(), Shown.left, Shown.top, Shown.right - Shown.left,
                   Shown.bottom - Shown.top, TRUE);
    }

    std::string FText;
    TAlignment FAlignment = TAlignment::taLeftJustify;
};

// An edit; its whole text is its tooltip when it is longer than the edit shows, and it can
// be selected and copied also when it is read-only.
class TWin32Edit : public TWin32Control {
public:
    TWin32Edit(HWND Parent, const TDpiScale& Scale, HWND ToolTip)
        : TWin32Control(Parent, Scale, "EDIT", ES_AUTOHSCROLL | ES_LEFT, WS_EX_CLIENTEDGE),
          FToolTip(ToolTip) {
        TOOLINFOA Tool = ToolOf(Parent);
        SendMessageA(FToolTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&Tool));
    }
    ~TWin32Edit() override {
        if (IsWindow(FToolTip) != FALSE) {
            TOOLINFOA Tool = ToolOf(GetParent(Window()));
            SendMessageA(FToolTip, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&Tool));
        }
    }
    TWin32Edit(const TWin32Edit&) = delete;
    TWin32Edit& operator=(const TWin32Edit&) = delete;
    TWin32Edit(TWin32Edit&&) = delete;
    TWin32Edit& operator=(TWin32Edit&&) = delete;

    void SetText(const std::string& Value) override {
        FText = Value;
        TWin32Control::SetText(Value);
    }
    void SetReadOnly(bool Value) override {
        SendMessageA(Window(), EM_SETREADONLY, Value ? TRUE : FALSE, 0);
    }
    [[nodiscard]] bool TextFits() const override {
        return TextExtent(Window(), "Ag").cy <= InnerHeight(Window());
    }
    void SetHint(const std::string& Value) override { FHint = Value; }
    // The tooltip's text: the whole text when the edit cannot show it, else the hint.
    [[nodiscard]] const char* ToolTipText() const override {
        RECT Shown{};
        SendMessageA(Window(), EM_GETRECT, 0, reinterpret_cast<LPARAM>(&Shown));
        return TextExtent(Window(), FText).cx > Shown.right - Shown.left ? FText.c_str()
                                                                         : FHint.c_str();
    }

private:
    // The edit as a tool of the tooltip; the form is asked for the text when it shows.
    [[nodiscard]] TOOLINFOA ToolOf(HWND Parent) const {
        TOOLINFOA Tool{};
        Tool.cbSize = TTTOOLINFOA_V2_SIZE; // what every version of the control takes
        Tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        Tool.hwnd = Parent;
        Tool.uId = reinterpret_cast<UINT_PTR>(Window());
        Tool.lpszText = LPSTR_TEXTCALLBACKA;
        return Tool;
    }

    HWND FToolTip;
    std::string FText;
    std::string FHint;
};

// A drop-down list: only its items can be chosen.
class TWin32ComboBox : public TWin32Control {
public:
    TWin32ComboBox(HWND Parent, const TDpiScale& Scale)
        : TWin32Control(Parent, Scale, "COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, 0) {}
    void SetItems(const std::vector<std::string>& Items) override {
        SendMessageA(Window(), CB_RESETCONTENT, 0, 0);
        for (const std::string& Item : Items) {
            SendMessageA(Window(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Item.c_str()));
        }
        FitDroppedWidth();
    }
    void SetItemIndex(int Index) override { SendMessageA(Window(), CB_SETCURSEL, Index, 0); }
    [[nodiscard]] int ItemIndex() const override {
        return static_cast<int>(SendMessageA(Window(), CB_GETCURSEL, 0, 0));
    }
    void SetItemHeight(int Value) override {
        FItemHeight = Value;
        SendMessageA(Window(), CB_SETITEMHEIGHT, 0, Scale()(Value));
    }
    void Place() override {
        SendMessageA(Window(), CB_SETITEMHEIGHT, 0, Scale()(FItemHeight));
        TWin32Control::Place();
    }
    void Refit() override { FitDroppedWidth(); }
    // Every item's name (ListItemName) shows whole beside the drop-down arrow; what follows
    // it, a port's description or a mark, shows in the dropped-down list.
    [[nodiscard]] bool TextFits() const override {
        COMBOBOXINFO Info{};
        Info.cbSize = sizeof(Info);
        if (GetComboBoxInfo(Window(), &Info) == FALSE) {
            return true;
        }
        const int Room = Info.rcItem.right - Info.rcItem.left;
        return std::ranges::all_of(Items(), [this, Room](const std::string& Item) {
            return TextExtent(Window(), std::string(ListItemName(Item))).cx <= Room;
        });
    }

protected:
    // The dropped-down list as wide as its widest item (a port's name and description),
    // never narrower than the box.
    void FitDroppedWidth() const {
        LONG Widest = 0;
        for (const std::string& Item : Items()) {
            Widest = std::max(Widest, TextExtent(Window(), Item).cx);
        }
        SendMessageA(Window(), CB_SETDROPPEDWIDTH,
                     Widest + GetSystemMetrics(SM_CXVSCROLL) + Scale()(8), 0);
    }

    // A combo box window's height includes its dropped-down list.
    [[nodiscard]] int WindowHeight(int Height) const override {
        return Height + VisibleDropDownItems * Scale()(FItemHeight) + 2;
    }

private:
    [[nodiscard]] std::vector<std::string> Items() const {
        const auto Count = static_cast<int>(SendMessageA(Window(), CB_GETCOUNT, 0, 0));
        std::vector<std::string> Items;
        for (int I = 0; I < Count; ++I) {
            std::string Item(
                static_cast<std::size_t>(SendMessageA(Window(), CB_GETLBTEXTLEN, I, 0)) + 1, '\0');
            SendMessageA(Window(), CB_GETLBTEXT, I, reinterpret_cast<LPARAM>(Item.data()));
            Item.resize(Item.size() - 1);
            Items.push_back(std::move(Item));
        }
        return Items;
    }

    int FItemHeight = 13;
};

class TWin32Button : public TWin32Control {
public:
    TWin32Button(HWND Parent, const TDpiScale& Scale, std::function<void()> OnClick)
        : TWin32Control(Parent, Scale, "BUTTON", BS_PUSHBUTTON, 0, std::move(OnClick)) {}
    [[nodiscard]] bool PressedByEnter() const override { return true; }
    // The caption, without its accelerator mark, inside the button's raised edge and the
    // focus rectangle.
    [[nodiscard]] bool TextFits() const override {
        const int Inset = Scale()(4);
        std::string Caption = WindowText(Window());
        std::erase(Caption, '&');
        const SIZE Extent = TextExtent(Window(), Caption);
        RECT Client{};
        GetClientRect(Window(), &Client);
        return Extent.cx <= Client.right - 2 * Inset && Extent.cy <= Client.bottom - 2 * Inset;
    }
};

} // namespace

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

TWin32Control::TWin32Control(HWND Parent, const TDpiScale& Scale, const char* ClassName,
                             DWORD Style, DWORD ExStyle, std::function<void()> OnClick)
    : FScale(Scale), FWindow(CreateWindowExA(ExStyle, ClassName, "",
                                             WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | Style, 0, 0,
                                             0, 0, Parent, nullptr, Instance(), nullptr)),
      FOnClick(std::move(OnClick)) {
    SetPropA(FWindow, PeerProperty, this);
    SendMessageA(FWindow, WM_SETFONT, SendMessageA(Parent, WM_GETFONT, 0, 0), FALSE);
}

TWin32Control::~TWin32Control() {
    // The form's window may have taken this one with it already.
    if (IsWindow(FWindow) != FALSE && ControlOf(FWindow) == this) {
        RemovePropA(FWindow, PeerProperty);
        DestroyWindow(FWindow);
    }
}

TWin32Control* ControlOf(HWND Window) {
    return static_cast<TWin32Control*>(GetPropA(Window, PeerProperty));
}

HWND CreateToolTip(HWND Form) {
    INITCOMMONCONTROLSEX Classes{sizeof(Classes), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&Classes);
    return CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                           WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, Form, nullptr, Instance(), nullptr);
}

std::unique_ptr<TWin32Control> CreateControl(TWidgetKind Kind, HWND Parent, const TDpiScale& Scale,
                                             HWND ToolTip, std::function<void()> OnClick) {
    switch (Kind) {
    case TWidgetKind::wkLabel:
        return std::make_unique<TWin32Label>(Parent, Scale);
    case TWidgetKind::wkEdit:
        return std::make_unique<TWin32Edit>(Parent, Scale, ToolTip);
    case TWidgetKind::wkComboBox:
        return std::make_unique<TWin32ComboBox>(Parent, Scale);
    case TWidgetKind::wkButton:
        break;
    }
    return std::make_unique<TWin32Button>(Parent, Scale, std::move(OnClick));
}

} // namespace Win32
