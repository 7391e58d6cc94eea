#pragma once
// Notice of serial ports that come and go on Linux, without polling: a udev monitor of the
// tty subsystem whose descriptor turns readable when a device event is waiting. The owner
// watches Descriptor() in its event loop and calls Acknowledge() when it is readable.

#include <memory>

class TSerialPortMonitor {
public:
    // Starts listening; without udev (no device manager running) Descriptor() is -1.
    TSerialPortMonitor();
    ~TSerialPortMonitor();
    TSerialPortMonitor(const TSerialPortMonitor&) = delete;
    TSerialPortMonitor& operator=(const TSerialPortMonitor&) = delete;
    TSerialPortMonitor(TSerialPortMonitor&&) = delete;
    TSerialPortMonitor& operator=(TSerialPortMonitor&&) = delete;

    // Readable while events wait; -1 when nothing can be watched. The owner's thread.
    [[nodiscard]] int Descriptor() const noexcept;
    // Takes every waiting event without blocking; true when a port was added or removed.
    // The owner's thread, which must also be the one that lists ports (libudev keeps state
    // across the process that two threads must not use at once).
    bool Acknowledge();

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
