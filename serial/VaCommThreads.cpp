// The component's worker threads: the event monitoring thread and the write thread.

#include "serial/VaCommPrivate.h"
#include "serial/VaUtils.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// A device that keeps failing is retried after a pause that doubles up to a limit, so a
// failed or unplugged device costs no processor time; a stop request ends the pause.
constexpr DWORD FirstRetryDelay = 10;
constexpr DWORD LastRetryDelay = 500;

DWORD NextRetryDelay(DWORD Delay) {
    return Delay == 0 ? FirstRetryDelay : std::min(Delay * 2, LastRetryDelay);
}

} // namespace

// ---- TVaCommBuffer ----

TVaCommBuffer::TVaCommBuffer(int ACapacity)
    : FData(std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(std::max(ACapacity, 0)))),
      FCapacity(std::max(ACapacity, 0)) {}

bool TVaCommBuffer::Append(const void* AData, int ACount) {
    const int Held = Count();
    if (ACount < 0 || ACount > FCapacity - Held) {
        return false;
    }
    if (ACount > 0) {
        std::memcpy(FData.get() + Held, AData, static_cast<std::size_t>(ACount));
    }
    FCount.store(Held + ACount, std::memory_order_release);
    return true;
}

void TVaCommBuffer::Consume(int ACount) {
    const int Held = Count();
    const int Taken = std::clamp(ACount, 0, Held);
    std::memmove(FData.get(), FData.get() + Taken, static_cast<std::size_t>(Held - Taken));
    FCount.store(Held - Taken, std::memory_order_release);
}

// ---- TVaWriterLine ----

std::uint64_t TVaWriterLine::Join() {
    FTickets.push_back(++FLastTicket);
    return FLastTicket;
}

void TVaWriterLine::Leave(std::uint64_t Ticket) {
    std::erase(FTickets, Ticket);
}

std::uint64_t TVaWriterLine::Changes() const {
    const std::lock_guard Lock(FChangeLock);
    return FChanges;
}

void TVaWriterLine::Changed() {
    {
        const std::lock_guard Lock(FChangeLock);
        ++FChanges;
    }
    FChange.notify_all();
}

void TVaWriterLine::AwaitChange(std::uint64_t Seen, std::chrono::milliseconds Timeout) {
    std::unique_lock Lock(FChangeLock);
    (void)FChange.wait_for(Lock, Timeout, [&] { return FChanges != Seen; });
}

// ---- TVaCommThread ----

TVaCommThread::TVaCommThread(TVaCustomComm* AComm, HANDLE ADevice)
    : TThread(true), FComm(AComm), FDevice(ADevice) {}

bool TVaCommThread::HandOver(const std::function<void()>& Call) {
    return Synchronize([this, &Call] {
        // Counted on the user-interface thread, where Close asks for it.
        struct Scope {
            int& Depth;
            explicit Scope(int& ADepth) : Depth(ADepth) { ++Depth; }
            ~Scope() { --Depth; }
            Scope(const Scope&) = delete;
            Scope& operator=(const Scope&) = delete;
            Scope(Scope&&) = delete;
            Scope& operator=(Scope&&) = delete;
        } const InCall(FHandOvers);
        // What the call raises is reported here, still inside the count: the application's
        // error handler may close the port, and Close must know it runs inside a hand-over
        // (it would otherwise wait for this very thread).
        try {
            Call();
        } catch (...) {
            ApplicationHandleException(this);
        }
    });
}

void TVaCommThread::FinishPending(OVERLAPPED& Overlapped, bool& Pending) {
    if (!Pending) {
        return;
    }
    // A cancel that fails finds nothing of this thread pending: the operation has completed.
    (void)CancelIo(FDevice);
    // Waits on the record's event, which only the completion signals; the operation's own
    // result does not matter once it is cancelled.
    DWORD Transferred = 0;
    (void)GetOverlappedResult(FDevice, &Overlapped, &Transferred, TRUE);
    Pending = false;
}

// ---- TVaCommEventThread ----

