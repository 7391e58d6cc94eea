#include "platform/posix/LineState.h"

#include "platform/posix/LastError.h"

namespace kivo::posix {

void LineState::Attach(std::shared_ptr<LineSource> Source) {
    FSource = std::move(Source);
    int Lines = 0;
    FHasLines = FSource->GetLines(Lines);
    FLines = FHasLines ? Lines : 0;
    FHasCounters = FSource->GetCounters(FCounters);
}

void LineState::StartWatcher() {
    const std::lock_guard Guard(FLock);
    if (FHasLines && !FState.Closed) {
        FWatcher = std::thread([this, Source = FSource] { WatchLines(Source); });
    }
}

void LineState::StopWatcher() {
    std::shared_ptr<LineSource> Source;
    {
        const std::lock_guard Guard(FLock);
        Source = FSource;
    }
    if (FWatcher.joinable()) {
        Source->Interrupt();
        FWatcher.join();
    }
}

void LineState::WatchLines(const std::shared_ptr<LineSource>& Source) {
    while (Source->WaitForChange()) {
        const std::lock_guard Guard(FLock);
        if (DWORD Events = 0; UpdateLines(Events)) {
            FOnChange(Events);
        }
    }
}

bool LineState::UpdateLines(DWORD& Events) {
    int Lines = 0;
    if (FState.Closed || !FSource->GetLines(Lines)) {
        return false;
    }
    const int Changed = Lines ^ FLines;
    FLines = Lines;
    Events |= (Changed & LineCts) != 0 ? EV_CTS : 0;
    Events |= (Changed & LineDsr) != 0 ? EV_DSR : 0;
    Events |= (Changed & LineDcd) != 0 ? EV_RLSD : 0;
    Events |= (Changed & LineRing) != 0 ? EV_RING : 0;
    return true;
}

// A device without modem lines has nothing to set.
bool LineState::ApplyControlLines(const DCB& Dcb) {
    if (!FHasLines) {
        return true;
    }
    int Set = 0;
    int Clear = 0;
    (Dcb.fDtrControl == DTR_CONTROL_DISABLE ? Clear : Set) |= LineDtr;
    if (Dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        (Dcb.fRtsControl == RTS_CONTROL_DISABLE ? Clear : Set) |= LineRts;
    }
    return FSource->SetLines(Set, Clear);
}

// As Windows' serial driver does, a line that handshaking drives is not the caller's to set.
// A device without modem lines has no DTR or RTS to set.
DWORD LineState::Escape(DWORD Function) {
    const DCB& Dcb = FState.Dcb;
    int Line = 0;
    switch (Function) {
    case SETBREAK:
    case CLRBREAK:
        return FSource->SetBreak(Function == SETBREAK) ? ERROR_SUCCESS : ErrnoOr(EIO);
    case SETDTR:
    case CLRDTR:
        if (Dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
            return ERROR_INVALID_PARAMETER;
        }
        Line = LineDtr;
        break;
    case SETRTS:
    case CLRRTS:
        if (Dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || Dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
            return ERROR_INVALID_PARAMETER;
        }
        Line = LineRts;
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    if (!FHasLines) {
        return ERROR_SUCCESS;
    }
    const bool Raise = Function == SETDTR || Function == SETRTS;
    return FSource->SetLines(Raise ? Line : 0, Raise ? 0 : Line) ? ERROR_SUCCESS : ErrnoOr(EIO);
}

bool LineState::ModemStatus(DWORD& Status) {
    Status = 0;
    int Lines = 0;
    if (!FHasLines) {
        return true;
    }
    if (!FSource->GetLines(Lines)) {
        return false;
    }
    Status |= (Lines & LineCts) != 0 ? MS_CTS_ON : 0;
    Status |= (Lines & LineDsr) != 0 ? MS_DSR_ON : 0;
    Status |= (Lines & LineRing) != 0 ? MS_RING_ON : 0;
    Status |= (Lines & LineDcd) != 0 ? MS_RLSD_ON : 0;
    return true;
}

// DTR handshaking: DTR drops while the input queue has less than XoffLim bytes of room and
// rises again once no more than XonLim bytes are queued.
void LineState::UpdateDtrHandshake(const ByteQueue& Queue) {
    const DCB& Dcb = FState.Dcb;
    if (!FHasLines || Dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        return;
    }
    if (!FDtrHeld && Queue.Room() < Dcb.XoffLim) {
        FDtrHeld = FSource->SetLines(0, LineDtr);
    } else if (FDtrHeld && Queue.Size() <= Dcb.XonLim) {
        FDtrHeld = !FSource->SetLines(LineDtr, 0);
    }
}

bool LineState::LineLow(int Line) const {
    return FHasLines && (FLines & Line) == 0;
}

bool LineState::OutputHeldByDsr() const {
    return FState.Dcb.fOutxDsrFlow != 0 && LineLow(LineDsr);
}

bool LineState::InputIgnoredForDsr() const {
    return FState.Dcb.fDsrSensitivity != 0 && LineLow(LineDsr);
}

void LineState::FillHolds(COMSTAT& Stat) const {
    Stat.fCtsHold = (FState.Dcb.fOutxCtsFlow != 0 && LineLow(LineCts)) ? 1 : 0;
    Stat.fDsrHold = OutputHeldByDsr() ? 1 : 0;
}

// The marks cannot tell a parity error from a framing error.
DWORD LineState::ErrorsWith(const DecodeResult& Marks) {
    LineCounters Now;
    if (FHasCounters && FSource->GetCounters(Now)) {
        DWORD Errors = 0;
        Errors |= Now.Frame != FCounters.Frame ? CE_FRAME : 0;
        Errors |= Now.Parity != FCounters.Parity ? CE_RXPARITY : 0;
        Errors |= (Now.Overrun != FCounters.Overrun || Now.BufOverrun != FCounters.BufOverrun)
                      ? CE_OVERRUN
                      : 0;
        Errors |= Now.Break != FCounters.Break ? CE_BREAK : 0;
        FCounters = Now;
        return Errors;
    }
    DWORD Errors = Marks.BreakMarked ? CE_BREAK : 0;
    if (Marks.ErrorMarked) {
        Errors |= FState.Dcb.Parity != NOPARITY ? CE_RXPARITY : CE_FRAME;
    }
    return Errors;
}

} // namespace kivo::posix
