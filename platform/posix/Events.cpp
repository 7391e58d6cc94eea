// Event objects and the waits on them. All event states share one lock, so a wait on several
// events sees them at one instant and consumes an auto-reset event atomically. A waiter sleeps
// on its own condition variable, which every event it waits on knows while it waits; a wait on
// an event that names an input source (InputSource.h) instead polls the source and the thread's
// own wake-up descriptor, and lets the source take its input in on the waiting thread.

#include "platform/posix/HandleTable.h"
#include "platform/posix/InputSource.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kivo::posix {
namespace {

constexpr DWORD MaximumWaitObjects = 64;

std::mutex& EventLock() {
    static auto* const Lock = new std::mutex;
    return *Lock;
}

// A thread's own wake-up descriptor for waits that poll a device, made on its first such
// wait. Shared with its waiters, so a late notification never reaches a descriptor that was
// closed and given out again.
class WakeDescriptor {
public:
    WakeDescriptor() : FFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~WakeDescriptor() {
        if (FFd >= 0) {
            (void)::close(FFd); // freed even when close reports an error
        }
    }
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;
    [[nodiscard]] int Fd() const { return FFd; }
    void Signal() const {
        const std::uint64_t One = 1;
        // A counter already at its limit (EAGAIN) has a wake-up pending anyway.
        [[maybe_unused]] const auto Ignored = ::write(FFd, &One, sizeof One);
    }
    void Drain() const {
        std::uint64_t Count = 0;
        [[maybe_unused]] const auto Ignored = ::read(FFd, &Count, sizeof Count);
    }

private:
    int FFd;
};

std::shared_ptr<WakeDescriptor> ThreadWakeDescriptor() {
    thread_local std::shared_ptr<WakeDescriptor> Mine;
    if (!Mine || Mine->Fd() < 0) {
        Mine = std::make_shared<WakeDescriptor>(); // again after a failure: one may be free now
    }
    return Mine->Fd() >= 0 ? Mine : nullptr;
}

// A waiting thread's wake-up. Shared, so a setter can notify it after releasing the lock
// (the woken thread then need not wait for that lock) even if the wait has just timed out.
// A waiter that polls an input source is woken through its descriptor, except by its own thread,
// which looks at the events again by itself.
struct Waiter {
    std::condition_variable Wake;
    std::shared_ptr<WakeDescriptor> Polling;
    std::thread::id Owner = std::this_thread::get_id();

