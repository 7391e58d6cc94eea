// Forms as user32 windows of their own class, with their controls (Win32Controls.cpp) on
// them. Texts are 8-bit characters in the system's ANSI code page.
//
// Stored places, sizes and font heights are pixels at 96 DPI; a form shows them at its
// window's DPI, and again at the new one when the window moves to a monitor of another DPI
// (the program's manifest declares it aware of each monitor's DPI).

#include "ui/Forms.h"
#include "ui/win32/Win32Controls.h"
#include "ui/win32/Win32Peers.h"
#include "ui/win32/Win32Session.h"

#include <array>
#include <commctrl.h>
#include <string>
#include <string_view>
#include <vector>

namespace Win32 {
namespace {

constexpr const char* FormClassName = "KivoForm";

// The DPI a window is shown at: GetDpiForWindow where user32 has it (Windows 10 version
// 1607 and later), else the screen's, which is every window's on earlier Windows.
int WindowDpi(HWND Window) {
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    // Looked up once; a function of user32, which stays loaded. The cast through void (*)()
    // is the one a looked-up function's type allows.
    static const auto GetDpiForWindow =
        reinterpret_cast<TGetDpiForWindow>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    const UINT Dpi = GetDpiForWindow != nullptr ? GetDpiForWindow(Window) : 0;
    if (Dpi != 0) {
        return static_cast<int>(Dpi);
    }
    HDC Screen = GetDC(nullptr);
    const int ScreenDpi = Screen != nullptr ? GetDeviceCaps(Screen, LOGPIXELSY) : 0;
    if (Screen != nullptr) {
        ReleaseDC(nullptr, Screen);
    }
    return ScreenDpi > 0 ? ScreenDpi : DesignDpi;
}

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

// An entry of a form's context menu and its shortcut.
struct TWin32Action {
    std::string Caption;
    TShortCut ShortCut;
    std::function<void()> OnExecute;
};

class TWin32Form : public TFormPeer {
public:
    explicit TWin32Form(TFormCallbacks Callbacks)
        : FCallbacks(std::move(Callbacks)),
          FWindow(CreateWindowExA(
              FormExStyle(FBorder), FormClassName, "", FormStyle(FBorder, FIcons), CW_USEDEFAULT,
              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, Instance(), nullptr)) {
        SetPropA(FWindow, PeerProperty, this);
        FScale.SetDpi(WindowDpi(FWindow));
    }
    ~TWin32Form() override {
        if (FToolTip != nullptr) {
            DestroyWindow(FToolTip);
        }
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
        FFontName = Name;
        FFontHeight = Height;
        HFONT Old = FFont;
        FFont = CreateFontA(FScale(Height), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, Name.c_str());
        SendMessageA(FWindow, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
        EnumChildWindows(FWindow, SetFontOf, reinterpret_cast<LPARAM>(FFont));
        EnumChildWindows(FWindow, RefitControl, 0);
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
        // The focus rectangle shows from the start, not only once a key was pressed: the
        // focused button is what Enter presses.
        SendMessageA(FWindow, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
        SetForegroundWindow(FWindow);
        UpdateWindow(FWindow);
    }
    void Close() override { SendMessageA(FWindow, WM_CLOSE, 0, 0); }
    [[nodiscard]] bool Showing() const override { return IsWindowVisible(FWindow) != FALSE; }
    void AddAction(const std::string& Caption, TShortCut ShortCut,
                   std::function<void()> OnExecute) override {
        FActions.push_back({Caption, ShortCut, std::move(OnExecute)});
    }
    bool RunShortCut(WPARAM Key) const {
        const bool Ctrl = GetKeyState(VK_CONTROL) < 0;
        const bool Shift = GetKeyState(VK_SHIFT) < 0;
        for (const TWin32Action& Action : FActions) {
            if (static_cast<WPARAM>(Action.ShortCut.Key) == Key && Action.ShortCut.Ctrl == Ctrl &&
                Action.ShortCut.Shift == Shift) {
                Action.OnExecute();
                return true;
            }
        }
        return false;
    }

    [[nodiscard]] HWND Window() const { return FWindow; }
    [[nodiscard]] const TDpiScale& Scale() const { return FScale; }
    // The tooltip of the form's edits, made with the first.
    [[nodiscard]] HWND ToolTip() {
        if (FToolTip == nullptr) {
            FToolTip = CreateToolTip(FWindow);
        }
        return FToolTip;
    }

    LRESULT Handle(UINT Message, WPARAM WParam, LPARAM LParam);

private:
    static BOOL CALLBACK SetFontOf(HWND Child, LPARAM Font) {
        SendMessageA(Child, WM_SETFONT, static_cast<WPARAM>(Font), TRUE);
        return TRUE;
    }
    static BOOL CALLBACK RefitControl(HWND Child, LPARAM /*Unused*/) {
        if (TWin32Control* Control = ControlOf(Child)) {
            Control->Refit();
        }
        return TRUE;
    }
    static BOOL CALLBACK PlaceControl(HWND Child, LPARAM /*Unused*/) {
        if (TWin32Control* Control = ControlOf(Child)) {
            Control->Place();
        }
        return TRUE;
    }

    void Hide() {
        if (Showing()) {
            ShowWindow(FWindow, SW_HIDE);
            Win32::FormHidden();
        }
    }

    // The client area at the stored size in the window's pixels. The frame around it is
    // the one for the system's DPI first, then corrected by what the window measures: the
    // system draws it for the window's DPI, where that differs.
    void ApplySize() {
        const int Width = FScale(FClientWidth);
        const int Height = FScale(FClientHeight);
        RECT Rect{0, 0, Width, Height};
        AdjustWindowRectEx(&Rect, FormStyle(FBorder, FIcons), FALSE, FormExStyle(FBorder));
        SetWindowPos(FWindow, nullptr, 0, 0, Rect.right - Rect.left, Rect.bottom - Rect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        RECT Client{};
        GetClientRect(FWindow, &Client);
        if (Client.right != Width || Client.bottom != Height) {
            GetWindowRect(FWindow, &Rect);
            SetWindowPos(FWindow, nullptr, 0, 0, Rect.right - Rect.left + Width - Client.right,
                         Rect.bottom - Rect.top + Height - Client.bottom,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }

    // The window moved to a monitor of another DPI: it takes the place the system suggests,
    // its size and controls in the new scale, and the form fits its texts again.
    void Rescale(int Dpi, const RECT& Suggested) {
        FScale.SetDpi(Dpi);
        SetWindowPos(FWindow, nullptr, Suggested.left, Suggested.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ApplySize();
        EnumChildWindows(FWindow, PlaceControl, 0);
        if (FCallbacks.Rescaled) {
            GuardedCall(nullptr, [this] { FCallbacks.Rescaled(); });
        } else {
            SetFont(FFontName, FFontHeight);
        }
    }

    void CenterOnScreen() {
        RECT Work{};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &Work, 0);
        RECT Rect{};
        GetWindowRect(FWindow, &Rect);
        const int Width = Rect.right - Rect.left;
        const int Height = Rect.bottom - Rect.top;
        SetWindowPos(FWindow, nullptr, Work.left + (Work.right - Work.left - Width) / 2,
                     Work.top + (Work.bottom - Work.top - Height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    LRESULT ColorControl(HDC Dc, HWND Child) const;
    void OnClose();
    void ShowContextMenu(LPARAM At) const;
    void PressFocusedButton() const;
    void RestoreFocus();

    TFormCallbacks FCallbacks;
    TFormBorderStyle FBorder = TFormBorderStyle::bsSizeable;
    TBorderIcons FIcons{TBorderIcon::biSystemMenu, TBorderIcon::biMinimize,
                        TBorderIcon::biMaximize};
    HWND FWindow;
    TDpiScale FScale;
    HWND FToolTip = nullptr;
    HFONT FFont = nullptr;
    std::string FFontName;
    int FFontHeight = 0;
    HWND FLastFocus = nullptr;
    std::vector<TWin32Action> FActions;
    TColor FColor = TColor::clBtnFace;
    int FClientWidth = 0;
    int FClientHeight = 0;
};

// Labels take the form's colour; edits and lists their own, or the window colour.
LRESULT TWin32Form::ColorControl(HDC Dc, HWND Child) const {
    const TWin32Control* Control = ControlOf(Child);
    TColor Color = Control != nullptr ? Control->Color() : TColor::clDefault;
    if (Color == TColor::clDefault) {
        Color = Control != nullptr && Control->TakesFormColor() ? FColor : TColor::clWindow;
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

void TWin32Form::ShowContextMenu(LPARAM At) const {
    if (FActions.empty()) {
        return;
    }
    POINT Where{static_cast<short>(LOWORD(At)), static_cast<short>(HIWORD(At))};
    if (At == -1) { // from the keyboard: at the window's corner
        Where = {0, 0};
        ClientToScreen(FWindow, &Where);
    }
    HMENU Menu = CreatePopupMenu();
    for (std::size_t I = 0; I < FActions.size(); ++I) {
        const TShortCut& Keys = FActions[I].ShortCut;
        const std::string Entry = FActions[I].Caption + "\t" + (Keys.Ctrl ? "Ctrl+" : "") +
                                  (Keys.Shift ? "Shift+" : "") + std::string(1, Keys.Key);
        AppendMenuA(Menu, MF_STRING, I + 1, Entry.c_str());
    }
    const auto Chosen = static_cast<std::size_t>(TrackPopupMenu(
        Menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, Where.x, Where.y, 0, FWindow, nullptr));
    DestroyMenu(Menu);
    if (Chosen >= 1 && Chosen <= FActions.size()) {
        FActions[Chosen - 1].OnExecute();
    }
}

// Enter without a default button: the dialog manager asks for IDOK; the focused button is
// what the user means.
void TWin32Form::PressFocusedButton() const {
    const HWND Focus = GetFocus();
    const TWin32Control* Control =
        Focus != nullptr && IsChild(FWindow, Focus) != FALSE ? ControlOf(Focus) : nullptr;
    if (Control != nullptr && Control->PressedByEnter() && IsWindowEnabled(Focus) != FALSE) {
        Control->Click();
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
        if (LOWORD(WParam) == IDOK && LParam == 0) {
            PressFocusedButton();
            return 0;
        }
        break;
    case WM_CONTEXTMENU:
        ShowContextMenu(LParam);
        return 0;
    case WM_NOTIFY: {
        auto* Info = reinterpret_cast<NMTTDISPINFOA*>(LParam);
        const TWin32Control* Control = Info->hdr.code == TTN_GETDISPINFOA
                                           ? ControlOf(reinterpret_cast<HWND>(Info->hdr.idFrom))
                                           : nullptr;
        const char* Text = Control != nullptr ? Control->ToolTipText() : nullptr;
        if (Text != nullptr) {
            Info->lpszText = const_cast<char*>(Text); // NOLINT: read only
            return 0;
        }
        break;
    }
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
    case WM_DPICHANGED:
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the message carries the rectangle
        Rescale(HIWORD(WParam), *reinterpret_cast<const RECT*>(LParam));
        return 0;
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

// The program's own icon (the first icon group among its resources) at a size the system
// asks for; the system's application icon when the program has none.
HICON ProgramIcon(int SizeMetric) {
    // A number names the group, or a text that lives only during the enumeration.
    struct TFound {
        ULONG_PTR Id = 0;
        std::string Name;
    } Found;
    EnumResourceNamesA(
        Instance(), RT_GROUP_ICON,
        [](HMODULE /*Module*/, LPCSTR /*Type*/, LPSTR Name, LONG_PTR Param) -> BOOL {
            auto* Into = reinterpret_cast<TFound*>(Param);
            if (IS_INTRESOURCE(Name)) {
                Into->Id = reinterpret_cast<ULONG_PTR>(Name);
            } else {
                Into->Name = Name;
            }
            return FALSE;
        },
        reinterpret_cast<LONG_PTR>(&Found));
    const LPCSTR Name = Found.Id != 0        ? MAKEINTRESOURCEA(Found.Id)
                        : Found.Name.empty() ? nullptr
                                             : Found.Name.c_str();
    const int Size = GetSystemMetrics(SizeMetric);
    HANDLE Icon =
        Name != nullptr ? LoadImageA(Instance(), Name, IMAGE_ICON, Size, Size, 0) : nullptr;
    return Icon != nullptr ? static_cast<HICON>(Icon) : LoadIconA(nullptr, IDI_APPLICATION);
}

} // namespace

void RegisterFormClass() {
    WNDCLASSEXA Class{};
    Class.cbSize = sizeof(Class);
    Class.style = CS_DBLCLKS;
    Class.lpfnWndProc = FormProc;
    Class.hInstance = Instance();
    Class.hIcon = ProgramIcon(SM_CXICON);
    Class.hIconSm = ProgramIcon(SM_CXSMICON);
    Class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    Class.lpszClassName = FormClassName;
    RegisterClassExA(&Class);
}

bool RunShortCut(HWND Form, WPARAM Key) {
    const auto* Peer = static_cast<const TWin32Form*>(GetPropA(Form, PeerProperty));
    bool Ran = false;
    GuardedCall(nullptr, [&] { Ran = Peer != nullptr && Peer->RunShortCut(Key); });
    return Ran;
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
    auto& Form = static_cast<TWin32Form&>(Parent);
    const HWND ToolTip = Kind == TWidgetKind::wkEdit ? Form.ToolTip() : nullptr;
    return CreateControl(Kind, Form.Window(), Form.Scale(), ToolTip, std::move(OnClick));
}

} // namespace Win32
