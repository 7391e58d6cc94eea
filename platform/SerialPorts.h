#pragma once
// The serial ports this machine has, found by name, with what is known of the device behind
// each: on Linux from udev, on Windows from SetupAPI. Nothing here opens a port. Link with
// Kivo::ports (CMake) or kivo (pkg-config); serial/SerialPortNotice.h tells when ports come
// and go.

#include <string>
#include <vector>

// A serial port and what is known of the device behind it. Every text is empty where the
// system does not know it.
struct TSerialPortInfo {
    std::string Name;         // the short name a person knows: "ttyUSB2", "COM12"
    std::string Path;         // what opens it: "/dev/ttyUSB2", "\\\\.\\COM12"
    std::string ById;         // the stable link ("/dev/serial/by-id/usb-..."); empty where none
    std::string Description;  // one line for a person: "HUAWEI Mobile, interface 2"
    std::string Driver;       // "option", "cdc_acm", "ftdi_sio", "rfcomm", "serial8250"...
    std::string VendorId;     // USB vendor id in hex, "12d1"; empty when not USB
    std::string ProductId;    // USB product id in hex, "1506"; empty when not USB
    std::string Manufacturer; // USB manufacturer string (Windows: the driver's maker)
    std::string Product;      // USB product string: what the device calls itself
    std::string SerialNumber; // USB serial number; empty when the device has none
    std::string Interface;    // USB interface number, "02"; empty when not USB
    std::string DeviceId;     // the same for every port of one device ("1-2", "USB\\VID_12D1...")
    bool Console = false;     // the kernel's console writes to it (Linux; never on Windows)
};

// Every serial port that has a device behind it, ordered by name (ttyS2 before ttyS10), each
// marked when the kernel's console writes to it (Linux: /sys/class/tty/console/active,
// which may name several terminals, "tty0 ttyS0"). Blocks only for the time the system's device
// database takes to answer. Any thread, but on Linux only one at a time, and on the main thread
// while a TSerialPortNotice is alive: udev's library keeps state across the process that two
// threads must not use at once.
[[nodiscard]] std::vector<TSerialPortInfo> ListSerialPorts();

// The number n of "COM n" (1 to Highest) that already opens Port: on Linux the port is
// /dev/ttyS<n-1> or the path in KIVO_COM<n> (directly or through a link); on Windows it is
// COMn. 0 when none does. Reads the environment and the file system; any thread.
[[nodiscard]] int ComNumberOf(const TSerialPortInfo& Port, int Highest);

// Whether two port names open the same device: COM names, device paths, and links to them
// (on Linux the same node or character device, a COM name standing for its KIVO_COM<n> or
// /dev/ttyS<n-1>; on Windows the same COM port). Reads the environment and the file system;
// any thread.
[[nodiscard]] bool SamePortDevice(const std::string& A, const std::string& B);

// Whether the kernel's console writes to the device DevicePath opens (a path, a link to it,
// or a COM name: "COM1" standing for /dev/ttyS0 where KIVO_COM1 is not set): writing AT
// commands there writes them to the console and the login prompt that may run on it. Never
// on Windows. Lists the ports as ListSerialPorts does, with its thread rule; a caller that
// holds a list already asks its Console flags instead.
[[nodiscard]] bool IsSystemConsole(const std::string& DevicePath);

// Orders ports by name, numbers by value: ttyS2 before ttyS10, COM9 before COM10. Any
// thread.
void SortSerialPorts(std::vector<TSerialPortInfo>& Ports);