    void Notify() {
        if (!Polling) {
            Wake.notify_one();
        } else if (std::this_thread::get_id() != Owner) {
            Polling->Signal();
        }
    }
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
    [[nodiscard]] bool HasWaiters() const { return !FWaiters.empty(); }
    void SetSource(std::weak_ptr<InputSource> Source) { FSource = std::move(Source); }
    [[nodiscard]] std::shared_ptr<InputSource> Source() const { return FSource.lock(); }
    [[nodiscard]] bool HasSource() const { return !FSource.expired(); }

private:
    const bool FManualReset;
    bool FSignalled;
    WaiterList FWaiters;
    std::weak_ptr<InputSource> FSource;
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

using Clock = std::chrono::steady_clock;

// A reference to an input source is only ever let go of holding no lock: it may be the last
// one, and a device closes as its last reference goes, under its own lock, which comes before
// EventLock(). Hence the functions below that run without EventLock take their sources over.
using SourceList = std::vector<std::shared_ptr<InputSource>>;

// The input sources of Events, each once.
SourceList SourcesOf(const EventList& Events) {
    SourceList Sources;
    for (const auto& Event : Events) {
        auto Source = Event->Source();
        if (Source && std::find(Sources.begin(), Sources.end(), Source) == Sources.end()) {
            Sources.push_back(std::move(Source));
        }
    }
    return Sources;
}

bool AnySource(const EventList& Events) {
    return std::any_of(Events.begin(), Events.end(),
                       [](const auto& Event) { return Event->HasSource(); });
}

// Tells each of Sources that it is awaited without being watched, and lets go of them. Called
// holding no lock: a source signals events under its own lock, which comes before EventLock().
void AwaitWithoutWatching(SourceList&& Sources) {
    const SourceList Owned = std::move(Sources);
    for (const auto& Source : Owned) {
        Source->AwaitWithoutWatching();
    }
}

// Milliseconds until Deadline for poll(); -1: no deadline.
int PollTimeout(DWORD Milliseconds, Clock::time_point Deadline) {
    if (Milliseconds == INFINITE) {
        return -1;
    }
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now());
    return static_cast<int>(std::max<long long>(Left.count(), 0));
}

// Sleeps in poll() on the thread's wake-up and on the first of Sources, and lets that source
// take its input in; on the first round, tells the others to take theirs by themselves. Called
// holding no lock.
void PollOnce(SourceList Sources, bool First, int Timeout, const WakeDescriptor& Wake) {
    const auto Source = Sources.empty() ? nullptr : Sources.front();
    if (First && Sources.size() > 1) {
        Sources.erase(Sources.begin());
        AwaitWithoutWatching(std::move(Sources));
    }
    const int Input = Source ? Source->BeginWatch() : -1;
    pollfd Watched[2] = {{Wake.Fd(), POLLIN, 0}, {Input, POLLIN, 0}};
    const int Ready = ::poll(Watched, Input >= 0 ? 2 : 1, Timeout);
    if (Input >= 0) {
        if (Ready > 0 && Watched[1].revents != 0) {
            Source->TakeInput((Watched[1].revents & (POLLHUP | POLLERR)) != 0);
        }
        Source->EndWatch();
    }
    if (Ready > 0 && Watched[0].revents != 0) {
        Wake.Drain();
    }
}

// Polls (PollOnce) until one of Events satisfies the wait or the time is up. Lock (EventLock)
// is held on entry and on return, not while polling or taking input, which locks the source.
DWORD PollWhileWaiting(const EventList& Events, bool WaitAll, DWORD Milliseconds,
                       Clock::time_point Deadline, std::unique_lock<std::mutex>& Lock,
                       const WakeDescriptor& Wake) {
    for (bool First = true;; First = false) {
        if (const auto Taken = TryTake(Events, WaitAll)) {
            return WAIT_OBJECT_0 + *Taken;
        }
        const int Timeout = PollTimeout(Milliseconds, Deadline);
        if (Timeout == 0) {
            return WAIT_TIMEOUT;
        }
        auto Sources = SourcesOf(Events);
        Lock.unlock();
        PollOnce(std::move(Sources), First, Timeout, Wake);
        Lock.lock();
    }
}

// Sleeps on the waiter's condition variable. Lock (EventLock) is held on entry and on return.
DWORD SleepWhileWaiting(const EventList& Events, bool WaitAll, DWORD Milliseconds,
                        Clock::time_point Deadline, std::unique_lock<std::mutex>& Lock,
                        Waiter& Me) {
    for (;;) {
        if (const auto Taken = TryTake(Events, WaitAll)) {
            return WAIT_OBJECT_0 + *Taken;
        }
        if (Milliseconds == INFINITE) {
            Me.Wake.wait(Lock);
        } else if (Me.Wake.wait_until(Lock, Deadline) == std::cv_status::timeout) {
            const auto Taken = TryTake(Events, WaitAll);
            return Taken ? WAIT_OBJECT_0 + *Taken : WAIT_TIMEOUT;
        }
    }
}

DWORD WaitOn(const EventList& Events, bool WaitAll, DWORD Milliseconds) {
    const auto Deadline = Clock::now() + std::chrono::milliseconds(Milliseconds);
    std::unique_lock Lock(EventLock());
    if (const auto Taken = TryTake(Events, WaitAll)) {
        return WAIT_OBJECT_0 + *Taken;
    }
    if (Milliseconds == 0) {
        auto Sources = SourcesOf(Events);
        Lock.unlock();
        // A caller that only looks must still see the end one day.
        AwaitWithoutWatching(std::move(Sources));
        return WAIT_TIMEOUT;
    }
    const auto Me = std::make_shared<Waiter>();
    if (AnySource(Events)) {
        Me->Polling = ThreadWakeDescriptor();
    }
    const WaiterRegistration Registered(Events, Me);
    if (Me->Polling) {
        return PollWhileWaiting(Events, WaitAll, Milliseconds, Deadline, Lock, *Me->Polling);
    }
    // A thread that cannot poll (no descriptor was left for its wake-up) leaves the input to
    // the sources named so far; a source named from now on sees it waiting (SetEventSource).
    if (auto Sources = SourcesOf(Events); !Sources.empty()) {
        Lock.unlock();
        AwaitWithoutWatching(std::move(Sources));
        Lock.lock();
    }
    return SleepWhileWaiting(Events, WaitAll, Milliseconds, Deadline, Lock, *Me);
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
        Each->Notify();
    }
    return TRUE;
}

// A thread already asleep on the event chose how to sleep before the source was named, and
// would not watch it: the source is not named, so that nothing is polled in vain later either.
bool SetEventSource(HANDLE Event, std::weak_ptr<InputSource> Source) {
    const auto Object = std::dynamic_pointer_cast<EventObject>(FindHandle(Event));
    if (!Object) {
        return false;
    }
    const std::lock_guard Guard(EventLock());
    const bool Named = Source.expired() || !Object->HasWaiters();
    Object->SetSource(Named ? std::move(Source) : std::weak_ptr<InputSource>());
    return Named;
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
