#pragma once
// The open of one port of a read on a thread of its own (PhoneReader).

#include "runtime/Thread.h"
#include "serial/VaTypes.h"

#include <functional>
#include <optional>
#include <string>

class TVaComm;

// Opens a port's component on a thread of its own and hands the outcome to the main thread.
// An open may take seconds (a USB device slow to answer its set-up, a Bluetooth link being
// made); meanwhile the other ports' exchanges go on and a stop request is taken at once.
// Until the outcome is handed over the main thread leaves the component alone and has set
// no handler on it, so the open is all that happens to it. When the hand-over is cancelled
// (the read was stopped meanwhile), this thread closes the port again: nobody waits for it.
class TPortOpener : public TThread {
public:
    // Opened runs on the main thread with the open's failure (none when the port opened),
    // advice included, and its cause.
    using TOpened =
        std::function<void(const std::optional<std::string>& Failure, TVaCommErrorCode Code)>;

    // Starts opening Comm at once. Main thread.
    TPortOpener(TVaComm& Comm, TOpened Opened);
    ~TPortOpener() override { TerminateAndWait(); }
    TPortOpener(const TPortOpener&) = delete;
    TPortOpener& operator=(const TPortOpener&) = delete;
    TPortOpener(TPortOpener&&) = delete;
    TPortOpener& operator=(TPortOpener&&) = delete;

protected:
    void Execute() override;

private:
    TVaComm& FComm;
    const TOpened FOpened;
};
