#include "platform/posix/InputWatch.h"

namespace kivo::posix {

void InputWatch::EndDriverDutyWhenIdle(bool Pending) {
    if (!Pending) {
        FHandedToDriver = false;
    }
}

// Rule 2: the driver watches for input only while no thread does, where there is room for it,
// and where the line needs it or somebody awaits an operation without watching.
bool InputWatch::DriverMustReceive(bool UnwatchedPending, bool Room) const {
    const bool Wanted = ReceivesOnArrival() || FHandedToDriver || UnwatchedPending;
    return FState.Readable && FWatchingThreads == 0 && Wanted && Room;
}

// A pseudo-terminal, and a line the kernel throttles by RTS or XOFF, hold the sender back when
// the kernel's buffer is full, so nothing is lost by leaving bytes there until somebody waits
// or reads.
bool InputWatch::ReceivesOnArrival() const {
    const DCB& Dcb = FState.Dcb;
    const bool KernelThrottles = Dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || Dcb.fInX != 0;
    const bool NeedsArrival = Dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || Dcb.fDsrSensitivity != 0;
    return NeedsArrival || !(KernelThrottles || FState.PseudoTerminal);
}

bool InputWatch::QueueCountIsCurrent(bool DriverWatches) const {
    return DriverWatches || FWatchingThreads > 0 ||
           SerialClock::now() - FKernelEmptiedAt < CountLatency;
}

} // namespace kivo::posix
