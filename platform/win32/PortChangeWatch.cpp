// The notice of serial ports on Windows: Run creates a hidden message-only window registered
// for the arrival and removal of COM port and modem interfaces (WM_DEVICECHANGE) and takes
// that window's messages. Windows sends them; nothing polls. Stop ends Run by closing the
// window.

#include "platform/PortChangeWatch.h"

#include "platform/Win32Api.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/PortNotifications.h"

#include <atomic>
#include <optional>
#include <vector>

struct TPortChangeWatch::TImpl {
    std::atomic<bool> Stopped{false};
    std::atomic<HWND> Window{nullptr}; // while Run takes its messages
};

TPortChangeWatch::TPortChangeWatch() : FImpl(std::make_unique<TImpl>()) {}

TPortChangeWatch::~TPortChangeWatch() = default;

std::string TPortChangeWatch::Run(const TStarted& Started, const TChanged& Changed) {
    // The window lives on this thread, which takes its messages, and is destroyed here.
    TMessageWindow Window(
        "KivoSerialPortNotice",
        [&Changed](UINT Message, WPARAM WParam, LPARAM /*LParam*/) -> std::optional<LRESULT> {
            if (IsPortChange(Message, WParam)) {
                Changed();
                return TRUE;
            }
            if (Message == WM_CLOSE) {
                PostQuitMessage(0);
                return 0;
            }
            return std::nullopt;
        });
    const std::vector<HDEVNOTIFY> Notifications = Window.Handle() != nullptr
                                                      ? RegisterPortNotifications(Window.Handle())
                                                      : std::vector<HDEVNOTIFY>{};
    if (Notifications.empty()) {
        Started("Cannot watch for serial ports: error " + std::to_string(GetLastError()) +
                " registering for device changes");
        return {};
    }
    Started({});
    FImpl->Window = Window.Handle();
    std::string Failure;
    if (!FImpl->Stopped) { // else Stop came before the window could be closed
        MSG Message{};
        BOOL Got = FALSE;
        while ((Got = GetMessageA(&Message, nullptr, 0, 0)) > 0) {
            DispatchMessageA(&Message);
        }
        if (Got < 0) {
            Failure = "Cannot wait for device changes: error " + std::to_string(GetLastError());
        }
    }
    FImpl->Window = nullptr;
    UnregisterPortNotifications(Notifications);
    return Failure;
}

void TPortChangeWatch::Stop() noexcept {
    FImpl->Stopped = true;
    if (const HWND Window = FImpl->Window; Window != nullptr) {
        PostMessageA(Window, WM_CLOSE, 0, 0); // fails only once the window is gone
    }
}

bool TPortChangeWatch::Acknowledge() {
    return true;
}
