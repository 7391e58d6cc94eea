#pragma once
// A serial device's driver thread: it sleeps in epoll on the device and on a wake pipe, and
// when the device is ready or a time-out is due, takes input in, writes pending output, ends
// reads whose time-outs passed and checks for EV_TXEMPTY. What it waits for on the device is
// set by Arm, from what is pending (SerialDevice::Rearm); changing it takes effect in a wait
// already under way, so nobody needs to wake the driver for it.
//
// Every call runs under the device's lock, except Open, Start, Join and CloseDescriptors
// (before the thread starts and after it ended) and Wake (any thread, any lock).

#include "platform/posix/SerialCommon.h"

#include <cstdint>
#include <mutex>
#include <thread>

namespace kivo::posix {

class InputPath;
class Transfers;

class DriverLoop {
public:
    struct Parts {
        std::mutex& Lock;
        const DeviceState& State;
        DeviceControl& Device;
        InputPath& Input;
        Transfers& Ops;
    };
    struct Descriptors {
        int Poll = -1;     // the epoll set: the device and the wake pipe
        int WakeRead = -1; // wakes the driver to stop or to recount its time-outs
        int WakeWrite = -1;
    };

    // Makes the epoll set, watching the wake pipe and (for nothing yet) the device Device;
    // ERROR_SUCCESS or why not (nothing is left open then).
    static DWORD Open(int Device, Descriptors& Fds);
    DriverLoop(const Parts& P, const Descriptors& Fds) : F(P), FFds(Fds) {}

    void Start();
    // Waits for the thread to end; the device is stopping or has failed, and Wake was called.
    void Join();
    void CloseDescriptors() const;
    void Wake() const;

    // Waits for input and for room for output as asked; false, with errno set, when the
    // epoll set cannot be changed.
    bool Arm(bool Input, bool Output);
    [[nodiscard]] bool WatchesInput() const;

private:
    void Loop();
    void DrainWakeups() const;
    void Serve(std::uint32_t Seen);
    [[nodiscard]] int PollTimeout(SerialClock::time_point Now) const;

    Parts F;
    const Descriptors FFds;
    std::uint32_t FArmed = 0; // what the epoll set watches on the device
    std::thread FThread;
};

} // namespace kivo::posix
