#pragma once
// A test seam that makes an open device end a WaitCommEvent late, as Wine's serial driver
// does. There a worker thread looks at the line for the wait from time to time; it ignores
// CancelIo and notices a new event mask only at its next look, so a cancelled wait completes
// some time after the cancel. While a hold is attached, a pending wait that CancelIo or
// SetCommMask ends is held instead: its record stays pending and its event unsignalled until
// ReleaseHeldWait completes it with ERROR_OPERATION_ABORTED, as that worker would. Closing
// the device completes it too.
//
// The hold also tells a test where the waiting thread is: it stands between the wait's event
// and the device, so it learns each time a thread goes to sleep on that event.

#include "platform/posix/InputSource.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace kivo::posix {

class WaitHold final : public InputSource {
public:
    // OnCancel runs inside every CancelIo made while a wait is held, on the cancelling thread
    // and under the device's lock: it may set events, but must not call the device.
    explicit WaitHold(std::function<void()> OnCancel);

    // Blocks until a thread has gone to sleep on the wait's event while the wait was pending
    // (Held false) or held (Held true), or until Bound has passed; true when one has. Any
    // thread.
    [[nodiscard]] bool AwaitSleeper(bool Held, std::chrono::milliseconds Bound);

    // For the device, under its lock: it is attached, it holds a wait, CancelIo was called.
    void Attach(std::weak_ptr<InputSource> Device);
    void Holding();
    void Cancelled() const;

    // InputSource: passed on to the device. BeginWatch is where a waiter goes to sleep.
    int BeginWatch() override;
    void EndWatch() override;
    void TakeInput(bool HungUp) override;
    void AwaitWithoutWatching() override;

private:
    [[nodiscard]] std::shared_ptr<InputSource> Device() const;

    const std::function<void()> FOnCancel;
    mutable std::mutex FLock;
    std::condition_variable FSlept;
    std::weak_ptr<InputSource> FDevice;
    bool FHolding = false;
    bool FSleptPending = false;
    bool FSleptHeld = false;
};

// Attaches Hold to the open serial device hDevice, for the waits started from now on. False
// (ERROR_INVALID_HANDLE) when hDevice is no open device. Any thread.
bool AttachWaitHold(HANDLE hDevice, std::shared_ptr<WaitHold> Hold);

// Completes the wait that hDevice holds with ERROR_OPERATION_ABORTED and detaches the hold;
// false when it held none. Any thread.
bool ReleaseHeldWait(HANDLE hDevice);

} // namespace kivo::posix
