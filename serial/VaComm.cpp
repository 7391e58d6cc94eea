#include "serial/VaComm.h"

#include "platform/OpenFailure.h"
#include "serial/VaCommPrivate.h"
#include "serial/VaConst.h"
#include "serial/VaUtils.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <limits>
#include <optional>
#include <thread>

namespace {

// The rate each TVaBaudrate member names (brUser has none).
constexpr std::array<DWORD, 16> NamedRates{0,     110,    300,    600,   1200,  2400,
                                           4800,  9600,   14400,  19200, 38400, 56000,
                                           57600, 115200, 128000, 256000};

// The public table of event bits agrees with the platform's.
static_assert(VaEventBit(ceBreak) == EV_BREAK && VaEventBit(ceCts) == EV_CTS &&
              VaEventBit(ceDsr) == EV_DSR && VaEventBit(ceError) == EV_ERR &&
              VaEventBit(ceRing) == EV_RING && VaEventBit(ceRlsd) == EV_RLSD &&
              VaEventBit(ceRxChar) == EV_RXCHAR && VaEventBit(ceTxEmpty) == EV_TXEMPTY &&
              VaEventBit(ceRxFlag) == EV_RXFLAG && VaEventBit(cePErr) == EV_PERR &&
              VaEventBit(ceRx80Full) == EV_RX80FULL && VaEventBit(ceEvent1) == EV_EVENT1 &&
              VaEventBit(ceEvent2) == EV_EVENT2);

// The public line error bits agree with the platform's.
static_assert(leRxOver == CE_RXOVER && leOverrun == CE_OVERRUN && leRxParity == CE_RXPARITY &&
              leFrame == CE_FRAME && leBreak == CE_BREAK);

// The system's text for Code without its trailing line break, blanks and full stop.
std::string SystemErrorText(DWORD Code) {
    std::array<char, 256> Buffer{};
    // Inserts are ignored: a system text with placeholders must not read arguments that
    // are not there.
    const DWORD Length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, Code, 0, Buffer.data(), static_cast<DWORD>(Buffer.size()), nullptr);
    std::string Text(Buffer.data(), std::min<std::size_t>(Length, Buffer.size() - 1));
    while (!Text.empty()) {
        const auto Last = static_cast<unsigned char>(Text.back());
        if (Last > ' ' && Last != '.' && Last != 127) {
            break;
        }
        Text.pop_back();
    }
    return Text;
}

std::string FilledWithCode(DWORD Code, const char* Fmt) {
    return Format(Fmt, {Code, SystemErrorText(Code)});
}

// The cause an open's error code stands for, as this system's decoder reads it.
TVaCommErrorCode OpenErrorCode(DWORD Code) {
    switch (kivo::DecodeSystemError(Code)) {
    case std::errc::no_such_device:
        return TVaCommErrorCode::ecNotFound;
    case std::errc::device_or_resource_busy:
        return TVaCommErrorCode::ecBusy;
    case std::errc::permission_denied:
        return TVaCommErrorCode::ecDenied;
    case std::errc::inappropriate_io_control_operation:
        return TVaCommErrorCode::ecNotSerial;
    default:
        return TVaCommErrorCode::ecOther;
    }
}

// What CreateFileA is given for the port named Name: a COM name ("COM12", any case) in the
// device namespace ("\\.\COM12"), where Windows finds every COM port (without the prefix it
// finds only COM1 to COM9, as DOS did); the POSIX layer reads both forms alike. Any other
// name, one with the prefix among them, as it is.
std::string OpenPath(const std::string& Name) {
    const bool ComName = Name.size() > 3 &&
                         std::equal(Name.begin(), Name.begin() + 3, "COM",
                                    [](char A, char B) {
                                        return std::toupper(static_cast<unsigned char>(A)) == B;
                                    }) &&
                         std::all_of(Name.begin() + 3, Name.end(), [](char C) {
                             return std::isdigit(static_cast<unsigned char>(C)) != 0;
                         });
    return ComName ? R"(\\.\)" + Name : Name;
}

// The line settings of a control block in plain words: "9600 baud, 8 data bits, no parity,
// 1 stop bit".
std::string LineSettingsText(const DCB& Dcb) {
    constexpr std::array<const char*, 5> Parities{"no parity", "odd parity", "even parity",
                                                  "mark parity", "space parity"};
    constexpr std::array<const char*, 3> StopBits{"1 stop bit", "1.5 stop bits", "2 stop bits"};
    return std::to_string(Dcb.BaudRate) + " baud, " + std::to_string(Dcb.ByteSize) +
           " data bits, " + Parities.at(std::min<std::size_t>(Dcb.Parity, Parities.size() - 1)) +
           ", " + StopBits.at(std::min<std::size_t>(Dcb.StopBits, StopBits.size() - 1));
}

} // namespace

// ---- Construction and destruction ----

