#pragma once
// How a serial device's operations start and complete (Operation.h).
//
// Every operation record (OVERLAPPED) and every caller's buffer is touched only under the
// device's lock and only while its operation is pending; completing an operation, cancelling
// it or closing the device ends every access to them.

#include "platform/posix/InputSource.h"
#include "platform/posix/Operation.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace kivo::posix {

// Every call but the constructor and SetWatchedSource runs under the device's lock.
class Completions {
public:
    explicit Completions(bool Overlapped) : FOverlapped(Overlapped) {}

    // The device's input, named as the input source of watched operations; set once, at open.
    void SetWatchedSource(std::weak_ptr<InputSource> Source) { FSource = std::move(Source); }
    [[nodiscard]] const std::weak_ptr<InputSource>& WatchedSource() const { return FSource; }

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
    // Blocks (Lock held on entry and on return) until Done holds, asked after each completion.
    template <class Condition> void AwaitUntil(std::unique_lock<std::mutex>& Lock, Condition Done) {
        FCompleted.wait(Lock, Done);
    }

    // Whether Record's operation is still pending, and its result; any thread.
    [[nodiscard]] static bool Pending(const OVERLAPPED& Record);
    [[nodiscard]] static DWORD Result(const OVERLAPPED& Record);
    // Stores Status as the result of Record's operation; under the lock.
    static void SetStatus(OVERLAPPED& Record, DWORD Status);

private:
    const bool FOverlapped;
    std::weak_ptr<InputSource> FSource;
    std::condition_variable FCompleted;
};

} // namespace kivo::posix
