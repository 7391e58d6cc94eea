#pragma once
// A serial device's driver thread: it sleeps in epoll on the device and on a wake pipe, and
// when the device is ready or a time-out is due, has its owner serve it (take input in, write
// pending output, end reads whose time-outs passed, check for EV_TXEMPTY). What it waits for
// on the device is set by Arm, from what is pending (SerialDevice::Rearm); changing it takes
// effect in a wait already under way, so nobody needs to wake the driver for it.
//
// Every call runs under the device's lock, except Open, Start, Join and CloseDescriptors
// (before the thread starts and after it ended) and Wake (any thread, any lock).

#include "platform/posix/DeviceState.h"
#include "platform/posix/Operation.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace kivo::posix {

class DriverLoop {
public:
    // What the device was found ready for in one round.
    struct Readiness {
        bool Input = false;
        bool HangUp = false; // a hang-up or an error
        bool Output = false;
    };
    // The device the thread drives; each call from the thread under the device's lock.
    class Owner {
    public:
        // Brings what the driver waits for in line with what is pending (calls Arm).
        virtual void Rearm() = 0;
        // The driver can no longer wait for the device.
        virtual void Fail(DWORD Error) = 0;
        // A round: what the device was ready for, after a wake-up or a time-out.
        virtual void Serve(const Readiness& Ready) = 0;
        // The earliest time-out to come; none: nothing is timed.
        [[nodiscard]] virtual std::optional<SerialClock::time_point> NextDeadline() const = 0;

    protected:
        Owner() = default;
        Owner(const Owner&) = default;
        Owner& operator=(const Owner&) = default;
        ~Owner() = default;
    };
    struct Descriptors {
        int Poll = -1;     // the epoll set: the device and the wake pipe
        int WakeRead = -1; // wakes the driver to stop or to recount its time-outs
        int WakeWrite = -1;
    };

    // Makes the epoll set, watching the wake pipe and (for nothing yet) the device Device;
    // ERROR_SUCCESS or why not (nothing is left open then).
    static DWORD Open(int Device, Descriptors& Fds);
    DriverLoop(std::mutex& Lock, const DeviceState& State, Owner& Device, const Descriptors& Fds)
        : FLock(Lock), FState(State), FDevice(Device), FFds(Fds) {}

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
    [[nodiscard]] int PollTimeout(SerialClock::time_point Now) const;

    std::mutex& FLock;
    const DeviceState& FState;
    Owner& FDevice;
    const Descriptors FFds;
    std::uint32_t FArmed = 0; // what the epoll set watches on the device
    std::thread FThread;
};

} // namespace kivo::posix
