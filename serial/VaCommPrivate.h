#pragma once
// The serial port component's insides, shared by its units and its tests and never
// installed: the device handle, the locks and events, the worker threads and the write
// thread's queue. Only this header and the component's sources reach the Win32 calls.

#include "platform/Win32Api.h"
#include "serial/VaComm.h"
#include "serial/VaObjects.h"
#include "serial/VaUtils.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The write thread's byte queue: filled at its end, drained from its start. The count can
// be read from any thread; changes happen under the component's write lock.
class TVaCommBuffer : public TObject {
public:
    explicit TVaCommBuffer(int ACapacity);
    const char* ClassName() const override { return "TVaCommBuffer"; }

    [[nodiscard]] std::uint8_t* Data() { return FData.get(); }
    [[nodiscard]] int Capacity() const { return FCapacity; }
    [[nodiscard]] int Count() const { return FCount.load(std::memory_order_acquire); }

    // Copies Count bytes behind those held when they all fit; false (nothing copied) when
    // they do not.
    [[nodiscard]] bool Append(const void* AData, int ACount);
    // Drops the first Count bytes and moves the rest to the start.
    void Consume(int ACount);

private:
    std::unique_ptr<std::uint8_t[]> FData;
    int FCapacity;
    std::atomic<int> FCount{0};
};

// Writers waiting for room in the write queue, served in the order they came: only the first
// of them may append, so a block is never overtaken by later, smaller ones that fit sooner
// (it would wait out its whole WriteTimeout while the queue drains). The line is kept under
// the component's write lock; the writers in it sleep until something changes (room made, a
// writer served or gone), which any thread may tell holding no lock of the component.
class TVaWriterLine {
public:
    // Under the write lock.
    [[nodiscard]] bool Empty() const { return FTickets.empty(); }
    [[nodiscard]] bool First(std::uint64_t Ticket) const {
        return !FTickets.empty() && FTickets.front() == Ticket;
    }
    [[nodiscard]] int Waiting() const { return static_cast<int>(FTickets.size()); }
    // Joins at the end; returns the writer's ticket.
    std::uint64_t Join();
    void Leave(std::uint64_t Ticket);

    // Any thread. Changes counts what happened so far; AwaitChange sleeps until the count
    // differs from Seen or Milliseconds have passed.
    [[nodiscard]] std::uint64_t Changes() const;
    void Changed();
    void AwaitChange(std::uint64_t Seen, std::chrono::milliseconds Timeout);

private:
    std::deque<std::uint64_t> FTickets;
    std::uint64_t FLastTicket = 0;
    mutable std::mutex FChangeLock;
    std::condition_variable FChange;
    std::uint64_t FChanges = 0;
};

// What the component's two worker threads share: the component, the open device, and the
// hand-over of calls to the user-interface thread with a count of the calls of this thread
// running there. While its call runs there a thread has no operation pending on the
// device, and once stopped it touches neither the device nor the component again: so a
// handler may close the port (the device closes at once) or destroy the component, and
// the thread frees itself when it ends.
class TVaCommThread : public TThread {
public:
    const char* ClassName() const override { return "TVaCommThread"; }

    // Asks the thread to stop and wakes it; does not wait.
    virtual void Stop() = 0;
    // True while a call handed over by this thread runs on the user-interface thread
    // (asked there only): the thread cannot end before that call returns.
    [[nodiscard]] bool InHandOver() const { return FHandOvers > 0; }

protected:
    TVaCommThread(TVaCustomComm* AComm, HANDLE ADevice);

    // Runs Call on the user-interface thread and waits for it; false when the hand-over
    // was cancelled because the component is closing.
    bool HandOver(const std::function<void()>& Call);
    // Cancels the operation of this thread pending on Overlapped and waits until the
    // system has completed it, so the record, its event and its buffer can be released.
    // The record's event must be one that only the operation's completion signals: a wait
    // that something else ends returns with the operation still pending.
    void FinishPending(OVERLAPPED& Overlapped, bool& Pending);

    [[nodiscard]] HANDLE Device() const { return FDevice; }
    [[nodiscard]] TVaCommPrivate& Inside() const { return *FComm->FPrivate; }

    TVaCustomComm* const FComm;

private:
    const HANDLE FDevice;
    int FHandOvers = 0;
};

// Watches the device for line events and hands each event set to the user-interface
// thread, where the component dispatches it to the handlers.
class TVaCommEventThread : public TVaCommThread {
public:
    TVaCommEventThread(TVaCustomComm* AComm, HANDLE ADevice);
    // Stops the thread and waits until it has ended.
    ~TVaCommEventThread() override;
    const char* ClassName() const override { return "TVaCommEventThread"; }

    void Stop() override;

protected:
    void Execute() override;

private:
    // Runs on the user-interface thread during the hand-over: dispatches Mask to Comm.
    static void HandleEvents(TVaCustomComm* Comm, DWORD Mask);
    void DeliverEvents();
    // Tells the user once per open that the device fails, through the error check.
    void ReportFailure(DWORD Error);
    // Waits for the next event set; false when none was delivered by the device.
    bool WaitForEvents(OVERLAPPED& Overlapped, bool& Pending, DWORD& Error);
    // Ends the pending wait and waits until it has completed.
    void CancelWait(OVERLAPPED& Overlapped, bool& Pending);
    // After a failed wait: sleeps on the wake-up event for Delay, which grows.
    void BackOff(DWORD& Delay);

