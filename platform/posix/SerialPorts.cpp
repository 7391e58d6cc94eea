// The serial ports of a Linux machine, from udev's device database.
//
// A port is a tty with a device behind it: its sysfs device has a parent (USB serial, CDC
// ACM, on-board and PCI UARTs). Left out are the virtual terminals, consoles and
// pseudo-terminals (under /devices/virtual), except Bluetooth RFCOMM ports, which sit there
// until a connection gives them a parent; and serial-core ports whose "type" attribute is 0
// (PORT_UNKNOWN): the legacy ttyS nodes the 8250 driver creates without a UART behind them.
// Reading "type" needs no open, so listing never touches a port. Neither does marking the
// ports the kernel's console writes to: the console's "active" attribute names them.

#include "platform/SerialPorts.h"

#include "platform/posix/ComName.h"
#include "platform/posix/SerialPortMonitor.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <libudev.h>
#include <memory>
#include <sstream>
#include <string_view>
#include <sys/stat.h>

namespace {

struct TUdevFree {
    void operator()(udev* Object) const { udev_unref(Object); }
    void operator()(udev_enumerate* Object) const { udev_enumerate_unref(Object); }
    void operator()(udev_device* Object) const { udev_device_unref(Object); }
    void operator()(udev_monitor* Object) const { udev_monitor_unref(Object); }
};
template <typename T> using TUdevPtr = std::unique_ptr<T, TUdevFree>;

std::string Text(const char* Value) {
    return Value == nullptr ? std::string() : std::string(Value);
}

std::string Attribute(udev_device* Device, const char* Name) {
    return Device == nullptr ? std::string() : Text(udev_device_get_sysattr_value(Device, Name));
}

std::string Property(udev_device* Device, const char* Name) {
    return Text(udev_device_get_property_value(Device, Name));
}

std::string FirstOf(const std::string& A, const std::string& B) {
    return A.empty() ? B : A;
}

std::string Trimmed(const std::string& Value) {
    const auto First = Value.find_first_not_of(' ');
    const auto Last = Value.find_last_not_of(' ');
    return First == std::string::npos ? std::string() : Value.substr(First, Last - First + 1);
}

bool StartsWith(std::string_view Text, std::string_view Prefix) {
    return Text.substr(0, Prefix.size()) == Prefix;
}

// Whether the tty has hardware behind it (see the top of this file).
bool IsRealPort(udev_device* Tty) {
    const std::string Path = Text(udev_device_get_devpath(Tty));
    const std::string Name = Text(udev_device_get_sysname(Tty));
    if (Path.find("/devices/virtual/") != std::string::npos ||
        udev_device_get_parent(Tty) == nullptr) {
        return StartsWith(Name, "rfcomm");
    }
    const char* Type = udev_device_get_sysattr_value(Tty, "type");
    return Type == nullptr || Trimmed(Type) != "0";
}

// The /dev/serial/by-id link among the device's links.
std::string ByIdLink(udev_device* Tty) {
    constexpr std::string_view Prefix = "/dev/serial/by-id/";
    const std::string Links = Property(Tty, "DEVLINKS");
    std::size_t Start = 0;
    while (Start < Links.size()) {
        std::size_t End = Links.find(' ', Start);
        if (End == std::string::npos) {
            End = Links.size();
        }
        const std::string_view Link = std::string_view(Links).substr(Start, End - Start);
        if (StartsWith(Link, Prefix)) {
            return std::string(Link);
        }
        Start = End + 1;
    }
    return {};
}

// The driver of the nearest device above the tty that has one, past the serial core's own
// port and controller devices (bus serial-base, drivers "port" and "ctrl").
std::string ParentDriver(udev_device* Tty) {
    for (udev_device* Parent = udev_device_get_parent(Tty); Parent != nullptr;
         Parent = udev_device_get_parent(Parent)) {
        if (Text(udev_device_get_subsystem(Parent)) == "serial-base") {
            continue;
        }
        if (const char* Driver = udev_device_get_driver(Parent); Driver != nullptr) {
            return Driver;
        }
    }
    return {};
}

unsigned long HexNumber(const std::string& Value) {
    return std::strtoul(Value.c_str(), nullptr, 16);
}

void AddUsbDetails(udev_device* Tty, TSerialPortInfo& Port) {
    udev_device* Usb = udev_device_get_parent_with_subsystem_devtype(Tty, "usb", "usb_device");
    udev_device* Interface =
        udev_device_get_parent_with_subsystem_devtype(Tty, "usb", "usb_interface");
    if (Usb == nullptr) {
        return;
    }
    Port.VendorId = FirstOf(Attribute(Usb, "idVendor"), Property(Tty, "ID_VENDOR_ID"));
    Port.ProductId = FirstOf(Attribute(Usb, "idProduct"), Property(Tty, "ID_MODEL_ID"));
    Port.Manufacturer =
        FirstOf(Attribute(Usb, "manufacturer"), Property(Tty, "ID_VENDOR_FROM_DATABASE"));
    Port.Product = FirstOf(Attribute(Usb, "product"), Property(Tty, "ID_MODEL_FROM_DATABASE"));
    Port.SerialNumber = FirstOf(Attribute(Usb, "serial"), Property(Tty, "ID_SERIAL_SHORT"));
    Port.Interface =
        FirstOf(Attribute(Interface, "bInterfaceNumber"), Property(Tty, "ID_USB_INTERFACE_NUM"));
    Port.DeviceId = Text(udev_device_get_sysname(Usb));

    std::string Description = Port.Product;
    if (Description.empty()) {
        Description = Port.Manufacturer.empty()
                          ? "USB device " + Port.VendorId + ":" + Port.ProductId
                          : Port.Manufacturer;
    }
    const std::string Interfaces = Attribute(Usb, "bNumInterfaces");
    if (!Port.Interface.empty() && std::strtoul(Interfaces.c_str(), nullptr, 10) > 1) {
        Description += ", interface " + std::to_string(HexNumber(Port.Interface));
    }
    Port.Description = Description;
}

TSerialPortInfo DescribePort(udev_device* Tty) {
    TSerialPortInfo Port;
    Port.Name = Text(udev_device_get_sysname(Tty));
    Port.Path = Text(udev_device_get_devnode(Tty));
    Port.ById = ByIdLink(Tty);
    Port.Driver = FirstOf(Property(Tty, "ID_USB_DRIVER"), ParentDriver(Tty));
    udev_device* Parent = udev_device_get_parent(Tty);
    Port.DeviceId = Parent == nullptr ? Port.Path : Text(udev_device_get_syspath(Parent));
    if (StartsWith(Port.Name, "rfcomm")) {
        // Connected, it sits below the Bluetooth adapter, which is no part of the port.
        Port.Driver = "rfcomm";
        Port.Description = "Bluetooth serial port";
        return Port;
    }
    AddUsbDetails(Tty, Port);
    if (Port.Description.empty()) {
        Port.Description = FirstOf(Property(Tty, "ID_MODEL_FROM_DATABASE"), "Serial port");
    }
    return Port;
}

// The names of the terminals the kernel's console writes to: its "active" attribute, "tty0
// ttyS0" when the kernel was given several consoles.
std::vector<std::string> ActiveConsoles(udev* Udev) {
    const TUdevPtr<udev_device> Console(
        udev_device_new_from_subsystem_sysname(Udev, "tty", "console"));
    std::istringstream Words(Attribute(Console.get(), "active"));
    std::vector<std::string> Names;
    for (std::string Name; Words >> Name;) {
        Names.push_back(Name);
    }
    return Names;
}

} // namespace

