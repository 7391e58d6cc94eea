// The main window on the Win32 backend, under Wine's null graphics driver: its layout as
// user32 sees it, also at higher screen DPIs, keyboard navigation, a read run against a
// phone played on a COM port pair, and the hand-over of worker threads' calls inside a modal
// message box.

#include "app/Start.h"
#include "platform/Win32Api.h"
#include "runtime/Thread.h"
#include "tests/support/PtyPair.h"
#include "ui/Forms.h"
#include "ui/TextFit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <commctrl.h>
#include <cstdint>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto Bound = 10s;

// Plays a phone on the pair's far side until stopped: answers each identification command.
class TPhone {
public:
    explicit TPhone(std::map<std::string, std::string> Replies)
        : FReplies(std::move(Replies)), FThread([this] { Serve(); }) {}
    ~TPhone() {
        FStop = true;
        FThread.join();
    }
    TPhone(const TPhone&) = delete;
    TPhone& operator=(const TPhone&) = delete;

    [[nodiscard]] const std::string& DevicePath() const { return FPair.DevicePath(); }
    [[nodiscard]] int Commands() const { return FCommands; }

private:
    void Serve() {
        std::string Command;
        while (!FStop) {
            // A command cut off by the end of one look is completed by the next.
            Command += FPair.ReceiveUntil("\r\n", 200ms);
            if (!Command.ends_with("\r\n")) {
                continue;
            }
            ++FCommands;
            // Like a modem, ignore what precedes "AT" (a killed earlier test may have left
            // bytes in flight on the pair).
            const std::size_t Start = std::min(Command.rfind("AT"), Command.size() - 2);
            const auto Found = FReplies.find(Command.substr(Start, Command.size() - 2 - Start));
            FPair.Send(Found != FReplies.end() ? Found->second : "\r\nERROR\r\n");
            Command.clear();
        }
    }

    PtyPair FPair;
    std::map<std::string, std::string> FReplies;
    std::atomic<bool> FStop{false};
    std::atomic<int> FCommands{0};
    std::thread FThread;
};

std::string Answer(const std::string& Line) {
    return "\r\n" + Line + "\r\n\r\nOK\r\n";
}

std::map<std::string, std::string> IdentityReplies() {
    return {{"AT+CGMI", Answer("Wine Mobile")},
            {"AT+CGMM", Answer("WM-8")},
            {"AT+CGMR", Answer("8.0")},
            {"AT+GMI", Answer("Wine Modems")},
            {"AT+GMM", Answer("WM-8 GSM")},
            {"AT+GMR", Answer("8.0 (modem)")},
            {"AT+CGSN", Answer("490154203237518")}};
}

// The first top-level window of this thread with the class (tests of other processes
// show windows on the same desktop).
HWND ThreadWindow(const char* ClassName) {
    struct TSearch {
        const char* ClassName;
        HWND Found;
    } Search{ClassName, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND Window, LPARAM Param) -> BOOL {
            auto* S = reinterpret_cast<TSearch*>(Param);
            std::array<char, 64> Name{};
            GetClassNameA(Window, Name.data(), static_cast<int>(Name.size()));
            if (std::string_view(Name.data()) == S->ClassName) {
                S->Found = Window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&Search));
    return Search.Found;
}

// The user32 window behind a control of the main window.
HWND WindowOf(const TControl* Control) {
    HWND Found = nullptr;
    const HWND Parent = ThreadWindow("KivoForm");
    for (HWND Child = GetWindow(Parent, GW_CHILD); Child != nullptr;
         Child = GetWindow(Child, GW_HWNDNEXT)) {
        if (GetPropA(Child, "KivoPeer") == &Control->Peer()) {
            Found = Child;
        }
    }
    return Found;
}

RECT ClientRectOf(HWND Window) {
    RECT Rect{};
    GetWindowRect(Window, &Rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(Window), reinterpret_cast<POINT*>(&Rect), 2);
    return Rect;
}

std::string TextOf(HWND Window) {
    std::array<char, 256> Text{};
    GetWindowTextA(Window, Text.data(), static_cast<int>(Text.size()));
    return Text.data();
}

// Processor time of the whole process so far, in seconds.
double ProcessorSeconds() {
    FILETIME Created{}, Exited{}, Kernel{}, User{};
    GetProcessTimes(GetCurrentProcess(), &Created, &Exited, &Kernel, &User);
    const auto Ticks = [](const FILETIME& Time) {
        return (static_cast<unsigned long long>(Time.dwHighDateTime) << 32U) | Time.dwLowDateTime;
    };
    return static_cast<double>(Ticks(Kernel) + Ticks(User)) * 1e-7;
}