    DWORD FMask = 0;         // the pending wait writes its events here
    TVaWaitEvent FWaitEvent; // the wake-up: a stop request, the end of a pause
    TVaWaitEvent FDoneEvent; // the pending wait's completion, and nothing else
};

// Writes what the component queues, reports a drained queue with OnTxEmpty and a refused
// write with the error check.
class TVaCommWriteThread : public TVaCommThread {
public:
    TVaCommWriteThread(TVaCustomComm* AComm, HANDLE ADevice);
    // Stops the thread and waits until it has ended.
    ~TVaCommWriteThread() override;
    const char* ClassName() const override { return "TVaCommWriteThread"; }

    // Signals the stop event; does not wait.
    void Stop() override;
    // Queues Count bytes, waiting up to Buffers.WriteTimeout for room, behind the writers
    // that waited already; false when there was none, at once for a block larger than the
    // queue. Any thread; several at once.
    [[nodiscard]] bool Enqueue(const void* Data, int Count);

    // How many writers wait for room now. Any thread.
    [[nodiscard]] int WaitingWriters() const;
    // The bytes queued and not yet written to the device. Any thread.
    [[nodiscard]] int Queued() const { return FBuffer.Count(); }
    // Discards the queue and then, with PurgeComm's Flags, what the device holds, both under
    // the write lock; a write in progress ends with what it sent. False, with the last error
    // set, when the device refused. Any thread.
    [[nodiscard]] bool Discard(DWORD Flags);

protected:
    void Execute() override;

private:
    // Appends Data under the write lock when it fits and it is Ticket's turn; false when not.
    bool TryAppend(std::uint64_t Ticket, const void* Data, int Count);
    // Waits in the line with Ticket until Data is appended or Timeout has expired.
    bool AwaitTurn(std::uint64_t Ticket, const void* Data, int Count, const TVaTimeout& Timeout);
    // Writes everything queued now; false when the stop event ended the wait.
    bool WriteQueued(OVERLAPPED& Overlapped, bool& Pending, DWORD& Delay);
    void WriteDone(DWORD Written);
    void ReportError();
    // Run on the user-interface thread through the hand-over.
    static void SyncTxEmpty(TVaCustomComm* Comm);
    static void SyncError(TVaCustomComm* Comm);

    TVaCommBuffer FBuffer;
    // Discards of the queue so far, and their count when the write in progress started
    // (under the write lock): a write that a discard overtook consumes nothing.
    std::uint64_t FDiscards = 0;
    std::uint64_t FDiscardsAtWrite = 0;
    TVaWaitEvent FDataEvent;
    TVaWaitEvent FStopEvent;
    TVaWaitEvent FWriteEvent;
    TVaWriterLine FLine; // told of every change, written bytes consumed among them
};

// Outlives the component for the dispatch that runs when a handler closes or destroys it:
// the dispatch holds a share and stops as soon as the open it started in has ended.
struct TVaCommLife {
    bool Destroyed = false;
    std::uint64_t Closes = 0; // opens that have ended

    // True once the component is gone or an open has ended since Closes read AtStart.
    [[nodiscard]] bool Ended(std::uint64_t AtStart) const { return Destroyed || Closes != AtStart; }
};

// The component's insides (the fields are those of the component's record).
struct TVaCommPrivate {
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    TVaCriticalSection FWriteLock;
    TVaCriticalSection FReadLock;
    TVaWaitEvent FIoEvent;
    TVaWaitEvent FWriteIoEvent; // completion of a direct write
    std::unique_ptr<TVaCommEventThread> FEventThread;
    std::unique_ptr<TVaCommWriteThread> FWriteThread;
    // Threads asked to stop, to be joined (or, when their call runs, released to free
    // themselves) before the device closes.
    std::vector<std::unique_ptr<TVaCommThread>> FStoppedThreads;
    std::atomic<bool> FFailureReported{false};
    // Line error bits that a status query took from the device and the error check has
    // not yet reported (under FReadLock): a count query inside the received-characters
    // dispatch must not swallow the error of the same event set.
    DWORD FKeptErrors = 0;
    std::shared_ptr<TVaCommLife> FLife = std::make_shared<TVaCommLife>();
};

// The device control block that the component's settings describe.
[[nodiscard]] DCB MakeDCB(const TVaCustomComm& Comm);

// For tests and the component's own units: what the public class does not show.
class TVaCommAccess {
public:
    [[nodiscard]] static HANDLE Handle(const TVaCustomComm& Comm) { return Comm.FPrivate->FHandle; }
    [[nodiscard]] static const TVaCommEventThread* EventThread(const TVaCustomComm& Comm) {
        return Comm.FPrivate->FEventThread.get();
    }
    [[nodiscard]] static const TVaCommWriteThread* WriteThread(const TVaCustomComm& Comm) {
        return Comm.FPrivate->FWriteThread.get();
    }
    [[nodiscard]] static int WaitingWriters(const TVaCustomComm& Comm) {
        const TVaCommWriteThread* Thread = WriteThread(Comm);
        return Thread != nullptr ? Thread->WaitingWriters() : 0;
    }
};