TVaCommEventThread::TVaCommEventThread(TVaCustomComm* AComm, HANDLE ADevice)
    : TVaCommThread(AComm, ADevice) {}

TVaCommEventThread::~TVaCommEventThread() {
    TVaCommEventThread::Stop();
    TerminateAndWait(); // Execute uses this object's events
}

void TVaCommEventThread::Stop() {
    Terminate(); // the request is set before the wake-up, so a woken thread delivers nothing
    FWaitEvent.SetEvent();
}

void TVaCommEventThread::Execute() {
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = FDoneEvent.Handle();
    bool Pending = false;
    DWORD Delay = 0;
    while (!Terminated()) {
        DWORD Error = ERROR_SUCCESS;
        if (WaitForEvents(Overlapped, Pending, Error)) {
            Delay = 0;
            DeliverEvents();
        } else if (!Terminated()) {
            ReportFailure(Error);
            BackOff(Delay);
        }
    }
    CancelWait(Overlapped, Pending); // the record and the mask go when this returns
}

bool TVaCommEventThread::WaitForEvents(OVERLAPPED& Overlapped, bool& Pending, DWORD& Error) {
    // Stop sets the request before it signals the wake-up: a request made before this reset
    // is seen below, and a later one signals again.
    FWaitEvent.ResetEvent();
    if (Terminated()) {
        return false;
    }
    FMask = 0;
    if (WaitCommEvent(Device(), &FMask, &Overlapped) != 0) {
        return true;
    }
    Error = GetLastError();
    if (Error != ERROR_IO_PENDING) {
        return false;
    }
    Pending = true;
    const std::array<HANDLE, 2> Events{FDoneEvent.Handle(), FWaitEvent.Handle()};
    if (Terminated() ||
        WaitForMultipleObjects(2, Events.data(), FALSE, INFINITE) != WAIT_OBJECT_0) {
        Error = ERROR_SUCCESS;
        CancelWait(Overlapped, Pending);
        return false;
    }
    // Only the completion signals its event, so the wait is over even where its record still
    // reads pending: Wine's serial driver can leave it so when its worker finishes before the
    // request has returned. GetOverlappedResult, told to wait, then returns at once with
    // success, on Windows and Wine alike.
    Pending = false;
    DWORD Transferred = 0;
    if (GetOverlappedResult(Device(), &Overlapped, &Transferred, TRUE) != 0) {
        return true;
    }
    Error = GetLastError();
    return false;
}

void TVaCommEventThread::CancelWait(OVERLAPPED& Overlapped, bool& Pending) {
    if (!Pending) {
        return;
    }
    // A new mask first: Windows ends the wait on the cancel alone, but Wine's serial driver
    // ignores CancelIo and ends a wait only on an event or a change of the mask. A stopping
    // thread clears it (the port is closing); any other keeps the one set. A mask that cannot
    // be set leaves the cancel, which is all Windows needs.
    DWORD Mask = 0;
    if (Terminated() || GetCommMask(Device(), &Mask) == 0) {
        Mask = 0;
    }
    (void)SetCommMask(Device(), Mask);
    FinishPending(Overlapped, Pending);
}

void TVaCommEventThread::DeliverEvents() {
    if (Terminated() || FMask == 0) {
        return;
    }
    // The call carries its own copies: the handlers may close the component, which ends
    // and frees this thread while the call is still running on the user-interface thread.
    HandOver([Comm = FComm, Mask = FMask] { HandleEvents(Comm, Mask); });
}

void TVaCommEventThread::HandleEvents(TVaCustomComm* Comm, DWORD Mask) {
    // A handler may close the port or destroy the component: then the rest of the set is
    // void, and the component is not touched again.
    const std::shared_ptr<const TVaCommLife> Life = Comm->FPrivate->FLife;
    const std::uint64_t Closes = Life->Closes;
    if ((Mask & EV_RXCHAR) != 0) {
        Comm->DispatchRxChar();
        Mask &= ~EV_RXCHAR;
        if (Life->Ended(Closes)) {
            return;
        }
    }
    if (Mask != 0) {
        Comm->DispatchEvents(Mask);
    }
}

