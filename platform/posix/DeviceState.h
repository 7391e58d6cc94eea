#pragma once
// What every part of an open serial device reads (SerialDevice.h): its descriptor, how it was
// opened, its settings and whether it still works.

#include "platform/posix/Win32Posix.h"

namespace kivo::posix {

// Read and written under the device's lock only.
struct DeviceState {
    int Fd = -1;
    bool Readable = true;
    bool PseudoTerminal = false;
    DCB Dcb{};
    COMMTIMEOUTS Timeouts{};
    bool Closed = false;
    bool Stopping = false;         // the driver thread is to end
    DWORD Failure = ERROR_SUCCESS; // why the device became unusable; 0 while it works

    [[nodiscard]] bool Working() const { return !Closed && Failure == ERROR_SUCCESS; }
};

} // namespace kivo::posix
