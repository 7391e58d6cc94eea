#pragma once
// An open serial device with Windows' communication semantics. A driver thread moves received
// bytes into the input queue, writes pending output, records communication events and
// completes pending operations. A second thread, only on devices with modem lines, sleeps in
// the kernel until a line changes.
//
// Where the kernel holds the sender back once its own buffer is full (a pseudo-terminal, or
// input handshaking by RTS or XOFF), received bytes stay in the kernel while nobody waits for
// them, and every call that looks at the input first catches up with what the kernel holds.
// What a caller sees is the same as with a driver that took every byte at once; the driver
// thread just sleeps while a reader keeps up by itself. Elsewhere (a plain UART, DTR
// handshaking) the driver takes every byte as it comes.
//
// Nothing is taken from the kernel that the input queue has no room for: while the queue is
// full the driver stops watching for input, and the kernel's buffer (and its flow control,
// where the line has any) holds what comes next until a reader makes room. Where that buffer
// itself overflows, the device's counters tell, and ClearCommError reports CE_OVERRUN. A
// full queue is never left unreported: a wait that starts while bytes are queued reports them
// at once (StartWait), so a reader always learns of the bytes it must read to make room.
//
// A thread that waits on the event of a pending overlapped wait or read takes received bytes in
// itself (InputSource.h); the driver thread then leaves input alone, and a byte costs one
// thread wake-up instead of two. The driver does not even watch for input on behalf of such an
// operation until somebody awaits it without watching (AwaitedUnwatched), so starting a wait
// changes nothing in its epoll set.
//
// Every operation record (OVERLAPPED) and every caller's buffer is touched only under FLock
// and only while its operation is pending; completing an operation, cancelling it or closing
// the device ends every access to them.

#include "platform/posix/ByteQueue.h"
#include "platform/posix/HandleTable.h"
#include "platform/posix/InputDecoder.h"
#include "platform/posix/InputSource.h"
#include "platform/posix/ModemLines.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kivo::posix {

class WaitHold;

class SerialDevice final : public KernelObject, public InputSource {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the device at Path for exclusive use, in raw mode; null with Error set on failure.
    static std::shared_ptr<SerialDevice> Open(const std::string& Path, DWORD Access,
                                              bool Overlapped, DWORD& Error);
    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Completes everything pending with ERROR_OPERATION_ABORTED, stops the threads and
    // closes the device.
    void Close() override;

    // Each of these sets the last error when it returns FALSE.
    BOOL Setup(DWORD InQueue);
    BOOL SetState(const DCB& Dcb);
    BOOL GetState(DCB& Dcb);
    BOOL SetTimeouts(const COMMTIMEOUTS& Timeouts);
    BOOL GetTimeouts(COMMTIMEOUTS& Timeouts);
    BOOL SetMask(DWORD Mask);
    BOOL GetMask(DWORD& Mask);
    BOOL WaitEvent(DWORD* Events, OVERLAPPED* Overlapped);
    BOOL Read(void* Buffer, DWORD Count, DWORD* Done, OVERLAPPED* Overlapped);
    BOOL Write(const void* Buffer, DWORD Count, DWORD* Done, OVERLAPPED* Overlapped);
    BOOL Cancel();
    BOOL ClearErrors(DWORD* Errors, COMSTAT* Stat);

    // Blocks until the operation of Overlapped, started on this device, has completed.
    void AwaitCompletion(const OVERLAPPED* Overlapped);

    // Replaces where modem lines and error counters come from (a test seam).
    void AttachLineSource(std::shared_ptr<LineSource> Source);
    // Holds the waits that a cancel or a new mask ends, until released (a test seam,
    // WaitHold.h). Release completes the held wait and detaches the hold; false for none.
    void AttachWaitHold(std::shared_ptr<WaitHold> Hold);
    bool ReleaseHeldWait();

    // InputSource: for any thread waiting on a pending operation's event.
    int BeginWatch() override;
    void EndWatch() override;
    void TakeInput(bool HungUp) override;
    void AwaitWithoutWatching() override;

private:
    static constexpr std::size_t ReadChunk = 16384; // the most one read takes from the device
    static constexpr std::chrono::microseconds CountLatency{1000}; // DeliveredAllLately

    struct Operation {
        std::thread::id Issuer; // the thread that started it: CancelIo ends only its own
        OVERLAPPED* Record = nullptr;
        HANDLE Event = nullptr;
        char* ReadTo = nullptr;
        const char* WriteFrom = nullptr;
        DWORD Count = 0;
        DWORD Done = 0;
        DWORD* EventsOut = nullptr;
        std::optional<Clock::time_point> Deadline; // the read's total time-out
        std::chrono::milliseconds Interval{0};     // the read's interval time-out; 0: none
        bool ReturnOnAny = false;                  // the read ends with its first bytes
        Clock::time_point LastByte;
        bool Watched = false; // its event names this device as its input source
    };

