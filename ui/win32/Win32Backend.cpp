// The window classes' backend on Win32 (user32 controls).
//
// Every window of the program lives on the main thread. A hidden message-only window
// receives the hand-over wake-ups of worker threads and the timers' ticks, so both arrive
// through any message loop: the main loop, ProcessMessages and a modal message box's own.

#include "platform/win32/MessageWindow.h"
#include "runtime/Thread.h"
#include "ui/Backend.h"
#include "ui/Forms.h"
#include "ui/TextFit.h"
#include "ui/win32/Win32Peers.h"
#include "ui/win32/Win32Session.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr UINT WmRunHandOver = WM_APP + 1;

// What the backend keeps for the process: its service window, the live timers by id, the
// title. The forms showing and the cursor are the session's (Win32Session.h).
struct TBackendState {
    std::unique_ptr<TMessageWindow> Service;
    std::map<UINT_PTR, std::function<void()>> Timers;
    UINT_PTR NextTimerId = 1;
    std::string Title;
};

TBackendState& State() {
    static TBackendState Instance;
    return Instance;
}

HWND ServiceWindow() {
    return State().Service ? State().Service->Handle() : nullptr;
}

std::optional<LRESULT> HandleServiceMessage(UINT Message, WPARAM WParam) {
    if (Message == WmRunHandOver) {
        GuardedCall(nullptr, [] { CheckSynchronize(); });
        return 0;
    }
    if (Message == WM_TIMER) {
        const auto Found = State().Timers.find(WParam);
        if (Found != State().Timers.end()) {
            const std::function<void()> Call = Found->second; // the tick may free the timer
            Call();
        }
        return 0;
    }
    return std::nullopt;
}

class TWin32TimerPeer : public TTimerPeer {
public:
    explicit TWin32TimerPeer(std::function<void()> OnTimer) : FId(State().NextTimerId++) {
        State().Timers[FId] = std::move(OnTimer);
    }
    ~TWin32TimerPeer() override {
        KillTimer(ServiceWindow(), FId);
        State().Timers.erase(FId); // a tick still queued finds no timer and is dropped
    }
    TWin32TimerPeer(const TWin32TimerPeer&) = delete;
    TWin32TimerPeer& operator=(const TWin32TimerPeer&) = delete;
    TWin32TimerPeer(TWin32TimerPeer&&) = delete;
    TWin32TimerPeer& operator=(TWin32TimerPeer&&) = delete;

    void Restart(bool Enabled, int IntervalMs) override {
        KillTimer(ServiceWindow(), FId);
        if (Enabled) {
            SetTimer(ServiceWindow(), FId, static_cast<UINT>(IntervalMs), nullptr);
        }
    }

private:
    UINT_PTR FId;
};

// Handles one message the way a dialog does (Tab, Alt+letter, Enter), or as a form's
// shortcut, else dispatches it.
void Dispatch(MSG& Message) {
    const HWND Root = Message.hwnd != nullptr ? GetAncestor(Message.hwnd, GA_ROOT) : nullptr;
    const bool OnForm = Root != nullptr && Win32::IsFormWindow(Root);
    if (OnForm && Message.message == WM_KEYDOWN && Win32::RunShortCut(Root, Message.wParam)) {
        return;
    }
    if (OnForm && IsDialogMessageA(Root, &Message) != FALSE) {
        return;
    }
    TranslateMessage(&Message);
    DispatchMessageA(&Message);
}

// The visible form of this thread that owns a message box: the active one, else any.
HWND BoxOwner() {
    const HWND Active = GetActiveWindow();
    if (Active != nullptr && Win32::IsFormWindow(Active)) {
        return Active;
    }
    HWND Found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND Window, LPARAM Param) -> BOOL {
            if (IsWindowVisible(Window) != FALSE && Win32::IsFormWindow(Window)) {
                *reinterpret_cast<HWND*>(Param) = Window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&Found));
    return Found;
}

// Gives a message box, as it is activated, its owner's font: the window's.
LRESULT CALLBACK BoxFontHook(int Code, WPARAM WParam, LPARAM LParam) {
    if (Code == HCBT_ACTIVATE) {
        const auto Box = reinterpret_cast<HWND>(WParam);
        const HWND Owner = GetWindow(Box, GW_OWNER);
        const LRESULT Font = Owner != nullptr && Win32::IsFormWindow(Owner)
                                 ? SendMessageA(Owner, WM_GETFONT, 0, 0)
                                 : 0;
        if (Font != 0) {
            EnumChildWindows(
                Box,
                [](HWND Child, LPARAM Param) -> BOOL {
                    SendMessageA(Child, WM_SETFONT, static_cast<WPARAM>(Param), TRUE);
                    return TRUE;
                },
                Font);
        }
    }
    return CallNextHookEx(nullptr, Code, WParam, LParam);
}

