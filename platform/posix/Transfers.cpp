#include "platform/posix/Transfers.h"

#include "platform/posix/LastError.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kivo::posix {
namespace {

std::chrono::milliseconds Milliseconds(DWORD Value) {
    return std::chrono::milliseconds(Value);
}

} // namespace

// --- Reading -------------------------------------------------------------------------------

DWORD Transfers::TakeQueued(Operation& Op, ByteQueue& Input) const {
    if (FReads.empty()) {
        Op.Done = static_cast<DWORD>(Input.Take(Op.ReadTo, Op.Count));
    }
    return Op.Done;
}

BOOL Transfers::FinishOrQueueRead(Operation Op, DWORD* Done, bool& Timed) {
    const COMMTIMEOUTS& T = FState.Timeouts;
    const bool ReturnQueued = T.ReadIntervalTimeout == MAXDWORD &&
                              T.ReadTotalTimeoutMultiplier == 0 && T.ReadTotalTimeoutConstant == 0;
    const bool WaitForAny = T.ReadIntervalTimeout == MAXDWORD &&
                            T.ReadTotalTimeoutMultiplier == MAXDWORD &&
                            T.ReadTotalTimeoutConstant > 0 && T.ReadTotalTimeoutConstant < MAXDWORD;
    const DWORD Failure = FState.Failure;
    if (Failure != ERROR_SUCCESS && Op.Done == 0) {
        return Refuse(Failure); // what arrived before the device went away is still read
    }
    if (Op.Done == Op.Count || ReturnQueued || (WaitForAny && Op.Done > 0) ||
        Failure != ERROR_SUCCESS) {
        return FCompleted.FinishNow(Op, ERROR_SUCCESS, Done);
    }
    PlanReadTimeouts(Op, WaitForAny, SerialClock::now());
    FReads.push_back(Op);
    FCompleted.Watch(FReads.back());
    Timed = Op.Deadline || Op.Interval.count() > 0;
    return Refuse(ERROR_IO_PENDING);
}

// The time-outs of a read that stays pending, from the device's COMMTIMEOUTS.
void Transfers::PlanReadTimeouts(Operation& Op, bool WaitForAny,
                                 SerialClock::time_point Now) const {
    const COMMTIMEOUTS& T = FState.Timeouts;
    Op.LastByte = Now;
    if (WaitForAny) {
        Op.ReturnOnAny = true;
        Op.Deadline = Now + Milliseconds(T.ReadTotalTimeoutConstant);
        return;
    }
    const auto Total = static_cast<std::uint64_t>(T.ReadTotalTimeoutMultiplier) * Op.Count +
                       T.ReadTotalTimeoutConstant;
    if (Total > 0) {
        Op.Deadline = Now + std::chrono::milliseconds(Total);
    }
    if (T.ReadIntervalTimeout > 0 && T.ReadIntervalTimeout < MAXDWORD) {
        Op.Interval = Milliseconds(T.ReadIntervalTimeout);
    }
}

void Transfers::FeedReads(ByteQueue& Input) {
    const auto Now = SerialClock::now();
    while (!FReads.empty() && !Input.Empty()) {
        Operation& Op = FReads.front();
        Op.Done += static_cast<DWORD>(Input.Take(Op.ReadTo + Op.Done, Op.Count - Op.Done));
        Op.LastByte = Now;
        if (Op.Done < Op.Count && !Op.ReturnOnAny) {
            break;
        }
        FCompleted.Finish(Op, ERROR_SUCCESS);
        FReads.pop_front();
    }
}

void Transfers::ExpireReads(SerialClock::time_point Now) {
    for (auto Each = FReads.begin(); Each != FReads.end();) {
        const bool TotalOver = Each->Deadline && Now >= *Each->Deadline;
        const bool IntervalOver =
            Each->Interval.count() > 0 && Each->Done > 0 && Now - Each->LastByte >= Each->Interval;
        if (TotalOver || IntervalOver) {
            FCompleted.Finish(*Each, ERROR_SUCCESS);
            Each = FReads.erase(Each);
        } else {
            ++Each;
        }
    }
}

bool Transfers::ReadLacksWatcher() const {
    return std::any_of(FReads.begin(), FReads.end(),
                       [](const Operation& Op) { return !Op.Watched; });
}

std::optional<SerialClock::time_point> Transfers::NextDeadline() const {
    std::optional<SerialClock::time_point> Next = FTxCheck;
    auto Consider = [&](SerialClock::time_point At) {
        if (!Next || At < *Next) {
            Next = At;
        }
    };
    for (const auto& Op : FReads) {
        if (Op.Deadline) {
            Consider(*Op.Deadline);
        }
        if (Op.Interval.count() > 0 && Op.Done > 0) {
            Consider(Op.LastByte + Op.Interval);
        }
    }
    return Next;
}

