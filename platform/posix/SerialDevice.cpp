#include "platform/posix/SerialDevice.h"

#include "platform/posix/BaudRate.h"
#include "platform/posix/LineConfig.h"
#include "platform/posix/WaitHold.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kivo::posix {
namespace {

constexpr ULONG_PTR StatusPending = 0x103; // Windows' STATUS_PENDING
constexpr std::size_t DefaultInputQueue = 4096;
constexpr DWORD LineErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;
constexpr double SpeedTolerance = 0.02; // how far a driver may round a requested rate

std::atomic_ref<ULONG_PTR> StatusOf(OVERLAPPED& Record) {
    return std::atomic_ref<ULONG_PTR>(Record.Internal);
}

ULONG_PTR LoadStatus(const OVERLAPPED& Record) {
    // The layer writes Internal only through atomic stores; reading it the same way lets any
    // thread poll a record while the driver thread completes it.
    return std::atomic_ref<ULONG_PTR>(const_cast<OVERLAPPED&>(Record).Internal)
        .load(std::memory_order_acquire);
}

DWORD ErrnoOr(DWORD Fallback) {
    return errno != 0 ? static_cast<DWORD>(errno) : Fallback;
}

// Opening a port node without hardware behind it fails with ENXIO or ENODEV: no such device.
DWORD OpenError(int Error) {
    if (Error == ENXIO || Error == ENODEV) {
        return ERROR_FILE_NOT_FOUND;
    }
    return static_cast<DWORD>(Error);
}

int OpenFlags(DWORD Access) {
    constexpr int Common = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    if ((Access & GENERIC_WRITE) != 0 && (Access & GENERIC_READ) == 0) {
        return Common | O_WRONLY;
    }
    return Common | O_RDWR;
}

// Claims the device for this handle: flock stops every other opener, root included;
// TIOCEXCL also stops programs that do not take the lock. A device whose driver knows no
// TIOCEXCL (ENOTTY, EINVAL: some drivers, emulated devices) is still held by the lock. The flag
// may already be set by another program (root may open such a device): then it is that
// program's, and only a flag this open set is cleared again on close.
DWORD ClaimExclusive(int Fd, bool& SetExclusive) {
    SetExclusive = false;
    if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? static_cast<DWORD>(EBUSY) : ErrnoOr(EBUSY);
    }
    int AlreadySet = 0;
    if (ioctl(Fd, TIOCGEXCL, &AlreadySet) == 0 && AlreadySet != 0) {
        return ERROR_SUCCESS;
    }
    // A kernel without TIOCGEXCL (before 3.8) cannot tell: the flag counts as not set.
    if (ioctl(Fd, TIOCEXCL) != 0) {
        return errno == ENOTTY || errno == EINVAL ? ERROR_SUCCESS : ErrnoOr(EIO);
    }
    SetExclusive = true;
    return ERROR_SUCCESS;
}

// Claims the terminal and makes it raw; Settings receives what it then uses.
DWORD PrepareTerminal(int Fd, bool MarkErrors, bool& SetExclusive, termios& Settings) {
    SetExclusive = false;
    // Every terminal answers tcgetattr (the tty core does, whatever the driver); that, not
    // isatty(), which preload libraries may answer for themselves, tells a terminal.
    if (tcgetattr(Fd, &Settings) != 0) {
        return errno == ENOTTY ? static_cast<DWORD>(ENOTTY) : ErrnoOr(EIO);
    }
    if (const DWORD Error = ClaimExclusive(Fd, SetExclusive); Error != ERROR_SUCCESS) {
        return Error;
    }
    MakeRaw(Settings, MarkErrors);
    if (tcsetattr(Fd, TCSANOW, &Settings) != 0 || tcgetattr(Fd, &Settings) != 0) {
        return ErrnoOr(EIO);
    }
    // Input that came before the open is dropped where the device can; one that cannot flush
    // works all the same, so the result is deliberately not looked at.
    (void)tcflush(Fd, TCIFLUSH);
    return ERROR_SUCCESS;
}

// The line's speed; a driver that does not answer TCGETS2 gives 0 (not known) until a
// control block sets one.
unsigned LineSpeedOf(int Fd) {
    unsigned Rate = 0;
    if (GetLineSpeed(Fd, Rate) != 0) {
        return 0;
    }
    return Rate;
}

