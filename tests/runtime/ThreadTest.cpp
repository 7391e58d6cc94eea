#include "runtime/Thread.h"

#include "runtime/ThreadPriority.h"

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#ifdef _WIN32
#include "platform/Win32Api.h"
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
constexpr auto Bound = 10s;

// A thread whose body is given by the test; it may hand calls over through Sync.
class TTestThread : public TThread {
public:
    using Body = std::function<void(TTestThread&)>;
    TTestThread(bool CreateSuspended, Body B) : TThread(true), FBody(std::move(B)) {
        if (!CreateSuspended) {
            Resume();
        }
    }
    ~TTestThread() override {
        TerminateAndWait();
        if (OnDestroy) {
            OnDestroy();
        }
    }

    bool Sync(const std::function<void()>& Method) { return Synchronize(Method); }

    std::function<void()> OnDestroy;

protected:
    void Execute() override { FBody(*this); }

private:
    Body FBody;
};

// Counts the wake-ups of the main thread, i.e. calls queued by workers.
class WakeCounter {
public:
    WakeCounter() {
        SetWakeMainThread([this] {
            std::lock_guard lock(FLock);
            ++FCount;
            FChanged.notify_all();
        });
    }
    ~WakeCounter() { SetWakeMainThread(nullptr); }
    WakeCounter(const WakeCounter&) = delete;
    WakeCounter& operator=(const WakeCounter&) = delete;

    // Waits until at least N calls were queued since construction.
    bool AwaitQueued(int N) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, Bound, [&] { return FCount >= N; });
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    int FCount = 0;
};

// Records what the application's report receives and on which thread.
class ReportRecorder {
public:
    ReportRecorder() {
        SetApplicationExceptionHandler([this](TObject* Sender, const std::exception& E) {
            std::lock_guard lock(FLock);
            Senders.push_back(Sender);
            Messages.emplace_back(E.what());
            OnMainThread.push_back(IsMainThread());
        });
    }
    ~ReportRecorder() { SetApplicationExceptionHandler(nullptr); }
    ReportRecorder(const ReportRecorder&) = delete;
    ReportRecorder& operator=(const ReportRecorder&) = delete;

    std::mutex FLock;
    std::vector<TObject*> Senders;
    std::vector<std::string> Messages;
    std::vector<bool> OnMainThread;
};

#ifdef _WIN32
// The calling thread's priority as the system reports it, and the value tpLower gives.
int OwnNice() {
    return GetThreadPriority(GetCurrentThread());
}
constexpr int LowerPriority = THREAD_PRIORITY_BELOW_NORMAL;
#else
int OwnNice() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}
constexpr int LowerPriority = 5;
#endif

TEST(ThreadStart, ASuspendedThreadNeverResumedDoesNotRunExecute) {
    std::atomic<bool> ran{false};
    {
        TTestThread t(true, [&](TTestThread&) { ran = true; });
    }
    EXPECT_FALSE(ran);
}

TEST(ThreadStart, APrioritySetWhileSuspendedAppliesBeforeExecute) {
    int seen = 99;
    TTestThread t(true, [&](TTestThread&) { seen = OwnNice(); });
    t.SetPriority(tpLower);
    EXPECT_EQ(t.Priority(), tpLower);
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(seen, LowerPriority);
    EXPECT_TRUE(t.Finished());
}

TEST(ThreadStart, ARaiseIsStoredEvenWhenTheSystemRefusesIt) {
    TTestThread t(true, [](TTestThread&) {});
    EXPECT_NO_THROW(t.SetPriority(tpTimeCritical));
    EXPECT_EQ(t.Priority(), tpTimeCritical);
    EXPECT_NO_THROW(t.SetPriority(tpIdle));
    EXPECT_EQ(t.Priority(), tpIdle);
}

#ifndef _WIN32
// Run in a child process that gives up the right to raise priorities, as a normal user has.
void RaiseWithoutPrivilege() {
    const rlimit noRaise{0, 0};
    if (setrlimit(RLIMIT_NICE, &noRaise) != 0 || (getuid() == 0 && setuid(65534) != 0)) {
        std::_Exit(2);
    }
    bool skipped = false;
    {
        int seen = 99;
        TTestThread t(true, [&](TTestThread&) { seen = OwnNice(); });
        const int before = OwnNice();
        try {
            t.SetPriority(tpHighest);
        } catch (...) {
            std::_Exit(3);
        }
        t.Resume();
        t.WaitFor();
        skipped = t.Priority() == tpHighest && seen == before;
    }
    std::_Exit(skipped ? 0 : 4);
}

TEST(ThreadStartDeathTest, ARaiseRefusedForLackOfPrivilegeIsSkipped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RaiseWithoutPrivilege(), ::testing::ExitedWithCode(0), "");
}
#endif // Windows lets every user set the priorities of the process's own threads.

