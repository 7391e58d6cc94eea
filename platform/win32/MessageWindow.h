#pragma once
// A hidden message-only window whose messages go to a handler: how the Windows backends
// receive what Windows or another thread posts them (hand-over wake-ups, timer ticks,
// notices of devices that come and go) without a visible window. It names Win32 types.

#include "platform/Win32Api.h"

#include <functional>
#include <optional>

class TMessageWindow {
public:
    // Handles one message: the result to return for it, or nothing for the default handling.
    // Runs on the window's thread, from its message loop (or from a message sent to it).
    using THandler =
        std::function<std::optional<LRESULT>(UINT Message, WPARAM WParam, LPARAM LParam)>;

    // Creates the window, of the class ClassName (registered here the first time; a name
    // per use, by which it can be found), on the calling thread, which owns it from then on
    // and takes its messages. Handle() is null when it could not be created (GetLastError
    // tells why).
    TMessageWindow(const char* ClassName, THandler Handler);
    // Destroys the window; on the thread that created it, as Windows requires. A message
    // still queued for it then finds no window.
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;
    TMessageWindow(TMessageWindow&&) = delete;
    TMessageWindow& operator=(TMessageWindow&&) = delete;

    // The window, to post to (any thread) or to register for notices (its own thread).
    [[nodiscard]] HWND Handle() const noexcept { return FWindow; }

private:
    static LRESULT CALLBACK Procedure(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);

    const THandler FHandler;
    HWND FWindow = nullptr;
};