// The size DrawText gives Text in the font a window draws with, on one line (as a list box
// draws its items and an edit its line).
SIZE DrawnSize(HWND Window, const std::string& Text) {
    HDC Dc = GetDC(Window);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the message answers with a handle
    HGDIOBJ Old = SelectObject(Dc, reinterpret_cast<HFONT>(SendMessageA(Window, WM_GETFONT, 0, 0)));
    RECT Room{0, 0, 0, 0};
    DrawTextA(Dc, Text.c_str(), static_cast<int>(Text.size()), &Room,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(Dc, Old);
    ReleaseDC(Window, Dc);
    return {Room.right - Room.left, Room.bottom - Room.top};
}

// What Window paints of its client area (WM_PRINTCLIENT into a 32-bit bitmap of its size).
std::vector<std::uint32_t> Painted(HWND Window, int& Width, int& Height) {
    RECT Client{};
    GetClientRect(Window, &Client);
    Width = Client.right;
    Height = Client.bottom;
    BITMAPINFO Info{};
    Info.bmiHeader.biSize = sizeof(Info.bmiHeader);
    Info.bmiHeader.biWidth = Width;
    Info.bmiHeader.biHeight = -Height; // top row first
    Info.bmiHeader.biPlanes = 1;
    Info.bmiHeader.biBitCount = 32;
    Info.bmiHeader.biCompression = BI_RGB;
    HDC Dc = CreateCompatibleDC(nullptr);
    void* Bits = nullptr;
    HBITMAP Bitmap = CreateDIBSection(Dc, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
    std::vector<std::uint32_t> Pixels;
    if (Bitmap != nullptr && Bits != nullptr) {
        HGDIOBJ Old = SelectObject(Dc, Bitmap);
        SendMessageA(Window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(Dc),
                     PRF_CLIENT | PRF_ERASEBKGND);
        GdiFlush();
        const auto* First = static_cast<const std::uint32_t*>(Bits);
        Pixels.assign(First, First + static_cast<std::size_t>(Width) * Height);
        SelectObject(Dc, Old);
        DeleteObject(Bitmap);
    }
    DeleteDC(Dc);
    return Pixels;
}

// The box around the pixels that Window's text paints: those that differ from what it paints
// with no text, in its client coordinates; empty when the text paints nothing.
RECT TextInk(HWND Window) {
    int Width = 0;
    int Height = 0;
    const std::vector<std::uint32_t> WithText = Painted(Window, Width, Height);
    const std::string Text = TextOf(Window);
    SetWindowTextA(Window, "");
    const std::vector<std::uint32_t> Without = Painted(Window, Width, Height);
    SetWindowTextA(Window, Text.c_str());
    RECT Ink{Width, Height, 0, 0};
    for (int Y = 0; Y < Height && WithText.size() == Without.size(); ++Y) {
        for (int X = 0; X < Width; ++X) {
            const auto At = static_cast<std::size_t>(Y) * Width + X;
            if (WithText.at(At) != Without.at(At)) {
                Ink = {std::min<LONG>(Ink.left, X), std::min<LONG>(Ink.top, Y),
                       std::max<LONG>(Ink.right, X + 1), std::max<LONG>(Ink.bottom, Y + 1)};
            }
        }
    }
    return Ink.left < Ink.right ? Ink : RECT{};
}

// Whether Window's text shows whole: its ink is as large as with room to spare on every side
// (a label clips what passes its edges, a button its inside).
bool TextShowsWhole(HWND Window, RECT& Ink) {
    Ink = TextInk(Window);
    const RECT Shown = ClientRectOf(Window);
    const int Width = Shown.right - Shown.left;
    const int Height = Shown.bottom - Shown.top;
    const UINT Flags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW;
    SetWindowPos(Window, nullptr, 0, 0, Width + 400, Height + 100, Flags);
    const RECT Roomy = TextInk(Window);
    SetWindowPos(Window, nullptr, 0, 0, Width, Height, Flags);
    return Ink.right > Ink.left && Ink.right - Ink.left == Roomy.right - Roomy.left &&
           Ink.bottom - Ink.top == Roomy.bottom - Roomy.top;
}

std::string ClipboardText() {
    std::string Text;
    if (OpenClipboard(nullptr) != FALSE) {
        if (HANDLE Data = GetClipboardData(CF_TEXT)) {
            Text = static_cast<const char*>(GlobalLock(Data));
            GlobalUnlock(Data);
        }
        CloseClipboard();
    }
    return Text;
}

class Win32WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        App = std::make_unique<TApplication>();
        App->SetTitle("Kivo");
        // A box nobody closes would hold the test: boxes are recorded instead, except
        // where a test shows a real one.
        App->SetMessageBoxHook([this](const std::string& Text, const std::string& /*Caption*/,
                                      TMsgIcon /*Icon*/) { Boxes.push_back(Text); });
    }
    void TearDown() override {
        Form.reset();
        App.reset();
    }

    void OpenWindow(const std::string& Device = "COM%d") {
        Form = std::make_unique<TfrmStart>(nullptr);
        Form->vaComm->SetDeviceName(Device);
        Form->Show();
        FormWindow = ThreadWindow("KivoForm");
    }

    // Processes messages until Done or the bound passes; true when Done.
    template <typename Pred> bool ProcessUntil(Pred Done) {
        const auto Deadline = Clock::now() + Bound;
        while (!Done() && Clock::now() < Deadline) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            App->ProcessMessages();
        }
        return Done();
    }

    std::unique_ptr<TApplication> App;
    std::unique_ptr<TfrmStart> Form;
    std::vector<std::string> Boxes;
    HWND FormWindow = nullptr;
};

