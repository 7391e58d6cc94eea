// The notice of serial ports on Windows: a thread of its own creates a hidden message-only
// window registered for the arrival and removal of COM port and modem interfaces
// (WM_DEVICECHANGE) and takes that window's messages. Windows sends them; nothing polls. The
// destructor ends the thread by closing the window.

#include "platform/SerialPortNotice.h"

#include "platform/Win32Api.h"
#include "platform/win32/PortNotifications.h"
#include "runtime/Thread.h"

#include <atomic>
#include <future>
#include <vector>

namespace {

constexpr const char* NoticeClassName = "KivoSerialPortNotice";

using TOnChange = std::function<void(const std::string&)>;

class TNoticeThread : public TThread {
public:
    explicit TNoticeThread(TOnChange OnChange) : TThread(true), FOnChange(std::move(OnChange)) {}
    ~TNoticeThread() override { TerminateAndWait(); }
    TNoticeThread(const TNoticeThread&) = delete;
    TNoticeThread& operator=(const TNoticeThread&) = delete;
    TNoticeThread(TNoticeThread&&) = delete;
    TNoticeThread& operator=(TNoticeThread&&) = delete;

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
        if (!Open()) {
            FReady.set_value("Cannot watch for serial ports: error " +
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
        DestroyWindow(FWindow); // on the thread that made it, as Windows requires
    }

private:
    // The window and its registrations; false, with the system's error, when it fails.
    bool Open() {
        WNDCLASSEXA Class{};
        Class.cbSize = sizeof(Class);
        Class.lpfnWndProc = NoticeProc;
        Class.hInstance = GetModuleHandleA(nullptr);
        Class.lpszClassName = NoticeClassName;
        RegisterClassExA(&Class); // fails harmlessly once registered; CreateWindow tells
        const HWND Window = CreateWindowExA(0, NoticeClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                            nullptr, GetModuleHandleA(nullptr), nullptr);
        if (Window == nullptr) {
            return false;
        }
        SetWindowLongPtrA(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        FNotifications = RegisterPortNotifications(Window);
        if (FNotifications.empty()) {
            const DWORD Error = GetLastError();
            DestroyWindow(Window);
            SetLastError(Error);
            return false;
        }
        FWindow = Window;
        return true;
    }

    static LRESULT CALLBACK NoticeProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
        auto* Thread = reinterpret_cast<TNoticeThread*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
        if (IsPortChange(Message, WParam)) {
            if (Thread != nullptr) {
                Thread->Synchronize([Thread] { Thread->FOnChange({}); });
            }
            return TRUE;
        }
        if (Message == WM_CLOSE) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(Window, Message, WParam, LParam);
    }

    const TOnChange FOnChange;
    std::promise<std::string> FReady;
    std::atomic<HWND> FWindow{nullptr};
    std::vector<HDEVNOTIFY> FNotifications; // the thread's own
};

} // namespace

struct TSerialPortNotice::TImpl {
    std::string Problem;
    std::unique_ptr<TNoticeThread> Thread;
};

TSerialPortNotice::TSerialPortNotice(std::function<void(const std::string& Failure)> OnChange)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Thread = std::make_unique<TNoticeThread>(std::move(OnChange));
    FImpl->Problem = FImpl->Thread->Start();
}

TSerialPortNotice::~TSerialPortNotice() {
    FImpl->Thread->Terminate();
    FImpl->Thread->CancelSynchronize();
    FImpl->Thread->Close();
    FImpl->Thread.reset();
}

const std::string& TSerialPortNotice::Problem() const noexcept {
    return FImpl->Problem;
}
