#include "platform/posix/SerialDevice.h"

#include "platform/posix/BaudRate.h"
#include "platform/posix/LastError.h"
#include "platform/posix/LineConfig.h"
#include "platform/posix/SerialTerminal.h"
#include "platform/posix/WaitHold.h"

#include <cerrno>
#include <cmath>
#include <termios.h>
#include <thread>

namespace kivo::posix {
namespace {

constexpr double SpeedTolerance = 0.02; // how far a driver may round a requested rate

bool SpeedMatches(unsigned Wanted, unsigned Actual) {
    const double Difference = std::fabs(static_cast<double>(Actual) - static_cast<double>(Wanted));
    return Difference <= SpeedTolerance * static_cast<double>(Wanted);
}

} // namespace

// --- Opening and closing -------------------------------------------------------------------

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& Path, DWORD Access,
                                                 bool Overlapped, DWORD& Error) {
    OpenedTerminal Terminal;
    Error = OpenTerminal(Path, Access, Terminal);
    if (Error != ERROR_SUCCESS) {
        return nullptr;
    }
    DriverLoop::Descriptors Fds;
    Error = DriverLoop::Open(Terminal.Fd, Fds);
    if (Error != ERROR_SUCCESS) {
        ReleaseTerminal(Terminal.Fd, Terminal.SetExclusive);
        return nullptr;
    }
    const bool Readable = (Access & GENERIC_READ) != 0 || (Access & GENERIC_WRITE) == 0;
    std::shared_ptr<SerialDevice> Device(new SerialDevice(Terminal, Fds, Overlapped, Readable));
    Device->FState.Dcb = DcbFromTermios(Terminal.Settings, LineSpeedOf(Terminal.Fd));
    Device->FInput.SetDecoding(Device->FState.Dcb);
    Device->AttachLineSource(MakeDeviceLineSource(Terminal.Fd));
    Device->FCompleted.SetWatchedSource(
        std::shared_ptr<InputSource>(Device, static_cast<InputSource*>(Device.get())));
    Device->FDriver.Start();
    return Device;
}

SerialDevice::SerialDevice(const OpenedTerminal& Terminal, const DriverLoop::Descriptors& Fds,
                           bool Overlapped, bool Readable)
    : FOverlapped(Overlapped),
      FSetExclusive(Terminal.SetExclusive), FState{.Fd = Terminal.Fd,
                                                   .Readable = Readable,
                                                   .PseudoTerminal = Terminal.PseudoTerminal},
      FCompleted(Overlapped), FInput(FState), FWatch(FState), FOps(FState, FCompleted),
      FEvents(FState, FCompleted),
      FLines(FLock, FState, [this](DWORD Events) { LinesChanged(Events); }),
      FDriver(FLock, FState, *this, Fds) {}

SerialDevice::~SerialDevice() {
    Close();
}

void SerialDevice::Close() {
    {
        const std::lock_guard Guard(FLock);
        if (FState.Closed) {
            return;
        }
        FState.Closed = true;
        FState.Stopping = true;
        FOps.AbortAll(ERROR_OPERATION_ABORTED);
        FEvents.EndWait(ERROR_OPERATION_ABORTED);
        FEvents.EndHeldWait(ERROR_OPERATION_ABORTED);
        FDriver.Wake();
    }
    FDriver.Join();
    FLines.StopWatcher();
    ReleaseTerminal(FState.Fd, FSetExclusive);
    FDriver.CloseDescriptors();
}

void SerialDevice::AttachLineSource(std::shared_ptr<LineSource> Source) {
    FLines.StopWatcher();
    {
        const std::lock_guard Guard(FLock);
        FLines.Attach(std::move(Source));
        Rearm();
    }
    FLines.StartWatcher();
}

// --- Handing on what the parts report -----------------------------------------------------

// Everything pending fails, later operations too, and the driver thread ends.
void SerialDevice::Fail(DWORD Error) {
    if (FState.Failure != ERROR_SUCCESS) {
        return;
    }
    FState.Failure = Error;
    FDriver.Wake(); // the driver thread ends
    FOps.FailAll(Error);
    FEvents.EndWait(Error);
}

void SerialDevice::RecordErrors(DWORD Errors) {
    if (FEvents.RecordErrors(Errors)) {
        FOps.AbortAll(ERROR_OPERATION_ABORTED);
    }
}

void SerialDevice::CheckTxEmpty(SerialClock::time_point Now) {
    if (FOps.CheckTxEmpty(Now)) {
        FEvents.Raise(EV_TXEMPTY);
    }
}

