// The serial ports of a Windows machine, from SetupAPI: the devices of the Ports class, of
// the Modem class (a USB modem's AT port is often a modem, attached to a COM port) and those
// offering the COM port interface, each named by its COM port once. For a port of a USB
// device, the product string and the serial number come from that USB device's node: the
// port's own for a device with one function, else the parent above the port's interface.

#include "platform/SerialPorts.h"

#include "platform/Win32Api.h"

// initguid.h first, so that the GUIDs these headers declare are defined in this file.
// clang-format off
#include <initguid.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>
#include <winioctl.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

namespace {

using TDeviceSet = std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)>;
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)>;

std::string RegistryProperty(HDEVINFO Set, SP_DEVINFO_DATA& Device, DWORD Property) {
    char Buffer[1024]{};
    DWORD Type = 0;
    if (SetupDiGetDeviceRegistryPropertyA(Set, &Device, Property, &Type,
                                          reinterpret_cast<BYTE*>(Buffer), sizeof(Buffer) - 2,
                                          nullptr) == FALSE) {
        return {};
    }
    return Buffer; // a multi-string gives its first string
}

std::string KeyText(HKEY Key, const char* Name) {
    char Buffer[256]{};
    DWORD Size = sizeof(Buffer) - 1;
    DWORD Type = 0;
    if (RegQueryValueExA(Key, Name, nullptr, &Type, reinterpret_cast<BYTE*>(Buffer), &Size) !=
            ERROR_SUCCESS ||
        Type != REG_SZ) {
        return {};
    }
    return Buffer;
}

// "COM12" from the device's key: PortName for ports, AttachedTo for modems.
std::string ComName(HDEVINFO Set, SP_DEVINFO_DATA& Device) {
    const TKey Key(SetupDiOpenDevRegKey(Set, &Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ),
                   &RegCloseKey);
    if (Key.get() == INVALID_HANDLE_VALUE || !Key) {
        return {};
    }
    for (const char* Value : {"PortName", "AttachedTo"}) {
        const std::string Name = KeyText(Key.get(), Value);
        const bool IsCom = Name.size() > 3 && _strnicmp(Name.c_str(), "COM", 3) == 0 &&
                           std::all_of(Name.begin() + 3, Name.end(), [](char C) {
                               return std::isdigit(static_cast<unsigned char>(C)) != 0;
                           });
        if (IsCom) {
            return "COM" + Name.substr(3);
        }
    }
    return {};
}

// The hex digits after Tag ("VID_") in a hardware id, in lower case; empty when absent.
std::string IdField(const std::string& HardwareId, std::string_view Tag, std::size_t Digits) {
    std::string Upper = HardwareId;
    std::transform(Upper.begin(), Upper.end(), Upper.begin(), [](char C) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    });
    const auto At = Upper.find(Tag);
    if (At == std::string::npos || At + Tag.size() + Digits > Upper.size()) {
        return {};
    }
    std::string Field = HardwareId.substr(At + Tag.size(), Digits);
    std::transform(Field.begin(), Field.end(), Field.begin(), [](char C) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    });
    return Field;
}

std::string InstanceId(DEVINST Node) {
    char Id[MAX_DEVICE_ID_LEN + 1]{};
    return CM_Get_Device_IDA(Node, Id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? Id : std::string();
}

std::optional<DEVINST> ParentOf(DEVINST Node) {
    DEVINST Parent = 0;
    if (CM_Get_Parent(&Parent, Node, 0) != CR_SUCCESS || Parent == 0) {
        return std::nullopt;
    }
    return Parent;
}

// The device the port belongs to: its parent's instance id (one USB device for all the
// ports of a composite device), else its own.
std::string DeviceIdOf(SP_DEVINFO_DATA& Device) {
    if (const auto Parent = ParentOf(Device.DevInst)) {
        if (std::string Id = InstanceId(*Parent); !Id.empty()) {
            return Id;
        }
    }
    return InstanceId(Device.DevInst);
}

std::string Upper(std::string_view Text) {
    std::string Result(Text);
    std::transform(Result.begin(), Result.end(), Result.begin(), [](char C) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    });
    return Result;
}

// Whether an instance id names a USB device itself ("USB\VID_0403&PID_6001\A50285BI"),
// not one of its interfaces ("USB\VID_12D1&PID_1001&MI_02\6&1A2B3C&0&0002").
bool IsUsbDeviceId(std::string_view Id) {
    const std::string Name = Upper(Id.substr(0, Id.rfind('\\')));
    return Name.rfind("USB\\VID_", 0) == 0 && Name.find("&MI_") == std::string::npos;
}

// The USB device node a port belongs to: the port's own node or the nearest above it that
// is a USB device. None for a port of no USB device.
std::optional<DEVINST> UsbDeviceOf(DEVINST Node) {
    constexpr int Deepest = 8; // a port sits a level or two below its USB device
    for (int Level = 0; Level < Deepest; ++Level) {
        if (IsUsbDeviceId(InstanceId(Node))) {
            return Node;
        }
        const auto Parent = ParentOf(Node);
        if (!Parent) {
            break;
        }
        Node = *Parent;
    }
    return std::nullopt;
}