TEST_F(Win32WindowTest, IsAFixedDialogLikeWindowWithTheStoredLayout) {
    OpenWindow();
    ASSERT_NE(FormWindow, nullptr);
    EXPECT_EQ(TextOf(FormWindow).rfind("KIVO", 0), 0u) << TextOf(FormWindow);

    const auto Style = static_cast<DWORD>(GetWindowLongPtrA(FormWindow, GWL_STYLE));
    EXPECT_NE(Style & WS_SYSMENU, 0u);
    EXPECT_NE(Style & WS_MINIMIZEBOX, 0u);
    EXPECT_EQ(Style & WS_MAXIMIZEBOX, 0u);
    EXPECT_EQ(Style & WS_THICKFRAME, 0u) << "the window must not be resizable";

    RECT Client{};
    GetClientRect(FormWindow, &Client);
    EXPECT_EQ(Client.right, 305);
    EXPECT_EQ(Client.bottom, 265);

    const RECT Edit = ClientRectOf(WindowOf(Form->edGMR));
    EXPECT_EQ(Edit.left, 128);
    EXPECT_EQ(Edit.top, 168);
    EXPECT_EQ(Edit.right - Edit.left, 161);
    EXPECT_EQ(Edit.bottom - Edit.top, 21);
    const RECT Button = ClientRectOf(WindowOf(Form->btnRead));
    EXPECT_EQ(Button.left, 128);
    EXPECT_EQ(Button.top, 224);
    EXPECT_EQ(Button.right - Button.left, 161);
    EXPECT_EQ(Button.bottom - Button.top, 25);
    EXPECT_EQ(TextOf(WindowOf(Form->btnRead)), "&Read");

    LOGFONTA Font{};
    const auto FontHandle =
        reinterpret_cast<HFONT>(SendMessageA(WindowOf(Form->edCGMI), WM_GETFONT, 0, 0));
    ASSERT_NE(GetObjectA(FontHandle, sizeof(Font), &Font), 0);
    EXPECT_STREQ(Font.lfFaceName, "Tahoma");
    // Wine draws its Tahoma wider than Windows does ("Modem Manufacturer:" would run under
    // its edit): the form may take it a pixel or two smaller, never less than 9 pixels.
    EXPECT_EQ(Font.lfHeight, -Form->ShownFontHeight());
    EXPECT_GE(Form->ShownFontHeight(), 9);
    EXPECT_LE(Form->ShownFontHeight(), 11);

    // Every label shows its whole text and keeps clear of the edits beside it.
    for (const TLabel* Label : {Form->lblPort, Form->lbCGMI, Form->lblCGMM, Form->lblCGMR,
                                Form->lblGMI, Form->lblGMM, Form->lblGMR, Form->lblCGSN}) {
        const HWND Window = WindowOf(Label);
        const RECT Shown = ClientRectOf(Window);
        RECT Ink{};
        EXPECT_TRUE(TextShowsWhole(Window, Ink)) << Label->Caption();
        EXPECT_LE(Shown.left + Ink.right, Edit.left) << Label->Caption();
    }
}

TEST_F(Win32WindowTest, ResultFieldsAreReadOnlyAndDrawnInTheButtonFaceColour) {
    OpenWindow();
    const HWND Edit = WindowOf(Form->edCGSN);
    EXPECT_NE(GetWindowLongPtrA(Edit, GWL_STYLE) & ES_READONLY, 0);
    HDC Dc = GetDC(Edit);
    const auto Brush = reinterpret_cast<HBRUSH>(SendMessageA(FormWindow, WM_CTLCOLORSTATIC,
                                                             reinterpret_cast<WPARAM>(Dc),
                                                             reinterpret_cast<LPARAM>(Edit)));
    ReleaseDC(Edit, Dc);
    EXPECT_EQ(Brush, GetSysColorBrush(COLOR_BTNFACE));
}

TEST_F(Win32WindowTest, StartsOnCom4WithTheButtonFocusedAndTabsInStoredOrder) {
    OpenWindow();
    const HWND Combo = WindowOf(Form->cbPort);
    EXPECT_EQ(SendMessageA(Combo, CB_GETCOUNT, 0, 0), 8);
    EXPECT_EQ(TextOf(Combo), "COM 4");
    EXPECT_FALSE(Form->vaComm->Active());

    const HWND Button = WindowOf(Form->btnRead);
    EXPECT_EQ(GetFocus(), Button);
    const std::array<const TControl*, 9> Order{Form->btnRead, Form->cbPort, Form->edCGMI,
                                               Form->edCGMM,  Form->edCGMR, Form->edGMI,
                                               Form->edGMM,   Form->edGMR,  Form->edCGSN};
    HWND Current = Button;
    for (std::size_t I = 1; I <= Order.size(); ++I) {
        Current = GetNextDlgTabItem(FormWindow, Current, FALSE);
        EXPECT_EQ(Current, WindowOf(Order[I % Order.size()])) << "tab stop " << I;
    }
}

