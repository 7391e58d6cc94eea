#pragma once
// A serial device's modem lines: DTR and RTS as the control block asks, DTR handshaking, the
// state of CTS, DSR, DCD and RI with the events their changes raise, the line error counters,
// and the watcher thread that sleeps in the kernel until a line changes (only on a device with
// modem lines). A change of the lines is handed to the device's handler, which raises the
// events.
//
// Every call runs under the device's lock, except where its comment says otherwise.

#include "platform/posix/ByteQueue.h"
#include "platform/posix/DeviceState.h"
#include "platform/posix/InputDecoder.h"
#include "platform/posix/ModemLines.h"

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kivo::posix {

class LineState {
public:
    // Runs on the watcher thread, under the device's lock, each time the lines were read
    // after a change; Events: the EV_ bits of the lines that changed (maybe none).
    using ChangeHandler = std::function<void(DWORD Events)>;

    LineState(std::mutex& Lock, const DeviceState& State, ChangeHandler OnChange)
        : FLock(Lock), FState(State), FOnChange(std::move(OnChange)) {}

    // Makes Source where lines and counters come from and reads them. Then, holding no lock,
    // StartWatcher; StopWatcher (no lock held either) before the next Attach or the close.
    void Attach(std::shared_ptr<LineSource> Source);
    void StartWatcher();
    void StopWatcher();

    // DTR and RTS as Dcb asks; false, with errno set, when the device refused.
    bool ApplyControlLines(const DCB& Dcb);
    // EscapeCommFunction: DTR or RTS raised or dropped, the break set or cleared;
    // ERROR_SUCCESS or why not.
    [[nodiscard]] DWORD Escape(DWORD Function);
    // GetCommModemStatus: the MS_ bits of the lines now; false, with errno set, when the
    // device cannot tell.
    [[nodiscard]] bool ModemStatus(DWORD& Status);
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
    [[nodiscard]] bool UpdateLines(DWORD& Events);
    [[nodiscard]] bool LineLow(int Line) const;

    std::mutex& FLock;
    const DeviceState& FState;
    const ChangeHandler FOnChange;

    std::shared_ptr<LineSource> FSource;
    bool FHasLines = false;
    int FLines = 0;
    bool FHasCounters = false;
    LineCounters FCounters;
    bool FDtrHeld = false;
    std::thread FWatcher;
};

} // namespace kivo::posix
