#pragma once
// kivo-read --watch: reads each phone as it is plugged in, until interrupted.

#include "app/PhoneReader.h"
#include "platform/SerialPorts.h"

#include <functional>
#include <string_view>

// Writes Text to standard output at once; false when the output failed (the watch then
// ends).
using TPrint = std::function<bool(std::string_view Text)>;

// Whether a port's line speed is searched before its read (--baud auto, or a UART or an
// adapter where no speed was named).
using TSearchBaudrate = std::function<bool(const TSerialPortInfo& Port)>;

// Waits for serial devices to appear and probes the ports of each new one as the scan does
// (side by side, consoles left alone), printing each port's result as soon as its device is
// read: the scan's text block, or with Json its JSON object on a line of its own. Ports
// present at the start are not read; a device that goes away during its read is named on
// standard error and skipped; one plugged out and in again is read again. Returns the exit
// code: 128 + the signal's number once stopped (at once, also during a read), ExitPort when
// the system gives no notice of devices or the watch fails, 0 when the output failed. Main
// thread; it takes that thread's hand-overs while it runs.
[[nodiscard]] int WatchPhones(bool Json, const TReadOptions& Options, const TPrint& Print,
                              const TSearchBaudrate& SearchBaudrate);
