#pragma once
// Notice of COM ports and modems that come and go on Windows: a window registered here gets
// WM_DEVICECHANGE for the arrival and removal of those device interfaces. For the Windows
// backends only (the window's port list and kivo-read --watch); it names Win32 types.

#include "platform/Win32Api.h"

#include <vector>

// Registers Window for the COM port and modem interfaces; the registrations that took, empty
// (GetLastError tells why) when none did. The thread that owns Window.
[[nodiscard]] std::vector<HDEVNOTIFY> RegisterPortNotifications(HWND Window);

// Whether a window message tells of such a device come or gone. Any thread.
[[nodiscard]] bool IsPortChange(UINT Message, WPARAM WParam);

// Ends the registrations, before their window is destroyed. The same thread.
void UnregisterPortNotifications(const std::vector<HDEVNOTIFY>& Notifications);
