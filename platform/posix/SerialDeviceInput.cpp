// How a serial device takes input in and hands on what arrived (SerialDevice.h, InputWatch.h).

#include "platform/posix/SerialDevice.h"

#include <algorithm>

namespace kivo::posix {

// --- For a thread that waits on a pending operation's event (InputSource) ------------------

int SerialDevice::BeginWatch() {
    const std::lock_guard Guard(FLock);
    if (!FState.Working() || !FState.Readable || !Pending()) {
        return -1;
    }
    if (FInput.ReadLimit() == 0) {
        // A full queue: nothing to watch for now. The thread sleeps until its event comes,
        // so once a reader makes room, the driver takes in what the kernel holds.
        FWatch.HandToDriverUntilIdle();
        return -1;
    }
    FWatch.BeginThreadWatch();
    Rearm();
    return FState.Fd;
}

void SerialDevice::EndWatch() {
    const std::lock_guard Guard(FLock);
    FWatch.EndThreadWatch();
    Rearm(); // the driver watches again where input is still wanted
}

void SerialDevice::AwaitWithoutWatching() {
    const std::lock_guard Guard(FLock);
    if (Pending()) {
        FWatch.HandToDriverUntilIdle();
    }
    Rearm();
}

void SerialDevice::TakeInput(bool HungUp) {
    const std::lock_guard Guard(FLock);
    TakeReported(HungUp);
    Rearm();
}

// --- Taking input in -----------------------------------------------------------------------

// Input the device reported ready (HungUp: with a hang-up or an error). Notes when it came
// with all the kernel held (a read that got less than it asked for found the kernel empty).
void SerialDevice::TakeReported(bool HungUp) {
    if (!FState.Working()) {
        return;
    }
    const Arrival Came =
        FInput.ReadOnce((FEvents.Mask() & EV_RXFLAG) != 0, FLines.InputIgnoredForDsr());
    Deliver(Came);
    if (Came.Got > 0 && Came.Got < Came.Asked) {
        FWatch.NoteKernelEmptied();
    }
    if (Came.Got == 0 && HungUp) {
        Fail(EIO); // a hang-up with no data left to read
    }
}

// Takes in what the kernel holds, as a driver that took every byte at once would have.
// Bounded, so that a sender faster than this loop cannot keep a caller here. A read that came
// back with less than it asked for found the kernel empty: no second read is made just to hear
// that again.
void SerialDevice::CatchUpWithKernel() {
    const std::size_t Bound = std::max(FInput.Queue().Capacity(), InputPath::ReadChunk);
    for (std::size_t Taken = 0; Taken < Bound;) {
        const Arrival Came =
            FInput.ReadOnce((FEvents.Mask() & EV_RXFLAG) != 0, FLines.InputIgnoredForDsr());
        Deliver(Came);
        if (Came.Got == 0 || Came.Got < Came.Asked) {
            return;
        }
        Taken += Came.Got;
    }
}

// What arrived goes on: its line errors to the event wait, its bytes to the pending reads,
// then DTR handshaking on the queue's new level, then the events it raises.
void SerialDevice::Deliver(const Arrival& Came) {
    if (Came.Got > 0) {
        RecordErrors(FLines.ErrorsWith(Came.Marks));
    }
    if (Came.Queued) {
        if (Came.Overflowed) {
            RecordErrors(CE_RXOVER);
        }
        FOps.FeedReads(FInput.Queue());
        FLines.UpdateDtrHandshake(FInput.Queue());
        FEvents.Raise(Came.Events);
    }
    if (Came.Failure != ERROR_SUCCESS) {
        Fail(Came.Failure);
    }
}

} // namespace kivo::posix