TVaCustomComm::TVaCustomComm(TComponent* AOwner)
    : TVaComponent(AOwner), FPrivate(std::make_unique<TVaCommPrivate>()) {
    FBuffers = std::make_unique<TVaBuffers>();
    FBuffers->SetOnChange([this](TObject* Sender) { BuffersChanged(Sender); });
    FEventChars = std::make_unique<TVaEventChars>();
    FEventChars->SetOnChange([this](TObject* Sender) { EventCharsChanged(Sender); });
    FFlowControl = std::make_unique<TVaFlowControl>();
    FFlowControl->SetOnChange([this](TObject* Sender) { FlowControlChanged(Sender); });
}

TVaCustomComm::~TVaCustomComm() {
    Destroying();
    try {
        Close(); // fires no OnClose while destroying
    } catch (...) {
        ApplicationHandleException(this);
    }
    FBuffers.reset();
    FEventChars.reset();
    FFlowControl.reset();
    JoinStoppedThreads(true);
    // A dispatch still running (a handler destroys the component) sees this and stops.
    FPrivate->FLife->Destroyed = true;
}

void TVaCustomComm::Loaded() {
    TVaComponent::Loaded();
    if (!IsDesigning() && FAutoOpen) {
        Open();
    }
}

// ---- Error reporting ----

void TVaCustomComm::RaiseCommError(const char* Fmt, TVaCommErrorCode Code) {
    throw EVaCommError(FilledWithCode(GetLastError(), Fmt), Code);
}

void TVaCustomComm::RaiseCommError(const std::string& Prefix, const char* Fmt,
                                   TVaCommErrorCode Code) {
    throw EVaCommError(Prefix + FilledWithCode(GetLastError(), Fmt), Code);
}

void TVaCustomComm::CheckCommResult(bool Success, const char* Fmt, TVaCommErrorCode Code) {
    if (!Success) {
        RaiseCommError(Fmt, Code);
    }
}

void TVaCustomComm::CheckAccepted(bool Success, const char* Fmt, const std::string& What) const {
    if (!Success) {
        throw EVaCommError(FilledWithCode(GetLastError(), Fmt) + ": " + GetPortName() +
                               " refused " + What + ".",
                           TVaCommErrorCode::ecRefused);
    }
}

void* TVaCustomComm::DeviceHandle() const {
    return FPrivate->FHandle;
}

void TVaCustomComm::SetDeviceHandle(void* Handle) {
    FPrivate->FHandle = Handle;
}

bool TVaCustomComm::Active() const {
    return FPrivate->FHandle != INVALID_HANDLE_VALUE;
}

void TVaCustomComm::LockWrite() {
    FPrivate->FWriteLock.Enter();
}

void TVaCustomComm::UnlockWrite() {
    FPrivate->FWriteLock.Leave();
}

void TVaCustomComm::LockRead() {
    FPrivate->FReadLock.Enter();
}

void TVaCustomComm::UnlockRead() {
    FPrivate->FReadLock.Leave();
}

void TVaCustomComm::CheckClosed() const {
    if (Active()) {
        RaiseCommError(VaConst::sPortOpen);
    }
}

void TVaCustomComm::CheckOpenFor(const char* Action) const {
    if (!Active()) {
        throw EVaCommError(Format(VaConst::sPortNotOpen, {std::string(Action), GetPortName()}));
    }
}

// ---- Lifecycle ----

std::string TVaCustomComm::GetPortName() const {
    return Format(FDeviceName, {FPortNum});
}

std::string TVaCustomComm::DeviceNameForPath(std::string_view Path) {
    std::string Name;
    Name.reserve(Path.size());
    for (const char C : Path) {
        Name += C;
        if (C == '%') {
            Name += '%';
        }
    }
    return Name;
}

void TVaCustomComm::SetDevicePath(std::string_view Path) {
    SetDeviceName(DeviceNameForPath(Path));
}