// Gives back the exclusive flag if this handle set it, and closes the descriptor. Nothing
// is left to do when either fails: the descriptor is gone either way.
void ReleaseTerminal(int Fd, bool SetExclusive) {
    if (SetExclusive) {
        (void)ioctl(Fd, TIOCNXCL);
    }
    (void)::close(Fd);
}

std::chrono::milliseconds Milliseconds(DWORD Value) {
    return std::chrono::milliseconds(Value);
}

bool SpeedMatches(unsigned Wanted, unsigned Actual) {
    const double Difference = std::fabs(static_cast<double>(Actual) - static_cast<double>(Wanted));
    return Difference <= SpeedTolerance * static_cast<double>(Wanted);
}

} // namespace

// --- Opening and closing -------------------------------------------------------------------

// The driver's epoll set, watching the wake pipe and (for no events yet) the device.
DWORD SerialDevice::OpenDriverDescriptors(Descriptors& Fds) {
    int Wake[2] = {-1, -1};
    if (pipe2(Wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        return ErrnoOr(EMFILE);
    }
    const int Poll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event WakeEvent{.events = EPOLLIN, .data = {.fd = Wake[0]}};
    epoll_event DeviceEvent{.events = 0, .data = {.fd = Fds.Device}};
    if (Poll < 0 || epoll_ctl(Poll, EPOLL_CTL_ADD, Wake[0], &WakeEvent) != 0 ||
        epoll_ctl(Poll, EPOLL_CTL_ADD, Fds.Device, &DeviceEvent) != 0) {
        const DWORD Error = ErrnoOr(EMFILE);
        // Descriptors of a failed open: freed even when close reports an error.
        if (Poll >= 0) {
            (void)::close(Poll);
        }
        (void)::close(Wake[0]);
        (void)::close(Wake[1]);
        return Error;
    }
    Fds.Poll = Poll;
    Fds.WakeRead = Wake[0];
    Fds.WakeWrite = Wake[1];
    return ERROR_SUCCESS;
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& Path, DWORD Access,
                                                 bool Overlapped, DWORD& Error) {
    const int Fd = ::open(Path.c_str(), OpenFlags(Access));
    if (Fd < 0) {
        Error = OpenError(errno);
        return nullptr;
    }
    Descriptors Fds{.Device = Fd};
    termios Settings{};
    Error = PrepareTerminal(Fd, !IsPseudoTerminal(Fd), Fds.SetExclusive, Settings);
    if (Error == ERROR_SUCCESS) {
        Error = OpenDriverDescriptors(Fds);
    }
    if (Error != ERROR_SUCCESS) {
        ReleaseTerminal(Fd, Fds.SetExclusive);
        return nullptr;
    }
    const bool Readable = (Access & GENERIC_READ) != 0 || (Access & GENERIC_WRITE) == 0;
    std::shared_ptr<SerialDevice> Device(new SerialDevice(Fds, Overlapped, Readable));
    Device->FDcb = DcbFromTermios(Settings, LineSpeedOf(Fd));
    Device->FDecoder.SetOptions(Device->DecodingFor(Device->FDcb));
    Device->AttachLineSource(MakeDeviceLineSource(Fd));
    Device->FSelf = Device;
    Device->FDriver = std::thread([Raw = Device.get()] { Raw->DriverLoop(); });
    return Device;
}

SerialDevice::SerialDevice(const Descriptors& Fds, bool Overlapped, bool Readable)
    : FFd(Fds.Device), FPoll(Fds.Poll), FWakeRead(Fds.WakeRead), FWakeWrite(Fds.WakeWrite),
      FSetExclusive(Fds.SetExclusive), FOverlapped(Overlapped), FReadable(Readable),
      FPseudoTerminal(IsPseudoTerminal(FFd)), FInput(DefaultInputQueue) {}

// How received bytes are decoded under Dcb. Only a device with a line marks its errors.
DecodeOptions SerialDevice::DecodingFor(const DCB& Dcb) const {
    return {.Marked = !FPseudoTerminal,
            .StripNulls = Dcb.fNull != 0,
            .ReplaceErrors = Dcb.fErrorChar != 0 && Dcb.fParity != 0,
            .ErrorChar = Dcb.ErrorChar,
            .EventChar = Dcb.EvtChar};
}

SerialDevice::~SerialDevice() {
    Close();
}

void SerialDevice::Close() {
    {
        const std::lock_guard Guard(FLock);
        if (FClosed) {
            return;
        }
        FClosed = true;
        FStopping = true;
        AbortAll(ERROR_OPERATION_ABORTED);
        Wake();
    }
    if (FDriver.joinable()) {
        FDriver.join();
    }
    StopWatcher();
    ReleaseTerminal(FFd, FSetExclusive);
    // Closing a descriptor frees it even when close reports an error; there is nothing to
    // retry.
    (void)::close(FPoll);
    (void)::close(FWakeRead);
    (void)::close(FWakeWrite);
}

// --- Starting and finishing operations -----------------------------------------------------

BOOL SerialDevice::Refuse(DWORD Error) const {
    SetLastError(Error);
    return FALSE;
}

// Runs Do under FLock if the handle is still open.
template <class Body> BOOL SerialDevice::WhileOpen(Body Do) {
    const std::lock_guard Guard(FLock);
    if (FClosed) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    Do();
    Rearm();
    return TRUE;
}

BOOL SerialDevice::RefuseIfUnusable() const {
    if (FClosed) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    if (FFailure != ERROR_SUCCESS) {
        return Refuse(FFailure);
    }
    return TRUE;
}

SerialDevice::Operation SerialDevice::Begin(OVERLAPPED* Overlapped) {
    Operation Op;
    Op.Issuer = std::this_thread::get_id();
    Op.Record = Overlapped;
    Op.Event = Overlapped->hEvent;
    if (Op.Event != nullptr) {
        ResetEvent(Op.Event);
    }
    Overlapped->InternalHigh = 0;
    StatusOf(*Overlapped).store(StatusPending, std::memory_order_release);
    return Op;
}

void SerialDevice::Finish(Operation& Op, DWORD Error) {
    if (HoldsBack(Op, Error)) {
        return;
    }
    if (Op.Watched) {
        SetEventSource(Op.Event, {});
    }
    Op.Record->InternalHigh = Op.Done;
    StatusOf(*Op.Record).store(Error, std::memory_order_release);
    if (Op.Event != nullptr) {
        SetEvent(Op.Event);
    }
    FCompleted.notify_all();
}

// A thread that waits on the event of the pending Op may take its input in itself.
void SerialDevice::Watch(Operation& Op) {
    if (FOverlapped && Op.Event != nullptr) {
        Op.Watched = SetEventSource(Op.Event, FSelf);
    }
}

BOOL SerialDevice::FinishNow(Operation& Op, DWORD Error, DWORD* Done) {
    if (Done != nullptr) {
        *Done = Op.Done;
    }
    Finish(Op, Error);
    return Error == ERROR_SUCCESS ? TRUE : Refuse(Error);
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
        if (FClosed) {
            return Refuse(ERROR_INVALID_HANDLE);
        }
        const BOOL Started = StartOperation(Begin(Overlapped), Done);
        if (Started == FALSE && GetLastError() != ERROR_IO_PENDING) {
            StatusOf(*Overlapped).store(GetLastError(), std::memory_order_release);
        }
        Rearm();
        return Started;
    }
    OVERLAPPED Local{};
    std::unique_lock Lock(FLock);
    if (FClosed) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    const BOOL Started = StartOperation(Begin(&Local), nullptr);
    Rearm();
    if (Started == FALSE && GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    FCompleted.wait(Lock, [&] { return LoadStatus(Local) != StatusPending; });
    if (Done != nullptr) {
        *Done = static_cast<DWORD>(Local.InternalHigh);
    }
    const auto Status = static_cast<DWORD>(LoadStatus(Local));
    return Status == ERROR_SUCCESS ? TRUE : Refuse(Status);
}

void SerialDevice::AwaitCompletion(const OVERLAPPED* Overlapped) {
    std::unique_lock Lock(FLock);
    if (LoadStatus(*Overlapped) == StatusPending) {
        FAwaitedUnwatched = true; // nobody watches the device for this waiter
        Rearm();
    }
    FCompleted.wait(Lock, [&] { return LoadStatus(*Overlapped) != StatusPending; });
}

void SerialDevice::AbortTransfers(DWORD Error) {
    for (auto& Op : FReads) {
        Finish(Op, Error);
    }
    FReads.clear();
    for (auto& Op : FWrites) {
        Finish(Op, Error);
    }
    FWrites.clear();
}

void SerialDevice::AbortAll(DWORD Error) {
    AbortTransfers(Error);
    if (FWait) {
        Finish(*FWait, Error);
        FWait.reset();
    }
    if (FHeld) {
        Finish(*FHeld, Error);
        FHeld.reset();
    }
}

// The device is gone (hang-up, unplugged): everything pending fails, later operations too,
// and the driver thread stops polling the descriptor.
void SerialDevice::Fail(DWORD Error) {
    if (FFailure != ERROR_SUCCESS) {
        return;
    }
    FFailure = Error;
    Wake(); // the driver thread ends
    for (auto& Op : FReads) {
        Finish(Op, Op.Done > 0 ? ERROR_SUCCESS : Error); // bytes already delivered stay valid
    }
    FReads.clear();
    for (auto& Op : FWrites) {
        Finish(Op, Error);
    }
    FWrites.clear();
    if (FWait) {
        Finish(*FWait, Error);
        FWait.reset();
    }
}

// As on Windows, only the operations the calling thread started end; another thread's wait,
// read or write goes on.
BOOL SerialDevice::Cancel() {
    const auto Caller = std::this_thread::get_id();
    const auto Mine = [&](Operation& Op) {
        if (Op.Issuer != Caller) {
            return false;
        }
        Finish(Op, ERROR_OPERATION_ABORTED);
        return true;
    };
    return WhileOpen([&] {
        std::erase_if(FReads, Mine);
        std::erase_if(FWrites, Mine);
        if (FWait && Mine(*FWait)) {
            FWait.reset();
        }
        if (FHold && FHeld) {
            FHold->Cancelled();
        }
    });
}

// --- Reading -------------------------------------------------------------------------------

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

BOOL SerialDevice::StartRead(Operation Op, DWORD* Done) {
    if (!FReadable) {
        return Refuse(EBADF);
    }
    if (FAborting) {
        return Refuse(ERROR_OPERATION_ABORTED);
    }
    // What the kernel holds is taken in first where the queue cannot satisfy the read, so it
    // starts where a driver that took every byte at once would be. A read the queue satisfies
    // leaves the kernel alone: its bytes come after the queued ones anyway.
    if (FInput.Size() < Op.Count) {
        CatchUp();
    }
    if (FReads.empty()) {
        Op.Done = static_cast<DWORD>(FInput.Take(Op.ReadTo, Op.Count));
    }
    if (Op.Done > 0) {
        UpdateDtrHandshake();
    }
    const COMMTIMEOUTS& T = FTimeouts;
    const bool ReturnQueued = T.ReadIntervalTimeout == MAXDWORD &&
                              T.ReadTotalTimeoutMultiplier == 0 && T.ReadTotalTimeoutConstant == 0;
    const bool WaitForAny = T.ReadIntervalTimeout == MAXDWORD &&
                            T.ReadTotalTimeoutMultiplier == MAXDWORD &&
                            T.ReadTotalTimeoutConstant > 0 && T.ReadTotalTimeoutConstant < MAXDWORD;
    if (FFailure != ERROR_SUCCESS && Op.Done == 0) {
        return Refuse(FFailure); // what arrived before the device went away is still read
    }
    if (Op.Done == Op.Count || ReturnQueued || (WaitForAny && Op.Done > 0) ||
        FFailure != ERROR_SUCCESS) {
        return FinishNow(Op, ERROR_SUCCESS, Done);
    }
    const auto Now = Clock::now();
    Op.LastByte = Now;
    if (WaitForAny) {
        Op.ReturnOnAny = true;
        Op.Deadline = Now + Milliseconds(T.ReadTotalTimeoutConstant);
    } else {
        const auto Total = static_cast<std::uint64_t>(T.ReadTotalTimeoutMultiplier) * Op.Count +
                           T.ReadTotalTimeoutConstant;
        if (Total > 0) {
            Op.Deadline = Now + std::chrono::milliseconds(Total);
        }
        if (T.ReadIntervalTimeout > 0 && T.ReadIntervalTimeout < MAXDWORD) {
            Op.Interval = Milliseconds(T.ReadIntervalTimeout);
        }
    }
    FReads.push_back(Op);
    Watch(FReads.back());
    if (Op.Deadline || Op.Interval.count() > 0) {
        Wake(); // the driver's poll time-out changes
    }
    return Refuse(ERROR_IO_PENDING);
}

void SerialDevice::FeedReads() {
    const auto Now = Clock::now();
    while (!FReads.empty() && !FInput.Empty()) {
        Operation& Op = FReads.front();
        Op.Done += static_cast<DWORD>(FInput.Take(Op.ReadTo + Op.Done, Op.Count - Op.Done));
        Op.LastByte = Now;
        if (Op.Done < Op.Count && !Op.ReturnOnAny) {
            break;
        }
        Finish(Op, ERROR_SUCCESS);
        FReads.pop_front();
    }
}

void SerialDevice::ExpireReads(Clock::time_point Now) {
    for (auto Each = FReads.begin(); Each != FReads.end();) {
        const bool TotalOver = Each->Deadline && Now >= *Each->Deadline;
        const bool IntervalOver =
            Each->Interval.count() > 0 && Each->Done > 0 && Now - Each->LastByte >= Each->Interval;
        if (TotalOver || IntervalOver) {
            Finish(*Each, ERROR_SUCCESS);
            Each = FReads.erase(Each);
        } else {
            ++Each;
        }
    }
}

// --- Writing -------------------------------------------------------------------------------

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

BOOL SerialDevice::StartWrite(Operation Op, DWORD* Done) {
    if (FFailure != ERROR_SUCCESS) {
        return Refuse(FFailure);
    }
    if (FAborting) {
        return Refuse(ERROR_OPERATION_ABORTED);
    }
    if (Op.Count == 0) {
        return FinishNow(Op, ERROR_SUCCESS, Done);
    }
    const bool Held = FDcb.fOutxDsrFlow != 0 && LineLow(LineDsr);
    if (FWrites.empty() && !Held) {
        const ssize_t Written = ::write(FFd, Op.WriteFrom, Op.Count);
        if (Written < 0 && errno != EAGAIN && errno != EINTR) {
            // The device failed, whatever it calls the failure (EIO, or ENODEV, EPIPE, ENXIO
            // from a driver whose hardware went away): as Transmit and a failed read do, the
            // handle becomes unusable, so every later call reports it instead of retrying.
            Fail(ErrnoOr(EIO));
            return Refuse(FFailure);
        }
        Op.Done = Written > 0 ? static_cast<DWORD>(Written) : 0;
        FTxPending = FTxPending || Written > 0;
        if (Op.Done == Op.Count) {
            CheckTxEmpty(Clock::now());
            if (FTxCheck) {
                Wake(); // the driver re-checks the output queue in time for EV_TXEMPTY
            }
            return FinishNow(Op, ERROR_SUCCESS, Done);
        }
    }
    FWrites.push_back(Op); // the driver waits for room in the output queue
    return Refuse(ERROR_IO_PENDING);
}

void SerialDevice::Transmit() {
    while (!FWrites.empty()) {
        Operation& Op = FWrites.front();
        const ssize_t Written = ::write(FFd, Op.WriteFrom + Op.Done, Op.Count - Op.Done);
        if (Written < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return;
            }
            Fail(ErrnoOr(EIO));
            return;
        }
        FTxPending = true;
        Op.Done += static_cast<DWORD>(Written);
        if (Op.Done < Op.Count) {
            return;
        }
        Finish(Op, ERROR_SUCCESS);
        FWrites.pop_front();
    }
}