// The start of the character of the system's ANSI code page that holds the byte at Position.
std::size_t AnsiCharacterStart(std::string_view Text, std::size_t Position) {
    if (GetACP() == CP_UTF8) {
        return Utf8CharacterStart(Text, Position);
    }
    std::size_t Start = 0;
    while (Start < Position && Start < Text.size()) {
        const auto Byte = static_cast<BYTE>(Text[Start]);
        const std::size_t Next = Start + (IsDBCSLeadByte(Byte) != FALSE ? 2 : 1);
        if (Next > Position) {
            break; // a double-byte character holds Position
        }
        Start = Next;
    }
    return std::min(Start, Text.size());
}

// "…" in the system's ANSI code page; "..." in one that has no such character.
std::string AnsiEllipsis() {
    if (GetACP() == CP_UTF8) {
        return "\xE2\x80\xA6";
    }
    const wchar_t Ellipsis = 0x2026;
    std::array<char, 8> Bytes{};
    BOOL UsedDefault = FALSE;
    const int Length = WideCharToMultiByte(CP_ACP, 0, &Ellipsis, 1, Bytes.data(),
                                           static_cast<int>(Bytes.size()), nullptr, &UsedDefault);
    return Length > 0 && UsedDefault == FALSE
               ? std::string(Bytes.data(), static_cast<std::size_t>(Length))
               : std::string("...");
}

// A device context of the screen, released when it goes.
class TScreenDc {
public:
    TScreenDc() : FDc(GetDC(nullptr)) {}
    ~TScreenDc() { ReleaseDC(nullptr, FDc); }
    TScreenDc(const TScreenDc&) = delete;
    TScreenDc& operator=(const TScreenDc&) = delete;
    TScreenDc(TScreenDc&&) = delete;
    TScreenDc& operator=(TScreenDc&&) = delete;
    [[nodiscard]] HDC Handle() const { return FDc; }

private:
    HDC FDc;
};

struct TFontDeleter {
    void operator()(HFONT Font) const { DeleteObject(Font); }
};

// The height of Text wrapped Width pixels wide in Font, as a message box lays its text out.
int WrappedHeight(HDC Dc, HFONT Font, std::string_view Text, int Width) {
    HGDIOBJ Old = SelectObject(Dc, Font);
    RECT Room{0, 0, Width, 0};
    DrawTextA(Dc, Text.data(), static_cast<int>(Text.size()), &Room,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(Dc, Old);
    return Room.bottom - Room.top;
}

// What a box over Owner shows of Text: all of it unless it is taller than the room of a box's
// text (MessageTextRoom) on the work area of Owner's monitor, wrapped in the box's font (the
// system's message font, which sizes the box) or in Owner's (which BoxFontHook gives it).
std::string BoxText(const std::string& Text, HWND Owner) {
    MONITORINFO Monitor{};
    Monitor.cbSize = sizeof(Monitor);
    if (GetMonitorInfoA(MonitorFromWindow(Owner, MONITOR_DEFAULTTOPRIMARY), &Monitor) == FALSE) {
        return Text;
    }
    const RECT& Work = Monitor.rcWork;
    const TTextRoom Room = MessageTextRoom(Work.right - Work.left, Work.bottom - Work.top);
    NONCLIENTMETRICSA Metrics{};
    Metrics.cbSize = sizeof(Metrics);
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof(Metrics), &Metrics, 0);
    const std::unique_ptr<HFONT__, TFontDeleter> MessageFont(
        CreateFontIndirectA(&Metrics.lfMessageFont));
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the message answers with a handle
    const auto OwnerFont =
        Owner != nullptr ? reinterpret_cast<HFONT>(SendMessageA(Owner, WM_GETFONT, 0, 0)) : nullptr;
    const std::string Ellipsis = AnsiEllipsis();
    const auto Shown = [&](std::size_t Kept) {
        return Kept < Text.size() ? Text.substr(0, Kept) + Ellipsis : Text;
    };
    const TScreenDc Dc;
    const auto Fits = [&](std::size_t Kept) {
        const std::string Candidate = Shown(Kept);
        return std::ranges::all_of(std::array{MessageFont.get(), OwnerFont}, [&](HFONT Font) {
            return Font == nullptr ||
                   WrappedHeight(Dc.Handle(), Font, Candidate, Room.Width) <= Room.Height;
        });
    };
    return Shown(BytesThatFit(Text, Fits, AnsiCharacterStart));
}

