#include "runtime/Thread.h"

#include "runtime/SysUtils.h"
#include "runtime/ThreadPriority.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// One call handed over to the main thread. The worker that queued it stays blocked until
// it is Done or Cancelled, so Method (the worker's own function) outlives every use. The
// worker waits under the entry's own lock, not the hub's: the main thread, which takes the
// hub's lock for the next call, and the worker, which is let go, do not meet on a lock.
struct SyncEntry {
    enum class TStatus : std::uint8_t { Queued, Done, Cancelled };

    const std::function<void()>* Method = nullptr;
    TObject* Sender = nullptr;
    const void* Owner = nullptr; // the state of the thread object that queued it

    void Finish(TStatus Final) {
        {
            const std::lock_guard Guard(Lock);
            Status = Final;
        }
        Changed.notify_one();
    }
    // True when Done, false when Cancelled.
    bool AwaitEnd() {
        std::unique_lock Guard(Lock);
        Changed.wait(Guard, [&] { return Status != TStatus::Queued; });
        return Status == TStatus::Done;
    }

private:
    std::mutex Lock;
    std::condition_variable Changed;
    TStatus Status = TStatus::Queued;
};

// Everything the threads of this module share, under one lock: the hand-over queue, the
// wake-up, and the per-thread state. Never destroyed, so a thread that frees itself late
// in the process's exit still finds it.
struct ThreadHub {
    std::mutex Lock;
    std::condition_variable Activity; // a call was queued or a thread finished
    std::deque<std::shared_ptr<SyncEntry>> Queue;
    std::function<void()> Wake;
};

ThreadHub& Hub() {
    static auto* Instance = new ThreadHub; // NOLINT: deliberately never freed
    return *Instance;
}

std::atomic<std::thread::id>& MainThreadId() noexcept {
    static std::atomic<std::thread::id> Id{std::this_thread::get_id()};
    return Id;
}

bool TakeMainThreadId() noexcept {
    (void)MainThreadId();
    return true;
}

// Takes the main thread's id during static initialisation.
[[maybe_unused]] const bool MainThreadIdTaken = TakeMainThreadId();

void RunReported(const std::function<void()>& Method, TObject* Sender) noexcept {
    try {
        Method();
    } catch (...) {
        ApplicationHandleException(Sender);
    }
}

} // namespace

struct TThread::State {
    // All fields below are guarded by Hub().Lock, except Terminated.
    std::condition_variable Changed; // the start gate and the thread's id
    bool Resumed = false;
    bool Abandoned = false; // destroyed before it was resumed
    bool Started = false;   // the thread has taken its priority target
    bool Finished = false;
    bool FreeOnTerminate = false;
    std::atomic<bool> Terminated{false};
    TThreadPriority Priority = tpNormal;
    std::uintptr_t PriorityTarget = 0;
    std::thread Thread;
    bool SyncCancelled = false;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    State(State&&) = delete;
    State& operator=(State&&) = delete;
    ~State() { ReleasePriorityTarget(PriorityTarget); }
};

TThread::TThread(bool CreateSuspended) : FState(std::make_shared<State>()) {
    try {
        FState->Thread = std::thread(&TThread::Run, FState, this);
    } catch (const std::system_error& e) {
        throw EThread(Format("Thread creation error: %s", {e.what()}));
    }
    {
        std::unique_lock lock(Hub().Lock);
        FState->Changed.wait(lock, [&] { return FState->Started; });
    }
    if (!CreateSuspended) {
        Resume();
    }
}

TThread::~TThread() {
    if (std::this_thread::get_id() == FState->Thread.get_id()) {
        // Freed by its own thread (FreeOnTerminate): Run still holds the shared state.
        FState->Thread.detach();
        return;
    }
    TerminateAndWait();
    FState->Thread.join();
}

void TThread::Run(const std::shared_ptr<State>& S, TThread* Self) {
    bool runs = false;
    {
        std::unique_lock lock(Hub().Lock);
        S->PriorityTarget = CurrentPriorityTarget();
        S->Started = true;
        S->Changed.notify_all();
        S->Changed.wait(lock, [&] { return S->Resumed || S->Abandoned; });
        runs = S->Resumed;
    }
    bool freeSelf = false;
    if (runs) {
        Self->ExecuteReported();
        std::lock_guard lock(Hub().Lock);
        freeSelf = S->FreeOnTerminate;
    }
    if (freeSelf) {
        delete Self; // NOLINT: the object owns itself from here on
    }
    std::lock_guard lock(Hub().Lock);
    S->Finished = true;
    Hub().Activity.notify_all();
}

void TThread::ExecuteReported() {
    std::exception_ptr escaped;
    try {
        Execute();
    } catch (...) {
        escaped = std::current_exception();
    }
    if (!escaped) {
        return;
    }
    // Reported on the main thread, where the application's report can show it.
    if (!Synchronize([&] { std::rethrow_exception(escaped); })) {
        try {
            std::rethrow_exception(escaped);
        } catch (...) {
            ApplicationHandleException(this);
        }
    }
}