// EV_TXEMPTY follows once the written bytes have left the kernel's output queue. The queue is
// re-checked at about the time the line needs to send what is left; nothing is timed while
// no written bytes are on their way.
void SerialDevice::CheckTxEmpty(Clock::time_point Now) {
    if (!FTxPending || !FWrites.empty()) {
        return;
    }
    int Queued = 0;
    // A driver that cannot tell what its output queue holds counts as empty.
    if (ioctl(FFd, TIOCOUTQ, &Queued) != 0 || Queued <= 0) {
        FTxPending = false;
        FTxCheck.reset();
        Raise(EV_TXEMPTY);
        return;
    }
    const double BitsPerSecond = FDcb.BaudRate > 0 ? FDcb.BaudRate : 9600.0;
    const auto Drain = std::chrono::milliseconds(
        static_cast<long>(std::ceil(Queued * 10.0 * 1000.0 / BitsPerSecond)));
    FTxCheck = Now + std::clamp(Drain, std::chrono::milliseconds(1), std::chrono::milliseconds(50));
}

// --- Events and errors ---------------------------------------------------------------------

BOOL SerialDevice::WaitEvent(DWORD* Events, OVERLAPPED* Overlapped) {
    if (Events == nullptr) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    // Bytes the kernel holds need not be read first: a wait that stays pending is watched for
    // input at once (by the driver thread or the waiting thread), which completes it with
    // EV_RXCHAR as a driver still working through its device's buffer would.
    return Run(nullptr, Overlapped, [&](Operation Op, DWORD* Done) {
        Op.EventsOut = Events;
        return StartWait(Op, Done);
    });
}

