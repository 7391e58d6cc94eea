#pragma once
// A serial device's reads and writes: the pending ones, feeding queued input to reads, ending
// reads whose time-outs pass, writing pending output as the device takes it, and telling when
// written bytes have left the kernel's output queue (EV_TXEMPTY). What they need of the rest
// of the device (the input queue, whether output is held) they are handed; what follows from
// them (an event, a failed device, a new time-out) they report to the device.
//
// Every call runs under the device's lock.

#include "platform/posix/ByteQueue.h"
#include "platform/posix/Completions.h"
#include "platform/posix/DeviceState.h"

#include <deque>
#include <optional>

namespace kivo::posix {

class Transfers {
public:
    Transfers(const DeviceState& State, Completions& Completed)
        : FState(State), FCompleted(Completed) {}

    // ReadFile, in two steps around the device's own work: TakeQueued gives the new read Op
    // what Input holds, where no earlier read waits (returns how much); FinishOrQueueRead
    // completes it where its time-outs say so, else keeps it pending (ERROR_IO_PENDING), with
    // Timed set when a time-out now runs for it.
    DWORD TakeQueued(Operation& Op, ByteQueue& Input) const;
    BOOL FinishOrQueueRead(Operation Op, DWORD* Done, bool& Timed);

    // WriteFile: writes what the device takes of Op now, unless earlier writes wait or output
    // is Held; returns the device's failure, ERROR_SUCCESS otherwise. Op.Done == Op.Count: all
    // written; else QueueWrite keeps it pending until the device has room.
    DWORD WriteNow(Operation& Op, bool Held);
    void QueueWrite(const Operation& Op) { FWrites.push_back(Op); }

    // The driver's work: bytes were queued, time passed, the device has room for output
    // (Transmit returns the device's failure, ERROR_SUCCESS otherwise).
    void FeedReads(ByteQueue& Input);
    void ExpireReads(SerialClock::time_point Now);
    DWORD Transmit();
    // True when the written bytes have all left the output queue (EV_TXEMPTY is due); else,
    // while some are on their way, plans the next look. Due when TxCheckDue says so.
    bool CheckTxEmpty(SerialClock::time_point Now);
    [[nodiscard]] bool TxCheckDue(SerialClock::time_point Now) const;
    [[nodiscard]] bool TxCheckPlanned() const { return FTxCheck.has_value(); }
    // The earliest read time-out or output check to come; none: nothing is timed.
    [[nodiscard]] std::optional<SerialClock::time_point> NextDeadline() const;

    [[nodiscard]] bool ReadsPending() const { return !FReads.empty(); }
    // Whether a pending read's event names no input source, so no thread watches for it.
    [[nodiscard]] bool ReadLacksWatcher() const;
    // Whether writes wait for room in the device's output queue (output not Held).
    [[nodiscard]] bool WaitForRoom(bool Held) const { return !FWrites.empty() && !Held; }
    // What is still to be sent: pending writes and the kernel's output queue.
    [[nodiscard]] DWORD OutputQueued() const;

    // Ends every pending read and write with Error (abort on error, close); AbortReads and
    // AbortWrites only the reads or the writes (PurgeComm).
    void AbortAll(DWORD Error);
    void AbortReads(DWORD Error);
    void AbortWrites(DWORD Error);
    // Discards what the kernel's output queue holds; false, with errno set, when it cannot.
    [[nodiscard]] bool DiscardOutput() const;
    [[nodiscard]] bool WritesPending() const { return !FWrites.empty(); }
    // The device failed with Error: reads that got bytes end with them, the rest fail.
    void FailAll(DWORD Error);
    // CancelIo: ends the reads and writes the calling thread started.
    void CancelFor(std::thread::id Caller);

private:
    void PlanReadTimeouts(Operation& Op, bool WaitForAny, SerialClock::time_point Now) const;

    const DeviceState& FState;
    Completions& FCompleted;
    std::deque<Operation> FReads;
    std::deque<Operation> FWrites;
    bool FTxPending = false; // written bytes may still be in the output queue
    std::optional<SerialClock::time_point> FTxCheck;
};

} // namespace kivo::posix