    struct Descriptors {
        int Device = -1;
        int Poll = -1;     // the driver's epoll set: the device and the wake pipe
        int WakeRead = -1; // wakes the driver to stop or to recount its time-outs
        int WakeWrite = -1;
        bool SetExclusive = false; // this open set the device's TIOCEXCL
    };

    SerialDevice(const Descriptors& Fds, bool Overlapped, bool Readable);
    static DWORD OpenDriverDescriptors(Descriptors& Fds);
    [[nodiscard]] DecodeOptions DecodingFor(const DCB& Dcb) const;

    // Operations, under FLock.
    template <class Start> BOOL Run(DWORD* Done, OVERLAPPED* Overlapped, Start StartOperation);
    template <class Body> BOOL WhileOpen(Body Do);
    BOOL Refuse(DWORD Error) const;
    BOOL RefuseIfUnusable() const;
    static Operation Begin(OVERLAPPED* Overlapped);
    void Finish(Operation& Op, DWORD Error);
    bool HoldsBack(const Operation& Op, DWORD Error);
    void Watch(Operation& Op);
    BOOL FinishNow(Operation& Op, DWORD Error, DWORD* Done);
    BOOL StartRead(Operation Op, DWORD* Done);
    BOOL StartWrite(Operation Op, DWORD* Done);
    BOOL StartWait(Operation Op, DWORD* Done);
    void AbortTransfers(DWORD Error); // pending reads and writes
    void AbortAll(DWORD Error);       // and the pending wait
    void Fail(DWORD Error);

    // The driver thread and what it does, under FLock.
    void DriverLoop();
    [[nodiscard]] std::uint32_t PollEvents() const;
    [[nodiscard]] bool ReceivesEagerly() const;
    [[nodiscard]] bool AwaitedUnwatched() const;
    [[nodiscard]] std::size_t ReadLimit() const;
    [[nodiscard]] int PollTimeout(Clock::time_point Now) const;
    void Rearm();
    void DrainWakeups() const;
    std::size_t PullInput();
    std::size_t PullReadyInput();
    void CatchUp();
    [[nodiscard]] bool InputWatched() const;
    [[nodiscard]] bool DeliveredAllLately() const;
    void Receive(const char* Raw, std::size_t Size);
    void CheckCounters(const DecodeResult& Marks);
    void FeedReads();
    void ExpireReads(Clock::time_point Now);
    void Transmit();
    void CheckTxEmpty(Clock::time_point Now);
    void RecordErrors(DWORD Errors);
    [[nodiscard]] DWORD QueuedInputEvents() const;
    [[nodiscard]] bool EightyPercentFull() const;
    void Raise(DWORD Events);
    void UpdateDtrHandshake();
    void Wake() const;

    // The modem line watcher.
    void StartWatcher();
    void StopWatcher();
    void WatchLines(const std::shared_ptr<LineSource>& Source);
    void UpdateLines();
    bool ApplyControlLines(const DCB& Dcb);
    [[nodiscard]] bool LineLow(int Line) const;

    const int FFd;
    const int FPoll;
    const int FWakeRead;
    const int FWakeWrite;
    const bool FSetExclusive; // cleared again on close: nobody else's flag is taken away
    const bool FOverlapped;
    const bool FReadable;
    const bool FPseudoTerminal;

    mutable std::mutex FLock;
    std::condition_variable FCompleted;
    bool FClosed = false;
    bool FStopping = false;
    DWORD FFailure = ERROR_SUCCESS; // why the device became unusable; 0 while it works

    ByteQueue FInput;
    std::vector<char> FRaw = std::vector<char>(ReadChunk); // what one read from the device got
    std::string FDecoded;
    InputDecoder FDecoder;
    DCB FDcb{};
    COMMTIMEOUTS FTimeouts{};
    DWORD FMask = 0;
    DWORD FEvents = 0; // events latched since the last wait
    DWORD FErrors = 0; // CE_ bits since the last ClearCommError
    bool FAborting = false;
    std::deque<Operation> FReads;
    std::deque<Operation> FWrites;
    std::optional<Operation> FWait;
    bool FTxPending = false; // written bytes may still be in the output queue
    std::optional<Clock::time_point> FTxCheck;
    bool FDtrHeld = false;
    std::uint32_t FArmed = 0;        // what the driver's epoll set watches on the device
    int FWatchers = 0;               // waiting threads that take input in themselves
    bool FAwaitedUnwatched = false;  // see AwaitedUnwatched
    Clock::time_point FDeliveredAll; // see DeliveredAllLately
    std::weak_ptr<SerialDevice> FSelf;

    std::shared_ptr<LineSource> FSource;
    bool FHasLines = false;
    int FLines = 0;
    bool FHasCounters = false;
    LineCounters FCounters;

    std::shared_ptr<WaitHold> FHold;
    std::optional<Operation> FHeld; // the wait FHold keeps pending

    std::thread FDriver;
    std::thread FWatcher;
};

} // namespace kivo::posix
