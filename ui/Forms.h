#pragma once
// The few window classes the program is made of: the application object, a form, labels,
// edits, a drop-down list, a push button and a timer. They are components with published
// properties, so a form can be built from its stored description; the toolkit behind them
// is a backend (ui/Backend.h).

#include "runtime/Classes.h"
#include "runtime/TypInfo.h"
#include "ui/Backend.h"
#include "ui/Types.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TForm;

// A visible control placed on a form (its owner).
class TControl : public TComponent {
public:
    ~TControl() override;
    const char* ClassName() const override { return "TControl"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] int Left() const { return FLeft; }
    void SetLeft(int Value);
    [[nodiscard]] int Top() const { return FTop; }
    void SetTop(int Value);
    [[nodiscard]] int Width() const { return FWidth; }
    void SetWidth(int Value);
    [[nodiscard]] int Height() const { return FHeight; }
    void SetHeight(int Value);
    [[nodiscard]] bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    [[nodiscard]] bool Visible() const { return FVisible; }
    void SetVisible(bool Value);
    // Place in the form's focus order; -1: not reached by the Tab key.
    [[nodiscard]] int TabOrder() const { return FTabOrder; }
    void SetTabOrder(int Value) { FTabOrder = Value; }

    void SetFocus();
    [[nodiscard]] bool Focused() const;
    void Repaint();

    [[nodiscard]] TWidgetPeer& Peer() const { return *FPeer; }

protected:
    TControl(TComponent* AOwner, TWidgetKind Kind, std::function<void()> OnClick = {});

private:
    void ApplyBounds();

    std::unique_ptr<TWidgetPeer> FPeer;
    int FLeft = 0;
    int FTop = 0;
    int FWidth = 0;
    int FHeight = 0;
    bool FEnabled = true;
    bool FVisible = true;
    int FTabOrder = -1;
};

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* AOwner);
    const char* ClassName() const override { return "TLabel"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    [[nodiscard]] TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment Value);

private:
    std::string FCaption;
    TAlignment FAlignment = TAlignment::taLeftJustify;
};

class TEdit : public TControl {
public:
    explicit TEdit(TComponent* AOwner);
    const char* ClassName() const override { return "TEdit"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] const std::string& Text() const { return FText; }
    void SetText(const std::string& Value);
    [[nodiscard]] bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    [[nodiscard]] TColor Color() const { return FColor; }
    void SetColor(TColor Value);
    // A tip about the text, shown when the pointer rests on the edit; not stored.
    [[nodiscard]] const std::string& Hint() const { return FHint; }
    void SetHint(const std::string& Value);

private:
    std::string FText;
    std::string FHint;
    bool FReadOnly = false;
    TColor FColor = TColor::clWindow;
};

// A drop-down list; with csDropDownList only its items can be chosen.
class TComboBox : public TControl {
public:
    explicit TComboBox(TComponent* AOwner);
    const char* ClassName() const override { return "TComboBox"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] TComboBoxStyle Style() const { return FStyle; }
    void SetStyle(TComboBoxStyle Value) { FStyle = Value; }
    [[nodiscard]] int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int Value);
    [[nodiscard]] const std::vector<std::string>& Items() const { return FItems; }
    void SetItems(const std::vector<std::string>& Value);
    // The selected item, -1 for none; the user's choice is read from the toolkit.
    [[nodiscard]] int ItemIndex() const;
    void SetItemIndex(int Value);
    [[nodiscard]] std::string Text() const;

private:
    TComboBoxStyle FStyle = TComboBoxStyle::csDropDown;
    int FItemHeight = 13;
    std::vector<std::string> FItems;
};

class TButton : public TControl {
public:
    explicit TButton(TComponent* AOwner);
    const char* ClassName() const override { return "TButton"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    // "&Read": the letter after & is the Alt accelerator.
    [[nodiscard]] const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);

    // Presses the button, as a click or its accelerator does.
    void Click();

    TNotifyEvent OnClick;

private:
    std::string FCaption;
};

// Ticks through the message loop every Interval milliseconds while enabled. Enabling it, or
// changing the interval of an enabled one, starts a full period.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);
    ~TTimer() override;
    const char* ClassName() const override { return "TTimer"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    [[nodiscard]] int Interval() const { return FInterval; }
    void SetInterval(int Value);
    void Loaded() override;

    TNotifyEvent OnTimer;

private:
    void Tick();
    void Update();

    std::unique_ptr<TTimerPeer> FPeer;
    bool FEnabled = true;
    int FInterval = 1000;
};

// The form's font: a face name and a height in pixels (negative: the character height).
class TFont : public TPersistent {
public:
    explicit TFont(std::function<void()> OnChange) : FOnChange(std::move(OnChange)) {}
    const char* ClassName() const override { return "TFont"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] const std::string& Name() const { return FName; }
    void SetName(const std::string& Value);
    [[nodiscard]] int Height() const { return FHeight; }
    void SetHeight(int Value);

private:
    std::function<void()> FOnChange;
    std::string FName = "Tahoma";
    int FHeight = -11;
};

