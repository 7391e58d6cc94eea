#include "platform/posix/InputPath.h"

#include "platform/posix/CommEvents.h"
#include "platform/posix/LineState.h"
#include "platform/posix/Transfers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace kivo::posix {
namespace {

constexpr std::size_t DefaultInputQueue = 4096;

} // namespace

InputPath::InputPath(const Parts& P) : F(P), FQueue(DefaultInputQueue) {}

DWORD InputPath::QueuedEvents() const {
    DWORD Events = FQueue.Empty() ? 0 : EV_RXCHAR;
    if (EightyPercentFull()) {
        Events |= EV_RX80FULL;
    }
    return Events;
}

bool InputPath::EightyPercentFull() const {
    return FQueue.Size() * 5 >= FQueue.Capacity() * 4;
}

// Only a device with a line marks its errors.
void InputPath::SetDecoding(const DCB& Dcb) {
    FDecoder.SetOptions({.Marked = !F.State.PseudoTerminal,
                         .StripNulls = Dcb.fNull != 0,
                         .ReplaceErrors = Dcb.fErrorChar != 0 && Dcb.fParity != 0,
                         .ErrorChar = Dcb.ErrorChar,
                         .EventChar = Dcb.EvtChar});
}

// --- Who takes input in --------------------------------------------------------------------

bool InputPath::Pending() const {
    return F.Events.WaitPending() || F.Ops.ReadsPending();
}

// Rule 2: the driver watches for input only while no thread does, where there is room for it,
// and where the line needs it or somebody awaits an operation without watching.
bool InputPath::DriverMustReceive() const {
    const bool Wanted = ReceivesOnArrival() || AwaitedWithoutWatching();
    return F.State.Readable && FWatchingThreads == 0 && Wanted && ReadLimit() > 0;
}

// A pending operation whose event names no input source has nobody to watch for it; any other
// way of learning of a completion marks the device until nothing is pending.
bool InputPath::AwaitedWithoutWatching() const {
    return FAwaitedWithoutWatching || F.Events.WaitUnwatched() || F.Ops.ReadUnwatched();
}

void InputPath::ForgetAwaitedWhenIdle() {
    if (!Pending()) {
        FAwaitedWithoutWatching = false;
    }
}

// A pseudo-terminal, and a line the kernel throttles by RTS or XOFF, hold the sender back when
// the kernel's buffer is full, so nothing is lost by leaving bytes there until somebody waits
// or reads.
bool InputPath::ReceivesOnArrival() const {
    const DCB& Dcb = F.State.Dcb;
    const bool KernelThrottles = Dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || Dcb.fInX != 0;
    const bool NeedsArrival = Dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || Dcb.fDsrSensitivity != 0;
    return NeedsArrival || !(KernelThrottles || F.State.PseudoTerminal);
}

bool InputPath::CountMaySkipKernel(bool DriverWatches) const {
    return DriverWatches || FWatchingThreads > 0 ||
           SerialClock::now() - FKernelEmptiedAt < CountLatency;
}

int InputPath::BeginWatch() {
    const std::lock_guard Guard(F.Lock);
    if (!F.State.Working() || !F.State.Readable || !Pending()) {
        return -1;
    }
    if (ReadLimit() == 0) {
        // A full queue: nothing to watch for now. The thread sleeps until its event comes,
        // so once a reader makes room, the driver takes in what the kernel holds.
        FAwaitedWithoutWatching = true;
        return -1;
    }
    ++FWatchingThreads;
    F.Device.Rearm();
    return F.State.Fd;
}

void InputPath::EndWatch() {
    const std::lock_guard Guard(F.Lock);
    --FWatchingThreads;
    F.Device.Rearm(); // the driver watches again where input is still wanted
}

void InputPath::AwaitWithoutWatching() {
    const std::lock_guard Guard(F.Lock);
    FAwaitedWithoutWatching = Pending();
    F.Device.Rearm();
}

