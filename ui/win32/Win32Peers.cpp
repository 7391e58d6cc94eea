// Forms and controls as user32 windows: a form is a window of its own class; labels,
// edits, drop-down lists and push buttons are the system's STATIC, EDIT, COMBOBOX and
// BUTTON controls on it. Texts are 8-bit characters in the system's ANSI code page.

#include "ui/win32/Win32Peers.h"

#include "ui/Forms.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* FormClassName = "KivoForm";
constexpr const char* PeerProperty = "KivoPeer";
constexpr int VisibleDropDownItems = 8;

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

class TWin32Control;

TWin32Control* ControlOf(HWND Window) {
    return static_cast<TWin32Control*>(GetPropA(Window, PeerProperty));
}

// The calls every control shares; the window is the control's own.
class TWin32Control : public TWidgetPeer {
public:
    TWin32Control(HWND Parent, const char* ClassName, DWORD Style, DWORD ExStyle,
                  std::function<void()> OnClick = {})
        : FWindow(CreateWindowExA(ExStyle, ClassName, "",
                                  WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | Style, 0, 0, 0, 0,
                                  Parent, nullptr, Instance(), nullptr)),
          FOnClick(std::move(OnClick)) {
        SetPropA(FWindow, PeerProperty, this);
        SendMessageA(FWindow, WM_SETFONT, SendMessageA(Parent, WM_GETFONT, 0, 0), FALSE);
    }
    ~TWin32Control() override {
        // The form's window may have taken this one with it already.
        if (IsWindow(FWindow) != FALSE && ControlOf(FWindow) == this) {
            RemovePropA(FWindow, PeerProperty);
            DestroyWindow(FWindow);
        }
    }
    TWin32Control(const TWin32Control&) = delete;
    TWin32Control& operator=(const TWin32Control&) = delete;
    TWin32Control(TWin32Control&&) = delete;
    TWin32Control& operator=(TWin32Control&&) = delete;

    void SetBounds(int Left, int Top, int Width, int Height) override {
        MoveWindow(FWindow, Left, Top, Width, WindowHeight(Height), TRUE);
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

protected:
    // The height the window is given for a control of this height.
    [[nodiscard]] virtual int WindowHeight(int Height) const { return Height; }

private:
    HWND FWindow;
    std::function<void()> FOnClick;
    TColor FColor = TColor::clDefault;
};

// A label shows its whole text on one line: when the text is wider than the label (the
// system's metrics of the font differ by a pixel or two), it grows away from its aligned
// edge, as an auto-sized label does.
class TWin32Label : public TWin32Control {
public:
    explicit TWin32Label(HWND Parent) : TWin32Control(Parent, "STATIC", SS_LEFTNOWORDWRAP, 0) {}

    void SetBounds(int Left, int Top, int Width, int Height) override {
        FBounds = {Left, Top, Left + Width, Top + Height};
        Fit();
    }
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

private:
    [[nodiscard]] int TextWidth() const {
        HDC Dc = GetDC(Window());
        const auto Font = reinterpret_cast<HFONT>(SendMessageA(Window(), WM_GETFONT, 0, 0));
        HGDIOBJ Old = SelectObject(Dc, Font);
        SIZE Extent{};
        GetTextExtentPoint32A(Dc, FText.c_str(), static_cast<int>(FText.size()), &Extent);
        SelectObject(Dc, Old);
        ReleaseDC(Window(), Dc);
        return Extent.cx;
    }

