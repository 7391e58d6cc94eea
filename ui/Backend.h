#pragma once
// What a toolkit backend provides to the window classes of Forms.h. The classes keep their
// property values themselves and push every change to their peer; a peer reports user
// actions back through the callbacks it was created with. Qt's backend lives in ui/qt/.

#include "ui/Types.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The toolkit's side of one control or form.
class TWidgetPeer {
public:
    TWidgetPeer() = default;
    TWidgetPeer(const TWidgetPeer&) = delete;
    TWidgetPeer& operator=(const TWidgetPeer&) = delete;
    TWidgetPeer(TWidgetPeer&&) = delete;
    TWidgetPeer& operator=(TWidgetPeer&&) = delete;
    virtual ~TWidgetPeer() = default;

    // Position and size; for a form, its client area.
    virtual void SetBounds(int Left, int Top, int Width, int Height) = 0;
    virtual void SetEnabled(bool Value) = 0;
    virtual void SetVisible(bool Value) = 0;
    virtual void SetText(const std::string& Value) = 0;
    virtual void SetColor(TColor Value) = 0;
    virtual void SetFocus() = 0;
    [[nodiscard]] virtual bool Focused() const = 0;
    // Paints what is pending at once.
    virtual void Repaint() = 0;

    // Kind-specific; controls of other kinds ignore them.
    virtual void SetAlignment(TAlignment /*Value*/) {}
    virtual void SetReadOnly(bool /*Value*/) {}
    virtual void SetItems(const std::vector<std::string>& /*Items*/) {}
    virtual void SetItemIndex(int /*Index*/) {}
    [[nodiscard]] virtual int ItemIndex() const { return -1; }
    virtual void SetItemHeight(int /*Value*/) {}
    // An edit's tip beside its text: shown when the pointer rests on it; empty: none.
    virtual void SetHint(const std::string& /*Value*/) {}
    // A label names Control: a screen reader reads the label's text as Control's name, and
    // the label's accelerator moves the focus there.
    virtual void SetLabelFor(TWidgetPeer& /*Control*/) {}

    // Whether the control's text shows whole inside its own box in the current font. A
    // label grows to its text: the form weighs its TextWidth against its neighbours.
    [[nodiscard]] virtual bool TextFits() const { return true; }
    // The width the control's text needs in the current font; 0 for kinds without a caption.
    [[nodiscard]] virtual int TextWidth() const { return 0; }
};

// A form's own calls beyond those of a control.
class TFormPeer : public TWidgetPeer {
public:
    virtual void SetBorder(TFormBorderStyle Style, TBorderIcons Icons) = 0;
    // The face by name, or the system's sans-serif face in its place; Height in pixels
    // (negative: the character height). Message boxes shown over the form take it too.
    virtual void SetFont(const std::string& Name, int Height) = 0;
    // Focus moves between the given peers in this order.
    virtual void SetTabOrder(const std::vector<TWidgetPeer*>& Order) = 0;
    virtual void Show(TPosition Position) = 0;
    // Asks the window to close, as its close box does.
    virtual void Close() = 0;
    [[nodiscard]] virtual bool Showing() const = 0;
    // An entry of the window's context menu that ShortCut also runs, anywhere in the window.
    virtual void AddAction(const std::string& Caption, TShortCut ShortCut,
                           std::function<void()> OnExecute) = 0;
};

class TTimerPeer {
public:
    TTimerPeer() = default;
    TTimerPeer(const TTimerPeer&) = delete;
    TTimerPeer& operator=(const TTimerPeer&) = delete;
    TTimerPeer(TTimerPeer&&) = delete;
    TTimerPeer& operator=(TTimerPeer&&) = delete;
    virtual ~TTimerPeer() = default;
    // Stops the timer, then starts a full period when Enabled.
    virtual void Restart(bool Enabled, int IntervalMs) = 0;
};

// What a peer reports back. Every callback is guarded by the caller's side: the backend
// never sees an exception.
struct TFormCallbacks {
    std::function<bool()> CloseQuery; // true: the window may close
    std::function<void()> Closed;     // the window has closed
    std::function<void()> Rescaled;   // shown at another DPI now: the texts are fitted again
};

// A watch the backend keeps while this object lives.
class TWatchPeer {
public:
    TWatchPeer() = default;
    TWatchPeer(const TWatchPeer&) = delete;
    TWatchPeer& operator=(const TWatchPeer&) = delete;
    TWatchPeer(TWatchPeer&&) = delete;
    TWatchPeer& operator=(TWatchPeer&&) = delete;
    virtual ~TWatchPeer() = default;
};

enum class TWidgetKind : std::uint8_t { wkLabel, wkEdit, wkComboBox, wkButton };

namespace UiBackend {

// The program's command line, for the toolkit's own options (Qt: -style, -platform...);
// Argc and Argv must live until the program ends. Before Initialize, on the main thread.
void SetArguments(int& Argc, char** Argv);
// Prepares the toolkit; the first call wins. Safe to call more than once. Raises
// std::runtime_error, saying so, when there is no display to show windows on.
void Initialize();
[[nodiscard]] std::unique_ptr<TFormPeer> CreateForm(TFormCallbacks Callbacks);
// Parent: the form's peer. OnClick: a button's click.
[[nodiscard]] std::unique_ptr<TWidgetPeer> CreateWidget(TWidgetKind Kind, TFormPeer& Parent,
                                                        std::function<void()> OnClick);
[[nodiscard]] std::unique_ptr<TTimerPeer> CreateTimer(std::function<void()> OnTimer);

// Runs the toolkit's message loop until the last window has closed.
void RunMessageLoop();
// Handles every pending message and queued hand-over, then returns.
void ProcessMessages();
// Sleeps until a message or a hand-over arrives, at most Bound, then does ProcessMessages.
void WaitAndProcessMessages(std::chrono::milliseconds Bound);
// Puts Text on the system clipboard (lines end in the platform's line end).
void SetClipboardText(const std::string& Text);
void SetApplicationTitle(const std::string& Title);
void SetCursor(TCursor Cursor);
// A modal message box with its own message loop; returns when the user closed it.
void ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon);

// Calls OnChange from the message loop (on the UI thread) after a serial port was added or
// removed: a udev monitor on Linux, WM_DEVICECHANGE on Windows; nothing polls. The watch
// ends when the returned object is destroyed. UI thread only.
[[nodiscard]] std::unique_ptr<TWatchPeer> WatchSerialPorts(std::function<void()> OnChange);

} // namespace UiBackend