void InputPath::TakeInput(bool HungUp) {
    const std::lock_guard Guard(F.Lock);
    TakeReported(HungUp);
    F.Device.Rearm();
}

// --- Taking input in -----------------------------------------------------------------------

// No more than the input queue has room for: the rest stays in the kernel, whose buffer and
// flow control hold it; nothing read is ever thrown away. A marked byte takes three bytes in
// the kernel's stream but one in the queue.
std::size_t InputPath::ReadLimit() const {
    return std::min(ReadChunk, FQueue.Room());
}

// One read from the device into the input queue; returns how many bytes came. Under the
// device's lock, so the bytes of concurrent reads (the driver's, a caller's) keep their order.
std::size_t InputPath::ReadOnce() {
    const std::size_t Limit = ReadLimit();
    if (!F.State.Readable || F.State.Failure != ERROR_SUCCESS || Limit == 0) {
        return 0;
    }
    const ssize_t Got = ::read(F.State.Fd, FRaw.data(), Limit);
    if (Got > 0) {
        Receive(FRaw.data(), static_cast<std::size_t>(Got));
        return static_cast<std::size_t>(Got);
    }
    if (Got == 0) {
        F.Device.Fail(EIO); // end of file on a terminal: it hung up
    } else if (errno != EAGAIN && errno != EINTR) {
        F.Device.Fail(static_cast<DWORD>(errno));
    }
    return 0;
}

// Notes when the input came with all the kernel held (a read that got less than it asked for
// found the kernel empty).
void InputPath::TakeReported(bool HungUp) {
    if (!F.State.Working()) {
        return;
    }
    const std::size_t Asked = ReadLimit();
    const std::size_t Got = ReadOnce();
    if (Got > 0 && Got < Asked) {
        FKernelEmptiedAt = SerialClock::now();
    }
    if (Got == 0 && HungUp) {
        F.Device.Fail(EIO); // a hang-up with no data left to read
    }
}

// Bounded, so that a sender faster than this loop cannot keep a caller here. A read that came
// back with less than it asked for found the kernel empty: no second read is made just to hear
// that again.
void InputPath::CatchUpWithKernel() {
    const std::size_t Bound = std::max(FQueue.Capacity(), ReadChunk);
    for (std::size_t Taken = 0; Taken < Bound;) {
        const std::size_t Asked = ReadLimit();
        const std::size_t Got = ReadOnce();
        if (Got == 0 || Got < Asked) {
            return;
        }
        Taken += Got;
    }
}

void InputPath::Receive(const char* Raw, std::size_t Size) {
    std::string_view Data(Raw, Size);
    DecodeResult Marks;
    if (FDecoder.PassesUnchanged(Raw, Size)) {
        // The common case: plain bytes go to the queue as they are.
        Marks.EventCharSeen = (F.Events.Mask() & EV_RXFLAG) != 0 &&
                              std::memchr(Raw, F.State.Dcb.EvtChar, Size) != nullptr;
    } else {
        FDecoded.clear();
        Marks = FDecoder.Decode(Raw, Size, FDecoded);
        Data = FDecoded;
    }
    F.Events.RecordErrors(F.Lines.ErrorsWith(Marks));
    if (Data.empty() || F.Lines.InputIgnoredForDsr()) {
        return; // nothing received, or ignored while DSR is low
    }
    const bool WasBelow80 = !EightyPercentFull();
    DWORD Events = EV_RXCHAR | (Marks.EventCharSeen ? EV_RXFLAG : 0);
    // Reads take no more than the queue has room for, so this overflows only on a mark the
    // kernel never sends ("\377" then a plain byte gives two bytes for one): reported, not
    // silent.
    if (FQueue.Push(Data.data(), Data.size()) < Data.size()) {
        F.Events.RecordErrors(CE_RXOVER);
    }
    if (WasBelow80 && EightyPercentFull()) {
        Events |= EV_RX80FULL;
    }
    F.Ops.FeedReads();
    F.Lines.UpdateDtrHandshake(FQueue);
    F.Events.Raise(Events);
}

} // namespace kivo::posix
