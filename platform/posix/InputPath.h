#pragma once
// A serial device's input: the input queue, the decoder of the bytes read from the device,
// who takes those bytes in, and the events and errors they bring.
//
// Who takes received bytes in, and when a count may leave the kernel alone
// --------------------------------------------------------------------------
// Bytes reach the input queue in one of three ways:
//
// 1. The watching thread. A thread that waits on the event of a pending overlapped
//    WaitCommEvent or ReadFile polls the device beside its own wake-up (Events.cpp) and takes
//    what comes in on its own thread (BeginWatch to EndWatch). While a thread watches, the
//    driver thread does not watch for input at all: both would wake for each byte.
// 2. The driver thread, only while no thread watches, and only when
//    - the line needs its bytes taken as they come (ReceivesOnArrival): a plain UART drops in
//      the kernel what nobody takes, DTR handshaking needs the queue's level and DSR
//      sensitivity the state of DSR when each byte came; or
//    - somebody awaits a pending operation without watching the device
//      (AwaitedWithoutWatching): a caller that waits in GetOverlappedResult, only asks for
//      the result, waits with no time at all or on several devices at once, went to sleep on
//      the event before the operation started, found the queue full when it began to wait, or
//      has no descriptor for its own wake-up. Once marked, the device stays so until nothing
//      is pending.
// 3. The caller. Otherwise the bytes stay in the kernel, which holds the sender back once its
//    own buffer is full (a pseudo-terminal; RTS or XOFF handshaking), and each call that looks
//    at the input first catches up with what the kernel holds (CatchUpWithKernel): a read the
//    queue cannot satisfy, a new mask, queue size or control block, and a count (below).
//
// A count of the queue (ClearCommError) may leave the kernel alone (CountMaySkipKernel) while
// 1 or 2 watch, as then the queue holds every byte as it comes, and for CountLatency after
// reported input was taken with all the kernel held (the read got less than it asked for):
// what came since then arrives with the next receive event, as a real port's driver counts
// bytes only once its receive buffer is handed over (a USB adapter's every few milliseconds).
// So the handler of a receive event counts what the event brought without reading the device.
//
// Why these hold: every pending operation that somebody awaits has somebody taking its input,
// the awaiting thread itself (1) or, for every other way of awaiting it, the driver (2); what
// waits in the kernel meanwhile is not lost (3). And a caller sees what a driver that took
// every byte at once would show. Why this way: starting a watched operation changes nothing
// in the driver's epoll set, and a byte wakes one thread instead of two. Counted with strace
// over 2,000 one-byte events of the component: 7.8 system calls per event (23 before these
// rules, 11.2 before the count rule), no epoll_ctl, one read (the one that takes the byte),
// about 2.3 context switches.
//
// Nothing is taken from the kernel that the queue has no room for (ReadLimit): while the queue
// is full nobody watches for input, and the kernel's buffer (and the line's flow control, where
// it has any) holds what comes next until a reader makes room. Where that buffer overflows,
// the device's counters tell, and ClearCommError reports CE_OVERRUN.
//
// Every call runs under the device's lock, except the InputSource calls, which take it.

#include "platform/posix/ByteQueue.h"
#include "platform/posix/InputDecoder.h"
#include "platform/posix/InputSource.h"
#include "platform/posix/SerialCommon.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::posix {

class CommEvents;
class LineState;
class Transfers;

class InputPath final : public InputSource {
public:
    struct Parts {
        std::mutex& Lock;
        const DeviceState& State;
        DeviceControl& Device;
        Transfers& Ops;
        CommEvents& Events;
        LineState& Lines;
    };
    explicit InputPath(const Parts& P);

    // The queue.
    [[nodiscard]] const ByteQueue& Queue() const { return FQueue; }
    [[nodiscard]] std::size_t Queued() const { return FQueue.Size(); }
    std::size_t Take(char* To, std::size_t Count) { return FQueue.Take(To, Count); }
    void SetCapacity(std::size_t Capacity) { FQueue.SetCapacity(Capacity); }
    // EV_RXCHAR while bytes are queued, EV_RX80FULL while the queue is 80% full.
    [[nodiscard]] DWORD QueuedEvents() const;
    // Decodes what comes from now on as Dcb asks.
    void SetDecoding(const DCB& Dcb);

    // Who takes input in (see above). ForgetAwaitedWhenIdle runs each time the driver's
    // epoll set is brought in line, before DriverMustReceive is asked.
    [[nodiscard]] bool DriverMustReceive() const;
    [[nodiscard]] bool ThreadWatches() const { return FWatchingThreads > 0; }
    [[nodiscard]] bool CountMaySkipKernel(bool DriverWatches) const;
    void MarkAwaitedWithoutWatching() { FAwaitedWithoutWatching = true; }
    void ForgetAwaitedWhenIdle();

    // Input the device reported ready (HungUp: with a hang-up or an error): takes it in.
    void TakeReported(bool HungUp);
    // Takes in what the kernel holds, as a driver that took every byte at once would have.
    void CatchUpWithKernel();

    // InputSource, for a thread that waits on a pending operation's event; each takes the
    // device's lock.
    int BeginWatch() override;
    void EndWatch() override;
    void TakeInput(bool HungUp) override;
    void AwaitWithoutWatching() override;

private:
    static constexpr std::size_t ReadChunk = 16384; // the most one read takes from the device
    static constexpr std::chrono::microseconds CountLatency{1000};

    [[nodiscard]] bool Pending() const;
    [[nodiscard]] bool AwaitedWithoutWatching() const;
    [[nodiscard]] bool ReceivesOnArrival() const;
    [[nodiscard]] std::size_t ReadLimit() const;
    std::size_t ReadOnce();
    void Receive(const char* Raw, std::size_t Size);
    [[nodiscard]] bool EightyPercentFull() const;

    Parts F;
    ByteQueue FQueue;
    std::vector<char> FRaw = std::vector<char>(ReadChunk); // what one read from the device got
    std::string FDecoded;
    InputDecoder FDecoder;
    int FWatchingThreads = 0;
    bool FAwaitedWithoutWatching = false;     // see AwaitedWithoutWatching
    SerialClock::time_point FKernelEmptiedAt; // see CountMaySkipKernel
};

} // namespace kivo::posix