TEST_F(Win32WindowTest, AltRReadsThePhoneIntoTheSevenFields) {
    TPhone Phone(IdentityReplies());
    OpenWindow(Phone.DevicePath());

    // Alt+R as the keyboard delivers it to the focused control; the dialog manager of the
    // message loop turns it into a click of the button.
    ASSERT_NE(GetFocus(), nullptr) << "the window did not take the keyboard focus";
    PostMessageA(GetFocus(), WM_SYSCHAR, 'r', LPARAM{1} << 29);
    ASSERT_TRUE(ProcessUntil([&] { return !Form->edCGSN->Text().empty() || !Boxes.empty(); }));
    ASSERT_TRUE(Boxes.empty()) << Boxes.front();

    EXPECT_EQ(TextOf(WindowOf(Form->edCGMI)), "Wine Mobile");
    EXPECT_EQ(TextOf(WindowOf(Form->edCGMM)), "WM-8");
    EXPECT_EQ(TextOf(WindowOf(Form->edGMR)), "8.0 (modem)");
    EXPECT_EQ(TextOf(WindowOf(Form->edCGSN)), "490154203237518");
    EXPECT_EQ(Phone.Commands(), 7);
    EXPECT_TRUE(Form->vaComm->Active()) << "the port stays open between runs";
    EXPECT_NE(IsWindowEnabled(WindowOf(Form->btnRead)), FALSE);

    // The run leaves the focus on "Read": Enter presses it as Space does.
    ASSERT_EQ(GetFocus(), WindowOf(Form->btnRead));
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
    ASSERT_TRUE(ProcessUntil([&] { return Phone.Commands() == 14 && !Form->Running(); }));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(TextOf(WindowOf(Form->edCGSN)), "490154203237518");

    // Ctrl+Shift+C copies the seven labels with their answers.
    std::array<BYTE, 256> Keys{};
    ASSERT_NE(GetKeyboardState(Keys.data()), FALSE);
    const std::array<BYTE, 256> Before = Keys;
    Keys[VK_CONTROL] = Keys[VK_SHIFT] = 0x80;
    SetKeyboardState(Keys.data());
    PostMessageA(GetFocus(), WM_KEYDOWN, 'C', 1);
    ProcessUntil([] { return ClipboardText().find("Serial Number:") != std::string::npos; });
    Keys = Before;
    SetKeyboardState(Keys.data());
    EXPECT_EQ(ClipboardText(), "Phone Manufacturer: Wine Mobile\r\nPhone Model: WM-8\r\n"
                               "Phone Revision: 8.0\r\nModem Manufacturer: Wine Modems\r\n"
                               "Modem Model: WM-8 GSM\r\nModem Revision: 8.0 (modem)\r\n"
                               "Serial Number: 490154203237518\r\n");

    Form->Close();
    EXPECT_FALSE(Form->vaComm->Active()) << "closing the window closes the port";
    EXPECT_EQ(IsWindowVisible(FormWindow), FALSE);
}

TEST_F(Win32WindowTest, AnAnswerLongerThanItsFieldIsItsToolTipAndCanBeCopiedWhole) {
    OpenWindow();
    const HWND Edit = WindowOf(Form->edCGMR);
    const HWND Tip = ThreadWindow(TOOLTIPS_CLASSA);
    ASSERT_NE(Tip, nullptr);
    EXPECT_EQ(SendMessageA(Tip, TTM_GETTOOLCOUNT, 0, 0), 7) << "a tool for each result field";
    // What the tooltip asks the window for when the mouse rests on the field.
    const auto ToolTipText = [&] {
        NMTTDISPINFOA Info{};
        Info.hdr.hwndFrom = Tip;
        Info.hdr.idFrom = reinterpret_cast<UINT_PTR>(Edit);
        Info.hdr.code = TTN_GETDISPINFOA;
        SendMessageA(FormWindow, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&Info));
        return std::string(Info.lpszText != nullptr ? Info.lpszText : "");
    };
    const std::string Long =
        "KM310_R2.14 Build 2026-03-14 with the network operator's own firmware";
    Form->edCGMR->SetText(Long);
    EXPECT_EQ(ToolTipText(), Long);
    SendMessageA(Edit, EM_SETSEL, 0, -1);
    SendMessageA(Edit, WM_COPY, 0, 0);
    EXPECT_EQ(ClipboardText(), Long);
    Form->edCGMR->SetText("KM310");
    EXPECT_EQ(ToolTipText(), "") << "a field that shows its whole answer has no tip";
}

TEST_F(Win32WindowTest, APhoneThatNeverAnswersEndsTheRunWithTheTimeoutBox) {
    PtyPair Silent; // nobody answers on the far side
    OpenWindow(Silent.DevicePath());
    const double CpuBefore = ProcessorSeconds();
    const auto WallBefore = Clock::now();
    Form->btnRead->Click();
    // The wait sleeps until the timer's message comes: no core spins meanwhile.
    const double Cpu = ProcessorSeconds() - CpuBefore;
    const double Wall = std::chrono::duration<double>(Clock::now() - WallBefore).count();
    EXPECT_LT(Cpu, 0.1 * Wall + 0.25) << Cpu << " s of processor time in " << Wall << " s";
    // The reply timer (SetTimer, 5 s) is the only way out of this run.
    ASSERT_TRUE(ProcessUntil([&] { return !Boxes.empty(); }));
    EXPECT_EQ(Boxes.front(), "ERROR: No answer from phone (timeout).");
    EXPECT_EQ(Silent.ReceiveUntil("\r\n"), "AT+CGMI\r\n");
    EXPECT_TRUE(ProcessUntil([&] { return !Form->Running(); }));
    EXPECT_NE(IsWindowEnabled(WindowOf(Form->btnRead)), FALSE);
    EXPECT_NE(IsWindowEnabled(WindowOf(Form->cbPort)), FALSE);
    EXPECT_TRUE(Form->edCGMI->Text().empty());
}

