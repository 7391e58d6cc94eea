#pragma once
// An open serial device with Windows' communication semantics, in parts that each do one job,
// all under the device's one lock (FLock):
//
// - InputPath.h: the input queue, the decoder, who takes received bytes in and when a count
//   may leave the kernel alone;
// - Transfers.h: reads and writes, their time-outs, output and EV_TXEMPTY;
// - CommEvents.h: the event mask, latched events, the pending wait and line errors;
// - LineState.h: modem lines, DTR handshaking, error counters and the line watcher thread;
// - SerialDriver.h: the driver thread, its epoll set and wake pipe;
// - SerialCommon.h: what they share, and how operations start and complete.
//
// SerialDevice holds the Win32 entry points: each takes the lock, asks the parts, and brings
// what the driver thread waits for in line with what is then pending (Rearm). The parts are
// called only under the lock, and call each other directly; the only calls that take the
// lock themselves are the entry points here, the InputSource calls of InputPath (a waiting
// thread's), and the driver and line watcher threads.

#include "platform/posix/CommEvents.h"
#include "platform/posix/HandleTable.h"
#include "platform/posix/InputPath.h"
#include "platform/posix/LineState.h"
#include "platform/posix/SerialCommon.h"
#include "platform/posix/SerialDriver.h"
#include "platform/posix/Transfers.h"

#include <memory>
#include <mutex>
#include <string>

namespace kivo::posix {

struct OpenedTerminal;
class WaitHold;

class SerialDevice final : public KernelObject, private DeviceControl {
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

    // Fails the device from outside, as a hang-up would, with Error as the cause (the
    // connection of a network port ended). Any thread but the device's own.
    void Lose(DWORD Error);

    // Blocks until the operation of Overlapped, started on this device, has completed.
    void AwaitCompletion(const OVERLAPPED* Overlapped);
    // A caller only asks whether what is pending is done (GetOverlappedResult, not waiting):
    // until nothing is pending, the driver takes input in for it.
    void AwaitWithoutWatching();

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

    // DeviceControl, under FLock.
    void Fail(DWORD Error) override;
    void Rearm() override;
    void WakeDriver() override;

    const bool FOverlapped;
    const bool FSetExclusive; // cleared again on close: nobody else's flag is taken away
    mutable std::mutex FLock;
    DeviceState FState;
    Completions FDone;
    Transfers FOps;
    InputPath FInput;
    CommEvents FEvents;
    LineState FLines;
    DriverLoop FDriver;
};

} // namespace kivo::posix