void SerialDevice::LinesChanged(DWORD Events) {
    FEvents.Raise(Events);
    Rearm(); // output held for DSR may go on
}

bool SerialDevice::Pending() const {
    return FEvents.WaitPending() || FOps.ReadsPending();
}

// A failed device is not polled again: its driver thread ends.
void SerialDevice::Rearm() {
    if (!FState.Working()) {
        return;
    }
    FWatch.EndDriverDutyWhenIdle(Pending());
    const bool Unwatched = FEvents.WaitLacksWatcher() || FOps.ReadLacksWatcher();
    const bool Input = FWatch.DriverMustReceive(Unwatched, FInput.ReadLimit() > 0);
    if (!FDriver.Arm(Input, FOps.WaitForRoom(FLines.OutputHeldByDsr()))) {
        Fail(static_cast<DWORD>(errno)); // the driver can no longer wait for the device
    }
}

void SerialDevice::Serve(const DriverLoop::Readiness& Ready) {
    // Input that came while a waiting thread began to watch is left to that thread, which
    // polls the device too: taking it here would only add a wake-up on the way.
    if ((Ready.Input || Ready.HangUp) && !FWatch.ThreadWatches()) {
        TakeReported(Ready.HangUp);
    }
    if (Ready.Output) {
        if (const DWORD Error = FOps.Transmit(); Error != ERROR_SUCCESS) {
            Fail(Error);
        }
    }
    const auto Now = SerialClock::now();
    FOps.ExpireReads(Now);
    if (FOps.TxCheckDue(Now)) {
        CheckTxEmpty(Now);
    }
}

std::optional<SerialClock::time_point> SerialDevice::NextDeadline() const {
    return FOps.NextDeadline();
}

// --- Running operations --------------------------------------------------------------------

// Runs Do under FLock if the handle is still open.
template <class Body> BOOL SerialDevice::WhileOpen(Body Do) {
    const std::lock_guard Guard(FLock);
    if (FState.Closed) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    Do();
    Rearm();
    return TRUE;
}

BOOL SerialDevice::RefuseIfUnusable() const {
    if (FState.Closed) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    if (FState.Failure != ERROR_SUCCESS) {
        return Refuse(FState.Failure);
    }
    return TRUE;
}