TEST_F(Win32WindowTest, PhoneUnpluggedMidRunEndsTheRunAtOnceWithOneMessageAndReadsAgainOnceBack) {
    const std::map<std::string, std::string> Replies = IdentityReplies();
    auto Pair = std::make_unique<PtyPair>();
    OpenWindow(Pair->DevicePath());
    // The phone answers two commands; at the third its cable is pulled.
    std::jthread Phone([&Pair, &Replies] {
        for (int Command = 1; Command <= 3; ++Command) {
            const std::string Got = Pair->ReceiveUntil("\r\n", Bound);
            const auto Found =
                Replies.find(Got.substr(0, Got.size() - std::min<std::size_t>(Got.size(), 2)));
            if (Command == 3 || Found == Replies.end()) {
                Pair->HangUp();
                return;
            }
            Pair->Send(Found->second);
        }
    });
    const auto WallBefore = Clock::now();
    Form->btnRead->Click();
    ASSERT_TRUE(ProcessUntil([&] { return !Boxes.empty() && !Form->Running(); }));
    const double Wall = std::chrono::duration<double>(Clock::now() - WallBefore).count();
    Phone.join();
    // One box saying the device was lost, at once rather than after the reply timer's 5 s;
    // the run ends, and the dead port is closed.
    ASSERT_EQ(Boxes.size(), 1U) << Boxes.back();
    EXPECT_TRUE(Boxes[0].starts_with("Lost the device " + Pair->DevicePath() + ": ")) << Boxes[0];
    EXPECT_LT(Wall, 4.0);
    EXPECT_EQ(Form->edCGMI->Text(), "Wine Mobile");
    EXPECT_EQ(Form->edCGMM->Text(), "WM-8");
    EXPECT_TRUE(Form->edCGMR->Text().empty());
    EXPECT_FALSE(Form->vaComm->Active());
    // The phone is back (on whichever pair is free, as a replugged device may come back
    // elsewhere): the next Read opens the port again and reads in full.
    Pair.reset();
    Boxes.clear();
    TPhone Back(Replies);
    Form->vaComm->SetDeviceName(Back.DevicePath());
    Form->btnRead->Click();
    ASSERT_TRUE(ProcessUntil([&] { return Back.Commands() == 7 && !Form->Running(); }))
        << Back.Commands() << " commands; " << (Boxes.empty() ? "no box" : Boxes.front());
    EXPECT_TRUE(Boxes.empty()) << Boxes.front();
    EXPECT_EQ(Form->edCGSN->Text(), "490154203237518");
}

// The closed port list fits the names of its items, not what follows them: a port's long
// description or the console's mark leaves the window's font as it is.
TEST_F(Win32WindowTest, TheClosedPortListFitsItsItemsNamesNotTheirDescriptions) {
    OpenWindow();
    const int Fitted = Form->ShownFontHeight();
    std::vector<std::string> Items = Form->cbPort->Items();
    Items.front() = "COM 1 (system console)";
    Items.emplace_back("COM12 - Wine Mobile WM-8 USB Modem, interface 2 of the phone's own");
    Form->cbPort->SetItems(Items);
    // The window fits its font again, as it does at another DPI.
    RECT Shown{};
    GetWindowRect(FormWindow, &Shown);
    SendMessageA(FormWindow, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&Shown));
    EXPECT_EQ(Form->ShownFontHeight(), Fitted);

    const HWND Combo = WindowOf(Form->cbPort);
    COMBOBOXINFO Info{};
    Info.cbSize = sizeof(Info);
    ASSERT_NE(GetComboBoxInfo(Combo, &Info), FALSE);
    for (const char* Name : {"COM 1", "COM12"}) {
        EXPECT_LE(DrawnSize(Combo, Name).cx, Info.rcItem.right - Info.rcItem.left) << Name;
    }
}

// A worker thread's call queued while a modal message box is up.
class TSyncWorker : public TThread {
public:
    TSyncWorker() : TThread(true) {}
    std::atomic<bool> Ran{false};

protected:
    void Execute() override {
        Synchronize([this] { Ran = true; });
    }
};

std::atomic<bool>* RanFlag = nullptr;
Clock::time_point BoxDeadline;
HFONT BoxTextFont = nullptr;

// Closes the modal box once the worker's call has run there (or the bound has passed).
void CALLBACK CloseBoxWhenDone(HWND /*Window*/, UINT /*Message*/, UINT_PTR /*Id*/, DWORD /*Time*/) {
    if (!*RanFlag && Clock::now() < BoxDeadline) {
        return;
    }
    const HWND Box = ThreadWindow("#32770"); // the message box
    if (Box != nullptr) {
        const HWND Text =
            FindWindowExA(Box, nullptr, "Static", "ERROR: No answer from phone (timeout).");
        if (Text != nullptr) {
            BoxTextFont = reinterpret_cast<HFONT>(SendMessageA(Text, WM_GETFONT, 0, 0));
        }
        PostMessageA(Box, WM_COMMAND, IDOK, 0);
    }
}

