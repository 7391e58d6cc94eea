#pragma once
// A serial device's reads and writes: starting them, feeding received bytes to pending reads,
// ending reads whose time-outs pass, writing pending output as the device takes it, and
// EV_TXEMPTY once written bytes have left the kernel's output queue.
//
// Every call runs under the device's lock.

#include "platform/posix/SerialCommon.h"

#include <deque>
#include <optional>

namespace kivo::posix {

class CommEvents;
class InputPath;
class LineState;

class Transfers {
public:
    struct Parts {
        DeviceState& State;
        DeviceControl& Device;
        Completions& Done;
        InputPath& Input;
        CommEvents& Events;
        LineState& Lines;
    };
    explicit Transfers(const Parts& P) : F(P) {}

    // ReadFile and WriteFile: complete at once where they can, else stay pending.
    BOOL StartRead(Operation Op, DWORD* Done);
    BOOL StartWrite(Operation Op, DWORD* Done);

    // The driver's work: bytes came, time passed, the device has room for output.
    void FeedReads();
    void ExpireReads(SerialClock::time_point Now);
    void Transmit();
    // Raises EV_TXEMPTY once the output queue has drained; due when TxCheckDue says so.
    void CheckTxEmpty(SerialClock::time_point Now);
    [[nodiscard]] bool TxCheckDue(SerialClock::time_point Now) const;
    // The earliest read time-out or output check to come; none: nothing is timed.
    [[nodiscard]] std::optional<SerialClock::time_point> NextDeadline() const;

    [[nodiscard]] bool ReadsPending() const { return !FReads.empty(); }
    // Whether a pending read's event names no input source (see InputPath.h).
    [[nodiscard]] bool ReadUnwatched() const;
    // Whether writes wait for room in the device's output queue.
    [[nodiscard]] bool WaitForRoom() const;
    // What is still to be sent: pending writes and the kernel's output queue.
    [[nodiscard]] DWORD OutputQueued() const;

    // Ends every pending read and write with Error (abort on error, close).
    void AbortAll(DWORD Error);
    // The device failed with Error: reads that got bytes end with them, the rest fail.
    void FailAll(DWORD Error);
    // CancelIo: ends the reads and writes the calling thread started.
    void CancelFor(std::thread::id Caller);

private:
    void PlanReadTimeouts(Operation& Op, bool WaitForAny, SerialClock::time_point Now) const;

    Parts F;
    std::deque<Operation> FReads;
    std::deque<Operation> FWrites;
    bool FTxPending = false; // written bytes may still be in the output queue
    std::optional<SerialClock::time_point> FTxCheck;
};

} // namespace kivo::posix
