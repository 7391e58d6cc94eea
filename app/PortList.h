#pragma once
// What the window's port list shows below its stored items "COM 1" to "COM 8": every port
// found that none of them opens already, labelled so a person recognises it, and which item
// is chosen when nobody has chosen one.

#include "platform/SerialPorts.h"

#include <string>
#include <vector>

// A found port as the list shows it.
struct TListedPort {
    std::string Label;    // "ttyUSB2 - HUAWEI Mobile, interface 2", "COM12 - HUAWEI Mobile..."
    std::string Path;     // what opens it
    std::string DeviceId; // the same for every port of one device; empty when not USB
};

// The ports of Found that no "COM 1" to "COM StoredCount" opens, in Found's order.
[[nodiscard]] std::vector<TListedPort> PortsBeyondStored(const std::vector<TSerialPortInfo>& Found,
                                                         int StoredCount);

// True when the stored item "COM Number" (one of "COM 1" to "COM StoredCount") opens one of
// the ports of Found: a device is behind it.
[[nodiscard]] bool StoredPortPresent(const std::vector<TSerialPortInfo>& Found, int StoredCount,
                                     int Number);

// The item chosen when nobody has chosen: the stored item Stored while a device is behind it
// (StoredPresent); else the first listed port when every USB port listed belongs to one device
// (one stick or phone plugged in); else Stored all the same.
[[nodiscard]] int AutomaticChoice(const std::vector<TListedPort>& Listed, int StoredCount,
                                  int Stored, bool StoredPresent);
