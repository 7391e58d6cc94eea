// The driver thread of a serial device and the watcher of its modem lines.

#include "platform/posix/SerialDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

namespace kivo::posix {

// --- Modem lines ---------------------------------------------------------------------------

// DTR and RTS as the block asks; a device without modem lines has nothing to set. False,
// with errno set, when the device refused.
bool SerialDevice::ApplyControlLines(const DCB& Dcb) {
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

// DTR handshaking: DTR drops while the input queue has less than XoffLim bytes of room and
// rises again once no more than XonLim bytes are queued.
void SerialDevice::UpdateDtrHandshake() {
    if (!FHasLines || FDcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        return;
    }
    if (!FDtrHeld && FInput.Room() < FDcb.XoffLim) {
        FDtrHeld = FSource->SetLines(0, LineDtr);
    } else if (FDtrHeld && FInput.Size() <= FDcb.XonLim) {
        FDtrHeld = !FSource->SetLines(LineDtr, 0);
    }
}

bool SerialDevice::LineLow(int Line) const {
    return FHasLines && (FLines & Line) == 0;
}

void SerialDevice::AttachLineSource(std::shared_ptr<LineSource> Source) {
    StopWatcher();
    {
        const std::lock_guard Guard(FLock);
        FSource = std::move(Source);
        int Lines = 0;
        FHasLines = FSource->GetLines(Lines);
        FLines = FHasLines ? Lines : 0;
        FHasCounters = FSource->GetCounters(FCounters);
        Rearm();
    }
    StartWatcher();
}

void SerialDevice::StartWatcher() {
    const std::lock_guard Guard(FLock);
    if (FHasLines && !FClosed) {
        FWatcher = std::thread([this, Source = FSource] { WatchLines(Source); });
    }
}

void SerialDevice::StopWatcher() {
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

void SerialDevice::WatchLines(const std::shared_ptr<LineSource>& Source) {
    while (Source->WaitForChange()) {
        const std::lock_guard Guard(FLock);
        UpdateLines();
    }
}

void SerialDevice::UpdateLines() {
    int Lines = 0;
    if (FClosed || !FSource->GetLines(Lines)) {
        return;
    }
    const int Changed = Lines ^ FLines;
    FLines = Lines;
    DWORD Events = 0;
    Events |= (Changed & LineCts) != 0 ? EV_CTS : 0;
    Events |= (Changed & LineDsr) != 0 ? EV_DSR : 0;
    Events |= (Changed & LineDcd) != 0 ? EV_RLSD : 0;
    Events |= (Changed & LineRing) != 0 ? EV_RING : 0;
    Raise(Events);
    Rearm(); // output held for DSR may go on
}

// --- The driver thread ---------------------------------------------------------------------

void SerialDevice::Wake() const {
    const char Byte = 0;
    // A full pipe (EAGAIN) means the driver is woken already; the pipe lives as long as the
    // device, so nothing else can fail.
    [[maybe_unused]] const auto Ignored = ::write(FWakeWrite, &Byte, 1);
}

void SerialDevice::DrainWakeups() const {
    char Drain[64];
    // Until the pipe is empty (EAGAIN); a wake-up left over would only cost one more round.
    while (::read(FWakeRead, Drain, sizeof Drain) > 0) {
    }
}

// What the driver waits for on the device: input while it has room for it and somebody
// needs it (and no waiting thread takes it in itself), room in the output queue while writes are
// pending.
std::uint32_t SerialDevice::PollEvents() const {
    std::uint32_t Events = 0;
    // While a waiting thread watches, it takes the input in, also where bytes must be taken
    // as they come: were the driver to watch as well, both would wake for each byte, and the
    // driver would find the device ready again and again until the watcher had read it.
    const bool InputWanted = FWatchers == 0 && (ReceivesEagerly() || AwaitedUnwatched());
    if (FReadable && InputWanted && ReadLimit() > 0) {
        Events |= EPOLLIN;
    }
    const bool Held = FDcb.fOutxDsrFlow != 0 && LineLow(LineDsr);
    if (!FWrites.empty() && !Held) {
        Events |= EPOLLOUT;
    }
    return Events;
}

// Whether a pending wait or read may be awaited by a thread that does not watch the device.
// One whose event names this device is left to the thread that waits on that event, which
// watches the device while it waits (Events.cpp): arming the driver meanwhile would only make
// a byte that comes before that thread sleeps wake the driver too. Any other way of learning
// of the completion (waiting for it here, asking for its result, a wait that times out at once
// or that watches another device) marks the device awaited unwatched until nothing is pending.
bool SerialDevice::AwaitedUnwatched() const {
    const auto Unwatched = [](const Operation& Op) { return !Op.Watched; };
    return FAwaitedUnwatched || (FWait && Unwatched(*FWait)) ||
           std::any_of(FReads.begin(), FReads.end(), Unwatched);
}

// Whether bytes must be taken from the kernel as they come. A pseudo-terminal, and a line
// the kernel throttles by RTS or XOFF, hold the sender back when the kernel's buffer is full,
// so nothing is lost by leaving bytes there until somebody waits or reads. A plain line would
// drop them in the kernel; DTR handshaking needs the input queue's level, and DSR
// sensitivity the state of DSR when each byte came.
bool SerialDevice::ReceivesEagerly() const {
    const bool KernelThrottles = FDcb.fRtsControl == RTS_CONTROL_HANDSHAKE || FDcb.fInX != 0;
    const bool NeedsArrival =
        FDcb.fDtrControl == DTR_CONTROL_HANDSHAKE || FDcb.fDsrSensitivity != 0;
    return NeedsArrival || !(KernelThrottles || FPseudoTerminal);
}

// Brings the driver's epoll set in line with what it must wait for. Changing the set takes
// effect in a wait already under way, so a caller never needs to wake the driver for it. A
// failed device is not polled again: its driver thread ends.
void SerialDevice::Rearm() {
    if (FClosed || FFailure != ERROR_SUCCESS) {
        return;
    }
    if (!FWait && FReads.empty()) {
        FAwaitedUnwatched = false;
    }
    const std::uint32_t Wanted = PollEvents();
    if (Wanted != FArmed) {
        epoll_event Event{.events = Wanted, .data = {.fd = FFd}};
        if (epoll_ctl(FPoll, EPOLL_CTL_MOD, FFd, &Event) != 0) {
            Fail(static_cast<DWORD>(errno)); // the driver can no longer wait for the device
            return;
        }
        FArmed = Wanted;
    }
}

// How many bytes the next read may take: no more than the input queue has room for. The
// rest stays in the kernel, whose buffer and flow control hold it (a plain line that overruns
// meanwhile counts it, and the counters report it); nothing read is ever thrown away. A
// marked byte takes three bytes in the kernel's stream but one in the queue.
std::size_t SerialDevice::ReadLimit() const {
    return std::min(ReadChunk, FInput.Room());
}

int SerialDevice::PollTimeout(Clock::time_point Now) const {
    std::optional<Clock::time_point> Next = FTxCheck;
    auto Consider = [&](Clock::time_point At) {
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
    if (!Next) {
        return -1;
    }
    if (*Next <= Now) {
        return 0;
    }
    const auto Wait = std::chrono::ceil<std::chrono::milliseconds>(*Next - Now);
    return static_cast<int>(std::min<long long>(Wait.count(), 1000LL * 60 * 60));
}

// Runs until the device is closed or has failed; after a failure nothing can be pending
// (every later operation completes at once), so there is nothing left to drive.
void SerialDevice::DriverLoop() {
    std::unique_lock Lock(FLock);
    while (!FStopping && FFailure == ERROR_SUCCESS) {
        Rearm();
        const int Timeout = PollTimeout(Clock::now());
        Lock.unlock();
        epoll_event Ready[2]{};
        const int Count = ::epoll_wait(FPoll, Ready, 2, Timeout);
        if (Count < 0 && errno != EINTR) {
            const auto Error = static_cast<DWORD>(errno);
            Lock.lock();
            Fail(Error);
            continue;
        }
        std::uint32_t Seen = 0;
        for (int Each = 0; Each < Count; ++Each) {
            if (Ready[Each].data.fd == FWakeRead) {
                DrainWakeups();
            } else {
                Seen = Ready[Each].events;
            }
        }
        Lock.lock();
        constexpr std::uint32_t HangUp = EPOLLHUP | EPOLLERR;
        // Input that came while a waiting thread began to watch is left to that thread, which
        // polls the device too: taking it here would only add a wake-up on the way.
        const bool Input = (Seen & (EPOLLIN | HangUp)) != 0 && FWatchers == 0;
        if (FFailure == ERROR_SUCCESS && Input && PullReadyInput() == 0 && (Seen & HangUp) != 0) {
            Fail(EIO); // a hang-up with no data left to read
        }
        if ((Seen & EPOLLOUT) != 0) {
            Transmit();
        }
        const auto Now = Clock::now();
        ExpireReads(Now);
        if (!FTxCheck || Now >= *FTxCheck) {
            CheckTxEmpty(Now);
        }
    }
}

// One read from the device into the input queue; returns how many bytes came. Runs under
// FLock, so the bytes of concurrent pulls (the driver's, a caller's) keep their order.
std::size_t SerialDevice::PullInput() {
    const std::size_t Limit = ReadLimit();
    if (!FReadable || FFailure != ERROR_SUCCESS || Limit == 0) {
        return 0;
    }
    const ssize_t Got = ::read(FFd, FRaw.data(), Limit);
    if (Got > 0) {
        Receive(FRaw.data(), static_cast<std::size_t>(Got));
        return static_cast<std::size_t>(Got);
    }
    if (Got == 0) {
        Fail(EIO); // end of file on a terminal: it hung up
    } else if (errno != EAGAIN && errno != EINTR) {
        Fail(static_cast<DWORD>(errno));
    }
    return 0;
}

// Input the device reported ready: takes it in and notes when it came with all there was (a
// read that got less than it asked for found the kernel empty). Returns how many bytes came.
std::size_t SerialDevice::PullReadyInput() {
    const std::size_t Asked = ReadLimit();
    const std::size_t Got = PullInput();
    if (Got > 0 && Got < Asked) {
        FDeliveredAll = Clock::now();
    }
    return Got;
}

// --- Input taken in by a waiting thread ----------------------------------------------------

int SerialDevice::BeginWatch() {
    const std::lock_guard Guard(FLock);
    const bool Pending = FWait || !FReads.empty();
    if (FClosed || FFailure != ERROR_SUCCESS || !FReadable || !Pending) {
        return -1;
    }
    if (ReadLimit() == 0) {
        // A full queue: nothing to watch for now. The thread sleeps until its event comes,
        // so once a reader makes room, the driver takes in what the kernel holds.
        FAwaitedUnwatched = true;
        return -1;
    }
    ++FWatchers;
    Rearm();
    return FFd;
}

void SerialDevice::EndWatch() {
    const std::lock_guard Guard(FLock);
    --FWatchers;
    Rearm(); // the driver watches again where input is still wanted
}

void SerialDevice::AwaitWithoutWatching() {
    const std::lock_guard Guard(FLock);
    FAwaitedUnwatched = FWait || !FReads.empty();
    Rearm();
}

void SerialDevice::TakeInput(bool HungUp) {
    const std::lock_guard Guard(FLock);
    if (FClosed || FFailure != ERROR_SUCCESS) {
        return;
    }
    if (PullReadyInput() == 0 && HungUp) {
        Fail(EIO); // a hang-up with no data left to read
    }
    Rearm();
}

// Takes in what the kernel holds, as a driver that received every byte at once would have.
// Bounded, so that a sender faster than this loop cannot keep a caller here.
// A read that came back with less than it asked for found the kernel empty: no second read
// is made just to hear that again.
void SerialDevice::CatchUp() {
    const std::size_t Bound = std::max(FInput.Capacity(), ReadChunk);
    for (std::size_t Pulled = 0; Pulled < Bound;) {
        const std::size_t Asked = ReadLimit();
        const std::size_t Got = PullInput();
        if (Got == 0 || Got < Asked) {
            return;
        }
        Pulled += Got;
    }
}

// Whether input the device reported took in all the kernel held less than CountLatency ago.
// A count of the input queue then need not ask the kernel: what it has received since comes
// with the next receive event (the driver or a waiting thread is watching again by then, or a
// later count asks), as a real port's driver counts bytes only once its receive buffer is
// handed over, a USB adapter's every few milliseconds. So the handler of a receive event
// counts what the event brought without an empty read of the device.
bool SerialDevice::DeliveredAllLately() const {
    return Clock::now() - FDeliveredAll < CountLatency;
}

// While the driver thread or a waiting thread watches for input, each byte is taken in as it
// comes, so the input queue already holds what a driver that took every byte at once would;
// only otherwise does the kernel have to be asked.
bool SerialDevice::InputWatched() const {
    return (FArmed & EPOLLIN) != 0 || FWatchers > 0;
}

void SerialDevice::Receive(const char* Raw, std::size_t Size) {
    std::string_view Data(Raw, Size);
    DecodeResult Marks;
    if (FDecoder.PassesUnchanged(Raw, Size)) {
        // The common case: plain bytes go to the queue as they are.
        Marks.EventCharSeen =
            (FMask & EV_RXFLAG) != 0 && std::memchr(Raw, FDcb.EvtChar, Size) != nullptr;
    } else {
        FDecoded.clear();
        Marks = FDecoder.Decode(Raw, Size, FDecoded);
        Data = FDecoded;
    }
    CheckCounters(Marks);
    if (Data.empty() || (FDcb.fDsrSensitivity != 0 && LineLow(LineDsr))) {
        return; // nothing received, or ignored while DSR is low
    }
    const bool WasBelow80 = !EightyPercentFull();
    DWORD Events = EV_RXCHAR | (Marks.EventCharSeen ? EV_RXFLAG : 0);
    // Reads take no more than the queue has room for, so this overflows only on a mark the
    // kernel never sends ("\377" then a plain byte gives two bytes for one): reported, not
    // silent.
    if (FInput.Push(Data.data(), Data.size()) < Data.size()) {
        RecordErrors(CE_RXOVER);
    }
    if (WasBelow80 && EightyPercentFull()) {
        Events |= EV_RX80FULL;
    }
    FeedReads();
    UpdateDtrHandshake();
    Raise(Events);
}

// Line errors: from the device's counters where it keeps them, else from the marks in the
// input (which cannot tell a parity error from a framing error).
void SerialDevice::CheckCounters(const DecodeResult& Marks) {
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
        RecordErrors(Errors);
        return;
    }
    DWORD Errors = Marks.BreakMarked ? CE_BREAK : 0;
    if (Marks.ErrorMarked) {
        Errors |= FDcb.Parity != NOPARITY ? CE_RXPARITY : CE_FRAME;
    }
    RecordErrors(Errors);
}

} // namespace kivo::posix