void TVaCustomComm::OpenDevice() {
    const std::string Path = GetPortName();
    auto& P = *FPrivate;
    P.FHandle = CreateFileA(OpenPath(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (P.FHandle != INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD Code = GetLastError();
    const TVaCommErrorCode Cause = OpenErrorCode(Code);
    // The path is data: it goes into the message as it is, never read as a format.
    if (Code == ERROR_FILE_NOT_FOUND) {
        throw EVaCommError(Format(VaConst::sDeviceNotFound, {Path}), Cause);
    }
    std::string Message = Format(VaConst::sCantOpenDevice, {Path});
    if (Cause == TVaCommErrorCode::ecNotSerial) {
        throw EVaCommError(Message + ": not a serial port.", Cause);
    }
    throw EVaCommError(Message + FilledWithCode(Code, VaConst::sErrorDetail), Cause);
}

void TVaCustomComm::CloseDevice() {
    // No worker uses the device any more (JoinStoppedThreads): it closes at once, also
    // when a handler closes the port.
    auto& P = *FPrivate;
    if (P.FHandle == INVALID_HANDLE_VALUE) {
        return;
    }
    CloseHandle(P.FHandle);
    P.FHandle = INVALID_HANDLE_VALUE;
    P.FUnreportedErrors = 0;
    ++P.FLife->Closes; // a dispatch of this open stops at its next step
}

void TVaCustomComm::ApplyBuffers() {
    if (!Active()) {
        return;
    }
    // A size no driver would take is refused here, before anything is allocated for it
    // (the write thread's queue is sized from WriteSize right after).
    const auto Fits = [](std::int32_t Size) { return Size >= 0 && Size <= VaMaxQueueSize; };
    const std::string Queues = "an input queue of " + std::to_string(FBuffers->ReadSize()) +
                               " bytes and an output queue of " +
                               std::to_string(FBuffers->WriteSize()) + " bytes";
    if (!Fits(FBuffers->ReadSize()) || !Fits(FBuffers->WriteSize())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        CheckAccepted(false, VaConst::sInitBuffers, Queues);
    }
    CheckAccepted(SetupComm(FPrivate->FHandle, static_cast<DWORD>(FBuffers->ReadSize()),
                            static_cast<DWORD>(FBuffers->WriteSize())) != 0,
                  VaConst::sInitBuffers, Queues);
}

void TVaCustomComm::ApplyTimeouts() {
    COMMTIMEOUTS Timeouts{};
    Timeouts.ReadIntervalTimeout = MAXDWORD; // a read returns at once with what is queued
    CheckAccepted(SetCommTimeouts(FPrivate->FHandle, &Timeouts) != 0, VaConst::sSetTimeouts,
                  "reads that return at once");
}

void TVaCustomComm::ApplyEventMask() {
    FEventMask = 0;
    for (std::size_t Member = 0; Member < VaEventBits.size(); ++Member) {
        if (FMonitorEvents.Contains(static_cast<TVaCommEvent>(Member))) {
            FEventMask |= VaEventBits.at(Member);
        }
    }
    if (!FDirectWrite) {
        FEventMask &= ~EV_TXEMPTY; // the write thread reports a drained queue itself
    }
    if (Active()) {
        CheckAccepted(SetCommMask(FPrivate->FHandle, FEventMask) != 0, VaConst::sSetEventMask,
                      "the line events to watch");
    }
}

void TVaCustomComm::StartThreads() {
    auto& P = *FPrivate;
    if (FEventMask != 0) {
        P.FEventThread = std::make_unique<TVaCommEventThread>(this, P.FHandle);
        P.FEventThread->SetPriority(FEventPriority);
        P.FEventThread->Resume();
    }
    if (!FDirectWrite) {
        P.FWriteThread = std::make_unique<TVaCommWriteThread>(this, P.FHandle);
        P.FWriteThread->SetPriority(FWritePriority);
        P.FWriteThread->Resume();
    }
}

void TVaCustomComm::StopThreads() {
    // A thread blocked in a hand-over is released and its queued call discarded, so no
    // handler runs for it once the port is closing.
    auto& P = *FPrivate;
    if (P.FEventThread) {
        P.FEventThread->Stop();
        P.FEventThread->CancelSynchronize();
        P.FStoppedThreads.push_back(std::move(P.FEventThread));
    }
    if (P.FWriteThread) {
        P.FWriteThread->Stop();
        P.FWriteThread->CancelSynchronize();
        P.FStoppedThreads.push_back(std::move(P.FWriteThread));
    }
}

void TVaCustomComm::JoinStoppedThreads(bool Destroying) {
    // Each thread completes its own pending operation before it ends (its destructor waits
    // for that, and for the thread). One whose handed-over call runs now has nothing pending
    // and ends once that call returns.
    auto& Stopped = FPrivate->FStoppedThreads;
    std::erase_if(Stopped, [](const auto& Thread) { return !Thread->InHandOver(); });
    if (!Destroying) {
        return;
    }
    for (auto& Thread : Stopped) {
        Thread->SetFreeOnTerminate(true);
        (void)Thread.release(); // NOLINT(bugprone-unused-return-value): frees itself
    }
    Stopped.clear();
}

void TVaCustomComm::ConfigureDevice() {
    FPrivate->FFailureReported.store(false);
    ApplyDCB();
    ApplyBuffers();
    ApplyTimeouts();
    ApplyEventMask();
    StartThreads();
    DoOpen();
}

void TVaCustomComm::Open() {
    CheckClosed();
    OpenDevice();
    try {
        if (Active()) {
            ConfigureDevice();
        }
    } catch (...) {
        StopThreads();
        JoinStoppedThreads();
        CloseDevice();
        throw;
    }
}

void TVaCustomComm::Close() {
    if (!Active()) {
        return;
    }
    {
        const TSectionLock Lock(FPrivate->FReadLock);
        StopThreads();
    }
    JoinStoppedThreads();
    CloseDevice();
    DoClose();
}

void TVaCustomComm::DoOpen() {
    if (OnOpen) {
        try {
            OnOpen(this);
        } catch (...) {
            ApplicationHandleException(this);
        }
    }
}

void TVaCustomComm::DoClose() {
    if (!IsDestroying() && OnClose) {
        OnClose(this);
    }
}

bool TVaCustomComm::ClaimFailureReport() {
    return !FPrivate->FFailureReported.exchange(true);
}

// ---- Device control block ----

DCB MakeDCB(const TVaCustomComm& Comm) {
    const TVaFlowControl& Flow = *Comm.FlowControl();
    const TVaEventChars& Chars = *Comm.EventChars();
    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    Dcb.BaudRate = Comm.Baudrate() == brUser
                       ? static_cast<DWORD>(Comm.UserBaudrate())
                       : NamedRates.at(static_cast<std::size_t>(Comm.Baudrate()));
    Dcb.fBinary = 1;
    Dcb.fParity = Comm.ParityCheck() ? 1 : 0;
    Dcb.fOutxCtsFlow = Flow.OutCtsFlow() ? 1 : 0;
    Dcb.fOutxDsrFlow = Flow.OutDsrFlow() ? 1 : 0;
    Dcb.fDtrControl = static_cast<DWORD>(Flow.ControlDtr());
    Dcb.fDsrSensitivity = Flow.DsrSensitivity() ? 1 : 0;
    Dcb.fTXContinueOnXoff = Flow.TxContinueOnXoff() ? 1 : 0;
    Dcb.fOutX = Flow.XonXoffOut() ? 1 : 0;
    Dcb.fInX = Flow.XonXoffIn() ? 1 : 0;
    Dcb.fErrorChar = Comm.Options().Contains(coErrorChar) ? 1 : 0;
    Dcb.fNull = Comm.Options().Contains(coNullStrip) ? 1 : 0;
    Dcb.fRtsControl = static_cast<DWORD>(Flow.ControlRts());
    Dcb.fAbortOnError = 0;
    // A quarter of the input queue (a logical shift of the 32-bit value), at most 1024.
    const auto Quarter =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(Comm.Buffers()->ReadSize()) >> 2);
    const auto Limit = static_cast<WORD>(MinInt(Quarter, 1024));
    Dcb.XonLim = Limit;
    Dcb.XoffLim = Limit;
    Dcb.ByteSize = static_cast<BYTE>(4 + static_cast<int>(Comm.Databits()));
    Dcb.Parity = static_cast<BYTE>(Comm.Parity());
    Dcb.StopBits = static_cast<BYTE>(Comm.Stopbits());
    Dcb.XonChar = static_cast<char>(Chars.XonChar());
    Dcb.XoffChar = static_cast<char>(Chars.XoffChar());
    Dcb.ErrorChar = static_cast<char>(Chars.ErrorChar());
    Dcb.EofChar = static_cast<char>(Chars.EofChar());
    Dcb.EvtChar = static_cast<char>(Chars.EventChar());
    return Dcb;
}

void TVaCustomComm::ApplyDCB() {
    if (!Active() || !FUpdateDCB) {
        return;
    }
    DCB Dcb = MakeDCB(*this);
    CheckAccepted(SetCommState(FPrivate->FHandle, &Dcb) != 0, VaConst::sWriteDcb,
                  "the line settings (" + LineSettingsText(Dcb) + ") or their flow control");
}

// ---- Settings ----

void TVaCustomComm::SetBaudrate(TVaBaudrate Value) {
    if (FBaudrate == Value) {
        return;
    }
    FBaudrate = Value;
    if (Value != brUser) {
        FUserBaudrate = 0;
    }
    ApplyDCB();
}

void TVaCustomComm::SetUserBaudrate(std::int32_t Value) {
    if (FUserBaudrate == Value) {
        return;
    }
    FUserBaudrate = Value;
    FBaudrate = brUser;
    ApplyDCB();
}

void TVaCustomComm::SetParity(TVaParity Value) {
    StoreAndApply(FParity, Value);
}

void TVaCustomComm::SetParityCheck(bool Value) {
    StoreAndApply(FParityCheck, Value);
}

void TVaCustomComm::SetDatabits(TVaDatabits Value) {
    StoreAndApply(FDatabits, Value);
}

void TVaCustomComm::SetStopbits(TVaStopbits Value) {
    StoreAndApply(FStopbits, Value);
}

void TVaCustomComm::SetOptions(TVaCommOptions Value) {
    StoreAndApply(FOptions, Value);
}

void TVaCustomComm::SetEventChars(const TVaEventChars* Value) {
    FEventChars->Assign(Value);
}

void TVaCustomComm::SetFlowControl(const TVaFlowControl* Value) {
    FFlowControl->Assign(Value);
}

void TVaCustomComm::SetBuffers(const TVaBuffers* Value) {
    CheckClosed();
    FBuffers->Assign(Value);
}

void TVaCustomComm::SetPortNum(TVaPortInt Value) {
    CheckClosed();
    FPortNum = Value;
}

void TVaCustomComm::SetDeviceName(const std::string& Value) {
    CheckClosed();
    FDeviceName = Value;
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents Value) {
    CheckClosed();
    FMonitorEvents = Value;
}

void TVaCustomComm::SetDirectWrite(bool Value) {
    CheckClosed();
    FDirectWrite = Value;
}

void TVaCustomComm::SetUpdateDCB(bool Value) {
    CheckClosed();
    FUpdateDCB = Value;
}

void TVaCustomComm::SetEventPriority(TThreadPriority Value) {
    if (FEventPriority == Value) {
        return;
    }
    FEventPriority = Value;
    if (FPrivate->FEventThread) {
        FPrivate->FEventThread->SetPriority(Value);
    }
}

void TVaCustomComm::SetWritePriority(TThreadPriority Value) {
    if (FWritePriority == Value) {
        return;
    }
    FWritePriority = Value;
    if (FPrivate->FWriteThread) {
        FPrivate->FWriteThread->SetPriority(Value);
    }
}

void TVaCustomComm::BuffersChanged(TObject* /*Sender*/) {
    CheckClosed();
}

void TVaCustomComm::EventCharsChanged(TObject* /*Sender*/) {
    ApplyDCB();
}

void TVaCustomComm::FlowControlChanged(TObject* /*Sender*/) {
    ApplyDCB();
}

// ---- Overlapped completion ----

namespace {

// Completes an overlapped operation of the calling thread on Device: waits up to Timeout
// for Event, otherwise cancels it and waits until the system is done with it. Returns the
// bytes transferred.
DWORD CompleteIo(HANDLE Device, OVERLAPPED& Overlapped, TVaWaitEvent& Event, DWORD Timeout) {
    DWORD Transferred = 0;
    if (Event.WaitFor(Timeout) == wrSignaled &&
        (GetOverlappedResult(Device, &Overlapped, &Transferred, FALSE) != 0 ||
         GetLastError() != ERROR_IO_INCOMPLETE)) {
        return Transferred;
    }
    // Not done in time: cancel, and wait until the system has finished with the record
    // and the buffer. What was transferred before the cancel still counts.
    Event.ResetEvent();
    CancelIo(Device);
    Transferred = 0;
    GetOverlappedResult(Device, &Overlapped, &Transferred, TRUE);
    return Transferred;
}

// Runs one overlapped transfer of the calling thread on Device, signalled through Event:
// Start begins it (ReadFile or WriteFile with the byte count and record it is given), and one
// that is pending is completed within Timeout (CompleteIo). Returns the bytes transferred;
// nothing, with the system's error left for GetLastError, when the transfer could not start.
template <typename TStart>
std::optional<DWORD> Transfer(HANDLE Device, TVaWaitEvent& Event, DWORD Timeout,
                              const TStart& Start) {
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = Event.Handle();
    Event.ResetEvent();
    DWORD Done = 0;
    if (Start(&Done, &Overlapped) != 0) {
        return Done;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return std::nullopt;
    }
    return CompleteIo(Device, Overlapped, Event, Timeout);
}

} // namespace

// ---- Write path ----

void TVaCustomComm::CheckBlock(const void* Buffer, int Count) {
    if (Count < 0 || (Count > 0 && Buffer == nullptr)) {
        throw EVaCommError(Format(VaConst::sInvalidBlock, {Count}));
    }
}

int TVaCustomComm::WriteBuf(const void* Buffer, int Count) {
    if (!Active()) {
        return 0;
    }
    CheckBlock(Buffer, Count);
    if (!FDirectWrite) {
        if (FPrivate->FWriteThread->Enqueue(Buffer, Count)) {
            return Count;
        }
        RaiseCommError(VaConst::sOutputBufferFull, TVaCommErrorCode::ecOverrun);
    }
    return WriteDirect(Buffer, Count);
}

int TVaCustomComm::WriteDirect(const void* Buffer, int Count) {
    auto& P = *FPrivate;
    const TSectionLock Lock(P.FWriteLock);
    const std::optional<DWORD> Written =
        Transfer(P.FHandle, P.FWriteIoEvent, static_cast<DWORD>(FBuffers->ReadTimeout()),
                 [&](DWORD* Done, OVERLAPPED* Record) {
                     return WriteFile(P.FHandle, Buffer, static_cast<DWORD>(Count), Done, Record);
                 });
    if (!Written) {
        RaiseCommError(VaConst::sWriteError, TVaCommErrorCode::ecLost);
    }
    return static_cast<int>(*Written);
}

bool TVaCustomComm::WriteText(const std::string& Text) {
    if (Text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    const auto Length = static_cast<int>(Text.size());
    return WriteBuf(Text.data(), Length) == Length;
}

// ---- Read path and line status ----

void TVaCustomComm::GetCommStatus(TVaCommStatus& Status) {
    auto& P = *FPrivate;
    const TSectionLock Lock(P.FReadLock);
    Status = TVaCommStatus{};
    if (!Active()) {
        return;
    }
    DWORD Errors = 0;
    COMSTAT Stat{};
    CheckCommResult(ClearCommError(P.FHandle, &Errors, &Stat) != 0, VaConst::sRetrieveStatistics,
                    TVaCommErrorCode::ecLost);
    P.FUnreportedErrors |= Errors;
    Status.Errors = Errors;
    Status.Stat.fCtsHold = Stat.fCtsHold != 0;
    Status.Stat.fDsrHold = Stat.fDsrHold != 0;
    Status.Stat.fRlsdHold = Stat.fRlsdHold != 0;
    Status.Stat.fXoffHold = Stat.fXoffHold != 0;
    Status.Stat.fXoffSent = Stat.fXoffSent != 0;
    Status.Stat.fEof = Stat.fEof != 0;
    Status.Stat.fTxim = Stat.fTxim != 0;
    Status.Stat.cbInQue = Stat.cbInQue;
    Status.Stat.cbOutQue = Stat.cbOutQue;
}

int TVaCustomComm::InQueueCount() {
    if (!Active()) {
        return 0;
    }
    TVaCommStatus Status;
    GetCommStatus(Status);
    return static_cast<int>(Status.Stat.cbInQue);
}

int TVaCustomComm::ReadBuf(void* Buffer, int Count) {
    if (!Active()) {
        return 0;
    }
    CheckBlock(Buffer, Count);
    if (Count == 0) {
        return 0;
    }
    auto& P = *FPrivate;
    const TSectionLock Lock(P.FReadLock);
    const std::optional<DWORD> Read =
        Transfer(P.FHandle, P.FIoEvent, static_cast<DWORD>(FBuffers->ReadTimeout()),
                 [&](DWORD* Done, OVERLAPPED* Record) {
                     return ReadFile(P.FHandle, Buffer, static_cast<DWORD>(Count), Done, Record);
                 });
    if (!Read) {
        RaiseCommError(VaConst::sReadError, TVaCommErrorCode::ecLost);
    }
    return static_cast<int>(*Read);
}

std::string TVaCustomComm::ReadText() {
    const int Count = InQueueCount();
    if (Count <= 0) {
        return {};
    }
    std::string Text(static_cast<std::size_t>(Count), '\0');
    const int Read = ReadBuf(Text.data(), Count);
    Text.resize(static_cast<std::size_t>(std::max(Read, 0)));
    return Text;
}

// ---- Line control ----

void TVaCustomComm::EscapeLine(unsigned Function, const char* Action, const std::string& What) {
    CheckOpenFor(Action);
    CheckAccepted(EscapeCommFunction(FPrivate->FHandle, Function) != 0, VaConst::sSetLine, What);
}

// Refused here, on every system, rather than left to the driver: Windows' own driver refuses
// a handshaking line, other drivers set it and the handshake sets it back.
void TVaCustomComm::SetDTR(bool Value) {
    if (Active() && FFlowControl->ControlDtr() == dtrHandshake) {
        throw EVaCommError(Format(VaConst::sLineHandshake, {std::string("DTR"), GetPortName()}),
                           TVaCommErrorCode::ecRefused);
    }
    EscapeLine(Value ? SETDTR : CLRDTR, Value ? "raise DTR" : "drop DTR",
               Value ? "to raise DTR" : "to drop DTR");
}

void TVaCustomComm::SetRTS(bool Value) {
    const TVaControlRts Rts = FFlowControl->ControlRts();
    if (Active() && (Rts == rtsHandshake || Rts == rtsToggle)) {
        throw EVaCommError(Format(VaConst::sLineHandshake, {std::string("RTS"), GetPortName()}),
                           TVaCommErrorCode::ecRefused);
    }
    EscapeLine(Value ? SETRTS : CLRRTS, Value ? "raise RTS" : "drop RTS",
               Value ? "to raise RTS" : "to drop RTS");
}

void TVaCustomComm::SetBreak(bool Value) {
    EscapeLine(Value ? SETBREAK : CLRBREAK, Value ? "send a break" : "end a break",
               Value ? "to hold the line in break" : "to release the line from break");
}

TVaModemStatus TVaCustomComm::ModemStatus() {
    CheckOpenFor("read the modem lines");
    DWORD Bits = 0;
    CheckAccepted(GetCommModemStatus(FPrivate->FHandle, &Bits) != 0, VaConst::sModemStatus,
                  "to tell its modem lines");
    TVaModemStatus Status;
    const std::array<std::pair<DWORD, TVaModemLine>, 4> Lines{
        {{MS_CTS_ON, msCTS}, {MS_DSR_ON, msDSR}, {MS_RING_ON, msRing}, {MS_RLSD_ON, msRLSD}}};
    for (const auto& [Bit, Line] : Lines) {
        if ((Bits & Bit) != 0) {
            Status.Include(Line);
        }
    }
    return Status;
}

// Under the read lock, so that no read takes part of what goes.
void TVaCustomComm::PurgeInput() {
    CheckOpenFor("discard the input");
    const TSectionLock Lock(FPrivate->FReadLock);
    CheckAccepted(PurgeComm(FPrivate->FHandle, PURGE_RXCLEAR) != 0, VaConst::sPurge,
                  "to discard its input");
}

// The write thread's queue goes under the write lock together with the driver's, so no block
// of it is written after the purge; a direct write in progress ends with what it sent.
void TVaCustomComm::PurgeOutput() {
    CheckOpenFor("discard the output");
    auto& P = *FPrivate;
    constexpr DWORD Output = PURGE_TXABORT | PURGE_TXCLEAR;
    const bool Purged =
        P.FWriteThread ? P.FWriteThread->Discard(Output) : PurgeComm(P.FHandle, Output) != 0;
    CheckAccepted(Purged, VaConst::sPurge, "to discard its output");
}

unsigned TVaCustomComm::OutputLeft() {
    const auto& P = *FPrivate;
    TVaCommStatus Status;
    try {
        GetCommStatus(Status);
    } catch (const EVaCommError& Error) {
        throw EVaCommError(Error.Message() + ": " + GetPortName() + ".", Error.Code());
    }
    const int Queued = P.FWriteThread ? P.FWriteThread->Queued() : 0;
    return static_cast<unsigned>(Queued) + static_cast<unsigned>(Status.Stat.cbOutQue);
}

// FlushFileBuffers waits without bound while flow control holds output back, so it is called
// only once the queues are seen empty, under the write lock that every write starts under:
// then it returns as soon as the line has sent its last byte. Until then the queues are asked
// again at about the time the line needs to send what they hold.
void TVaCustomComm::Drain() {
    CheckOpenFor("drain the output");
    const auto Bound = static_cast<DWORD>(std::max(FBuffers->WriteTimeout(), 0));
    const DWORD Rate = std::max<DWORD>(MakeDCB(*this).BaudRate, 1);
    TVaTimeout Timeout;
    StartTimeout(Timeout, Bound);
    for (;;) {
        unsigned Left = 0;
        {
            const TSectionLock Lock(FPrivate->FWriteLock);
            Left = OutputLeft();
            if (Left == 0) {
                CheckAccepted(FlushFileBuffers(FPrivate->FHandle) != 0, VaConst::sDrain,
                              "to send its output");
                return;
            }
        }
        const DWORD Now = GetTickCount();
        if (TimeoutExpired(Timeout, Now)) {
            throw EVaCommError(
                Format(VaConst::sDrainTimeout, {GetPortName(), static_cast<std::int64_t>(Bound),
                                                static_cast<std::int64_t>(Left)}));
        }
        const auto Sending = static_cast<DWORD>(std::uint64_t{Left} * 10 * 1000 / Rate);
        const DWORD Pause = std::clamp<DWORD>(Sending, 1, 50);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(Pause, TimeoutRemaining(Timeout, Now) + 1)));
    }
}

// ---- Dispatch ----

// Each handler is called through a copy: it may destroy the component that holds it.

bool TVaCustomComm::CheckErrors() {
    // Reports what this query finds together with what earlier queries found unreported.
    DWORD Errors = 0;
    {
        auto& P = *FPrivate;
        const TSectionLock Lock(P.FReadLock);
        TVaCommStatus Status;
        GetCommStatus(Status);
        Errors = P.FUnreportedErrors;
        P.FUnreportedErrors = 0;
    }
    const bool HasErrors = Errors != 0;
    const TVaCommErrorEvent Handler = OnError;
    if (HasErrors && Handler) {
        try {
            Handler(this, static_cast<int>(Errors));
        } catch (...) {
            ApplicationHandleException(this);
        }
    }
    return HasErrors;
}

void TVaCustomComm::DispatchRxChar() {
    const int Count = InQueueCount();
    const TVaCommRxCharEvent Handler = OnRxChar;
    if (Count > 0 && Handler) {
        Handler(this, Count);
    }
}

void TVaCustomComm::DispatchEvents(std::uint32_t Mask) {
    // Once a handler has closed the port or destroyed the component, no further handler of
    // the set runs and the component is not touched again.
    const std::shared_ptr<const TVaCommLife> Life = FPrivate->FLife;
    const std::uint64_t Closes = Life->Closes;
    if (TestFlags(Mask, EV_ERR)) {
        CheckErrors();
        if (Life->Ended(Closes)) {
            return;
        }
    }
    // The plain notifications, in their fixed order.
    const std::array<std::pair<DWORD, TNotifyEvent TVaCustomComm::*>, 11> Notifications{{
        {EV_RXFLAG, &TVaCustomComm::OnRxFlag},
        {EV_CTS, &TVaCustomComm::OnCts},
        {EV_DSR, &TVaCustomComm::OnDsr},
        {EV_RING, &TVaCustomComm::OnRing},
        {EV_RLSD, &TVaCustomComm::OnRlsd},
        {EV_TXEMPTY, &TVaCustomComm::OnTxEmpty},
        {EV_BREAK, &TVaCustomComm::OnBreak},
        {EV_PERR, &TVaCustomComm::OnPErr},
        {EV_RX80FULL, &TVaCustomComm::OnRx80Full},
        {EV_EVENT1, &TVaCustomComm::OnEvent1},
        {EV_EVENT2, &TVaCustomComm::OnEvent2},
    }};
    for (const auto& [Bit, Member] : Notifications) {
        const TNotifyEvent Handler = this->*Member;
        if (!TestFlags(Mask, Bit) || !Handler) {
            continue;
        }
        Handler(this);
        if (Life->Ended(Closes)) {
            return;
        }
    }
}

// ---- Published class ----

TVaComm::TVaComm(TComponent* AOwner) : TVaCustomComm(AOwner) {}

const TClassInfo& TVaComm::ClassInfo() const {
    using T = TVaComm;
    namespace N = VaTypeNames;
    static const TClassInfo Info =
        TPropertyList<T>("TVaComm", nullptr)
            .Boolean("AutoOpen", &T::AutoOpen, &T::SetAutoOpen, false)
            .Enum<TVaBaudrate>("Baudrate", &T::Baudrate, &T::SetBaudrate, N::Baudrate, br1200)
            .Enum<TVaParity>("Parity", &T::Parity, &T::SetParity, N::Parity, paNone)
            .Boolean("ParityCheck", &T::ParityCheck, &T::SetParityCheck, false)
            .Enum<TVaDatabits>("Databits", &T::Databits, &T::SetDatabits, N::Databits, db8)
            .Enum<TVaStopbits>("Stopbits", &T::Stopbits, &T::SetStopbits, N::Stopbits, sb1)
            .Object("EventChars", &T::EventChars)
            .Object("FlowControl", &T::FlowControl)
            .Set<TVaCommOptions>("Options", &T::Options, &T::SetOptions, N::CommOption,
                                 TVaCommOptions{})
            .Integer("PortNum", &T::PortNum, &T::SetPortNum, 0)
            .String("DeviceName", &T::DeviceName, &T::SetDeviceName)
            .Set<TVaCommEvents>("MonitorEvents", &T::MonitorEvents, &T::SetMonitorEvents,
                                N::CommEvent, TVaCommEvents{ceError, ceRxChar, ceTxEmpty})
            .Object("Buffers", &T::Buffers)
            .Enum<TThreadPriority>("EventPriority", &T::EventPriority, &T::SetEventPriority,
                                   N::ThreadPriority, tpNormal)
            .Enum<TThreadPriority>("WritePriority", &T::WritePriority, &T::SetWritePriority,
                                   N::ThreadPriority, tpHighest)
            .Boolean("DirectWrite", &T::DirectWrite, &T::SetDirectWrite, false)
            .Boolean("UpdateDCB", &T::UpdateDCB, &T::SetUpdateDCB, true)
            .Integer("UserBaudrate", &T::UserBaudrate, &T::SetUserBaudrate, 0)
            .Event<TNotifyEvent>("OnOpen", &T::OnOpen)
            .Event<TNotifyEvent>("OnClose", &T::OnClose)
            .Event<TNotifyEvent>("OnCts", &T::OnCts)
            .Event<TNotifyEvent>("OnDsr", &T::OnDsr)
            .Event<TNotifyEvent>("OnRlsd", &T::OnRlsd)
            .Event<TNotifyEvent>("OnRing", &T::OnRing)
            .Event<TNotifyEvent>("OnBreak", &T::OnBreak)
            .Event<TVaCommErrorEvent>("OnError", &T::OnError)
            .Event<TVaCommRxCharEvent>("OnRxChar", &T::OnRxChar)
            .Event<TVaCommRxBufEvent>("OnRxBuf", &T::OnRxBuf)
            .Event<TNotifyEvent>("OnRxFlag", &T::OnRxFlag)
            .Event<TNotifyEvent>("OnTxEmpty", &T::OnTxEmpty)
            .Event<TNotifyEvent>("OnPErr", &T::OnPErr)
            .Event<TNotifyEvent>("OnRx80Full", &T::OnRx80Full)
            .Event<TNotifyEvent>("OnEvent1", &T::OnEvent1)
            .Event<TNotifyEvent>("OnEvent2", &T::OnEvent2)
            .Build();
    return Info;
}

namespace {
// Lets the stored-form reader create the component by its class name.
// NOLINTNEXTLINE(cert-err58-cpp): noexcept; running out of memory here ends the program
[[maybe_unused]] const bool VaCommRegistered = []() noexcept {
    RegisterComponentClass<TVaComm>("TVaComm");
    return true;
}();
} // namespace