TEST(ThreadStart, OtherPriorityFailuresRaiseThreadError) {
    // No thread has this id, so the system answers "no such process".
    try {
        ApplyThreadPriority(0x7ffffff0, tpNormal);
        FAIL() << "no error";
    } catch (const EThread& e) {
#ifdef _WIN32
        // Not a handle: ERROR_INVALID_HANDLE, with the system's own text (Wine's wording
        // differs from Windows').
        EXPECT_EQ(e.Message().rfind("Thread Error: ", 0), 0u) << e.Message();
        EXPECT_TRUE(e.Message().ends_with(" (6)")) << e.Message();
#else
        EXPECT_EQ(e.Message(), "Thread Error: No such process (3)");
#endif
    }
}

TEST(ThreadRun, WaitForReturnsAfterExecuteAndSeesItsWork) {
    int result = 0;
    TTestThread t(false, [&](TTestThread& self) {
        while (!self.Terminated() && result < 1000) {
            ++result;
        }
    });
    t.WaitFor();
    EXPECT_EQ(result, 1000);
    EXPECT_TRUE(t.Finished());
    t.WaitFor(); // again: returns at once
}

TEST(ThreadRun, WaitForOnANeverStartedThreadRaises) {
    TTestThread t(true, [](TTestThread&) {});
    EXPECT_THROW(t.WaitFor(), EThread);
}

TEST(ThreadRun, TerminateIsSeenByExecute) {
    std::promise<void> started;
    TTestThread t(false, [&](TTestThread& self) {
        started.set_value();
        while (!self.Terminated()) {
            std::this_thread::yield();
        }
    });
    ASSERT_EQ(started.get_future().wait_for(Bound), std::future_status::ready);
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Terminated());
}

TEST(ThreadRun, FreeOnTerminateDeletesTheObjectAfterExecute) {
    std::promise<void> destroyed;
    std::atomic<bool> executed{false};
    auto* t = new TTestThread(true, [&](TTestThread&) { executed = true; });
    t->OnDestroy = [&] { destroyed.set_value(); };
    t->SetFreeOnTerminate(true);
    EXPECT_TRUE(t->FreeOnTerminate());
    t->Resume();
    ASSERT_EQ(destroyed.get_future().wait_for(Bound), std::future_status::ready);
    EXPECT_TRUE(executed);
}

TEST(ThreadRun, AnExceptionFromExecuteIsReportedOnTheMainThread) {
    ReportRecorder report;
    TTestThread t(false, [](TTestThread&) { throw EThread("worker failed"); });
    t.WaitFor(); // runs the report's hand-over meanwhile
    EXPECT_EQ(report.Messages, std::vector<std::string>{"worker failed"});
    EXPECT_EQ(report.Senders, std::vector<TObject*>{&t});
    EXPECT_EQ(report.OnMainThread, std::vector<bool>{true});
}

TEST(Synchronize, RunsOnTheMainThreadInTheOrderQueued) {
    WakeCounter wakes;
    std::vector<std::string> order;
    auto worker = [&](const char* Name) {
        return [&order, Name](TTestThread& self) {
            EXPECT_TRUE(self.Sync([&order, Name] {
                EXPECT_TRUE(IsMainThread());
                order.emplace_back(Name);
            }));
        };
    };
    TTestThread second(true, worker("second"));
    TTestThread first(false, worker("first"));
    ASSERT_TRUE(wakes.AwaitQueued(1));
    second.Resume();
    ASSERT_TRUE(wakes.AwaitQueued(2));
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    EXPECT_FALSE(CheckSynchronize());
}

