#include "platform/posix/WaitHold.h"

#include "platform/posix/SerialDevice.h"

namespace kivo::posix {

// ---- The hold ----

WaitHold::WaitHold(std::function<void()> OnCancel) : FOnCancel(std::move(OnCancel)) {}

bool WaitHold::AwaitSleeper(bool Held, std::chrono::milliseconds Bound) {
    std::unique_lock Lock(FLock);
    return FSlept.wait_for(Lock, Bound, [&] { return Held ? FSleptHeld : FSleptPending; });
}

void WaitHold::Attach(std::weak_ptr<InputSource> Device) {
    const std::lock_guard Guard(FLock);
    FDevice = std::move(Device);
}

void WaitHold::Holding() {
    const std::lock_guard Guard(FLock);
    FHolding = true;
}

void WaitHold::Cancelled() const {
    if (FOnCancel) {
        FOnCancel();
    }
}

std::shared_ptr<InputSource> WaitHold::Device() const {
    const std::lock_guard Guard(FLock);
    return FDevice.lock();
}

int WaitHold::BeginWatch() {
    {
        const std::lock_guard Guard(FLock);
        (FHolding ? FSleptHeld : FSleptPending) = true;
    }
    FSlept.notify_all();
    const auto Source = Device();
    return Source ? Source->BeginWatch() : -1;
}

void WaitHold::EndWatch() {
    if (const auto Source = Device()) {
        Source->EndWatch();
    }
}

void WaitHold::TakeInput(bool HungUp) {
    if (const auto Source = Device()) {
        Source->TakeInput(HungUp);
    }
}

void WaitHold::AwaitWithoutWatching() {
    if (const auto Source = Device()) {
        Source->AwaitWithoutWatching();
    }
}

// ---- The device's side ----

void SerialDevice::AttachWaitHold(std::shared_ptr<WaitHold> Hold) {
    const std::lock_guard Guard(FLock);
    FEvents.AttachHold(std::move(Hold), FCompleted.WatchedSource());
}

bool SerialDevice::ReleaseHeldWait() {
    const std::lock_guard Guard(FLock);
    return FEvents.ReleaseHeldWait();
}

bool AttachWaitHold(HANDLE hDevice, std::shared_ptr<WaitHold> Hold) {
    const auto Device = FindHandleOf<SerialDevice>(hDevice);
    if (!Device || !Hold) {
        return false;
    }
    Device->AttachWaitHold(std::move(Hold));
    return true;
}

bool ReleaseHeldWait(HANDLE hDevice) {
    const auto Device = FindHandleOf<SerialDevice>(hDevice);
    return Device && Device->ReleaseHeldWait();
}

} // namespace kivo::posix