TEST_F(Win32WindowTest, HandOversRunWhileAModalMessageBoxInTheWindowsFontIsShown) {
    App->SetMessageBoxHook({});
    OpenWindow();
    TSyncWorker Worker;
    RanFlag = &Worker.Ran;
    BoxDeadline = Clock::now() + Bound;
    const UINT_PTR Closer = SetTimer(nullptr, 0, 50, CloseBoxWhenDone);
    Worker.Resume();

    App->ShowError("ERROR: No answer from phone (timeout).");

    KillTimer(nullptr, Closer);
    EXPECT_TRUE(Worker.Ran) << "the queued call did not run inside the message box";
    EXPECT_EQ(BoxTextFont, reinterpret_cast<HFONT>(SendMessageA(FormWindow, WM_GETFONT, 0, 0)));
    Worker.WaitFor();
}

// What a box showed while a read ran: where it and its OK button were against the work area
// of its monitor, and its text.
struct TShownBox {
    RECT Work{};
    RECT Box{};
    RECT Ok{};
    std::string Text;
};
TShownBox* ShownBox = nullptr;

// Records the first message box that shows, and closes every one.
void CALLBACK RecordAndCloseBox(HWND /*Window*/, UINT /*Message*/, UINT_PTR /*Id*/,
                                DWORD /*Time*/) {
    const HWND Box = ThreadWindow("#32770");
    if (Box == nullptr) {
        return;
    }
    if (ShownBox->Text.empty()) {
        MONITORINFO Monitor{};
        Monitor.cbSize = sizeof(Monitor);
        GetMonitorInfoA(MonitorFromWindow(Box, MONITOR_DEFAULTTONEAREST), &Monitor);
        ShownBox->Work = Monitor.rcWork;
        GetWindowRect(Box, &ShownBox->Box);
        GetWindowRect(GetDlgItem(Box, IDOK), &ShownBox->Ok);
        // The box's text is its longest static text.
        EnumChildWindows(
            Box,
            [](HWND Child, LPARAM /*Param*/) -> BOOL {
                std::string Text(static_cast<std::size_t>(GetWindowTextLengthA(Child)) + 1, '\0');
                Text.resize(static_cast<std::size_t>(
                    GetWindowTextA(Child, Text.data(), static_cast<int>(Text.size()))));
                if (Text.size() > ShownBox->Text.size()) {
                    ShownBox->Text = Text;
                }
                return TRUE;
            },
            0);
    }
    PostMessageA(Box, WM_COMMAND, IDOK, 0);
}

bool Inside(const RECT& Inner, const RECT& Outer) {
    return Inner.left >= Outer.left && Inner.top >= Outer.top && Inner.right <= Outer.right &&
           Inner.bottom <= Outer.bottom;
}

// A refusal of 30 KB: the box and its button stay inside the work area, the text cut where
// it ends in an ellipsis; "Copy exchange" has it whole.
TEST_F(Win32WindowTest, ABoxWithALongRefusalStaysOnTheScreenAndCopyExchangeHasItWhole) {
    App->SetMessageBoxHook({});
    std::string Refusal;
    while (Refusal.size() < 30000) {
        Refusal += "operation not allowed in mode " + std::to_string(Refusal.size()) + "; ";
    }
    std::map<std::string, std::string> Replies = IdentityReplies();
    Replies["AT+CGMI"] = "\r\n+CME ERROR: " + Refusal + "\r\n";
    TPhone Phone(Replies);
    OpenWindow(Phone.DevicePath());
    TShownBox Shown;
    ShownBox = &Shown;
    const UINT_PTR Closer = SetTimer(nullptr, 0, 20, RecordAndCloseBox);
    Form->btnRead->Click();
    const bool Ended = ProcessUntil([&] { return !Shown.Text.empty() && !Form->Running(); });
    KillTimer(nullptr, Closer);
    ASSERT_TRUE(Ended) << (Shown.Text.empty() ? "no box" : "the run did not end");

    const auto Size = [](const RECT& R) {
        return std::to_string(R.right - R.left) + "x" + std::to_string(R.bottom - R.top) + "+" +
               std::to_string(R.left) + "+" + std::to_string(R.top);
    };
    EXPECT_TRUE(Inside(Shown.Box, Shown.Work)) << Size(Shown.Box) << " on " << Size(Shown.Work);
    EXPECT_TRUE(Inside(Shown.Ok, Shown.Work)) << Size(Shown.Ok) << " on " << Size(Shown.Work);
    EXPECT_TRUE(Shown.Text.starts_with("+CME ERROR: operation not allowed in mode 0; "))
        << Shown.Text.substr(0, 80);
    // "…" in the system's code page: Windows-1252, UTF-8, or none.
    EXPECT_TRUE(Shown.Text.ends_with("\x85") || Shown.Text.ends_with("\xE2\x80\xA6") ||
                Shown.Text.ends_with("..."))
        << Shown.Text.substr(Shown.Text.size() - std::min<std::size_t>(Shown.Text.size(), 20));

    // The reply, as the port delivered it in one part or more ("... COMn < bytes" lines).
    Form->CopyExchange();
    const std::string Exchange = ClipboardText();
    std::string Received;
    for (std::size_t Line = 0; Line < Exchange.size();) {
        const std::size_t End = std::min(Exchange.find("\r\n", Line), Exchange.size());
        const std::size_t From = Exchange.find(" < ", Line);
        if (From < End) {
            Received += Exchange.substr(From + 3, End - From - 3);
        }
        Line = End + 2;
    }
    EXPECT_NE(Received.find("\\r\\n+CME ERROR: " + Refusal + "\\r\\n"), std::string::npos)
        << Exchange.substr(0, 300);
}