TEST(Synchronize, OnTheMainThreadRunsAtOnce) {
    TTestThread t(true, [](TTestThread&) {});
    bool ran = false;
    EXPECT_TRUE(t.Sync([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(Synchronize, AnExceptionFromTheCallIsReportedAndTheWorkerGoesOn) {
    ReportRecorder report;
    int after = 0;
    TTestThread t(false, [&](TTestThread& self) {
        EXPECT_TRUE(self.Sync([] { throw EConvertError("'x1' is not a valid integer value"); }));
        after = 1;
    });
    t.WaitFor();
    EXPECT_EQ(after, 1);
    EXPECT_EQ(report.Messages, std::vector<std::string>{"'x1' is not a valid integer value"});
    EXPECT_EQ(report.Senders, std::vector<TObject*>{&t});
}

TEST(Synchronize, OnlyTheMainThreadRunsTheQueue) {
    WakeCounter wakes;
    bool ran = false;
    TTestThread t(false, [&](TTestThread& self) { self.Sync([&] { ran = true; }); });
    ASSERT_TRUE(wakes.AwaitQueued(1));
    bool ranElsewhere = true;
    std::thread other([&] { ranElsewhere = CheckSynchronize(); });
    other.join();
    EXPECT_FALSE(ranElsewhere);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(WaitForSynchronize(Bound));
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_TRUE(ran);
}

TEST(Synchronize, AWakeUpThatFailsLeavesTheCallQueued) {
    SetWakeMainThread([] { throw Exception("no message loop"); });
    bool ran = false;
    bool result = false;
    TTestThread t(false, [&](TTestThread& self) { result = self.Sync([&] { ran = true; }); });
    EXPECT_TRUE(WaitForSynchronize(Bound));
    EXPECT_TRUE(CheckSynchronize());
    t.WaitFor();
    SetWakeMainThread(nullptr);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(result);
}

TEST(Synchronize, WaitForSynchronizeReportsAQueuedCall) {
    EXPECT_FALSE(WaitForSynchronize(1ms)); // nothing queued
    TTestThread t(false, [](TTestThread& self) { self.Sync([] {}); });
    EXPECT_TRUE(WaitForSynchronize(Bound));
    EXPECT_TRUE(CheckSynchronize());
}

TEST(CancelSynchronize, BeforeTheCallIsQueuedItNeverRuns) {
    bool ran = false;
    bool result = true;
    TTestThread t(true, [&](TTestThread& self) { result = self.Sync([&] { ran = true; }); });
    t.CancelSynchronize();
    t.Resume();
    t.WaitFor();
    EXPECT_FALSE(result);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(CheckSynchronize());
}

TEST(CancelSynchronize, WhileTheWorkerIsBlockedReleasesItAndDiscardsTheCall) {
    WakeCounter wakes;
    bool ran = false;
    std::vector<bool> results;
    TTestThread t(false, [&](TTestThread& self) {
        results.push_back(self.Sync([&] { ran = true; }));
        results.push_back(self.Sync([&] { ran = true; })); // later ones return at once
    });
    ASSERT_TRUE(wakes.AwaitQueued(1));
    t.CancelSynchronize();
    t.WaitFor();
    EXPECT_EQ(results, (std::vector<bool>{false, false}));
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(ran);
}

TEST(CancelSynchronize, FromAnotherWorkerWhileBlocked) {
    WakeCounter wakes;
    bool result = true;
    TTestThread t(false, [&](TTestThread& self) { result = self.Sync([] {}); });
    ASSERT_TRUE(wakes.AwaitQueued(1));
    std::thread canceller([&] { t.CancelSynchronize(); });
    canceller.join();
    t.WaitFor();
    EXPECT_FALSE(result);
    EXPECT_FALSE(CheckSynchronize());
}

TEST(CancelSynchronize, ReleasesEveryCallerHandingOverForTheSameThreadObject) {
    WakeCounter wakes;
    TTestThread t(true, [](TTestThread&) {});
    bool ran = false;
    std::array<bool, 2> results{true, true};
    std::thread a([&] { results[0] = t.Sync([&] { ran = true; }); });
    std::thread b([&] { results[1] = t.Sync([&] { ran = true; }); });
    ASSERT_TRUE(wakes.AwaitQueued(2));
    t.CancelSynchronize();
    a.join();
    b.join();
    EXPECT_EQ(results, (std::array<bool, 2>{false, false}));
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(ran);
}

TEST(CancelSynchronize, DuringTheCallLetsItFinishAndStopsLaterOnes) {
    WakeCounter wakes;
    std::vector<bool> results;
    int runs = 0;
    TTestThread* self = nullptr;
    TTestThread t(true, [&](TTestThread& me) {
        results.push_back(me.Sync([&] {
            ++runs;
            self->CancelSynchronize();
        }));
        results.push_back(me.Sync([&] { ++runs; }));
    });
    self = &t;
    t.Resume();
    ASSERT_TRUE(wakes.AwaitQueued(1));
    EXPECT_TRUE(CheckSynchronize());
    t.WaitFor();
    EXPECT_EQ(results, (std::vector<bool>{true, false}));
    EXPECT_EQ(runs, 1);
}

TEST(CancelSynchronize, DestroyingABlockedThreadReleasesItWithoutRunningTheCall) {
    WakeCounter wakes;
    bool ran = false;
    auto t = std::make_unique<TTestThread>(
        false, [&](TTestThread& self) { self.Sync([&] { ran = true; }); });
    ASSERT_TRUE(wakes.AwaitQueued(1));
    t.reset();
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(ran);
}

TEST(MainThread, CanBeHandedToAnotherThread) {
    EXPECT_TRUE(IsMainThread());
    bool wasMain = false;
    std::thread other([&] {
        SetMainThread();
        wasMain = IsMainThread();
    });
    other.join();
    EXPECT_FALSE(IsMainThread());
    SetMainThread();
    EXPECT_TRUE(wasMain);
    EXPECT_TRUE(IsMainThread());
}

} // namespace