// --- Writing -------------------------------------------------------------------------------

DWORD Transfers::WriteNow(Operation& Op, bool Held) {
    if (!FWrites.empty() || Held) {
        return ERROR_SUCCESS;
    }
    const ssize_t Written = ::write(FState.Fd, Op.WriteFrom, Op.Count);
    if (Written < 0 && errno != EAGAIN && errno != EINTR) {
        // The device failed, whatever it calls the failure (EIO, or ENODEV, EPIPE, ENXIO from a
        // driver whose hardware went away): as Transmit and a failed read do, the handle
        // becomes unusable, so every later call reports it instead of retrying.
        return ErrnoOr(EIO);
    }
    Op.Done = Written > 0 ? static_cast<DWORD>(Written) : 0;
    FTxPending = FTxPending || Written > 0;
    return ERROR_SUCCESS;
}

DWORD Transfers::Transmit() {
    while (!FWrites.empty()) {
        Operation& Op = FWrites.front();
        const ssize_t Written = ::write(FState.Fd, Op.WriteFrom + Op.Done, Op.Count - Op.Done);
        if (Written < 0) {
            return errno == EAGAIN || errno == EINTR ? ERROR_SUCCESS : ErrnoOr(EIO);
        }
        FTxPending = true;
        Op.Done += static_cast<DWORD>(Written);
        if (Op.Done < Op.Count) {
            return ERROR_SUCCESS;
        }
        FCompleted.Finish(Op, ERROR_SUCCESS);
        FWrites.pop_front();
    }
    return ERROR_SUCCESS;
}

// EV_TXEMPTY is due once the written bytes have left the kernel's output queue. The queue is
// re-checked at about the time the line needs to send what is left; nothing is timed while
// no written bytes are on their way.
bool Transfers::CheckTxEmpty(SerialClock::time_point Now) {
    if (!FTxPending || !FWrites.empty()) {
        return false;
    }
    int Queued = 0;
    // A driver that cannot tell what its output queue holds counts as empty.
    if (ioctl(FState.Fd, TIOCOUTQ, &Queued) != 0 || Queued <= 0) {
        FTxPending = false;
        FTxCheck.reset();
        return true;
    }
    const DWORD Rate = FState.Dcb.BaudRate;
    const double BitsPerSecond = Rate > 0 ? Rate : 9600.0;
    const auto Drain = std::chrono::milliseconds(
        static_cast<long>(std::ceil(Queued * 10.0 * 1000.0 / BitsPerSecond)));
    FTxCheck = Now + std::clamp(Drain, std::chrono::milliseconds(1), std::chrono::milliseconds(50));
    return false;
}

bool Transfers::TxCheckDue(SerialClock::time_point Now) const {
    return !FTxCheck || Now >= *FTxCheck;
}

DWORD Transfers::OutputQueued() const {
    DWORD Pending = 0;
    for (const auto& Op : FWrites) {
        Pending += Op.Count - Op.Done;
    }
    int Queued = 0;
    // A driver that cannot tell what its output queue holds counts as holding nothing.
    // Nothing written since the queue was last seen empty: it still is, no need to ask.
    if (FTxPending && ioctl(FState.Fd, TIOCOUTQ, &Queued) == 0 && Queued > 0) {
        Pending += static_cast<DWORD>(Queued);
    }
    return Pending;
}

// --- Ending them ---------------------------------------------------------------------------

void Transfers::AbortAll(DWORD Error) {
    AbortReads(Error);
    AbortWrites(Error);
}

void Transfers::AbortReads(DWORD Error) {
    for (auto& Op : FReads) {
        FCompleted.Finish(Op, Error);
    }
    FReads.clear();
}

void Transfers::AbortWrites(DWORD Error) {
    for (auto& Op : FWrites) {
        FCompleted.Finish(Op, Error);
    }
    FWrites.clear();
}

bool Transfers::DiscardOutput() const {
    return tcflush(FState.Fd, TCOFLUSH) == 0;
}

void Transfers::FailAll(DWORD Error) {
    for (auto& Op : FReads) {
        FCompleted.Finish(Op, Op.Done > 0 ? ERROR_SUCCESS : Error); // delivered bytes stay valid
    }
    FReads.clear();
    for (auto& Op : FWrites) {
        FCompleted.Finish(Op, Error);
    }
    FWrites.clear();
}

// As on Windows, only the operations the calling thread started end; another thread's read
// or write goes on.
void Transfers::CancelFor(std::thread::id Caller) {
    const auto Mine = [&](Operation& Op) {
        if (Op.Issuer != Caller) {
            return false;
        }
        FCompleted.Finish(Op, ERROR_OPERATION_ABORTED);
        return true;
    };
    std::erase_if(FReads, Mine);
    std::erase_if(FWrites, Mine);
}

} // namespace kivo::posix