void TVaCommEventThread::ReportFailure(DWORD Error) {
    // A wait ended by a cancel is no device failure; any other is told once per open.
    if (Error == ERROR_SUCCESS || Error == ERROR_OPERATION_ABORTED ||
        !FComm->ClaimFailureReport()) {
        return;
    }
    HandOver([Comm = FComm] { Comm->DispatchEvents(EV_ERR); });
}

void TVaCommEventThread::BackOff(DWORD& Delay) {
    Delay = NextRetryDelay(Delay);
    FWaitEvent.ResetEvent();
    if (!Terminated()) {
        (void)FWaitEvent.WaitFor(Delay);
    }
}

// ---- TVaCommWriteThread ----

TVaCommWriteThread::TVaCommWriteThread(TVaCustomComm* AComm, HANDLE ADevice)
    : TVaCommThread(AComm, ADevice), FBuffer(AComm->Buffers()->WriteSize()) {}

TVaCommWriteThread::~TVaCommWriteThread() {
    TVaCommWriteThread::Stop();
    TerminateAndWait(); // Execute uses this object's events
}

void TVaCommWriteThread::Stop() {
    FStopEvent.SetEvent();
}

int TVaCommWriteThread::WaitingWriters() const {
    const TSectionLock Lock(Inside().FWriteLock);
    return FLine.Waiting();
}

bool TVaCommWriteThread::TryAppend(std::uint64_t Ticket, const void* Data, int Count) {
    // The room is tested where the bytes go in, under the lock: writers on several
    // threads never both take the same room.
    const TSectionLock Lock(Inside().FWriteLock);
    if (!FLine.First(Ticket) || !FBuffer.Append(Data, Count)) {
        return false;
    }
    FLine.Leave(Ticket);
    FDataEvent.SetEvent();
    return true;
}

bool TVaCommWriteThread::Enqueue(const void* Data, int Count) {
    if (Count > FBuffer.Capacity()) {
        return false; // can never fit: no use waiting for room
    }
    TVaTimeout Timeout;
    StartTimeout(Timeout, static_cast<DWORD>(FComm->Buffers()->WriteTimeout()));
    std::uint64_t Ticket = 0;
    {
        // A writer that comes while others wait goes behind them, even where its block fits.
        const TSectionLock Lock(Inside().FWriteLock);
        if (FLine.Empty() && FBuffer.Append(Data, Count)) {
            FDataEvent.SetEvent();
            return true;
        }
        Ticket = FLine.Join();
    }
    const bool Queued = AwaitTurn(Ticket, Data, Count, Timeout);
    FLine.Changed(); // the next writer's turn
    return Queued;
}

bool TVaCommWriteThread::AwaitTurn(std::uint64_t Ticket, const void* Data, int Count,
                                   const TVaTimeout& Timeout) {
    // The count of changes is read before each attempt, so a change made after it (room, or
    // the writer ahead leaving) is never missed. The time-out test comes first.
    for (;;) {
        const std::uint64_t Seen = FLine.Changes();
        const DWORD Now = GetTickCount();
        if (TimeoutExpired(Timeout, Now)) {
            const TSectionLock Lock(Inside().FWriteLock);
            FLine.Leave(Ticket);
            return false;
        }
        if (TryAppend(Ticket, Data, Count)) {
            return true;
        }
        const auto Left = std::chrono::milliseconds(TimeoutRemaining(Timeout, Now));
        FLine.AwaitChange(Seen, Left + std::chrono::milliseconds(1));
    }
}

void TVaCommWriteThread::Execute() {
    OVERLAPPED Overlapped{};
    bool Pending = false;
    DWORD Delay = 0;
    const std::array<HANDLE, 2> Events{FStopEvent.Handle(), FDataEvent.Handle()};
    while (!Terminated()) {
        const DWORD Result = WaitForMultipleObjects(2, Events.data(), FALSE, INFINITE);
        if (Result == WAIT_OBJECT_0) {
            Terminate();
        } else if (Result == WAIT_OBJECT_0 + 1) {
            if (!WriteQueued(Overlapped, Pending, Delay)) {
                Terminate();
            }
        } else {
            Delay = NextRetryDelay(Delay);
            (void)FStopEvent.WaitFor(Delay);
        }
    }
    FinishPending(Overlapped, Pending);
}