// A wait reports what is latched, and the input queue's state when it starts: bytes still
// queued as EV_RXCHAR (also when they came before the mask was set or were reported already
// but not read), a queue 80% full as EV_RX80FULL. Otherwise a queue that filled while nobody
// waited, before SetCommMask say, would never be reported at all: a full queue takes nothing
// more in, so no byte ever arrives to raise the event. As Windows' driver does, a reader that
// leaves bytes unread is told of them again at each wait.
BOOL SerialDevice::StartWait(Operation Op, DWORD* Done) {
    if (FWait || FMask == 0) {
        return Refuse(ERROR_INVALID_PARAMETER);
    }
    if (const DWORD Ready = (FEvents | QueuedInputEvents()) & FMask; Ready != 0) {
        FEvents &= ~Ready;
        *Op.EventsOut = Ready;
        return FinishNow(Op, ERROR_SUCCESS, Done);
    }
    if (FFailure != ERROR_SUCCESS) {
        return Refuse(FFailure);
    }
    FWait = Op;
    Watch(*FWait);
    if (FHold && FWait->Watched) {
        SetEventSource(FWait->Event, FHold); // it passes what it is asked on to this device
    }
    return Refuse(ERROR_IO_PENDING);
}

DWORD SerialDevice::QueuedInputEvents() const {
    DWORD Events = FInput.Empty() ? 0 : EV_RXCHAR;
    if (EightyPercentFull()) {
        Events |= EV_RX80FULL;
    }
    return Events;
}

