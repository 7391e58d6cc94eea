#pragma once
// A serial device's modem lines: DTR and RTS as the control block asks, DTR handshaking, the
// state of CTS, DSR, DCD and RI with the events their changes raise, the line error counters,
// and the watcher thread that sleeps in the kernel until a line changes (only on a device with
// modem lines).
//
// Every call runs under the device's lock, except where its comment says otherwise.

#include "platform/posix/ByteQueue.h"
#include "platform/posix/InputDecoder.h"
#include "platform/posix/ModemLines.h"
#include "platform/posix/SerialCommon.h"

#include <memory>
#include <mutex>
#include <thread>

namespace kivo::posix {

class CommEvents;

class LineState {
public:
    LineState(std::mutex& Lock, const DeviceState& State, DeviceControl& Device, CommEvents& Events)
        : FLock(Lock), FState(State), FDevice(Device), FEvents(Events) {}

    // Makes Source where lines and counters come from and reads them. Then, holding no lock,
    // StartWatcher; StopWatcher (no lock held either) before the next Attach or the close:
    // it interrupts the source, whether a watcher ran or not.
    void Attach(std::shared_ptr<LineSource> Source);
    void StartWatcher();
    void StopWatcher();

    // DTR and RTS as Dcb asks; false, with errno set, when the device refused.
    bool ApplyControlLines(const DCB& Dcb);
    // DTR handshaking on Queue's level; ForgetDtrHold after a new control block.
    void UpdateDtrHandshake(const ByteQueue& Queue);
    void ForgetDtrHold() { FDtrHeld = false; }

    [[nodiscard]] bool OutputHeldByDsr() const;
    [[nodiscard]] bool InputIgnoredForDsr() const;
    // The COMSTAT flags of output held by CTS or DSR.
    void FillHolds(COMSTAT& Stat) const;
    // The line errors that came with input decoded with Marks: from the device's counters
    // where it keeps them, else from the marks.
    DWORD ErrorsWith(const DecodeResult& Marks);

private:
    void WatchLines(const std::shared_ptr<LineSource>& Source); // the watcher thread
    void UpdateLines();
    [[nodiscard]] bool LineLow(int Line) const;

    std::mutex& FLock;
    const DeviceState& FState;
    DeviceControl& FDevice;
    CommEvents& FEvents;

    std::shared_ptr<LineSource> FSource;
    bool FHasLines = false;
    int FLines = 0;
    bool FHasCounters = false;
    LineCounters FCounters;
    bool FDtrHeld = false;
    std::thread FWatcher;
};

} // namespace kivo::posix
