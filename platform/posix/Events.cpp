// Event objects and the waits on them. All event states share one lock, so a wait on several
// events sees them at one instant and consumes an auto-reset event atomically. A waiter sleeps
// on its own condition variable, which every event it waits on knows while it waits.

#include "platform/posix/HandleTable.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace kivo::posix {
namespace {

constexpr DWORD MaximumWaitObjects = 64;

std::mutex& EventLock() {
    static auto* const Lock = new std::mutex;
    return *Lock;
}

// A waiting thread's wake-up. Shared, so a setter can notify it after releasing the lock
// (the woken thread then need not wait for that lock) even if the wait has just timed out.
struct Waiter {
    std::condition_variable Wake;
};
using WaiterPtr = std::shared_ptr<Waiter>;
using WaiterList = std::vector<WaiterPtr>;

class EventObject final : public KernelObject {
public:
    EventObject(bool ManualReset, bool Signalled)
        : FManualReset(ManualReset), FSignalled(Signalled) {}

    // The following run under EventLock(). Set returns whom to wake once the lock is free.
    WaiterList Set() {
        FSignalled = true;
        return FWaiters;
    }
    void Reset() { FSignalled = false; }
    [[nodiscard]] bool Signalled() const { return FSignalled; }
    // A wait that returns this event takes the signal of an auto-reset event.
    void Consume() {
        if (!FManualReset) {
            FSignalled = false;
        }
    }
    void AddWaiter(const WaiterPtr& W) { FWaiters.push_back(W); }
    void RemoveWaiter(const WaiterPtr& W) { std::erase(FWaiters, W); }

private:
    const bool FManualReset;
    bool FSignalled;
    WaiterList FWaiters;
};

using EventList = std::vector<std::shared_ptr<EventObject>>;

// The index of the event that satisfies the wait, if any; consumes what the wait takes.
std::optional<DWORD> TryTake(const EventList& Events, bool WaitAll) {
    if (WaitAll) {
        const bool AllSet = std::all_of(Events.begin(), Events.end(),
                                        [](const auto& Event) { return Event->Signalled(); });
        if (!AllSet) {
            return std::nullopt;
        }
        for (const auto& Event : Events) {
            Event->Consume();
        }
        return 0;
    }
    for (DWORD Index = 0; Index < Events.size(); ++Index) {
        if (Events[Index]->Signalled()) {
            Events[Index]->Consume();
            return Index;
        }
    }
    return std::nullopt;
}

// Keeps a waiter registered with every event of a wait for as long as it sleeps.
class WaiterRegistration {
public:
    WaiterRegistration(const EventList& Events, WaiterPtr W)
        : FEvents(Events), FWaiter(std::move(W)) {
        for (const auto& Event : FEvents) {
            Event->AddWaiter(FWaiter);
        }
    }
    ~WaiterRegistration() {
        for (const auto& Event : FEvents) {
            Event->RemoveWaiter(FWaiter);
        }
    }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;

private:
    const EventList& FEvents;
    WaiterPtr FWaiter;
};

DWORD WaitOn(const EventList& Events, bool WaitAll, DWORD Milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + std::chrono::milliseconds(Milliseconds);
    std::unique_lock Lock(EventLock());
    if (const auto Taken = TryTake(Events, WaitAll)) {
        return WAIT_OBJECT_0 + *Taken;
    }
    if (Milliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    const auto Me = std::make_shared<Waiter>();
    const WaiterRegistration Registered(Events, Me);
    for (;;) {
        if (Milliseconds == INFINITE) {
            Me->Wake.wait(Lock);
        } else if (Me->Wake.wait_until(Lock, Deadline) == std::cv_status::timeout) {
            const auto Taken = TryTake(Events, WaitAll);
            return Taken ? WAIT_OBJECT_0 + *Taken : WAIT_TIMEOUT;
        }
        if (const auto Taken = TryTake(Events, WaitAll)) {
            return WAIT_OBJECT_0 + *Taken;
        }
    }
}

std::shared_ptr<EventObject> FindEvent(HANDLE Handle) {
    return FindHandleOf<EventObject>(Handle);
}

} // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName) {
    if (lpName != nullptr && *lpName != '\0') {
        // Named events are shared between processes on Windows; nothing here needs them.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return AddHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL SetEvent(HANDLE hEvent) {
    const auto Event = FindEvent(hEvent);
    if (!Event) {
        return FALSE;
    }
    WaiterList ToWake;
    {
        const std::lock_guard Guard(EventLock());
        ToWake = Event->Set();
    }
    for (const auto& Each : ToWake) {
        Each->Wake.notify_one();
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    const auto Event = FindEvent(hEvent);
    if (!Event) {
        return FALSE;
    }
    const std::lock_guard Guard(EventLock());
    Event->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MaximumWaitObjects || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    EventList Events;
    for (DWORD Index = 0; Index < nCount; ++Index) {
        auto Event = FindEvent(lpHandles[Index]);
        if (!Event) {
            return WAIT_FAILED;
        }
        if (std::find(Events.begin(), Events.end(), Event) != Events.end() && bWaitAll) {
            SetLastError(ERROR_INVALID_PARAMETER); // Windows refuses duplicates in a wait-all
            return WAIT_FAILED;
        }
        Events.push_back(std::move(Event));
    }
    return WaitOn(Events, bWaitAll != FALSE, dwMilliseconds);
}

} // namespace kivo::posix