    void Fit() {
        RECT Shown = FBounds;
        const int Missing = TextWidth() - (FBounds.right - FBounds.left);
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

    RECT FBounds{};
    std::string FText;
    TAlignment FAlignment = TAlignment::taLeftJustify;
};

class TWin32Edit : public TWin32Control {
public:
    explicit TWin32Edit(HWND Parent)
        : TWin32Control(Parent, "EDIT", ES_AUTOHSCROLL | ES_LEFT, WS_EX_CLIENTEDGE) {}
    void SetReadOnly(bool Value) override {
        SendMessageA(Window(), EM_SETREADONLY, Value ? TRUE : FALSE, 0);
    }
};

// A drop-down list: only its items can be chosen.
class TWin32ComboBox : public TWin32Control {
public:
    explicit TWin32ComboBox(HWND Parent)
        : TWin32Control(Parent, "COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, 0) {}
    void SetItems(const std::vector<std::string>& Items) override {
        SendMessageA(Window(), CB_RESETCONTENT, 0, 0);
        for (const std::string& Item : Items) {
            SendMessageA(Window(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Item.c_str()));
        }
        FitDroppedWidth(Items);
    }
    void SetItemIndex(int Index) override { SendMessageA(Window(), CB_SETCURSEL, Index, 0); }
    [[nodiscard]] int ItemIndex() const override {
        return static_cast<int>(SendMessageA(Window(), CB_GETCURSEL, 0, 0));
    }
    void SetItemHeight(int Value) override {
        FItemHeight = Value;
        SendMessageA(Window(), CB_SETITEMHEIGHT, 0, Value);
    }

protected:
    // The dropped-down list as wide as its widest item (a port's name and description),
    // never narrower than the box.
    void FitDroppedWidth(const std::vector<std::string>& Items) const {
        const HDC Context = GetDC(Window());
        const HGDIOBJ Old = SelectObject(
            Context, reinterpret_cast<HFONT>(SendMessageA(Window(), WM_GETFONT, 0, 0)));
        LONG Widest = 0;
        for (const std::string& Item : Items) {
            SIZE Size{};
            GetTextExtentPoint32A(Context, Item.c_str(), static_cast<int>(Item.size()), &Size);
            Widest = std::max(Widest, Size.cx);
        }
        SelectObject(Context, Old);
        ReleaseDC(Window(), Context);
        SendMessageA(Window(), CB_SETDROPPEDWIDTH, Widest + GetSystemMetrics(SM_CXVSCROLL) + 8, 0);
    }

    // A combo box window's height includes its dropped-down list.
    [[nodiscard]] int WindowHeight(int Height) const override {
        return Height + VisibleDropDownItems * FItemHeight + 2;
    }

private:
    int FItemHeight = 13;
};

class TWin32Button : public TWin32Control {
public:
    TWin32Button(HWND Parent, std::function<void()> OnClick)
        : TWin32Control(Parent, "BUTTON", BS_PUSHBUTTON, 0, std::move(OnClick)) {}
};

DWORD FormStyle(TFormBorderStyle Border, TBorderIcons Icons) {
    DWORD Style = WS_CAPTION | WS_CLIPCHILDREN;
    Style |= Border == TFormBorderStyle::bsDialog ? WS_POPUP : WS_OVERLAPPED;
    if (Border == TFormBorderStyle::bsSizeable) {
        Style |= WS_THICKFRAME;
        if (Icons.Contains(TBorderIcon::biMaximize)) {
            Style |= WS_MAXIMIZEBOX;
        }
    }
    if (Icons.Contains(TBorderIcon::biSystemMenu)) {
        Style |= WS_SYSMENU;
    }
    if (Icons.Contains(TBorderIcon::biMinimize) && Border != TFormBorderStyle::bsDialog) {
        Style |= WS_MINIMIZEBOX;
    }
    return Style;
}

DWORD FormExStyle(TFormBorderStyle Border) {
    DWORD ExStyle = WS_EX_CONTROLPARENT;
    if (Border == TFormBorderStyle::bsDialog) {
        ExStyle |= WS_EX_DLGMODALFRAME;
    }
    return ExStyle;
}

class TWin32Form : public TFormPeer {
public:
    explicit TWin32Form(TFormCallbacks Callbacks)
        : FCallbacks(std::move(Callbacks)),
          FWindow(CreateWindowExA(
              FormExStyle(FBorder), FormClassName, "", FormStyle(FBorder, FIcons), CW_USEDEFAULT,
              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, Instance(), nullptr)) {
        SetPropA(FWindow, PeerProperty, this);
    }
    ~TWin32Form() override {
        if (Showing()) {
            Win32::FormHidden();
        }
        RemovePropA(FWindow, PeerProperty);
        DestroyWindow(FWindow);
        if (FFont != nullptr) {
            DeleteObject(FFont);
        }
    }
    TWin32Form(const TWin32Form&) = delete;
    TWin32Form& operator=(const TWin32Form&) = delete;
    TWin32Form(TWin32Form&&) = delete;
    TWin32Form& operator=(TWin32Form&&) = delete;

