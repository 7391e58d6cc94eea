#include "platform/win32/PortNotifications.h"

// initguid.h first, so that the GUIDs these headers declare are defined in this file.
// clang-format off
#include <initguid.h>
#include <dbt.h>
#include <ntddmodm.h>
#include <winioctl.h>
// clang-format on

std::vector<HDEVNOTIFY> RegisterPortNotifications(HWND Window) {
    std::vector<HDEVNOTIFY> Notifications;
    for (const GUID& Interface : {GUID_DEVINTERFACE_COMPORT, GUID_DEVINTERFACE_MODEM}) {
        DEV_BROADCAST_DEVICEINTERFACE_A Filter{};
        Filter.dbcc_size = sizeof(Filter);
        Filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        Filter.dbcc_classguid = Interface;
        if (HDEVNOTIFY Notify =
                RegisterDeviceNotificationA(Window, &Filter, DEVICE_NOTIFY_WINDOW_HANDLE)) {
            Notifications.push_back(Notify);
        }
    }
    return Notifications;
}

bool IsPortChange(UINT Message, WPARAM WParam) {
    return Message == WM_DEVICECHANGE &&
           (WParam == DBT_DEVICEARRIVAL || WParam == DBT_DEVICEREMOVECOMPLETE);
}

void UnregisterPortNotifications(const std::vector<HDEVNOTIFY>& Notifications) {
    for (HDEVNOTIFY Notify : Notifications) {
        UnregisterDeviceNotification(Notify);
    }
}
