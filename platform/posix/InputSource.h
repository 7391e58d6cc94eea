#pragma once
// A device that a thread waiting on an event may receive from itself. While an operation that
// signals the event is pending (a WaitCommEvent, a ReadFile), the waiting thread watches the
// device's descriptor beside its own wake-up and, when bytes come, takes them in on its own
// thread: the driver thread is not woken first just to hand them over.

#include "platform/posix/Win32Posix.h"

#include <memory>

namespace kivo::posix {

class InputSource {
public:
    InputSource() = default;
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;
    virtual ~InputSource() = default;

    // Called by the waiting thread, holding no lock. BeginWatch returns the descriptor to poll
    // for input, or -1 when there is nothing to watch for; while a watch lasts the driver
    // thread leaves input to the watcher. Every BeginWatch that returned a descriptor is
    // followed by one EndWatch.
    virtual int BeginWatch() = 0;
    virtual void EndWatch() = 0;
    // The descriptor polled ready: takes in what came; HungUp when poll reported a hang-up
    // or an error.
    virtual void TakeInput(bool HungUp) = 0;
    // A thread learns of the device's pending operations without watching it (it waits on
    // them otherwise, or only asks whether they are done): until nothing is pending, the
    // driver thread takes input in for them.
    virtual void AwaitUnwatched() = 0;
};

// Names Source as what a thread waiting on Event may receive from (an empty pointer: none).
// Any thread; does nothing for a handle that is not an event.
void SetEventSource(HANDLE Event, std::weak_ptr<InputSource> Source);

} // namespace kivo::posix