// Runs an operation: an overlapped one returns at once (done, or pending with
// ERROR_IO_PENDING); on a handle opened without FILE_FLAG_OVERLAPPED the caller waits here.
template <class Start>
BOOL SerialDevice::Run(DWORD* Done, OVERLAPPED* Overlapped, Start StartOperation) {
    if (Done != nullptr) {
        *Done = 0;
    }
    if (FOverlapped) {
        if (Overlapped == nullptr) {
            return Refuse(ERROR_INVALID_PARAMETER);
        }
        const std::lock_guard Guard(FLock);
        if (FState.Closed) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        const BOOL Started = StartOperation(Completions::Begin(Overlapped), Done);
        if (Started == FALSE && GetLastError() != ERROR_IO_PENDING) {
            Completions::SetStatus(*Overlapped, GetLastError());
        }
        Rearm();
        return Started;
    }
    OVERLAPPED Local{};
    std::unique_lock Lock(FLock);
    if (FState.Closed) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    const BOOL Started = StartOperation(Completions::Begin(&Local), nullptr);
    Rearm();
    if (Started == FALSE && GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    FCompleted.Await(Lock, Local);
    if (Done != nullptr) {
        *Done = static_cast<DWORD>(Local.InternalHigh);
    }
    const DWORD Status = Completions::Result(Local);
    return Status == ERROR_SUCCESS ? TRUE : Refuse(Status);
}

void SerialDevice::AwaitCompletion(const OVERLAPPED* Overlapped) {
    std::unique_lock Lock(FLock);
    if (Completions::Pending(*Overlapped)) {
        FWatch.HandToDriverUntilIdle(); // nobody watches the device for this waiter
        Rearm();
    }
    FCompleted.Await(Lock, *Overlapped);
}

// As on Windows, only the operations the calling thread started end; another thread's wait,
// read or write goes on.
BOOL SerialDevice::Cancel() {
    const auto Caller = std::this_thread::get_id();
    return WhileOpen([&] {
        FOps.CancelFor(Caller);
        FEvents.CancelFor(Caller);
    });
}

BOOL SerialDevice::Read(void* Buffer, DWORD Count, DWORD* Done, OVERLAPPED* Overlapped) {
    if (Buffer == nullptr && Count > 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    return Run(Done, Overlapped, [&](Operation Op, DWORD* DoneNow) {
        Op.ReadTo = static_cast<char*>(Buffer);
        Op.Count = Count;
        return StartRead(Op, DoneNow);
    });
}

BOOL SerialDevice::Write(const void* Buffer, DWORD Count, DWORD* Done, OVERLAPPED* Overlapped) {
    if (Buffer == nullptr && Count > 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    return Run(Done, Overlapped, [&](Operation Op, DWORD* DoneNow) {
        Op.WriteFrom = static_cast<const char*>(Buffer);
        Op.Count = Count;
        return StartWrite(Op, DoneNow);
    });
}

// What the kernel holds is taken in first where the queue cannot satisfy the read, so it
// starts where a driver that took every byte at once would be. A read the queue satisfies
// leaves the kernel alone: its bytes come after the queued ones anyway.
BOOL SerialDevice::StartRead(Operation Op, DWORD* Done) {
    if (!FState.Readable) {
        return Refuse(EBADF);
    }
    if (FEvents.Aborting()) {
        return Refuse(ERROR_OPERATION_ABORTED);
    }
    if (FInput.Queued() < Op.Count) {
        CatchUpWithKernel();
    }
    if (FOps.TakeQueued(Op, FInput.Queue()) > 0) {
        FLines.UpdateDtrHandshake(FInput.Queue());
    }
    bool Timed = false;
    const BOOL Started = FOps.FinishOrQueueRead(Op, Done, Timed);
    if (Timed) {
        FDriver.Wake(); // the driver's poll time-out changes
    }
    return Started;
}

// A write that the device takes whole at once completes at once; the rest waits for room.
BOOL SerialDevice::StartWrite(Operation Op, DWORD* Done) {
    if (FState.Failure != ERROR_SUCCESS) {
        return Refuse(FState.Failure);
    }
    if (FEvents.Aborting()) {
        return Refuse(ERROR_OPERATION_ABORTED);
    }
    if (Op.Count == 0) {
        return FCompleted.FinishNow(Op, ERROR_SUCCESS, Done);
    }
    if (const DWORD Error = FOps.WriteNow(Op, FLines.OutputHeldByDsr()); Error != ERROR_SUCCESS) {
        Fail(Error);
        return Refuse(FState.Failure);
    }
    if (Op.Done == Op.Count) {
        CheckTxEmpty(SerialClock::now());
        if (FOps.TxCheckPlanned()) {
            FDriver.Wake(); // it re-checks the output queue in time for EV_TXEMPTY
        }
        return FCompleted.FinishNow(Op, ERROR_SUCCESS, Done);
    }
    FOps.QueueWrite(Op); // the driver waits for room in the output queue
    return Refuse(ERROR_IO_PENDING);
}

BOOL SerialDevice::WaitEvent(DWORD* Events, OVERLAPPED* Overlapped) {
    if (Events == nullptr) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    // Bytes the kernel holds need not be read first: a wait that stays pending is watched for
    // input at once (by the driver thread or the waiting thread), which completes it with
    // EV_RXCHAR as a driver still working through its device's buffer would.
    return Run(nullptr, Overlapped, [&](Operation Op, DWORD* Done) {
        Op.EventsOut = Events;
        return FEvents.StartWait(Op, Done, FInput.QueuedEvents());
    });
}

// --- Events, errors and configuration ------------------------------------------------------

BOOL SerialDevice::SetMask(DWORD Mask) {
    return WhileOpen([&] {
        CatchUpWithKernel(); // the events of what came before the new mask go with the old
        FEvents.SetMask(Mask);
    });
}

BOOL SerialDevice::GetMask(DWORD& Mask) {
    return WhileOpen([&] { Mask = FEvents.Mask(); });
}

BOOL SerialDevice::ClearErrors(DWORD* Errors, COMSTAT* Stat) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if (!FWatch.QueueCountIsCurrent(FDriver.WatchesInput())) {
        CatchUpWithKernel();
    }
    const DWORD Taken = FEvents.TakeErrors();
    if (Errors != nullptr) {
        *Errors = Taken;
    }
    Rearm();
    if (Stat != nullptr) {
        *Stat = COMSTAT{};
        Stat->cbInQue = static_cast<DWORD>(FInput.Queued());
        Stat->cbOutQue = FOps.OutputQueued();
        FLines.FillHolds(*Stat);
    }
    return TRUE;
}

// --- Line control --------------------------------------------------------------------------

BOOL SerialDevice::Escape(DWORD Function) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    const DWORD Error = FLines.Escape(Function);
    return Error == ERROR_SUCCESS ? TRUE : Refuse(Error);
}

BOOL SerialDevice::GetModemStatus(DWORD& Status) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    return FLines.ModemStatus(Status) ? TRUE : Refuse(ErrnoOr(EIO));
}

