#include "platform/win32/MessageWindow.h"

namespace {

// Registers a class of such windows; a second registration of the same fails harmlessly, and
// a failed one shows in CreateWindowExA.
void RegisterMessageWindowClass(const char* ClassName, WNDPROC Procedure) {
    WNDCLASSEXA Class{};
    Class.cbSize = sizeof(Class);
    Class.lpfnWndProc = Procedure;
    Class.hInstance = GetModuleHandleA(nullptr);
    Class.lpszClassName = ClassName;
    RegisterClassExA(&Class);
}

} // namespace

TMessageWindow::TMessageWindow(const char* ClassName, THandler Handler)
    : FHandler(std::move(Handler)) {
    RegisterMessageWindowClass(ClassName, Procedure);
    // The window finds this object from its first message on (WM_NCCREATE carries it).
    FWindow = CreateWindowExA(0, ClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), this);
}

TMessageWindow::~TMessageWindow() {
    if (FWindow != nullptr) {
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0); // nothing reaches this object any more
        DestroyWindow(FWindow);
    }
}

LRESULT CALLBACK TMessageWindow::Procedure(HWND Window, UINT Message, WPARAM WParam,
                                           LPARAM LParam) {
    if (Message == WM_NCCREATE) {
        const auto* Create = reinterpret_cast<const CREATESTRUCTA*>(LParam);
        SetWindowLongPtrA(Window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    const auto* Owner =
        reinterpret_cast<const TMessageWindow*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
    if (Owner != nullptr && Owner->FHandler) {
        if (const std::optional<LRESULT> Result = Owner->FHandler(Message, WParam, LParam)) {
            return *Result;
        }
    }
    return DefWindowProcA(Window, Message, WParam, LParam);
}
