#pragma once
// A serial device's communication events and line errors: the event mask, the events latched
// since the last wait, the one pending WaitCommEvent, the CE_ error bits since the last
// ClearCommError, and the test seam that holds a cancelled wait back (WaitHold.h). What it
// needs of the input (the queue's state) it is handed; what follows from an error (aborting
// reads and writes) it reports to the device.
//
// Every call runs under the device's lock.

#include "platform/posix/Completions.h"
#include "platform/posix/DeviceState.h"

#include <memory>
#include <optional>

namespace kivo::posix {

class WaitHold;

class CommEvents {
public:
    CommEvents(const DeviceState& State, Completions& Completed)
        : FState(State), FCompleted(Completed) {}

    // WaitCommEvent: completes at once with what is latched or what the input queue's state
    // raises (QueuedEvents, InputPath.h), else stays pending.
    BOOL StartWait(Operation Op, DWORD* Done, DWORD QueuedEvents);
    // SetCommMask: a new mask ends a pending wait at once, with no events, and forgets
    // latched ones.
    void SetMask(DWORD Mask);
    [[nodiscard]] DWORD Mask() const { return FMask; }
    // Latches Events that the mask selects and completes a pending wait with them.
    void Raise(DWORD Events);
    // Records line errors (CE_ bits): EV_ERR or EV_BREAK. True when, with fAbortOnError, every
    // pending read and write is now to end (until the errors are cleared).
    [[nodiscard]] bool RecordErrors(DWORD Errors);
    // ClearCommError: the errors since the last call, which it clears with the abort state.
    DWORD TakeErrors();
    [[nodiscard]] bool Aborting() const { return FAborting; }

    [[nodiscard]] bool WaitPending() const { return FWait.has_value(); }
    // Whether the pending wait's event names no input source, so no thread watches for it.
    [[nodiscard]] bool WaitLacksWatcher() const { return FWait && !FWait->Watched; }
    // Ends the pending wait with Error; EndHeldWait the one a hold keeps pending.
    void EndWait(DWORD Error);
    void EndHeldWait(DWORD Error);
    // CancelIo: ends the wait if the calling thread started it.
    void CancelFor(std::thread::id Caller);

    void AttachHold(std::shared_ptr<WaitHold> Hold, std::weak_ptr<InputSource> Device);
    bool ReleaseHeldWait();

private:
    void End(Operation& Op, DWORD Error);
    bool HoldsBack(const Operation& Op, DWORD Error);

    const DeviceState& FState;
    Completions& FCompleted;

    DWORD FMask = 0;
    DWORD FEvents = 0; // events latched since the last wait
    DWORD FErrors = 0; // CE_ bits since the last ClearCommError
    bool FAborting = false;
    std::optional<Operation> FWait;
    std::shared_ptr<WaitHold> FHold;
    std::optional<Operation> FHeld; // the wait FHold keeps pending
};

} // namespace kivo::posix