    void SetBounds(int /*Left*/, int /*Top*/, int Width, int Height) override {
        FClientWidth = Width;
        FClientHeight = Height;
        ApplySize();
    }
    void SetEnabled(bool Value) override { EnableWindow(FWindow, Value ? TRUE : FALSE); }
    void SetVisible(bool Value) override {
        if (Value) {
            Show(TPosition::poDesigned);
        } else {
            Hide();
        }
    }
    void SetText(const std::string& Value) override { SetWindowTextA(FWindow, Value.c_str()); }
    void SetColor(TColor Value) override {
        FColor = Value;
        InvalidateRect(FWindow, nullptr, TRUE);
    }
    void SetFocus() override { ::SetFocus(FWindow); }
    [[nodiscard]] bool Focused() const override { return GetActiveWindow() == FWindow; }
    void Repaint() override {
        RedrawWindow(FWindow, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }

    void SetBorder(TFormBorderStyle Style, TBorderIcons Icons) override {
        FBorder = Style;
        FIcons = Icons;
        SetWindowLongPtrA(
            FWindow, GWL_STYLE,
            static_cast<LONG_PTR>(FormStyle(Style, Icons) | (Showing() ? WS_VISIBLE : 0)));
        SetWindowLongPtrA(FWindow, GWL_EXSTYLE, static_cast<LONG_PTR>(FormExStyle(Style)));
        ApplySize();
    }
    void SetFont(const std::string& Name, int Height) override {
        HFONT Old = FFont;
        FFont = CreateFontA(Height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, Name.c_str());
        SendMessageA(FWindow, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
        EnumChildWindows(FWindow, SetFontOf, reinterpret_cast<LPARAM>(FFont));
        if (Old != nullptr) {
            DeleteObject(Old);
        }
    }
    // Tab follows the windows' z-order among those with WS_TABSTOP.
    void SetTabOrder(const std::vector<TWidgetPeer*>& Order) override {
        HWND Previous = HWND_TOP;
        for (TWidgetPeer* Peer : Order) {
            const auto* Control = dynamic_cast<const TWin32Control*>(Peer);
            if (Control == nullptr) {
                continue;
            }
            const HWND Window = Control->Window();
            SetWindowLongPtrA(Window, GWL_STYLE, GetWindowLongPtrA(Window, GWL_STYLE) | WS_TABSTOP);
            SetWindowPos(Window, Previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            Previous = Window;
        }
    }
    void Show(TPosition Position) override {
        if (Position == TPosition::poScreenCenter) {
            CenterOnScreen();
        }
        if (!Showing()) {
            Win32::FormShown();
        }
        ShowWindow(FWindow, SW_SHOW);
        SetForegroundWindow(FWindow);
        UpdateWindow(FWindow);
    }
    void Close() override { SendMessageA(FWindow, WM_CLOSE, 0, 0); }
    [[nodiscard]] bool Showing() const override { return IsWindowVisible(FWindow) != FALSE; }

    [[nodiscard]] HWND Window() const { return FWindow; }

    LRESULT Handle(UINT Message, WPARAM WParam, LPARAM LParam);

private:
    static BOOL CALLBACK SetFontOf(HWND Child, LPARAM Font) {
        SendMessageA(Child, WM_SETFONT, static_cast<WPARAM>(Font), TRUE);
        return TRUE;
    }

    void Hide() {
        if (Showing()) {
            ShowWindow(FWindow, SW_HIDE);
            Win32::FormHidden();
        }
    }

    [[nodiscard]] RECT OuterRect() const {
        RECT Rect{0, 0, FClientWidth, FClientHeight};
        AdjustWindowRectEx(&Rect, FormStyle(FBorder, FIcons), FALSE, FormExStyle(FBorder));
        return Rect;
    }

    void ApplySize() {
        const RECT Rect = OuterRect();
        SetWindowPos(FWindow, nullptr, 0, 0, Rect.right - Rect.left, Rect.bottom - Rect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    }

    void CenterOnScreen() {
        RECT Work{};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &Work, 0);
        const RECT Rect = OuterRect();
        const int Width = Rect.right - Rect.left;
        const int Height = Rect.bottom - Rect.top;
        SetWindowPos(FWindow, nullptr, Work.left + (Work.right - Work.left - Width) / 2,
                     Work.top + (Work.bottom - Work.top - Height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    LRESULT ColorControl(HDC Dc, HWND Child) const;
    void OnClose();
    void RestoreFocus();

    TFormCallbacks FCallbacks;
    TFormBorderStyle FBorder = TFormBorderStyle::bsSizeable;
    TBorderIcons FIcons{TBorderIcon::biSystemMenu, TBorderIcon::biMinimize,
                        TBorderIcon::biMaximize};
    HWND FWindow;
    HFONT FFont = nullptr;
    HWND FLastFocus = nullptr;
    TColor FColor = TColor::clBtnFace;
    int FClientWidth = 0;
    int FClientHeight = 0;
};

// Labels take the form's colour; edits and lists their own, or the window colour.
LRESULT TWin32Form::ColorControl(HDC Dc, HWND Child) const {
    const TWin32Control* Control = ControlOf(Child);
    TColor Color = Control != nullptr ? Control->Color() : TColor::clDefault;
    if (Color == TColor::clDefault) {
        Color = dynamic_cast<const TWin32Label*>(Control) != nullptr ? FColor : TColor::clWindow;
    }
    const int Index = Win32::SystemColorIndex(Color);
    SetTextColor(Dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(Dc, GetSysColor(Index));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(Index));
}

void TWin32Form::OnClose() {
    bool MayClose = true;
    GuardedCall(nullptr, [&] { MayClose = FCallbacks.CloseQuery(); });
    if (MayClose) {
        Hide();
        GuardedCall(nullptr, [this] { FCallbacks.Closed(); });
    }
}

void TWin32Form::RestoreFocus() {
    HWND Target = FLastFocus;
    if (Target == nullptr || IsWindow(Target) == FALSE || IsWindowEnabled(Target) == FALSE) {
        Target = GetNextDlgTabItem(FWindow, nullptr, FALSE);
    }
    if (Target != nullptr) {
        ::SetFocus(Target);
    }
}

LRESULT TWin32Form::Handle(UINT Message, WPARAM WParam, LPARAM LParam) {
    switch (Message) {
    case WM_COMMAND:
        if (HIWORD(WParam) == BN_CLICKED && LParam != 0) {
            if (const TWin32Control* Control = ControlOf(reinterpret_cast<HWND>(LParam))) {
                GuardedCall(nullptr, [Control] { Control->Click(); });
            }
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        return ColorControl(reinterpret_cast<HDC>(WParam), reinterpret_cast<HWND>(LParam));
    case WM_ERASEBKGND: {
        RECT Client{};
        GetClientRect(FWindow, &Client);
        FillRect(reinterpret_cast<HDC>(WParam), &Client,
                 GetSysColorBrush(Win32::SystemColorIndex(FColor)));
        return 1;
    }
    case WM_SETCURSOR:
        if (Win32::WaitCursor()) {
            ::SetCursor(LoadCursorA(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_ACTIVATE:
        if (LOWORD(WParam) == WA_INACTIVE) {
            const HWND Focus = GetFocus();
            if (Focus != nullptr && IsChild(FWindow, Focus) != FALSE) {
                FLastFocus = Focus;
            }
            return 0;
        }
        RestoreFocus();
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_GETFONT: // as a dialog does: new controls take the form's font
        return reinterpret_cast<LRESULT>(FFont);
    default:
        break;
    }
    return DefWindowProcA(FWindow, Message, WParam, LParam);
}

LRESULT CALLBACK FormProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    auto* Form = static_cast<TWin32Form*>(GetPropA(Window, PeerProperty));
    if (Form == nullptr) {
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
    return Form->Handle(Message, WParam, LParam);
}

} // namespace

namespace Win32 {

void RegisterFormClass() {
    WNDCLASSEXA Class{};
    Class.cbSize = sizeof(Class);
    Class.style = CS_DBLCLKS;
    Class.lpfnWndProc = FormProc;
    Class.hInstance = Instance();
    Class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    Class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    Class.lpszClassName = FormClassName;
    RegisterClassExA(&Class);
}

bool IsFormWindow(HWND Window) {
    std::array<char, 32> Name{};
    GetClassNameA(Window, Name.data(), static_cast<int>(Name.size()));
    return std::string_view(Name.data()) == FormClassName;
}

int SystemColorIndex(TColor Color) {
    return Color == TColor::clBtnFace ? COLOR_BTNFACE : COLOR_WINDOW;
}

std::unique_ptr<TFormPeer> CreateFormPeer(TFormCallbacks Callbacks) {
    return std::make_unique<TWin32Form>(std::move(Callbacks));
}

std::unique_ptr<TWidgetPeer> CreateWidgetPeer(TWidgetKind Kind, TFormPeer& Parent,
                                              std::function<void()> OnClick) {
    const HWND ParentWindow = static_cast<TWin32Form&>(Parent).Window();
    switch (Kind) {
    case TWidgetKind::wkLabel:
        return std::make_unique<TWin32Label>(ParentWindow);
    case TWidgetKind::wkEdit:
        return std::make_unique<TWin32Edit>(ParentWindow);
    case TWidgetKind::wkComboBox:
        return std::make_unique<TWin32ComboBox>(ParentWindow);
    case TWidgetKind::wkButton:
        break;
    }
    return std::make_unique<TWin32Button>(ParentWindow, std::move(OnClick));
}

} // namespace Win32
