// The Win32 backend's watch of serial ports: a hidden message-only window registered for
// the arrival and removal of COM port and modem interfaces (WM_DEVICECHANGE). Windows
// sends those messages; nothing polls.

#include "platform/Win32Api.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/PortNotifications.h"
#include "ui/Backend.h"

#include <vector>

namespace {

class TWin32PortWatch : public TWatchPeer {
public:
    explicit TWin32PortWatch(std::function<void()> OnChange)
        : FOnChange(std::move(OnChange)),
          FWindow("KivoPortWatch", [this](UINT Message, WPARAM WParam, LPARAM /*LParam*/) {
              return Handle(Message, WParam);
          }) {
        if (FWindow.Handle() != nullptr) {
            FNotifications = RegisterPortNotifications(FWindow.Handle());
        }
    }
    ~TWin32PortWatch() override { UnregisterPortNotifications(FNotifications); }
    TWin32PortWatch(const TWin32PortWatch&) = delete;
    TWin32PortWatch& operator=(const TWin32PortWatch&) = delete;
    TWin32PortWatch(TWin32PortWatch&&) = delete;
    TWin32PortWatch& operator=(TWin32PortWatch&&) = delete;

private:
    std::optional<LRESULT> Handle(UINT Message, WPARAM WParam) const {
        if (!IsPortChange(Message, WParam)) {
            return std::nullopt;
        }
        FOnChange();
        return TRUE;
    }

    const std::function<void()> FOnChange;
    TMessageWindow FWindow; // after FOnChange, which its messages call
    std::vector<HDEVNOTIFY> FNotifications;
};

} // namespace

namespace UiBackend {

std::unique_ptr<TWatchPeer> WatchSerialPorts(std::function<void()> OnChange) {
    return std::make_unique<TWin32PortWatch>(std::move(OnChange));
}

} // namespace UiBackend