// A top-level window. Controls it owns are placed on it. After its stored description was
// read (Loaded), the focus order is set, each label names the control to its right on its
// row (for screen readers), and OnCreate runs.
//
// The stored places and sizes are kept whatever face the system gives for Font; where a
// text would not show whole in that face (a label reaching into the control beside it, a
// caption or an item wider than its box), the form takes the face a pixel smaller, down to
// three quarters of Font's height, until every text shows whole.
class TForm : public TComponent {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;
    const char* ClassName() const override { return "TForm"; }
    [[nodiscard]] const TClassInfo& ClassInfo() const override;

    [[nodiscard]] const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    [[nodiscard]] int ClientWidth() const { return FClientWidth; }
    void SetClientWidth(int Value);
    [[nodiscard]] int ClientHeight() const { return FClientHeight; }
    void SetClientHeight(int Value);
    [[nodiscard]] TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TFormBorderStyle Value);
    [[nodiscard]] TBorderIcons BorderIcons() const { return FBorderIcons; }
    void SetBorderIcons(TBorderIcons Value);
    [[nodiscard]] TPosition Position() const { return FPosition; }
    void SetPosition(TPosition Value) { FPosition = Value; }
    [[nodiscard]] TColor Color() const { return FColor; }
    void SetColor(TColor Value);
    [[nodiscard]] TFont* Font() const { return FFont.get(); }

    void Loaded() override;
    void Show();
    // Asks the window to close; CloseQuery may refuse.
    void Close();
    void Repaint();
    [[nodiscard]] bool Showing() const;
    // The controls that take the focus by Tab, in order.
    [[nodiscard]] std::vector<TControl*> TabOrderList() const;

    [[nodiscard]] TFormPeer& Peer() const { return *FPeer; }
    // The font height the form shows its texts in, in pixels (see above).
    [[nodiscard]] int ShownFontHeight() const { return FShownFontHeight; }

    // Adds an entry to the window's context menu that ShortCut also runs. What OnExecute
    // raises goes to the application's exception report.
    void AddAction(const std::string& Caption, TShortCut ShortCut, std::function<void()> OnExecute);

    TNotifyEvent OnCreate;

protected:
    // Whether the window may close now; the close is dropped when false.
    virtual bool CloseQuery() { return true; }
    // The window has closed.
    virtual void DoClose() {}

private:
    void ApplyBorder();
    void ApplyFont();
    [[nodiscard]] bool TextsFit() const;
    // Each label names the control it stands before on its row.
    void LinkLabels();
    // The width a label's text may take before it reaches another control or the edge.
    [[nodiscard]] int LabelRoom(const TLabel& Label) const;

    std::unique_ptr<TFormPeer> FPeer;
    std::unique_ptr<TFont> FFont;
    std::string FCaption;
    int FClientWidth = 0;
    int FClientHeight = 0;
    TFormBorderStyle FBorderStyle = TFormBorderStyle::bsSizeable;
    TBorderIcons FBorderIcons{TBorderIcon::biSystemMenu, TBorderIcon::biMinimize,
                              TBorderIcon::biMaximize};
    TPosition FPosition = TPosition::poDesigned;
    TColor FColor = TColor::clBtnFace;
    int FShownFontHeight = 0;
};

// Hands a message box to a test instead of showing it; the box counts as closed when the
// hook returns.
using TMessageBoxHook =
    std::function<void(const std::string& Text, const std::string& Caption, TMsgIcon Icon)>;

// The application: its title, the message loop, the cursor, message boxes and the report of
// exceptions that reach the message loop. All of it is for the main thread only.
class TApplication {
public:
    // Prepares the toolkit, installs the hand-over of worker threads' calls into the message
    // loop and the application's exception report.
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;
    TApplication(TApplication&&) = delete;
    TApplication& operator=(TApplication&&) = delete;

    [[nodiscard]] const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& Value);

    // Shows MainForm and runs the message loop until it has closed.
    void Run(TForm& MainForm);
    // Handles every pending message, timer tick and worker thread's hand-over, then returns.
    void ProcessMessages();
    // Sleeps until a message, tick or hand-over arrives, or Bound has passed, then does
    // ProcessMessages. The thread sleeps meanwhile (no processor time).
    void WaitAndProcessMessages(std::chrono::milliseconds Bound);
    // Puts Text on the system clipboard.
    void SetClipboardText(const std::string& Text);

    [[nodiscard]] TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor Value);

    // A modal box with an OK button, in the main form's font; events and hand-overs go on
    // while it is shown, and the cursor is the arrow until it closes. Text is shown as it
    // is, never as markup: it may carry a device's own text.
    void MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon);
    // The modal error box of a failed exchange: error icon, caption "Error".
    void ShowError(const std::string& Text);
    // The default report of an exception: caption Title, the message with its period.
    void ShowException(const std::exception& E);

    void SetMessageBoxHook(TMessageBoxHook Hook) { FMessageBoxHook = std::move(Hook); }

private:
    std::string FTitle;
    TCursor FCursor = TCursor::crDefault;
    TMessageBoxHook FMessageBoxHook;
};

// The one application object, while it exists.
[[nodiscard]] TApplication& Application();

// The text of the default exception box: a "." is added when the message is not empty and
// its last character's code is above that of ".".
[[nodiscard]] std::string ExceptionBoxText(const std::string& Message);

// Runs Call from a toolkit entry (click, tick, hand-over): whatever it raises goes to the
// application's exception report and never into the toolkit.
void GuardedCall(TObject* Sender, const std::function<void()>& Call) noexcept;

// Makes the window classes known to the stored-form reader by their class names.
void RegisterFormClasses();
