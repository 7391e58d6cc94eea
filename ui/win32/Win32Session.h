#pragma once
// What the forms and the backend's loop share on Win32: how many forms show (the main loop
// runs while one does) and whether the application's cursor is the hourglass. The main
// thread only, as every window of the program.

namespace Win32 {

void FormShown();
// The main loop ends once no form shows any more.
void FormHidden();
[[nodiscard]] bool AnyFormShowing();

void SetWaitCursor(bool Wait);
[[nodiscard]] bool WaitCursor();

} // namespace Win32
