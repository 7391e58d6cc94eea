#include "platform/posix/CommEvents.h"

#include "platform/posix/LastError.h"
#include "platform/posix/WaitHold.h"

namespace kivo::posix {
namespace {

constexpr DWORD LineErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

} // namespace

// A wait reports what is latched, and the input queue's state when it starts: bytes still
// queued as EV_RXCHAR (also when they came before the mask was set or were reported already
// but not read), a queue 80% full as EV_RX80FULL. Otherwise a queue that filled while nobody
// waited, before SetCommMask say, would never be reported at all: a full queue takes nothing
// more in, so no byte ever arrives to raise the event. As Windows' driver does, a reader that
// leaves bytes unread is told of them again at each wait.
BOOL CommEvents::StartWait(Operation Op, DWORD* Done, DWORD QueuedEvents) {
    if (FWait || FMask == 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    if (const DWORD Ready = (FEvents | QueuedEvents) & FMask; Ready != 0) {
        FEvents &= ~Ready;
        *Op.EventsOut = Ready;
        return FCompleted.FinishNow(Op, ERROR_SUCCESS, Done);
    }
    if (FState.Failure != ERROR_SUCCESS) {
        return Refuse(FState.Failure);
    }
    FWait = Op;
    FCompleted.Watch(*FWait);
    if (FHold && FWait->Watched) {
        SetEventSource(FWait->Event, FHold); // it passes what it is asked on to the device
    }
    return Refuse(ERROR_IO_PENDING);
}

// Bytes still queued are no latched event: the next wait reports them (StartWait).
void CommEvents::SetMask(DWORD Mask) {
    FMask = Mask;
    FEvents = 0;
    if (FWait) {
        *FWait->EventsOut = 0;
        End(*FWait, ERROR_SUCCESS);
        FWait.reset();
    }
}

void CommEvents::Raise(DWORD Events) {
    FEvents |= Events & FMask;
    if (FWait && FEvents != 0) {
        *FWait->EventsOut = FEvents;
        FEvents = 0;
        End(*FWait, ERROR_SUCCESS);
        FWait.reset();
    }
}

bool CommEvents::RecordErrors(DWORD Errors) {
    if (Errors == 0) {
        return false;
    }
    FErrors |= Errors;
    DWORD Events = 0;
    if ((Errors & (LineErrors | CE_RXOVER)) != 0) {
        Events |= EV_ERR;
    }
    if ((Errors & CE_BREAK) != 0) {
        Events |= EV_BREAK;
    }
    Raise(Events);
    if (FState.Dcb.fAbortOnError != 0 && !FAborting) {
        FAborting = true; // until ClearCommError
        return true;
    }
    return false;
}

DWORD CommEvents::TakeErrors() {
    const DWORD Errors = FErrors;
    FErrors = 0;
    FAborting = false;
    return Errors;
}

void CommEvents::EndWait(DWORD Error) {
    if (FWait) {
        End(*FWait, Error);
        FWait.reset();
    }
}

void CommEvents::EndHeldWait(DWORD Error) {
    if (FHeld) {
        FCompleted.Finish(*FHeld, Error);
        FHeld.reset();
    }
}

// As on Windows, only a wait the calling thread started ends.
void CommEvents::CancelFor(std::thread::id Caller) {
    if (FWait && FWait->Issuer == Caller) {
        End(*FWait, ERROR_OPERATION_ABORTED);
        FWait.reset();
    }
    if (FHold && FHeld) {
        FHold->Cancelled();
    }
}

void CommEvents::End(Operation& Op, DWORD Error) {
    if (!HoldsBack(Op, Error)) {
        FCompleted.Finish(Op, Error);
    }
}

// --- The hold (a test seam, WaitHold.h) ----------------------------------------------------

void CommEvents::AttachHold(std::shared_ptr<WaitHold> Hold, std::weak_ptr<InputSource> Device) {
    Hold->Attach(std::move(Device));
    FHold = std::move(Hold);
}

// A wait that a cancel or a new mask ends stays pending while a hold is attached.
bool CommEvents::HoldsBack(const Operation& Op, DWORD Error) {
    if (!FHold || FState.Closed || FHeld) {
        return false;
    }
    const bool Ended =
        Error == ERROR_OPERATION_ABORTED || (Error == ERROR_SUCCESS && *Op.EventsOut == 0);
    if (!Ended) {
        return false;
    }
    FHeld = Op;
    FHold->Holding();
    return true;
}

bool CommEvents::ReleaseHeldWait() {
    FHold.reset();
    if (!FHeld) {
        return false;
    }
    *FHeld->EventsOut = 0;
    FCompleted.Finish(*FHeld, ERROR_OPERATION_ABORTED);
    FHeld.reset();
    return true;
}

} // namespace kivo::posix