std::vector<TSerialPortInfo> ListSerialPorts() {
    std::vector<TSerialPortInfo> Ports;
    const TUdevPtr<udev> Udev(udev_new());
    if (!Udev) {
        return Ports;
    }
    const TUdevPtr<udev_enumerate> Enumerate(udev_enumerate_new(Udev.get()));
    if (!Enumerate || udev_enumerate_add_match_subsystem(Enumerate.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(Enumerate.get()) < 0) {
        return Ports;
    }
    const std::vector<std::string> Consoles = ActiveConsoles(Udev.get());
    udev_list_entry* Entry = nullptr;
    udev_list_entry_foreach(Entry, udev_enumerate_get_list_entry(Enumerate.get())) {
        const TUdevPtr<udev_device> Tty(
            udev_device_new_from_syspath(Udev.get(), udev_list_entry_get_name(Entry)));
        if (Tty && udev_device_get_devnode(Tty.get()) != nullptr && IsRealPort(Tty.get())) {
            Ports.push_back(DescribePort(Tty.get()));
            Ports.back().Console =
                std::find(Consoles.begin(), Consoles.end(), Ports.back().Name) != Consoles.end();
        }
    }
    SortSerialPorts(Ports);
    return Ports;
}

// Whether both paths lead to the same device, through whatever links: the same node, or
// nodes of the same character device.
bool SameDevice(const std::string& A, const std::string& B) {
    struct stat StatA {};
    struct stat StatB {};
    if (stat(A.c_str(), &StatA) != 0 || stat(B.c_str(), &StatB) != 0) {
        return false;
    }
    if (StatA.st_dev == StatB.st_dev && StatA.st_ino == StatB.st_ino) {
        return true;
    }
    return S_ISCHR(StatA.st_mode) && S_ISCHR(StatB.st_mode) && StatA.st_rdev != 0 &&
           StatA.st_rdev == StatB.st_rdev;
}

bool SamePortDevice(const std::string& A, const std::string& B) {
    const auto PathA = kivo::posix::DevicePathFor(A);
    const auto PathB = kivo::posix::DevicePathFor(B);
    return PathA && PathB && (*PathA == *PathB || SameDevice(*PathA, *PathB));
}

int ComNumberOf(const TSerialPortInfo& Port, int Highest) {
    for (int Number = 1; Number <= Highest; ++Number) {
        const auto Mapped = kivo::posix::DevicePathFor("COM" + std::to_string(Number));
        if (!Mapped) {
            continue;
        }
        if (*Mapped == Port.Path || (!Port.ById.empty() && *Mapped == Port.ById)) {
            return Number;
        }
        if (SameDevice(*Mapped, Port.Path)) {
            return Number;
        }
    }
    return 0;
}

// ---- Hot-plug

struct TSerialPortMonitor::TImpl {
    TUdevPtr<udev> Udev{udev_new()};
    TUdevPtr<udev_monitor> Monitor;
};

TSerialPortMonitor::TSerialPortMonitor() : FImpl(std::make_unique<TImpl>()) {
    if (!FImpl->Udev) {
        return;
    }
    TUdevPtr<udev_monitor> Monitor(udev_monitor_new_from_netlink(FImpl->Udev.get(), "udev"));
    if (!Monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(Monitor.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(Monitor.get()) < 0) {
        return;
    }
    const int Descriptor = udev_monitor_get_fd(Monitor.get());
    const int Flags = fcntl(Descriptor, F_GETFL);
    if (Flags < 0 || fcntl(Descriptor, F_SETFL, Flags | O_NONBLOCK) < 0) {
        return;
    }
    FImpl->Monitor = std::move(Monitor);
}

TSerialPortMonitor::~TSerialPortMonitor() = default;

int TSerialPortMonitor::Descriptor() const noexcept {
    return FImpl->Monitor ? udev_monitor_get_fd(FImpl->Monitor.get()) : -1;
}

bool TSerialPortMonitor::Acknowledge() {
    bool Changed = false;
    if (!FImpl->Monitor) {
        return Changed;
    }
    while (const TUdevPtr<udev_device> Device{udev_monitor_receive_device(FImpl->Monitor.get())}) {
        const std::string Action = Text(udev_device_get_action(Device.get()));
        Changed = Changed || Action == "add" || Action == "remove";
    }
    return Changed;
}