// Aborts first, so that no aborted read takes what is discarded next.
BOOL SerialDevice::Purge(DWORD Flags) {
    constexpr DWORD Known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if ((Flags & ~Known) != 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if ((Flags & PURGE_TXABORT) != 0) {
        FOps.AbortWrites(ERROR_OPERATION_ABORTED);
    }
    if ((Flags & PURGE_RXABORT) != 0) {
        FOps.AbortReads(ERROR_OPERATION_ABORTED);
    }
    bool Discarded = true;
    if ((Flags & PURGE_TXCLEAR) != 0) {
        Discarded = FOps.DiscardOutput();
    }
    if ((Flags & PURGE_RXCLEAR) != 0 && Discarded) {
        Discarded = FInput.Discard();
        FLines.UpdateDtrHandshake(FInput.Queue());
    }
    Rearm();
    return Discarded ? TRUE : Refuse(ErrnoOr(EIO));
}

// tcdrain runs without the lock: it may take as long as the line needs to send the kernel's
// output, and nothing of the device's state is touched meanwhile.
BOOL SerialDevice::Flush() {
    std::unique_lock Lock(FLock);
    FCompleted.AwaitUntil(Lock, [&] { return !FState.Working() || !FOps.WritesPending(); });
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    const int Fd = FState.Fd;
    Lock.unlock();
    return tcdrain(Fd) == 0 ? TRUE : Refuse(ErrnoOr(EIO));
}

BOOL SerialDevice::Setup(DWORD InQueue) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if (InQueue > 0) {
        CatchUpWithKernel();
        FInput.SetCapacity(InQueue);
        Rearm();
    }
    return TRUE;
}

BOOL SerialDevice::SetTimeouts(const COMMTIMEOUTS& Timeouts) {
    return WhileOpen([&] { FState.Timeouts = Timeouts; });
}

BOOL SerialDevice::GetTimeouts(COMMTIMEOUTS& Timeouts) {
    return WhileOpen([&] { Timeouts = FState.Timeouts; });
}

BOOL SerialDevice::GetState(DCB& Dcb) {
    return WhileOpen([&] { Dcb = FState.Dcb; });
}

// Applies every field or none: what the terminal does not take is undone and reported.
BOOL SerialDevice::SetState(const DCB& Dcb) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if (const DWORD Invalid = CheckDcb(Dcb); Invalid != ERROR_SUCCESS) {
        return Refuse(Invalid);
    }
    CatchUpWithKernel(); // bytes received so far are taken in under their settings
    const int Fd = FState.Fd;
    termios Old{};
    unsigned OldRate = 0;
    if (tcgetattr(Fd, &Old) != 0 || GetLineSpeed(Fd, OldRate) != 0) {
        return Refuse(ErrnoOr(EIO));
    }
    // What the caller learns is why the new settings failed; restoring the old ones is all
    // that can be done, so whether that worked too is deliberately not looked at.
    auto Undo = [&](DWORD Error) {
        (void)tcsetattr(Fd, TCSANOW, &Old);
        (void)SetLineSpeed(Fd, OldRate);
        (void)FLines.ApplyControlLines(FState.Dcb);
        return Refuse(Error);
    };
    termios Wanted = Old;
    ApplyDcb(Dcb, Wanted, !FState.PseudoTerminal);
    termios Actual{};
    if (tcsetattr(Fd, TCSANOW, &Wanted) != 0 || tcgetattr(Fd, &Actual) != 0) {
        return Undo(ErrnoOr(EIO));
    }
    if (!SameLineSettings(Wanted, Actual, !FState.PseudoTerminal)) {
        return Undo(ERROR_INVALID_PARAMETER);
    }
    if (const int Error = SetLineSpeed(Fd, Dcb.BaudRate); Error != 0) {
        return Undo(static_cast<DWORD>(Error));
    }
    unsigned Rate = 0;
    if (GetLineSpeed(Fd, Rate) != 0 || !SpeedMatches(Dcb.BaudRate, Rate)) {
        return Undo(ERROR_INVALID_PARAMETER);
    }
    if (!FLines.ApplyControlLines(Dcb)) {
        return Undo(ErrnoOr(EIO));
    }
    FState.Dcb = Dcb;
    FState.Dcb.DCBlength = sizeof(DCB);
    FInput.SetDecoding(Dcb);
    FLines.ForgetDtrHold();
    Rearm();
    return TRUE;
}

} // namespace kivo::posix
