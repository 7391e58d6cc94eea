#pragma once
// What the parts of an open serial device share (SerialDevice.h): the state they all read, the
// calls back into the device, the record of a pending operation (a read, a write, a wait) and
// how operations start and complete.
//
// Every operation record (OVERLAPPED) and every caller's buffer is touched only under the
// device's lock and only while its operation is pending; completing an operation, cancelling
// it or closing the device ends every access to them.

#include "platform/posix/InputSource.h"
#include "platform/posix/Win32Posix.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace kivo::posix {

using SerialClock = std::chrono::steady_clock;

// The device's descriptor, how it was opened, its settings and whether it still works. Read
// and written under the device's lock only.
struct DeviceState {
    int Fd = -1;
    bool Readable = true;
    bool PseudoTerminal = false;
    DCB Dcb{};
    COMMTIMEOUTS Timeouts{};
    bool Closed = false;
    bool Stopping = false;         // the driver thread is to end
    DWORD Failure = ERROR_SUCCESS; // why the device became unusable; 0 while it works

    [[nodiscard]] bool Working() const { return !Closed && Failure == ERROR_SUCCESS; }
};

// What a part asks of the device as a whole; under the device's lock.
class DeviceControl {
public:
    // The device is gone (hang-up, unplugged, a failed system call): everything pending
    // fails, later operations too, and the driver thread ends.
    virtual void Fail(DWORD Error) = 0;
    // Brings what the driver thread waits for in line with what is pending.
    virtual void Rearm() = 0;
    // Wakes the driver thread: its time-outs changed.
    virtual void WakeDriver() = 0;

protected:
    DeviceControl() = default;
    DeviceControl(const DeviceControl&) = default;
    DeviceControl& operator=(const DeviceControl&) = default;
    ~DeviceControl() = default;
};

struct Operation {
    std::thread::id Issuer; // the thread that started it: CancelIo ends only its own
    OVERLAPPED* Record = nullptr;
    HANDLE Event = nullptr;
    char* ReadTo = nullptr;
    const char* WriteFrom = nullptr;
    DWORD Count = 0;
    DWORD Done = 0;
    DWORD* EventsOut = nullptr;
    std::optional<SerialClock::time_point> Deadline; // the read's total time-out
    std::chrono::milliseconds Interval{0};           // the read's interval time-out; 0: none
    bool ReturnOnAny = false;                        // the read ends with its first bytes
    SerialClock::time_point LastByte;
    bool Watched = false; // its event names the device as its input source
};

// Sets the calling thread's last error to Error and returns FALSE.
BOOL Refuse(DWORD Error);
// errno, or Fallback where a call failed without setting it.
DWORD ErrnoOr(DWORD Fallback);

// Starts and completes operations. Every call but the constructor and Self runs under the
// device's lock.
class Completions {
public:
    explicit Completions(bool Overlapped) : FOverlapped(Overlapped) {}

    // The device's input, named as the input source of watched operations; set once, at open.
    void SetSelf(std::weak_ptr<InputSource> Self) { FSelf = std::move(Self); }
    [[nodiscard]] const std::weak_ptr<InputSource>& Self() const { return FSelf; }

    // A new pending operation on Overlapped, issued by the calling thread.
    static Operation Begin(OVERLAPPED* Overlapped);
    // Completes Op with Error: its record, its event and every thread awaiting it learn.
    void Finish(Operation& Op, DWORD Error);
    // Finish, and the result of a call that completed at once (Done receives the count).
    BOOL FinishNow(Operation& Op, DWORD Error, DWORD* Done);
    // A thread that waits on the event of the pending Op may take its input in itself.
    void Watch(Operation& Op);
    // Blocks (Lock held on entry and on return) until the operation of Overlapped completed.
    void Await(std::unique_lock<std::mutex>& Lock, const OVERLAPPED& Overlapped);

    // Whether Record's operation is still pending, and its result; any thread.
    [[nodiscard]] static bool Pending(const OVERLAPPED& Record);
    [[nodiscard]] static DWORD Result(const OVERLAPPED& Record);
    // Stores Status as the result of Record's operation; under the lock.
    static void SetStatus(OVERLAPPED& Record, DWORD Status);

private:
    const bool FOverlapped;
    std::weak_ptr<InputSource> FSelf;
    std::condition_variable FCompleted;
};

} // namespace kivo::posix
