// kivo-read's watch of serial devices on Windows: a thread of its own creates a hidden
// message-only window registered for the arrival and removal of COM port and modem
// interfaces (WM_DEVICECHANGE) and takes that window's messages. Windows sends them; nothing
// polls. The owner ends the thread by closing the window.

#include "platform/Win32Api.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/PortNotifications.h"
#include "runtime/Thread.h"
#include "tools/PortArrivals.h"

#include <atomic>
#include <future>
#include <optional>
#include <vector>

namespace {

using TOnChange = std::function<void(const std::string&)>;

class TArrivalWatcher : public TThread {
public:
    explicit TArrivalWatcher(TOnChange OnChange) : TThread(true), FOnChange(std::move(OnChange)) {}
    ~TArrivalWatcher() override { TerminateAndWait(); }
    TArrivalWatcher(const TArrivalWatcher&) = delete;
    TArrivalWatcher& operator=(const TArrivalWatcher&) = delete;
    TArrivalWatcher(TArrivalWatcher&&) = delete;
    TArrivalWatcher& operator=(TArrivalWatcher&&) = delete;

    // Starts the thread; empty once its window is registered, else why it could not be.
    std::string Start() {
        std::future<std::string> Ready = FReady.get_future();
        Resume();
        return Ready.get();
    }
    // Ends the message loop; the window is gone once the thread has ended. Any thread.
    void Close() const {
        if (FWindow != nullptr) {
            PostMessageA(FWindow, WM_CLOSE, 0, 0); // fails only once the window is gone
        }
    }

protected:
    void Execute() override {
        // The window lives on this thread, which takes its messages, and is destroyed here.
        TMessageWindow Window("KivoReadPortWatch",
                              [this](UINT Message, WPARAM WParam, LPARAM /*LParam*/) {
                                  return Handle(Message, WParam);
                              });
        if (!Register(Window.Handle())) {
            FReady.set_value("Cannot watch for serial devices: error " +
                             std::to_string(GetLastError()) + " registering for device changes");
            return;
        }
        FReady.set_value({});
        MSG Message{};
        BOOL Got = FALSE;
        while ((Got = GetMessageA(&Message, nullptr, 0, 0)) > 0) {
            DispatchMessageA(&Message);
        }
        if (Got < 0) {
            const std::string Failure =
                "Cannot wait for device changes: error " + std::to_string(GetLastError());
            Synchronize([this, &Failure] { FOnChange(Failure); });
        }
        UnregisterPortNotifications(FNotifications);
    }

private:
    // Registers Window for device changes; false, with the system's error, when it fails.
    bool Register(HWND Window) {
        if (Window == nullptr) {
            return false;
        }
        FNotifications = RegisterPortNotifications(Window);
        if (FNotifications.empty()) {
            return false;
        }
        FWindow = Window;
        return true;
    }

    std::optional<LRESULT> Handle(UINT Message, WPARAM WParam) {
        if (IsPortChange(Message, WParam)) {
            Synchronize([this] { FOnChange({}); });
            return TRUE;
        }
        if (Message == WM_CLOSE) {
            PostQuitMessage(0);
            return 0;
        }
        return std::nullopt;
    }

    const TOnChange FOnChange;
    std::promise<std::string> FReady;
    std::atomic<HWND> FWindow{nullptr};
    std::vector<HDEVNOTIFY> FNotifications; // the thread's own
};

} // namespace

struct TPortArrivals::TImpl {
    std::string Problem;
    std::unique_ptr<TArrivalWatcher> Watcher;
};

TPortArrivals::TPortArrivals(std::function<void(const std::string& Failure)> OnChange)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Watcher = std::make_unique<TArrivalWatcher>(std::move(OnChange));
    FImpl->Problem = FImpl->Watcher->Start();
}

TPortArrivals::~TPortArrivals() {
    FImpl->Watcher->Terminate();
    FImpl->Watcher->CancelSynchronize();
    FImpl->Watcher->Close();
    FImpl->Watcher.reset();
}

const std::string& TPortArrivals::Problem() const noexcept {
    return FImpl->Problem;
}