bool SerialDevice::EightyPercentFull() const {
    return FInput.Size() * 5 >= FInput.Capacity() * 4;
}

void SerialDevice::Raise(DWORD Events) {
    FEvents |= Events & FMask;
    if (FWait && FEvents != 0) {
        *FWait->EventsOut = FEvents;
        FEvents = 0;
        Finish(*FWait, ERROR_SUCCESS);
        FWait.reset();
    }
}

void SerialDevice::RecordErrors(DWORD Errors) {
    if (Errors == 0) {
        return;
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
    if (FDcb.fAbortOnError != 0 && !FAborting) {
        FAborting = true; // until ClearCommError
        AbortTransfers(ERROR_OPERATION_ABORTED);
    }
}

// A new mask ends a pending wait at once, with no events, and forgets latched ones. Bytes
// still queued are no latched event: the next wait reports them (StartWait).
BOOL SerialDevice::SetMask(DWORD Mask) {
    return WhileOpen([&] {
        CatchUp(); // the events of what came before the new mask go with the old one's
        FMask = Mask;
        FEvents = 0;
        if (FWait) {
            *FWait->EventsOut = 0;
            Finish(*FWait, ERROR_SUCCESS);
            FWait.reset();
        }
    });
}

BOOL SerialDevice::GetMask(DWORD& Mask) {
    return WhileOpen([&] { Mask = FMask; });
}

BOOL SerialDevice::ClearErrors(DWORD* Errors, COMSTAT* Stat) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if (!InputWatched() && !DeliveredAllLately()) {
        CatchUp();
    }
    if (Errors != nullptr) {
        *Errors = FErrors;
    }
    FErrors = 0;
    FAborting = false;
    Rearm();
    if (Stat != nullptr) {
        *Stat = COMSTAT{};
        Stat->cbInQue = static_cast<DWORD>(FInput.Size());
        DWORD Pending = 0;
        for (const auto& Op : FWrites) {
            Pending += Op.Count - Op.Done;
        }
        int Queued = 0;
        // A driver that cannot tell what its output queue holds counts as holding nothing.
        // Nothing written since the queue was last seen empty: it still is, no need to ask.
        if (FTxPending && ioctl(FFd, TIOCOUTQ, &Queued) == 0 && Queued > 0) {
            Pending += static_cast<DWORD>(Queued);
        }
        Stat->cbOutQue = Pending;
        Stat->fCtsHold = (FDcb.fOutxCtsFlow != 0 && LineLow(LineCts)) ? 1 : 0;
        Stat->fDsrHold = (FDcb.fOutxDsrFlow != 0 && LineLow(LineDsr)) ? 1 : 0;
    }
    return TRUE;
}

