#pragma once
// The Win32 peers of forms and controls (Win32Form.cpp, Win32Controls.cpp), and what they
// share with the backend's loop.

#include "platform/Win32Api.h"
#include "ui/Backend.h"

#include <functional>
#include <memory>

namespace Win32 {

// The window class of forms; registered once by the backend.
void RegisterFormClass();
[[nodiscard]] bool IsFormWindow(HWND Window);

[[nodiscard]] std::unique_ptr<TFormPeer> CreateFormPeer(TFormCallbacks Callbacks);
[[nodiscard]] std::unique_ptr<TWidgetPeer> CreateWidgetPeer(TWidgetKind Kind, TFormPeer& Parent,
                                                            std::function<void()> OnClick);

// Runs the form's action whose shortcut is Key with the keys held now; false when none has it.
[[nodiscard]] bool RunShortCut(HWND Form, WPARAM Key);

// The system colour of a control's or form's background.
[[nodiscard]] int SystemColorIndex(TColor Color);

} // namespace Win32
