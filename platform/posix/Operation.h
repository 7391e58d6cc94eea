#pragma once
// The record of one pending operation on a serial device: a read, a write or a wait for
// events. Completions.h starts and completes them.

#include "platform/posix/Win32Posix.h"

#include <chrono>
#include <optional>
#include <thread>

namespace kivo::posix {

using SerialClock = std::chrono::steady_clock;

struct Operation {
    std::thread::id Issuer; // the thread that started it: CancelIo ends only its own
    OVERLAPPED* Record = nullptr;
    HANDLE Event = nullptr;
    char* ReadTo = nullptr;
    const char* WriteFrom = nullptr;
    DWORD Count = 0;
    DWORD Done = 0;
    DWORD* EventsOut = nullptr;
    std::optional<SerialClock::time_point> Deadline; // the read's total time-out
    std::chrono::milliseconds Interval{0};           // the read's interval time-out; 0: none
    bool ReturnOnAny = false;                        // the read ends with its first bytes
    SerialClock::time_point LastByte;
    bool Watched = false; // its event names the device as its input source
};

} // namespace kivo::posix
