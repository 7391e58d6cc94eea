#pragma once
// What the window's port list shows below its stored items "COM 1" to "COM 8": every port
// found that none of them opens already, labelled so a person recognises it, and which item
// is chosen when nobody has chosen one.

#include "platform/SerialPorts.h"

#include <string>
#include <string_view>
#include <vector>

// What follows the label of an item whose port the kernel's console writes to.
inline constexpr std::string_view ConsoleMark = " (system console)";

// A found port as the list shows it.
struct TListedPort {
    std::string Label;    // "ttyUSB2 - HUAWEI Mobile, interface 2", "COM12 - HUAWEI Mobile..."
    std::string Path;     // what opens it
    std::string DeviceId; // the same for every port of one device; empty when not USB
    bool Console = false; // the kernel's console writes to it; its label ends in ConsoleMark
};

// The ports of Found that no "COM 1" to "COM StoredCount" opens, in Found's order.
[[nodiscard]] std::vector<TListedPort> PortsBeyondStored(const std::vector<TSerialPortInfo>& Found,
                                                         int StoredCount);

// True when a device is behind the stored item "COM Number" (one of "COM 1" to
// "COM StoredCount"): it opens one of the ports of Found, or a device that exists which the
// system lists as no port (on Linux KIVO_COM<n> naming a pseudo-terminal, as scripts/run.sh
// sets it for the simulated phone). Reads the environment and the file system.
[[nodiscard]] bool StoredPortPresent(const std::vector<TSerialPortInfo>& Found, int StoredCount,
                                     int Number);

// The port of Found that the stored item "COM Number" opens when the kernel's console writes
// to it; nullptr when it opens no console.
[[nodiscard]] const TSerialPortInfo* StoredConsole(const std::vector<TSerialPortInfo>& Found,
                                                   int StoredCount, int Number);

// The item chosen when nobody has chosen: the stored item Stored while a device is behind it
// (StoredPresent); else the first listed port when every USB port listed belongs to one device
// (one stick or phone plugged in); else Stored all the same.
[[nodiscard]] int AutomaticChoice(const std::vector<TListedPort>& Listed, int StoredCount,
                                  int Stored, bool StoredPresent);
