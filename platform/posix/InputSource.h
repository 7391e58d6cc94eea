#pragma once
// Something a thread waiting on an event may take input in from itself, registered with the
// event by its owner (a serial device while one of its operations that signal the event is
// pending). The event objects know nothing more of it than this interface: a waiting thread
// polls the source's descriptor beside its own wake-up and, when the descriptor is ready,
// lets the source take in what came on that thread; the source's own thread is not woken
// first just to hand it over.

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
    // for input, or -1 when there is nothing to watch for; while a watch lasts the source
    // leaves its input to the watching thread. Every BeginWatch that returned a descriptor is
    // followed by one EndWatch.
    virtual int BeginWatch() = 0;
    virtual void EndWatch() = 0;
    // The descriptor polled ready: takes in what came; HungUp when poll reported a hang-up
    // or an error.
    virtual void TakeInput(bool HungUp) = 0;
    // A thread awaits what is pending at the source without watching it (it waits on other
    // sources, cannot poll, or only asks whether the operations are done): until nothing is
    // pending, the source takes its input in by itself.
    virtual void AwaitWithoutWatching() = 0;
};

// Names Source as what a thread waiting on Event may take input in from; an empty pointer
// names none. True when Source was named. False when Event is no event, and when a thread
// already waits on Event: it went to sleep without watching Source, so the caller must take
// its input in by itself. Any thread; may be called holding the source's lock.
bool SetEventSource(HANDLE Event, std::weak_ptr<InputSource> Source);

} // namespace kivo::posix
