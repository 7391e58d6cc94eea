#pragma once
// The framework's thread class and the hand-over of calls from worker threads to the
// user-interface (main) thread.

#include "runtime/Classes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

// A thread's priority within the process (see TThread for what each means on the system).
enum TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// A thread whose body is Execute. The system thread exists from construction on; a
// suspended one waits at a start gate until Resume, so a priority set first applies to it
// before Execute runs, and one that is destroyed without ever being resumed ends without
// running Execute. No exception leaves Execute: one that escapes is caught and reported
// through ApplicationHandleException (on the main thread through Synchronize; directly when
// the thread's hand-overs were cancelled).
//
// With FreeOnTerminate (set it before Resume) the object deletes itself when Execute
// returns, and nobody may touch it afterwards. Without it, the owner deletes it; the
// destructor calls TerminateAndWait. A derived class whose Execute uses the derived class's
// own members calls TerminateAndWait in its own destructor, before those members go.
//
// Priorities map onto the Linux per-thread nice value (setpriority on the thread's own id):
//   tpIdle 19, tpLowest 10, tpLower 5, tpNormal 0, tpHigher -5, tpHighest -10,
//   tpTimeCritical -20.
// On Windows they are the THREAD_PRIORITY_* values -15, -2, -1, 0, 1, 2, 15.
class TThread : public TObject {
public:
    // Creates the system thread, waiting at its start gate until Resume when CreateSuspended,
    // else running Execute at once.
    explicit TThread(bool CreateSuspended);
    ~TThread() override;

    const char* ClassName() const override { return "TThread"; }

    // Starts a suspended thread; does nothing for one that runs already.
    void Resume();

    // Asks the thread to stop; Execute tests Terminated.
    void Terminate();
    [[nodiscard]] bool Terminated() const;

    // Whether the object deletes itself when Execute returns (see above).
    [[nodiscard]] bool FreeOnTerminate() const;
    void SetFreeOnTerminate(bool Value);

    // Priority within the process. On POSIX a raise the system refuses for lack of
    // privilege is skipped (the value is still stored); any other refusal raises EThread
    // "Thread Error: %s (%d)" with the system's text and code.
    [[nodiscard]] TThreadPriority Priority() const;
    void SetPriority(TThreadPriority Value);

    // Blocks until Execute has returned; on the main thread it runs queued hand-overs
    // meanwhile, so a thread blocked in Synchronize can finish. Not for FreeOnTerminate
    // threads; raises EThread for a thread that was never resumed (it would never end).
    void WaitFor();
    [[nodiscard]] bool Finished() const;

    // Releases a Synchronize the thread is blocked in, without running its call, and makes
    // every later Synchronize of this thread return at once: for an owner that stops the
    // thread and must not be reached by its calls any more. Safe from any thread.
    void CancelSynchronize();

    // Terminate, CancelSynchronize, then wait until Execute has returned; a thread that was
    // never resumed is released without running Execute. Not from the thread itself.
    void TerminateAndWait();

protected:
    // The thread's body, run on the thread itself; it ends the thread by returning and
    // tests Terminated to learn that it should.
    virtual void Execute() = 0;

    // Runs Method on the main thread the next time that thread processes its queue, and
    // blocks until it has run there; on the main thread itself it runs at once. Returns
    // false, without running it, when CancelSynchronize was or is called. An exception
    // from Method is caught on the main thread and reported through
    // ApplicationHandleException with this thread as sender.
    bool Synchronize(const std::function<void()>& Method);

private:
    struct State;
    static void Run(const std::shared_ptr<State>& S, TThread* Self);
    void ExecuteReported();

    std::shared_ptr<State> FState;
};

// The main thread's side of the hand-over.

// Makes the calling thread the main thread. The thread that ran static initialisation is
// the main thread unless this is called.
void SetMainThread();
[[nodiscard]] bool IsMainThread();

// Installed by the user-interface backend: called from a worker thread each time a call
// is queued, to wake the main thread's message loop. Empty: no wake-up. It must not block
// and must not raise.
void SetWakeMainThread(std::function<void()> Wake);

// Runs every queued call, in the order queued, on the main thread. Returns true when at
// least one ran. Does nothing on another thread.
bool CheckSynchronize();

// Blocks the calling thread until a call is queued or Timeout passes; true when one is
// queued. For loops without a toolkit (the command-line reader, tests).
bool WaitForSynchronize(std::chrono::milliseconds Timeout);
