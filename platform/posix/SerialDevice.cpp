#include "platform/posix/SerialDevice.h"

#include "platform/posix/BaudRate.h"
#include "platform/posix/LineConfig.h"
#include "platform/posix/NetworkPort.h"
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
    // A network port is a pty whose far side the relay connects to the server.
    std::shared_ptr<NetworkRelay> Relay;
    if (IsNetworkName(Path)) {
        Relay = NetworkRelay::Open(Path, ConnectBound, Error);
        if (!Relay) {
            return nullptr;
        }
    }
    OpenedTerminal Terminal;
    Error = OpenTerminal(Relay ? Relay->TerminalPath() : Path, Access, Terminal);
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
    if (Relay) {
        // The device learns why the connection ended; its close disarms this (Interrupt).
        Relay->WhenEnded([Raw = Device.get()](DWORD Why) { Raw->Lose(Why); });
    }
    Device->AttachLineSource(Relay ? std::shared_ptr<LineSource>(std::move(Relay))
                                   : MakeDeviceLineSource(Terminal.Fd));
    Device->FDone.SetSelf(std::shared_ptr<InputSource>(Device, &Device->FInput));
    Device->FDriver.Start();
    return Device;
}

SerialDevice::SerialDevice(const OpenedTerminal& Terminal, const DriverLoop::Descriptors& Fds,
                           bool Overlapped, bool Readable)
    : FOverlapped(Overlapped),
      FSetExclusive(Terminal.SetExclusive), FState{.Fd = Terminal.Fd,
                                                   .Readable = Readable,
                                                   .PseudoTerminal = Terminal.PseudoTerminal},
      FDone(Overlapped), FOps({FState, *this, FDone, FInput, FEvents, FLines}),
      FInput({FLock, FState, *this, FOps, FEvents, FLines}), FEvents(FState, FDone, FOps, FInput),
      FLines(FLock, FState, *this, FEvents), FDriver({FLock, FState, *this, FInput, FOps}, Fds) {}

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

void SerialDevice::Lose(DWORD Error) {
    const std::lock_guard Guard(FLock);
    if (!FState.Closed) {
        Fail(Error);
    }
}

// --- What the parts ask of the device ------------------------------------------------------

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

// A failed device is not polled again: its driver thread ends.
void SerialDevice::Rearm() {
    if (!FState.Working()) {
        return;
    }
    FInput.ForgetAwaitedWhenIdle();
    if (!FDriver.Arm(FInput.DriverMustReceive(), FOps.WaitForRoom())) {
        Fail(static_cast<DWORD>(errno)); // the driver can no longer wait for the device
    }
}

void SerialDevice::WakeDriver() {
    FDriver.Wake();
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
    FDone.Await(Lock, Local);
    if (Done != nullptr) {
        *Done = static_cast<DWORD>(Local.InternalHigh);
    }
    const DWORD Status = Completions::Result(Local);
    return Status == ERROR_SUCCESS ? TRUE : Refuse(Status);
}

void SerialDevice::AwaitCompletion(const OVERLAPPED* Overlapped) {
    std::unique_lock Lock(FLock);
    if (Completions::Pending(*Overlapped)) {
        FInput.MarkAwaitedWithoutWatching(); // nobody watches the device for this waiter
        Rearm();
    }
    FDone.Await(Lock, *Overlapped);
}

void SerialDevice::AwaitWithoutWatching() {
    FInput.AwaitWithoutWatching(); // takes the lock
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
        return FOps.StartRead(Op, DoneNow);
    });
}

BOOL SerialDevice::Write(const void* Buffer, DWORD Count, DWORD* Done, OVERLAPPED* Overlapped) {
    if (Buffer == nullptr && Count > 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    return Run(Done, Overlapped, [&](Operation Op, DWORD* DoneNow) {
        Op.WriteFrom = static_cast<const char*>(Buffer);
        Op.Count = Count;
        return FOps.StartWrite(Op, DoneNow);
    });
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
        return FEvents.StartWait(Op, Done);
    });
}

// --- Events, errors and configuration ------------------------------------------------------

BOOL SerialDevice::SetMask(DWORD Mask) {
    return WhileOpen([&] {
        FInput.CatchUpWithKernel(); // the events of what came before the new mask go with the old
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
    if (!FInput.CountMaySkipKernel(FDriver.WatchesInput())) {
        FInput.CatchUpWithKernel();
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

BOOL SerialDevice::Setup(DWORD InQueue) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if (InQueue > 0) {
        FInput.CatchUpWithKernel();
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
    FInput.CatchUpWithKernel(); // bytes received so far are taken in under their settings
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
