#pragma once
// A device of the Ports class registered through SetupAPI, as a USB modem's driver
// registers one, with its port name and registry properties; removed again on destruction.
// Registering needs an administrator (Wine's user is one).

#include "platform/Win32Api.h"

// initguid.h first, so that the GUIDs these headers declare are defined here.
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <string>
#include <string_view>

namespace kivo::test {

class RegisteredPort {
public:
    RegisteredPort(const std::string& Name, std::string_view HardwareId,
                   const std::string& Friendly)
        : FSet(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) {
        FDevice.cbSize = sizeof(FDevice);
        if (SetupDiCreateDeviceInfoA(FSet, "Ports", &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                     DICD_GENERATE_ID, &FDevice) == FALSE) {
            return;
        }
        FCreated = true;
        SetText(SPDRP_HARDWAREID, std::string(HardwareId) + '\0'); // a multi-string
        SetText(SPDRP_FRIENDLYNAME, Friendly);
        SetText(SPDRP_SERVICE, "usbser");
        FRegistered = SetupDiRegisterDeviceInfo(FSet, &FDevice, 0, nullptr, nullptr, nullptr);
        HKEY Key = SetupDiCreateDevRegKeyA(FSet, &FDevice, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr,
                                           nullptr);
        if (Key != INVALID_HANDLE_VALUE) {
            RegSetValueExA(Key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(Name.c_str()),
                           static_cast<DWORD>(Name.size() + 1));
            RegCloseKey(Key);
        }
    }
    ~RegisteredPort() {
        if (FCreated) {
            SetupDiRemoveDevice(FSet, &FDevice);
        }
        SetupDiDestroyDeviceInfoList(FSet);
    }
    RegisteredPort(const RegisteredPort&) = delete;
    RegisteredPort& operator=(const RegisteredPort&) = delete;

    [[nodiscard]] bool Registered() const { return FRegistered != FALSE; }

private:
    void SetText(DWORD Property, const std::string& Value) {
        SetupDiSetDeviceRegistryPropertyA(FSet, &FDevice, Property,
                                          reinterpret_cast<const BYTE*>(Value.c_str()),
                                          static_cast<DWORD>(Value.size() + 1));
    }

    HDEVINFO FSet;
    SP_DEVINFO_DATA FDevice{};
    bool FCreated = false;
    BOOL FRegistered = FALSE;
};

} // namespace kivo::test
