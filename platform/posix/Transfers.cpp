#include "platform/posix/Transfers.h"

#include "platform/posix/CommEvents.h"
#include "platform/posix/InputPath.h"
#include "platform/posix/LineState.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kivo::posix {
namespace {

std::chrono::milliseconds Milliseconds(DWORD Value) {
    return std::chrono::milliseconds(Value);
}

} // namespace

// --- Reading -------------------------------------------------------------------------------

BOOL Transfers::StartRead(Operation Op, DWORD* Done) {
    if (!F.State.Readable) {
        return Refuse(EBADF);
    }
    if (F.Events.Aborting()) {
        return Refuse(ERROR_OPERATION_ABORTED);
    }
    // What the kernel holds is taken in first where the queue cannot satisfy the read, so it
    // starts where a driver that took every byte at once would be. A read the queue satisfies
    // leaves the kernel alone: its bytes come after the queued ones anyway.
    if (F.Input.Queued() < Op.Count) {
        F.Input.CatchUpWithKernel();
    }
    if (FReads.empty()) {
        Op.Done = static_cast<DWORD>(F.Input.Take(Op.ReadTo, Op.Count));
    }
    if (Op.Done > 0) {
        F.Lines.UpdateDtrHandshake(F.Input.Queue());
    }
    const COMMTIMEOUTS& T = F.State.Timeouts;
    const bool ReturnQueued = T.ReadIntervalTimeout == MAXDWORD &&
                              T.ReadTotalTimeoutMultiplier == 0 && T.ReadTotalTimeoutConstant == 0;
    const bool WaitForAny = T.ReadIntervalTimeout == MAXDWORD &&
                            T.ReadTotalTimeoutMultiplier == MAXDWORD &&
                            T.ReadTotalTimeoutConstant > 0 && T.ReadTotalTimeoutConstant < MAXDWORD;
    const DWORD Failure = F.State.Failure;
    if (Failure != ERROR_SUCCESS && Op.Done == 0) {
        return Refuse(Failure); // what arrived before the device went away is still read
    }
    if (Op.Done == Op.Count || ReturnQueued || (WaitForAny && Op.Done > 0) ||
        Failure != ERROR_SUCCESS) {
        return F.Done.FinishNow(Op, ERROR_SUCCESS, Done);
    }
    PlanReadTimeouts(Op, WaitForAny, SerialClock::now());
    FReads.push_back(Op);
    F.Done.Watch(FReads.back());
    if (Op.Deadline || Op.Interval.count() > 0) {
        F.Device.WakeDriver(); // the driver's poll time-out changes
    }
    return Refuse(ERROR_IO_PENDING);
}