// Wherever the room ends, a box's text is cut before a whole UTF-8 character.
TEST(BoxTextCut, NeverSplitsAUtf8Character) {
    const std::string Text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB1z"; // "aé€📱z"
    const std::array<std::size_t, 5> Starts{0, 1, 3, 6, 10};
    for (std::size_t Room = 0; Room < Text.size(); ++Room) {
        const std::size_t Kept = BytesThatFit(
            Text, [Room](std::size_t Bytes) { return Bytes <= Room; }, Utf8CharacterStart);
        EXPECT_EQ(Kept, *std::prev(std::upper_bound(Starts.begin(), Starts.end(), Room))) << Room;
    }
    EXPECT_EQ(BytesThatFit(
                  Text, [](std::size_t /*Bytes*/) { return true; }, Utf8CharacterStart),
              Text.size());
}

// ---- The window at the screen's DPI

// Sets the screen DPI (the user's LogPixels value) that Wine gives the processes started
// from now on, and takes it away again. The tests' prefix has none of its own: taking it
// away, rather than putting back what was there, also clears a value that a run killed
// midway left behind.
class TScreenDpi {
public:
    explicit TScreenDpi(DWORD Dpi)
        : FSet(RegSetKeyValueA(HKEY_CURRENT_USER, Key, Value, REG_DWORD, &Dpi, sizeof(Dpi)) ==
               ERROR_SUCCESS) {}
    // A value that cannot be taken away stays for the next run to take away.
    ~TScreenDpi() { RegDeleteKeyValueA(HKEY_CURRENT_USER, Key, Value); }
    TScreenDpi(const TScreenDpi&) = delete;
    TScreenDpi& operator=(const TScreenDpi&) = delete;

    [[nodiscard]] bool Set() const { return FSet; }

private:
    static constexpr const char* Key = "Control Panel\\Desktop";
    static constexpr const char* Value = "LogPixels";
    bool FSet;
};

// The screen's DPI is read once per process: a test runs itself again in a new process of
// this program, which knows its part by this variable and ends with ChildPassed once it
// passed (a filter that matched no test would end with 0 as well).
constexpr const char* ChildVariable = "KIVO_TEST_DPI_CHILD";
constexpr UINT ChildPassed = 77;

// The exit code of this test run alone in a new process; its output goes to this one's.
DWORD RunThisTestInANewProcess() {
    const ::testing::TestInfo* Test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::array<char, MAX_PATH> Program{};
    GetModuleFileNameA(nullptr, Program.data(), static_cast<DWORD>(Program.size()));
    std::string Command = std::string("\"") + Program.data() +
                          "\" --gtest_filter=" + Test->test_suite_name() + "." + Test->name();
    STARTUPINFOA Startup{};
    Startup.cb = sizeof(Startup);
    Startup.dwFlags = STARTF_USESTDHANDLES;
    Startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    Startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    Startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION Process{};
    SetEnvironmentVariableA(ChildVariable, "1");
    const BOOL Started = CreateProcessA(nullptr, Command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &Startup, &Process);
    SetEnvironmentVariableA(ChildVariable, nullptr);
    if (Started == FALSE) {
        return GetLastError();
    }
    DWORD Code = STILL_ACTIVE;
    if (WaitForSingleObject(Process.hProcess, 20000) != WAIT_OBJECT_0) {
        TerminateProcess(Process.hProcess, 1); // fails below as still active
    } else {
        GetExitCodeProcess(Process.hProcess, &Code);
    }
    CloseHandle(Process.hThread);
    CloseHandle(Process.hProcess);
    return Code;
}

RECT Scaled(int Left, int Top, int Width, int Height, int Dpi) {
    const auto At = [Dpi](int Value) { return MulDiv(Value, Dpi, 96); };
    return {At(Left), At(Top), At(Left + Width), At(Top + Height)};
}

bool Overlap(const RECT& A, const RECT& B) {
    RECT Common{};
    return IntersectRect(&Common, &A, &B) != FALSE;
}

class Win32WindowDpi : public Win32WindowTest, public ::testing::WithParamInterface<int> {
protected:
    // The stored layout at Dpi, with every text whole inside its control and clear of the
    // others, as the Linux window's faces test checks it.
    void ExpectTheLayoutAt(int Dpi) {
        SCOPED_TRACE(std::to_string(Dpi) + " DPI");
        RECT Client{};
        GetClientRect(FormWindow, &Client);
        EXPECT_EQ(Client.right, MulDiv(305, Dpi, 96));
        EXPECT_EQ(Client.bottom, MulDiv(265, Dpi, 96));
        const RECT Edit = ClientRectOf(WindowOf(Form->edGMR));
        const RECT Stored = Scaled(128, 168, 161, 21, Dpi);
        EXPECT_TRUE(EqualRect(&Edit, &Stored) != FALSE)
            << Edit.left << "," << Edit.top << " " << Edit.right << "," << Edit.bottom;
        LOGFONTA Font{};
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the message answers with a handle
        GetObjectA(reinterpret_cast<HFONT>(SendMessageA(FormWindow, WM_GETFONT, 0, 0)),
                   sizeof(Font), &Font);
        EXPECT_EQ(Font.lfHeight, -MulDiv(Form->ShownFontHeight(), Dpi, 96));
        EXPECT_GE(Form->ShownFontHeight(), 9);

        std::vector<RECT> Others;
        for (HWND Child = GetWindow(FormWindow, GW_CHILD); Child != nullptr;
             Child = GetWindow(Child, GW_HWNDNEXT)) {
            Others.push_back(ClientRectOf(Child));
        }
        for (int I = 0; I < Form->ComponentCount(); ++I) {
            ExpectTextWhole(Form->Components(I), Client, Others);
        }
    }

