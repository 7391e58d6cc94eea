#pragma once
// A device of the Ports class registered through SetupAPI, as a USB modem's driver
// registers one, with its port name and registry properties; removed again on destruction.
// Its instance id is made up under ROOT\PORTS unless one is given (a USB device's own,
// "USB\VID_2C7C&PID_0125\<serial number>"). Registering needs an administrator (Wine's
// user is one).

#include "platform/Win32Api.h"

// initguid.h first, so that the GUIDs these headers declare are defined here.
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>
// clang-format on

#include <string>
#include <string_view>

// In setupapi since Windows Vista; mingw-w64's header declares only its getter.
extern "C" __declspec(dllimport) BOOL WINAPI
    SetupDiSetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                              const DEVPROPKEY* PropertyKey, DEVPROPTYPE PropertyType,
                              const BYTE* PropertyBuffer, DWORD PropertyBufferSize, DWORD Flags);

namespace kivo::test {

class RegisteredPort {
public:
    RegisteredPort(const std::string& Name, std::string_view HardwareId,
                   const std::string& Friendly, const std::string& InstanceId = {})
        : FSet(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) {
        FDevice.cbSize = sizeof(FDevice);
        const bool Generated = InstanceId.empty();
        if (SetupDiCreateDeviceInfoA(FSet, Generated ? "Ports" : InstanceId.c_str(),
                                     &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                     Generated ? DICD_GENERATE_ID : 0, &FDevice) == FALSE) {
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

    // Sets the text the bus reported for the device: a USB device's product string.
    bool SetBusReportedDescription(const std::wstring& Text) {
        return SetupDiSetDevicePropertyW(
                   FSet, &FDevice, &DEVPKEY_Device_BusReportedDeviceDesc, DEVPROP_TYPE_STRING,
                   reinterpret_cast<const BYTE*>(Text.c_str()),
                   static_cast<DWORD>((Text.size() + 1) * sizeof(wchar_t)), 0) != FALSE;
    }

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
