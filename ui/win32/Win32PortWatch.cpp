// The Win32 backend's watch of serial ports: a hidden message-only window registered for
// the arrival and removal of COM port and modem interfaces (WM_DEVICECHANGE). Windows
// sends those messages; nothing polls.

#include "platform/Win32Api.h"
#include "platform/win32/PortNotifications.h"
#include "ui/Backend.h"

#include <vector>

namespace {

constexpr const char* WatchClassName = "KivoPortWatch";

class TWin32PortWatch : public TWatchPeer {
public:
    explicit TWin32PortWatch(std::function<void()> OnChange) : FOnChange(std::move(OnChange)) {
        RegisterWatchClass();
        FWindow = CreateWindowExA(0, WatchClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        if (FWindow == nullptr) {
            return;
        }
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        FNotifications = RegisterPortNotifications(FWindow);
    }
    ~TWin32PortWatch() override {
        UnregisterPortNotifications(FNotifications);
        if (FWindow != nullptr) {
            DestroyWindow(FWindow); // a message still queued finds no window
        }
    }
    TWin32PortWatch(const TWin32PortWatch&) = delete;
    TWin32PortWatch& operator=(const TWin32PortWatch&) = delete;
    TWin32PortWatch(TWin32PortWatch&&) = delete;
    TWin32PortWatch& operator=(TWin32PortWatch&&) = delete;

private:
    static void RegisterWatchClass() {
        WNDCLASSEXA Class{};
        Class.cbSize = sizeof(Class);
        Class.lpfnWndProc = WatchProc;
        Class.hInstance = GetModuleHandleA(nullptr);
        Class.lpszClassName = WatchClassName;
        RegisterClassExA(&Class); // fails harmlessly once registered
    }

    static LRESULT CALLBACK WatchProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
        if (IsPortChange(Message, WParam)) {
            auto* Watch =
                reinterpret_cast<TWin32PortWatch*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
            if (Watch != nullptr) {
                Watch->FOnChange();
            }
            return TRUE;
        }
        return DefWindowProcA(Window, Message, WParam, LParam);
    }

    std::function<void()> FOnChange;
    HWND FWindow = nullptr;
    std::vector<HDEVNOTIFY> FNotifications;
};

} // namespace

namespace UiBackend {

std::unique_ptr<TWatchPeer> WatchSerialPorts(std::function<void()> OnChange) {
    return std::make_unique<TWin32PortWatch>(std::move(OnChange));
}

} // namespace UiBackend