bool TVaCommWriteThread::WriteQueued(OVERLAPPED& Overlapped, bool& Pending, DWORD& Delay) {
    const HANDLE Device = this->Device();
    Overlapped = OVERLAPPED{};
    Overlapped.hEvent = FWriteEvent.Handle();
    FWriteEvent.ResetEvent();
    DWORD Written = 0;
    // Started under the write lock: a discard (Discard) either comes first or finds the write
    // pending and aborts it.
    FComm->LockWrite();
    FDiscardsAtWrite = FDiscards;
    const bool Done = WriteFile(Device, FBuffer.Data(), static_cast<DWORD>(FBuffer.Count()),
                                &Written, &Overlapped) != 0;
    const DWORD Error = Done ? ERROR_SUCCESS : GetLastError();
    FComm->UnlockWrite();
    if (Done) {
        Delay = 0;
        WriteDone(Written);
        return true;
    }
    if (Error != ERROR_IO_PENDING) {
        ReportError();
        Delay = NextRetryDelay(Delay);
        return FStopEvent.WaitFor(Delay) != wrSignaled;
    }
    Pending = true;
    const std::array<HANDLE, 2> Events{FStopEvent.Handle(), FWriteEvent.Handle()};
    const DWORD Result = WaitForMultipleObjects(2, Events.data(), FALSE, INFINITE);
    if (Result == WAIT_OBJECT_0) {
        return false; // the pending write is cancelled when the thread ends
    }
    if (Result == WAIT_OBJECT_0 + 1) {
        const bool Completed = GetOverlappedResult(Device, &Overlapped, &Written, TRUE) != 0;
        Pending = false;
        if (Completed) {
            Delay = 0;
            WriteDone(Written);
            return true;
        }
        if (Written > 0) {
            WriteDone(Written); // sent before the write failed: not to be sent again
        }
    } else {
        FinishPending(Overlapped, Pending);
    }
    // The write failed or the wait broke: the bytes stay queued for the next pass.
    Delay = NextRetryDelay(Delay);
    return FStopEvent.WaitFor(Delay) != wrSignaled;
}

void TVaCommWriteThread::WriteDone(DWORD Written) {
    // The emptiness test and the reset of the data event happen under the lock that
    // Enqueue appends under, so bytes queued meanwhile keep the event signalled.
    FComm->LockWrite();
    if (FDiscardsAtWrite == FDiscards) { // else the bytes went with the queue
        FBuffer.Consume(
            static_cast<int>(std::min<DWORD>(Written, static_cast<DWORD>(FBuffer.Count()))));
    }
    const bool Drained = FBuffer.Count() == 0;
    if (Drained) {
        FDataEvent.ResetEvent();
    }
    FComm->UnlockWrite();
    FLine.Changed();
    if (Drained) {
        HandOver([Comm = FComm] { SyncTxEmpty(Comm); });
    }
}

bool TVaCommWriteThread::Discard(DWORD Flags) {
    bool Purged = false;
    {
        const TSectionLock Lock(Inside().FWriteLock);
        FBuffer.Consume(FBuffer.Count());
        ++FDiscards;
        FDataEvent.ResetEvent();
        Purged = PurgeComm(Device(), Flags) != 0;
    }
    const DWORD Error = GetLastError();
    FLine.Changed(); // room for the writers that wait
    SetLastError(Error);
    return Purged;
}

void TVaCommWriteThread::ReportError() {
    if (FComm->ClaimFailureReport()) {
        HandOver([Comm = FComm] { SyncError(Comm); });
    }
}

void TVaCommWriteThread::SyncTxEmpty(TVaCustomComm* Comm) {
    Comm->DispatchEvents(EV_TXEMPTY);
}

void TVaCommWriteThread::SyncError(TVaCustomComm* Comm) {
    Comm->DispatchEvents(EV_ERR);
}
