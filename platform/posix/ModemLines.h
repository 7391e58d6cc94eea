#pragma once
// Where an open device's modem lines, its break and its line error counters come from. A real
// serial port answers through ioctls (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMIWAIT, TIOCSBRK,
// TIOCCBRK, TIOCGICOUNT); a pseudo-terminal has neither lines nor counters. Tests attach their
// own source to exercise the events that lines and counters cause and to see the lines set.

#include "platform/posix/Win32Posix.h"

#include <memory>

namespace kivo::posix {

// Modem line bits, the kernel's TIOCM_ values.
inline constexpr int LineDtr = 0x002;
inline constexpr int LineRts = 0x004;
inline constexpr int LineCts = 0x020;
inline constexpr int LineDcd = 0x040;
inline constexpr int LineRing = 0x080;
inline constexpr int LineDsr = 0x100;

// Running totals of receive errors since the device was opened.
struct LineCounters {
    unsigned Frame = 0;
    unsigned Parity = 0;
    unsigned Overrun = 0;    // the UART's receiver overran
    unsigned BufOverrun = 0; // the kernel's buffer overflowed
    unsigned Break = 0;
};

class LineSource {
public:
    LineSource() = default;
    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;
    virtual ~LineSource() = default;

    // The present line bits; false when the device has no modem lines.
    virtual bool GetLines(int& Lines) = 0;
    // Raises the lines in Set and lowers those in Clear (DTR, RTS); false when it cannot.
    virtual bool SetLines(int Set, int Clear) = 0;
    // Holds the line in break (On) or releases it; false when it cannot. Without a break on
    // its line, a source cannot.
    virtual bool SetBreak(bool On);
    // The error totals; false when the device keeps none.
    virtual bool GetCounters(LineCounters& Counters) = 0;
    // Blocks until CTS, DSR, DCD or RI changes; false once Interrupt was called or when the
    // device cannot tell.
    virtual bool WaitForChange() = 0;
    // Ends a WaitForChange in progress and every later one. Returns once no call is inside.
    virtual void Interrupt() = 0;
};

// The source of a terminal device opened as Fd; Fd stays owned by the caller.
std::shared_ptr<LineSource> MakeDeviceLineSource(int Fd);

// Replaces the line source of the open serial device hDevice (a test seam). The device
// re-reads the lines at once. False (ERROR_INVALID_HANDLE) when hDevice is no open device.
bool AttachLineSource(HANDLE hDevice, std::shared_ptr<LineSource> Source);

} // namespace kivo::posix
