// The main window on the Win32 backend, under Wine's null graphics driver: its layout as
// user32 sees it, keyboard navigation, a read run against a phone played on a COM port
// pair, and the hand-over of worker threads' calls inside a modal message box.

#include "app/Start.h"
#include "platform/Win32Api.h"
#include "runtime/Thread.h"
#include "tests/support/PtyPair.h"
#include "ui/Forms.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <commctrl.h>
#include <gtest/gtest.h>
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

// The width of a window's text in the font it draws with.
int TextWidth(HWND Window) {
    const std::string Text = TextOf(Window);
    HDC Dc = GetDC(Window);
    HGDIOBJ Old = SelectObject(Dc, reinterpret_cast<HFONT>(SendMessageA(Window, WM_GETFONT, 0, 0)));
    SIZE Extent{};
    GetTextExtentPoint32A(Dc, Text.c_str(), static_cast<int>(Text.size()), &Extent);
    SelectObject(Dc, Old);
    ReleaseDC(Window, Dc);
    return Extent.cx;
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
        EXPECT_LE(TextWidth(Window), Shown.right - Shown.left) << Label->Caption();
        EXPECT_LE(Shown.left + TextWidth(Window), Edit.left) << Label->Caption();
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

} // namespace