    static void ExpectTextWhole(const TComponent* Component, const RECT& Client,
                                const std::vector<RECT>& Others) {
        const auto* Control = dynamic_cast<const TControl*>(Component);
        const HWND Window = Control != nullptr ? WindowOf(Control) : nullptr;
        if (Window == nullptr) {
            return;
        }
        const RECT Shown = ClientRectOf(Window);
        RECT Inside{};
        GetClientRect(Window, &Inside);
        const std::string Name = Control->Name();
        if (dynamic_cast<const TLabel*>(Control) != nullptr) {
            RECT Text{};
            EXPECT_TRUE(TextShowsWhole(Window, Text)) << Name;
            OffsetRect(&Text, Shown.left, Shown.top);
            EXPECT_GE(Text.left, Shown.left) << Name;
            EXPECT_LE(Text.right, Shown.right) << Name;
            EXPECT_LE(Text.bottom, Shown.bottom) << Name;
            EXPECT_GE(Text.left, Client.left) << Name;
            EXPECT_LE(Text.right, Client.right) << Name;
            for (const RECT& Other : Others) {
                EXPECT_TRUE(EqualRect(&Other, &Shown) != FALSE || !Overlap(Other, Text))
                    << Name << " runs into the control at " << Other.left << "," << Other.top;
            }
        } else if (dynamic_cast<const TButton*>(Control) != nullptr) {
            // Whole, and inside the raised edge and the focus rectangle.
            RECT Text{};
            EXPECT_TRUE(TextShowsWhole(Window, Text)) << Name;
            EXPECT_GE(Text.left, 4) << Name;
            EXPECT_GE(Text.top, 4) << Name;
            EXPECT_LE(Text.right, Inside.right - 4) << Name;
            EXPECT_LE(Text.bottom, Inside.bottom - 4) << Name;
        } else if (dynamic_cast<const TComboBox*>(Control) != nullptr) {
            COMBOBOXINFO Info{};
            Info.cbSize = sizeof(Info);
            ASSERT_NE(GetComboBoxInfo(Window, &Info), FALSE);
            const auto Count = static_cast<int>(SendMessageA(Window, CB_GETCOUNT, 0, 0));
            for (int Index = 0; Index < Count; ++Index) {
                std::array<char, 256> Item{};
                SendMessageA(Window, CB_GETLBTEXT, Index, reinterpret_cast<LPARAM>(Item.data()));
                // The item's name: a port's description shows in the open list.
                const std::string_view Whole(Item.data());
                const std::string Name(
                    Whole.substr(0, std::min(Whole.find(" - "), Whole.find(" ("))));
                EXPECT_LE(DrawnSize(Window, Name).cx, Info.rcItem.right - Info.rcItem.left)
                    << Item.data();
            }
            EXPECT_LE(DrawnSize(Window, "Ag").cy, Info.rcItem.bottom - Info.rcItem.top) << Name;
        } else if (dynamic_cast<const TEdit*>(Control) != nullptr) {
            EXPECT_LE(DrawnSize(Window, "Ag").cy, Inside.bottom) << Name;
        }
    }
};

TEST_P(Win32WindowDpi, ScalesTheStoredLayoutAndShowsEveryTextWhole) {
    const int Dpi = GetParam();
    if (GetEnvironmentVariableA(ChildVariable, nullptr, 0) == 0) {
        const TScreenDpi Screen(static_cast<DWORD>(Dpi));
        ASSERT_TRUE(Screen.Set());
        EXPECT_EQ(RunThisTestInANewProcess(), ChildPassed);
        return;
    }
    HDC Screen = GetDC(nullptr);
    ASSERT_EQ(GetDeviceCaps(Screen, LOGPIXELSY), Dpi) << "Wine did not take the LogPixels value";
    ReleaseDC(nullptr, Screen);
    OpenWindow();
    ASSERT_NE(FormWindow, nullptr);
    ExpectTheLayoutAt(Dpi);

    // Moved to a monitor of another DPI, the window takes the size and font for that one.
    const int Next = Dpi == 192 ? 96 : Dpi + 48;
    RECT Suggested{};
    GetWindowRect(FormWindow, &Suggested);
    Suggested.right = Suggested.left + MulDiv(Suggested.right - Suggested.left, Next, Dpi);
    Suggested.bottom = Suggested.top + MulDiv(Suggested.bottom - Suggested.top, Next, Dpi);
    SendMessageA(FormWindow, WM_DPICHANGED, MAKEWPARAM(Next, Next),
                 reinterpret_cast<LPARAM>(&Suggested));
    ExpectTheLayoutAt(Next);

    if (!HasFailure()) {
        std::fflush(stdout);
        ExitProcess(ChildPassed);
    }
}

INSTANTIATE_TEST_SUITE_P(ScreenDpi, Win32WindowDpi, ::testing::Values(96, 144, 192),
                         [](const auto& Info) {
                             return "At" + std::to_string(Info.param) + "Dpi";
                         });

} // namespace