// --- Configuration -------------------------------------------------------------------------

BOOL SerialDevice::Setup(DWORD InQueue) {
    const std::lock_guard Guard(FLock);
    if (RefuseIfUnusable() == FALSE) {
        return FALSE;
    }
    if (InQueue > 0) {
        CatchUp();
        FInput.SetCapacity(InQueue);
        Rearm();
    }
    return TRUE;
}

BOOL SerialDevice::SetTimeouts(const COMMTIMEOUTS& Timeouts) {
    return WhileOpen([&] { FTimeouts = Timeouts; });
}

BOOL SerialDevice::GetTimeouts(COMMTIMEOUTS& Timeouts) {
    return WhileOpen([&] { Timeouts = FTimeouts; });
}

BOOL SerialDevice::GetState(DCB& Dcb) {
    return WhileOpen([&] { Dcb = FDcb; });
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
    CatchUp(); // bytes received so far are taken in under the settings they came with
    termios Old{};
    unsigned OldRate = 0;
    if (tcgetattr(FFd, &Old) != 0 || GetLineSpeed(FFd, OldRate) != 0) {
        return Refuse(ErrnoOr(EIO));
    }
    // What the caller learns is why the new settings failed; restoring the old ones is all
    // that can be done, so whether that worked too is deliberately not looked at.
    auto Undo = [&](DWORD Error) {
        (void)tcsetattr(FFd, TCSANOW, &Old);
        (void)SetLineSpeed(FFd, OldRate);
        (void)ApplyControlLines(FDcb);
        return Refuse(Error);
    };
    termios Wanted = Old;
    ApplyDcb(Dcb, Wanted, !FPseudoTerminal);
    termios Actual{};
    if (tcsetattr(FFd, TCSANOW, &Wanted) != 0 || tcgetattr(FFd, &Actual) != 0) {
        return Undo(ErrnoOr(EIO));
    }
    if (!SameLineSettings(Wanted, Actual, !FPseudoTerminal)) {
        return Undo(ERROR_INVALID_PARAMETER);
    }
    if (const int Error = SetLineSpeed(FFd, Dcb.BaudRate); Error != 0) {
        return Undo(static_cast<DWORD>(Error));
    }
    unsigned Rate = 0;
    if (GetLineSpeed(FFd, Rate) != 0 || !SpeedMatches(Dcb.BaudRate, Rate)) {
        return Undo(ERROR_INVALID_PARAMETER);
    }
    if (!ApplyControlLines(Dcb)) {
        return Undo(ErrnoOr(EIO));
    }
    FDcb = Dcb;
    FDcb.DCBlength = sizeof(DCB);
    FDecoder.SetOptions(DecodingFor(Dcb));
    FDtrHeld = false;
    Rearm();
    return TRUE;
}

} // namespace kivo::posix
