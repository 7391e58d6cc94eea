#pragma once
// An open serial device with Windows' communication semantics. SerialDevice owns the parts,
// each of which does one job under the device's one lock (FLock) and knows none of the others:
//
// - InputPath.h: the input queue and the decoder; it reads the device and says what arrived;
// - InputWatch.h: who takes received bytes in, and when a count may leave the kernel alone;
// - Transfers.h: reads and writes, their time-outs, output and when output has drained;
// - CommEvents.h: the event mask, latched events, the pending wait and line errors;
// - LineState.h: modem lines, DTR handshaking, error counters and the line watcher thread;
// - DriverLoop.h: the driver thread, its epoll set and wake pipe.
//
// They share only leaf headers: DeviceState.h (what all of them read), Operation.h and
// Completions.h (the record of a pending operation, how it starts and completes), LastError.h.
//
// SerialDevice holds the Win32 entry points and hands on what each part reports, as a
// reactor hands readiness to its operations: what arrived (to the pending reads, the line
// state and the event wait), an error (to the event wait, and with fAbortOnError to the reads
// and writes), a failure (to all of them), a change of the lines (to the event wait). After
// each call it brings what the driver thread waits for in line with what is then pending
// (Rearm). The only calls that take the lock are the entry points here, the InputSource
// calls (a waiting thread's), and the driver and line watcher threads.

#include "platform/posix/CommEvents.h"
#include "platform/posix/Completions.h"
#include "platform/posix/DeviceState.h"
#include "platform/posix/DriverLoop.h"
#include "platform/posix/HandleTable.h"
#include "platform/posix/InputPath.h"
#include "platform/posix/InputWatch.h"
#include "platform/posix/LineState.h"
#include "platform/posix/Transfers.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kivo::posix {

struct OpenedTerminal;
class WaitHold;

class SerialDevice final : public KernelObject, private DriverLoop::Owner, private InputSource {
public:
    // Opens the device at Path for exclusive use, in raw mode; null with Error set on failure.
    // Any thread.
    static std::shared_ptr<SerialDevice> Open(const std::string& Path, DWORD Access,
                                              bool Overlapped, DWORD& Error);
    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Completes everything pending with ERROR_OPERATION_ABORTED, stops the threads and
    // closes the device. Any thread; blocks until the threads have ended.
    void Close() override;

    // The Win32 calls, from any thread. Each sets the last error when it returns FALSE. On a
    // handle opened without FILE_FLAG_OVERLAPPED, WaitEvent, Read and Write block until done;
    // otherwise nothing blocks but for the lock.
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
    BOOL Escape(DWORD Function);
    BOOL GetModemStatus(DWORD& Status);
    BOOL Purge(DWORD Flags);
    // Blocks until no write is pending and the kernel has sent its output.
    BOOL Flush();

    // Blocks until the operation of Overlapped, started on this device, has completed.
    void AwaitCompletion(const OVERLAPPED* Overlapped);
    // A caller only asks whether what is pending is done (GetOverlappedResult, not waiting),
    // or waits without watching the device (InputSource): until nothing is pending, the driver
    // takes input in for it. Takes the lock.
    void AwaitWithoutWatching() override;

    // Replaces where modem lines and error counters come from (a test seam).
    void AttachLineSource(std::shared_ptr<LineSource> Source);
    // Holds the waits that a cancel or a new mask ends, until released (a test seam,
    // WaitHold.h). Release completes the held wait and detaches the hold; false for none.
    void AttachWaitHold(std::shared_ptr<WaitHold> Hold);
    bool ReleaseHeldWait();

private:
    SerialDevice(const OpenedTerminal& Terminal, const DriverLoop::Descriptors& Fds,
                 bool Overlapped, bool Readable);

    template <class Start> BOOL Run(DWORD* Done, OVERLAPPED* Overlapped, Start StartOperation);
    template <class Body> BOOL WhileOpen(Body Do);
    [[nodiscard]] BOOL RefuseIfUnusable() const;

    // The operations, under FLock.
    BOOL StartRead(Operation Op, DWORD* Done);
    BOOL StartWrite(Operation Op, DWORD* Done);

    // Handing on what the parts report, under FLock (SerialDeviceInput.cpp for the input).
    void TakeReported(bool HungUp);
    void CatchUpWithKernel();
    void Deliver(const Arrival& Came);
    void RecordErrors(DWORD Errors);
    void CheckTxEmpty(SerialClock::time_point Now);
    void LinesChanged(DWORD Events);
    [[nodiscard]] bool Pending() const;

    // DriverLoop::Owner, under FLock.
    void Fail(DWORD Error) override;
    void Rearm() override;
    void Serve(const DriverLoop::Readiness& Ready) override;
    [[nodiscard]] std::optional<SerialClock::time_point> NextDeadline() const override;

    // InputSource, for a thread that waits on a pending operation's event; each takes FLock.
    int BeginWatch() override;
    void EndWatch() override;
    void TakeInput(bool HungUp) override;

    const bool FOverlapped;
    const bool FSetExclusive; // cleared again on close: nobody else's flag is taken away
    mutable std::mutex FLock;
    DeviceState FState;
    Completions FCompleted;
    InputPath FInput;
    InputWatch FWatch;
    Transfers FOps;
    CommEvents FEvents;
    LineState FLines;
    DriverLoop FDriver;
};

} // namespace kivo::posix