// Text with its line feeds made CR LF, as the clipboard's text holds it.
std::string WithCrLf(const std::string& Text) {
    std::string Result;
    for (const char C : Text) {
        if (C == '\n' && (Result.empty() || Result.back() != '\r')) {
            Result += '\r';
        }
        Result += C;
    }
    return Result;
}

} // namespace

namespace UiBackend {

void SetArguments(int& /*Argc*/, char** /*Argv*/) {
    // The Win32 controls take no options of their own.
}

void Initialize() {
    if (State().Service) {
        return;
    }
    Win32::RegisterFormClass();
    State().Service = std::make_unique<TMessageWindow>(
        "KivoService", [](UINT Message, WPARAM WParam, LPARAM /*LParam*/) {
            return HandleServiceMessage(Message, WParam);
        });
    SetMainThread();
    const HWND Service = ServiceWindow();
    SetWakeMainThread([Service] { PostMessageA(Service, WmRunHandOver, 0, 0); });
}

std::unique_ptr<TFormPeer> CreateForm(TFormCallbacks Callbacks) {
    return Win32::CreateFormPeer(std::move(Callbacks));
}

std::unique_ptr<TWidgetPeer> CreateWidget(TWidgetKind Kind, TFormPeer& Parent,
                                          std::function<void()> OnClick) {
    return Win32::CreateWidgetPeer(Kind, Parent, std::move(OnClick));
}

std::unique_ptr<TTimerPeer> CreateTimer(std::function<void()> OnTimer) {
    return std::make_unique<TWin32TimerPeer>(std::move(OnTimer));
}

void RunMessageLoop() {
    MSG Message{};
    while (Win32::AnyFormShowing() && GetMessageA(&Message, nullptr, 0, 0) > 0) {
        Dispatch(Message);
    }
    CheckSynchronize();
}

void ProcessMessages() {
    MSG Message{};
    while (PeekMessageA(&Message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
        if (Message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(Message.wParam)); // for the main loop
            break;
        }
        Dispatch(Message);
    }
    CheckSynchronize();
}

void WaitAndProcessMessages(std::chrono::milliseconds Bound) {
    // Returns as soon as anything is in the queue: input, a posted message (a hand-over's
    // wake-up is one), a tick, a paint.
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(Bound.count()), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    ProcessMessages();
}

void SetClipboardText(const std::string& Text) {
    const std::string Lines = WithCrLf(Text);
    if (OpenClipboard(ServiceWindow()) == FALSE) {
        return; // another program holds it
    }
    EmptyClipboard();
    HGLOBAL Memory = GlobalAlloc(GMEM_MOVEABLE, Lines.size() + 1);
    if (Memory != nullptr) {
        auto* Bytes = static_cast<char*>(GlobalLock(Memory));
        Lines.copy(Bytes, Lines.size());
        Bytes[Lines.size()] = '\0';
        GlobalUnlock(Memory);
        if (SetClipboardData(CF_TEXT, Memory) == nullptr) {
            GlobalFree(Memory); // still ours
        }
    }
    CloseClipboard();
}

void SetApplicationTitle(const std::string& Title) {
    State().Title = Title;
}

void SetCursor(TCursor Cursor) {
    Win32::SetWaitCursor(Cursor == TCursor::crHourGlass);
    ::SetCursor(LoadCursorA(nullptr, Win32::WaitCursor() ? IDC_WAIT : IDC_ARROW));
}

// MessageBox shows its text as it is (it knows no markup), so a phone's text in it is data.
// A text too tall for the screen is cut (BoxText), so the box and its button stay on it.
void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon) {
    const UINT Style = MB_OK | (Icon == TMsgIcon::miError ? MB_ICONERROR : MB_ICONINFORMATION);
    const HWND Owner = BoxOwner();
    const std::string Shown = BoxText(Text, Owner);
    HHOOK Hook = SetWindowsHookExA(WH_CBT, BoxFontHook, nullptr, GetCurrentThreadId());
    MessageBoxA(Owner, Shown.c_str(), Caption.c_str(), Style);
    if (Hook != nullptr) {
        UnhookWindowsHookEx(Hook);
    }
}

} // namespace UiBackend