// The time-outs of a read that stays pending, from the device's COMMTIMEOUTS.
void Transfers::PlanReadTimeouts(Operation& Op, bool WaitForAny,
                                 SerialClock::time_point Now) const {
    const COMMTIMEOUTS& T = F.State.Timeouts;
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

void Transfers::FeedReads() {
    const auto Now = SerialClock::now();
    while (!FReads.empty() && F.Input.Queued() > 0) {
        Operation& Op = FReads.front();
        Op.Done += static_cast<DWORD>(F.Input.Take(Op.ReadTo + Op.Done, Op.Count - Op.Done));
        Op.LastByte = Now;
        if (Op.Done < Op.Count && !Op.ReturnOnAny) {
            break;
        }
        F.Done.Finish(Op, ERROR_SUCCESS);
        FReads.pop_front();
    }
}

void Transfers::ExpireReads(SerialClock::time_point Now) {
    for (auto Each = FReads.begin(); Each != FReads.end();) {
        const bool TotalOver = Each->Deadline && Now >= *Each->Deadline;
        const bool IntervalOver =
            Each->Interval.count() > 0 && Each->Done > 0 && Now - Each->LastByte >= Each->Interval;
        if (TotalOver || IntervalOver) {
            F.Done.Finish(*Each, ERROR_SUCCESS);
            Each = FReads.erase(Each);
        } else {
            ++Each;
        }
    }
}

bool Transfers::ReadUnwatched() const {
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

BOOL Transfers::StartWrite(Operation Op, DWORD* Done) {
    if (F.State.Failure != ERROR_SUCCESS) {
        return Refuse(F.State.Failure);
    }
    if (F.Events.Aborting()) {
        return Refuse(ERROR_OPERATION_ABORTED);
    }
    if (Op.Count == 0) {
        return F.Done.FinishNow(Op, ERROR_SUCCESS, Done);
    }
    if (FWrites.empty() && !F.Lines.OutputHeldByDsr()) {
        const ssize_t Written = ::write(F.State.Fd, Op.WriteFrom, Op.Count);
        if (Written < 0 && errno != EAGAIN && errno != EINTR) {
            // The device failed, whatever it calls the failure (EIO, or ENODEV, EPIPE, ENXIO
            // from a driver whose hardware went away): as Transmit and a failed read do, the
            // handle becomes unusable, so every later call reports it instead of retrying.
            F.Device.Fail(ErrnoOr(EIO));
            return Refuse(F.State.Failure);
        }
        Op.Done = Written > 0 ? static_cast<DWORD>(Written) : 0;
        FTxPending = FTxPending || Written > 0;
        if (Op.Done == Op.Count) {
            CheckTxEmpty(SerialClock::now());
            if (FTxCheck) {
                F.Device.WakeDriver(); // it re-checks the output queue in time for EV_TXEMPTY
            }
            return F.Done.FinishNow(Op, ERROR_SUCCESS, Done);
        }
    }
    FWrites.push_back(Op); // the driver waits for room in the output queue
    return Refuse(ERROR_IO_PENDING);
}

void Transfers::Transmit() {
    while (!FWrites.empty()) {
        Operation& Op = FWrites.front();
        const ssize_t Written = ::write(F.State.Fd, Op.WriteFrom + Op.Done, Op.Count - Op.Done);
        if (Written < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return;
            }
            F.Device.Fail(ErrnoOr(EIO));
            return;
        }
        FTxPending = true;
        Op.Done += static_cast<DWORD>(Written);
        if (Op.Done < Op.Count) {
            return;
        }
        F.Done.Finish(Op, ERROR_SUCCESS);
        FWrites.pop_front();
    }
}

// EV_TXEMPTY follows once the written bytes have left the kernel's output queue. The queue is
// re-checked at about the time the line needs to send what is left; nothing is timed while
// no written bytes are on their way.
void Transfers::CheckTxEmpty(SerialClock::time_point Now) {
    if (!FTxPending || !FWrites.empty()) {
        return;
    }
    int Queued = 0;
    // A driver that cannot tell what its output queue holds counts as empty.
    if (ioctl(F.State.Fd, TIOCOUTQ, &Queued) != 0 || Queued <= 0) {
        FTxPending = false;
        FTxCheck.reset();
        F.Events.Raise(EV_TXEMPTY);
        return;
    }
    const DWORD Rate = F.State.Dcb.BaudRate;
    const double BitsPerSecond = Rate > 0 ? Rate : 9600.0;
    const auto Drain = std::chrono::milliseconds(
        static_cast<long>(std::ceil(Queued * 10.0 * 1000.0 / BitsPerSecond)));
    FTxCheck = Now + std::clamp(Drain, std::chrono::milliseconds(1), std::chrono::milliseconds(50));
}

bool Transfers::TxCheckDue(SerialClock::time_point Now) const {
    return !FTxCheck || Now >= *FTxCheck;
}

bool Transfers::WaitForRoom() const {
    return !FWrites.empty() && !F.Lines.OutputHeldByDsr();
}

DWORD Transfers::OutputQueued() const {
    DWORD Pending = 0;
    for (const auto& Op : FWrites) {
        Pending += Op.Count - Op.Done;
    }
    int Queued = 0;
    // A driver that cannot tell what its output queue holds counts as holding nothing.
    // Nothing written since the queue was last seen empty: it still is, no need to ask.
    if (FTxPending && ioctl(F.State.Fd, TIOCOUTQ, &Queued) == 0 && Queued > 0) {
        Pending += static_cast<DWORD>(Queued);
    }
    return Pending;
}

// --- Ending them ---------------------------------------------------------------------------

void Transfers::AbortAll(DWORD Error) {
    for (auto& Op : FReads) {
        F.Done.Finish(Op, Error);
    }
    FReads.clear();
    for (auto& Op : FWrites) {
        F.Done.Finish(Op, Error);
    }
    FWrites.clear();
}

void Transfers::FailAll(DWORD Error) {
    for (auto& Op : FReads) {
        F.Done.Finish(Op, Op.Done > 0 ? ERROR_SUCCESS : Error); // delivered bytes stay valid
    }
    FReads.clear();
    for (auto& Op : FWrites) {
        F.Done.Finish(Op, Error);
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
        F.Done.Finish(Op, ERROR_OPERATION_ABORTED);
        return true;
    };
    std::erase_if(FReads, Mine);
    std::erase_if(FWrites, Mine);
}

} // namespace kivo::posix