void TThread::Resume() {
    std::lock_guard lock(Hub().Lock);
    if (!FState->Resumed && !FState->Abandoned) {
        FState->Resumed = true;
        FState->Changed.notify_all();
    }
}

void TThread::Terminate() {
    FState->Terminated = true;
}

bool TThread::Terminated() const {
    return FState->Terminated;
}

bool TThread::FreeOnTerminate() const {
    std::lock_guard lock(Hub().Lock);
    return FState->FreeOnTerminate;
}

void TThread::SetFreeOnTerminate(bool Value) {
    std::lock_guard lock(Hub().Lock);
    FState->FreeOnTerminate = Value;
}

TThreadPriority TThread::Priority() const {
    std::lock_guard lock(Hub().Lock);
    return FState->Priority;
}

void TThread::SetPriority(TThreadPriority Value) {
    // Under the lock the thread cannot finish, so its id cannot be reused meanwhile.
    std::lock_guard lock(Hub().Lock);
    FState->Priority = Value;
    if (!FState->Finished) {
        ApplyThreadPriority(FState->PriorityTarget, Value);
    }
}

void TThread::WaitFor() {
    const bool runCalls = IsMainThread();
    {
        std::lock_guard lock(Hub().Lock);
        if (!FState->Resumed) {
            throw EThread("Cannot wait for a thread that was never started");
        }
    }
    for (;;) {
        if (runCalls) {
            CheckSynchronize();
        }
        std::unique_lock lock(Hub().Lock);
        Hub().Activity.wait(lock,
                            [&] { return FState->Finished || (runCalls && !Hub().Queue.empty()); });
        if (FState->Finished) {
            return;
        }
    }
}

bool TThread::Finished() const {
    std::lock_guard lock(Hub().Lock);
    return FState->Finished;
}

void TThread::CancelSynchronize() {
    std::lock_guard lock(Hub().Lock);
    FState->SyncCancelled = true;
    // Every call of this thread object still queued (normally one) is discarded; one that
    // already runs on the main thread finishes, and its worker waits for it.
    std::erase_if(Hub().Queue, [&](const std::shared_ptr<SyncEntry>& Entry) {
        if (Entry->Owner != FState.get()) {
            return false;
        }
        Entry->Finish(SyncEntry::TStatus::Cancelled);
        return true;
    });
}

void TThread::TerminateAndWait() {
    Terminate();
    CancelSynchronize();
    if (std::this_thread::get_id() == FState->Thread.get_id()) {
        return; // the thread itself: it ends when Execute returns
    }
    std::unique_lock lock(Hub().Lock);
    if (!FState->Resumed) {
        FState->Abandoned = true;
        FState->Changed.notify_all();
    }
    Hub().Activity.wait(lock, [&] { return FState->Finished; });
}

bool TThread::Synchronize(const std::function<void()>& Method) {
    if (IsMainThread()) {
        {
            std::lock_guard lock(Hub().Lock);
            if (FState->SyncCancelled) {
                return false;
            }
        }
        RunReported(Method, this);
        return true;
    }
    auto entry = std::make_shared<SyncEntry>();
    entry->Method = &Method;
    entry->Sender = this;
    entry->Owner = FState.get();
    std::function<void()> wake;
    {
        std::lock_guard lock(Hub().Lock);
        if (FState->SyncCancelled) {
            return false;
        }
        Hub().Queue.push_back(entry);
        wake = Hub().Wake;
    }
    // Notified after the lock is released, so the main thread does not wake into a held lock.
    Hub().Activity.notify_all();
    if (wake) {
        try {
            wake();
        } catch (...) { // NOLINT(bugprone-empty-catch)
            // The call stays queued and runs when the main thread next processes its queue.
        }
    }
    return entry->AwaitEnd();
}

void SetMainThread() {
    MainThreadId() = std::this_thread::get_id();
}

bool IsMainThread() {
    return MainThreadId().load() == std::this_thread::get_id();
}

void SetWakeMainThread(std::function<void()> Wake) {
    std::lock_guard lock(Hub().Lock);
    Hub().Wake = std::move(Wake);
}

bool CheckSynchronize() {
    if (!IsMainThread()) {
        return false;
    }
    bool ran = false;
    for (;;) {
        std::shared_ptr<SyncEntry> entry;
        {
            std::lock_guard lock(Hub().Lock);
            if (Hub().Queue.empty()) {
                return ran;
            }
            entry = std::move(Hub().Queue.front());
            Hub().Queue.pop_front();
        }
        RunReported(*entry->Method, entry->Sender);
        ran = true;
        entry->Finish(SyncEntry::TStatus::Done);
    }
}

bool WaitForSynchronize(std::chrono::milliseconds Timeout) {
    std::unique_lock lock(Hub().Lock);
    return Hub().Activity.wait_for(lock, Timeout, [] { return !Hub().Queue.empty(); });
}
