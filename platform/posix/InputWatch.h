#pragma once
// Who takes a serial device's received bytes in, and when a count may leave the kernel alone.
//
// Bytes reach the input queue in one of three ways:
//
// 1. The watching thread. A thread that waits on the event of a pending overlapped
//    WaitCommEvent or ReadFile polls the device beside its own wake-up (Events.cpp) and takes
//    what comes in on its own thread (BeginThreadWatch to EndThreadWatch). While a thread
//    watches, the driver thread does not watch for input at all: both would wake for each byte.
// 2. The driver thread, only while no thread watches, and only when
//    - the line needs its bytes taken as they come (ReceivesOnArrival): a plain UART drops in
//      the kernel what nobody takes, DTR handshaking needs the queue's level and DSR
//      sensitivity the state of DSR when each byte came; or
//    - somebody awaits a pending operation without watching the device: a pending operation
//      whose event names no input source, or a caller that waits in GetOverlappedResult, only
//      asks for the result, waits with no time at all or on several devices at once, went to
//      sleep on the event before the operation started, found the queue full when it began to
//      wait, or has no descriptor for its own wake-up. Such a caller hands the input to the
//      driver until nothing is pending (HandToDriverUntilIdle).
// 3. The caller. Otherwise the bytes stay in the kernel, which holds the sender back once its
//    own buffer is full (a pseudo-terminal; RTS or XOFF handshaking), and each call that looks
//    at the input first catches up with what the kernel holds: a read the queue cannot
//    satisfy, a new mask, queue size or control block, and a count (below).
//
// A count of the queue (ClearCommError) needs no catching up (QueueCountIsCurrent) while 1 or
// 2 watch, as then the queue holds every byte as it comes, and for CountLatency after reported
// input was taken with all the kernel held (the read got less than it asked for): what came
// since then arrives with the next receive event, as a real port's driver counts bytes only
// once its receive buffer is handed over (a USB adapter's every few milliseconds). So the
// handler of a receive event counts what the event brought without reading the device.
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
// This class keeps the record and applies the rules; the device tells it what is pending.
// Every call runs under the device's lock.

#include "platform/posix/DeviceState.h"
#include "platform/posix/Operation.h"

#include <chrono>

namespace kivo::posix {

class InputWatch {
public:
    explicit InputWatch(const DeviceState& State) : FState(State) {}

    // A thread waiting on a pending operation's event polls the device itself (rule 1).
    void BeginThreadWatch() { ++FWatchingThreads; }
    void EndThreadWatch() { --FWatchingThreads; }
    [[nodiscard]] bool ThreadWatches() const { return FWatchingThreads > 0; }

    // Somebody awaits what is pending without watching the device: the driver takes input in
    // until nothing is pending (rule 2). EndDriverDutyWhenIdle runs each time the driver's
    // epoll set is brought in line, with whether anything is pending, before DriverMustReceive.
    void HandToDriverUntilIdle() { FHandedToDriver = true; }
    void EndDriverDutyWhenIdle(bool Pending);

    // Whether the driver watches for input: no thread does, the queue has Room, and the line
    // needs it, or somebody awaits a pending operation without watching (UnwatchedPending: a
    // pending operation whose event names no input source).
    [[nodiscard]] bool DriverMustReceive(bool UnwatchedPending, bool Room) const;

    // Reported input was taken with all the kernel held.
    void NoteKernelEmptied() { FKernelEmptiedAt = SerialClock::now(); }
    // Whether the queue's count may be given without reading the device first.
    [[nodiscard]] bool QueueCountIsCurrent(bool DriverWatches) const;

private:
    static constexpr std::chrono::microseconds CountLatency{1000};

    [[nodiscard]] bool ReceivesOnArrival() const;

    const DeviceState& FState;
    int FWatchingThreads = 0;
    bool FHandedToDriver = false;             // see HandToDriverUntilIdle
    SerialClock::time_point FKernelEmptiedAt; // see QueueCountIsCurrent
};

} // namespace kivo::posix