// A device property that holds text, in UTF-8; empty when the device has none.
std::string TextProperty(DEVINST Node, const DEVPROPKEY& Key) {
    wchar_t Buffer[512]{};
    ULONG Size = sizeof(Buffer) - sizeof(wchar_t);
    DEVPROPTYPE Type = 0;
    if (CM_Get_DevNode_PropertyW(Node, &Key, &Type, reinterpret_cast<BYTE*>(Buffer), &Size, 0) !=
            CR_SUCCESS ||
        Type != DEVPROP_TYPE_STRING) {
        return {};
    }
    const int Length = WideCharToMultiByte(CP_UTF8, 0, Buffer, -1, nullptr, 0, nullptr, nullptr);
    if (Length <= 1) {
        return {};
    }
    std::string Text(static_cast<std::size_t>(Length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, Buffer, -1, Text.data(), Length, nullptr, nullptr);
    Text.resize(static_cast<std::size_t>(Length - 1));
    return Text;
}

// The serial number in a USB device's instance id ("USB\\VID_0403&PID_6001\\A50285BI"); empty
// when the device reports none and Windows made up the last part ("5&2A1B3C&0&2").
std::string UsbSerialNumberOf(std::string_view InstanceId) {
    const auto Last = InstanceId.rfind('\\');
    if (Last == std::string_view::npos) {
        return {};
    }
    const std::string_view Serial = InstanceId.substr(Last + 1);
    return Serial.find('&') == std::string_view::npos ? std::string(Serial) : std::string();
}

// The USB product string (what the device calls itself) and serial number of the USB device
// behind a port.
void AddUsbStrings(SP_DEVINFO_DATA& Device, TSerialPortInfo& Port) {
    const auto Usb = UsbDeviceOf(Device.DevInst);
    if (!Usb) {
        return;
    }
    Port.SerialNumber = UsbSerialNumberOf(InstanceId(*Usb));
    Port.Product = TextProperty(*Usb, DEVPKEY_Device_BusReportedDeviceDesc);
}

// "HUAWEI Mobile Connect - PC UI Interface (COM12)" without its " (COM12)".
std::string WithoutPortName(std::string Text, const std::string& Name) {
    const std::string Suffix = " (" + Name + ")";
    if (Text.size() >= Suffix.size() &&
        Text.compare(Text.size() - Suffix.size(), Suffix.size(), Suffix) == 0) {
        Text.erase(Text.size() - Suffix.size());
    }
    return Text;
}

TSerialPortInfo DescribePort(HDEVINFO Set, SP_DEVINFO_DATA& Device, const std::string& Name) {
    TSerialPortInfo Port;
    Port.Name = Name;
    Port.Path = "\\\\.\\" + Name;
    std::string Friendly = RegistryProperty(Set, Device, SPDRP_FRIENDLYNAME);
    if (Friendly.empty()) {
        Friendly = RegistryProperty(Set, Device, SPDRP_DEVICEDESC);
    }
    Port.Description = WithoutPortName(Friendly, Name);
    Port.Driver = RegistryProperty(Set, Device, SPDRP_SERVICE);
    const std::string HardwareId = RegistryProperty(Set, Device, SPDRP_HARDWAREID);
    Port.VendorId = IdField(HardwareId, "VID_", 4);
    Port.ProductId = IdField(HardwareId, "PID_", 4);
    Port.Interface = IdField(HardwareId, "MI_", 2);
    if (!Port.VendorId.empty()) {
        Port.Manufacturer = RegistryProperty(Set, Device, SPDRP_MFG);
    }
    Port.DeviceId = DeviceIdOf(Device);
    AddUsbStrings(Device, Port);
    return Port;
}

// Adds the present devices of one class (or offering one interface) that have a COM port
// not listed yet.
void AddPorts(const GUID& Guid, DWORD Flags, std::vector<TSerialPortInfo>& Ports) {
    const TDeviceSet Set(SetupDiGetClassDevsA(&Guid, nullptr, nullptr, DIGCF_PRESENT | Flags),
                         &SetupDiDestroyDeviceInfoList);
    if (Set.get() == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA Device{};
    Device.cbSize = sizeof(Device);
    for (DWORD Index = 0; SetupDiEnumDeviceInfo(Set.get(), Index, &Device) != FALSE; ++Index) {
        const std::string Name = ComName(Set.get(), Device);
        const bool Known =
            std::any_of(Ports.begin(), Ports.end(),
                        [&](const TSerialPortInfo& Port) { return Port.Name == Name; });
        if (!Name.empty() && !Known) {
            Ports.push_back(DescribePort(Set.get(), Device, Name));
        }
    }
}

} // namespace

std::vector<TSerialPortInfo> ListSerialPorts() {
    std::vector<TSerialPortInfo> Ports;
    AddPorts(GUID_DEVCLASS_PORTS, 0, Ports);
    AddPorts(GUID_DEVCLASS_MODEM, 0, Ports);
    AddPorts(GUID_DEVINTERFACE_COMPORT, DIGCF_DEVICEINTERFACE, Ports);
    SortSerialPorts(Ports);
    return Ports;
}

namespace {

// "COM12" for "COM12", "com12" and "\\.\COM12".
std::string PlainComName(std::string_view Name) {
    constexpr std::string_view DevicePrefix = "\\\\.\\";
    if (Name.substr(0, DevicePrefix.size()) == DevicePrefix) {
        Name.remove_prefix(DevicePrefix.size());
    }
    std::string Plain(Name);
    std::transform(Plain.begin(), Plain.end(), Plain.begin(),
                   [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
    return Plain;
}

} // namespace

bool SamePortDevice(const std::string& A, const std::string& B) {
    return PlainComName(A) == PlainComName(B);
}

int ComNumberOf(const TSerialPortInfo& Port, int Highest) {
    if (Port.Name.size() <= 3 || Port.Name.compare(0, 3, "COM") != 0) {
        return 0;
    }
    const int Number = std::atoi(Port.Name.c_str() + 3);
    return Number >= 1 && Number <= Highest ? Number : 0;
}
