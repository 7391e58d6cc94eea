#include "app/PhoneReader.h"

#include "app/PortFailure.h"
#include "app/PortOpener.h"
#include "app/StartForm.h"
#include "runtime/Streaming.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Silence: what came of the reply that ended the run unanswered.
TReadOutcome OutcomeOf(const TPhoneExchange& Exchange, TSilence Silence) {
    switch (Exchange.End()) {
    case TExchangeEnd::eeComplete: {
        const auto& Errors = Exchange.Errors();
        const bool Refused = std::any_of(Errors.begin(), Errors.end(),
                                         [](const std::string& E) { return !E.empty(); });
        return Refused ? TReadOutcome::roPhoneError : TReadOutcome::roComplete;
    }
    case TExchangeEnd::eeDeviceLost:
        return TReadOutcome::roDeviceLost;
    case TExchangeEnd::eeSilent:
        return TReadOutcome::roNoAnswer;
    case TExchangeEnd::eeNotAPhone:
        return Silence == TSilence::siUnreadable ? TReadOutcome::roUnreadable
                                                 : TReadOutcome::roNotAPhone;
    case TExchangeEnd::eeStopped:
        return TReadOutcome::roStopped;
    case TExchangeEnd::eeNoAnswer:
        if (Silence == TSilence::siUnreadable) {
            return TReadOutcome::roUnreadable;
        }
        return Silence == TSilence::siNoResultCode ? TReadOutcome::roNotAPhone
                                                   : TReadOutcome::roPhoneError;
    case TExchangeEnd::eeNone:
    case TExchangeEnd::eeRunning:
    case TExchangeEnd::eeRefused:
        break;
    }
    return TReadOutcome::roPhoneError;
}

// One port's read, driven by its events and the caller's clock, on the main thread; only
// its open runs on a thread of its own (TPortOpener). The exchange decides; this writes what
// it names and gives it what the port receives.
class TPortRead {
public:
    TPortRead(const TPortChoice& Port, const TReadOptions& Options)
        : FRules{.Period = Options.ReplyTimeout,
                 .AskEveryCommand = true,
                 .Handshake = Port.SearchBaudrate ? Options.SearchBound : Options.Handshake},
          FComm(std::make_unique<TVaComm>(nullptr)), FSearching(Port.SearchBaudrate) {
        FResult.Device = Port.DeviceName;
        try {
            ApplyWindowPortSettings(*FComm);
            FComm->SetPortNum(Port.PortNum);
            FComm->SetDeviceName(Port.DeviceName);
            FResult.Device = FComm->GetPortName();
            if (Options.InputQueue > 0) {
                FComm->Buffers()->SetReadSize(Options.InputQueue);
            }
            const int Baudrate = FSearching ? SearchedBaudrates.front() : Options.Baudrate;
            if (Baudrate > 0) {
                FComm->SetBaudrate(brUser);
                FComm->SetUserBaudrate(Baudrate);
            }
        } catch (const std::exception& E) {
            End(TReadOutcome::roOpenFailed, E.what());
        }
        FExchange.SetTrace(Options.Trace, FResult.Device);
    }
    // Waits for an open still running; the opener closes what it opened.
    ~TPortRead() {
        FOpener.reset();
        ClosePort();
    }
    TPortRead(const TPortRead&) = delete;
    TPortRead& operator=(const TPortRead&) = delete;
    TPortRead(TPortRead&&) = delete;
    TPortRead& operator=(TPortRead&&) = delete;

    // Starts opening the port; the first command follows once it is open.
    void Start() {
        if (FEnded || FState != TState::stQueued) {
            return;
        }
        try {
            FOpener = std::make_unique<TPortOpener>(
                *FComm, [this](const std::optional<std::string>& Failure, TVaCommErrorCode Code) {
                    Opened(Failure, Code);
                });
        } catch (const std::exception& E) { // no thread to spare
            FState = TState::stClosed;
            End(TReadOutcome::roOpenFailed, E.what());
            return;
        }
        FState = TState::stOpening;
    }

    // While the port is being opened or is open, it holds the system's descriptors.
    [[nodiscard]] bool HoldsDescriptors() const {
        return FState == TState::stOpening || FState == TState::stOpen;
    }
    [[nodiscard]] bool Opening() const { return FState == TState::stOpening; }
    // Waiting for its turn to open.
    [[nodiscard]] bool Queued() const { return !FEnded && FState == TState::stQueued; }

    [[nodiscard]] bool Ended() const { return FEnded; }
    // When the exchange under way runs out of time; none while the port is not open.
    [[nodiscard]] Clock::time_point Deadline() const {
        return Exchanging() ? FExchange.Deadline() : Clock::time_point::max();
    }
    // The port is open and its read has not ended.
    [[nodiscard]] bool Exchanging() const { return !FEnded && FState == TState::stOpen; }

    // Ends the exchange whose time is up.
    void CheckDeadline(Clock::time_point Now) {
        if (Exchanging() && Now >= FExchange.Deadline()) {
            FExchange.TimedOut();
            WriteNextOrFinish();
        }
    }

    // A hand-over of some port raised: asks this port whether it is the one that failed.
    void ProbeForFailure() {
        if (!Exchanging()) {
            return;
        }
        try {
            (void)FComm->InQueueCount();
        } catch (const std::exception& E) {
            DeviceFailed(E.what());
        }
    }
    // The failure reported is this port's: the only one being read.
    void DeviceFailed(const std::string& Message) {
        if (Exchanging()) {
            FExchange.DeviceLost(DeviceLostMessage(FResult.Device), Message);
            WriteNextOrFinish();
        }
    }

    // Ends the read; a port still being opened is left to its opener, whose hand-over will
    // not run.
    void Stop() {
        if (Exchanging()) {
            FExchange.Stop();
            WriteNextOrFinish();
        } else if (!FEnded) { // queued, or still opening: no exchange has begun
            End(TReadOutcome::roStopped, std::string(InterruptedMessage));
        }
        if (FOpener) {
            FOpener->CancelSynchronize();
        }
    }

    // Closes an ended read's port; not from inside the port's handlers.
    void ClosePort() {
        if (!FEnded || FState != TState::stOpen) {
            return;
        }
        FState = TState::stClosed;
        FComm->OnRxChar = {};
        FComm->OnError = {};
        try {
            FComm->Close();
        } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): the read has ended
        }
    }

    [[nodiscard]] const TReadResult& Result() const { return FResult; }

private:
    enum class TState : std::uint8_t { stQueued, stOpening, stOpen, stClosed };

    // The opener's hand-over: the port is open, or why not.
    void Opened(const std::optional<std::string>& Failure, TVaCommErrorCode Code) {
        if (!Failure) {
            FState = TState::stOpen;
            FComm->OnRxChar = TVaCommRxCharEvent([this](TObject*, int) { Received(); });
            FComm->OnError =
                TVaCommErrorEvent([this](TObject*, int Errors) { LineErrors(Errors); });
            FExchange.Begin(FRules);
            try {
                // What the port held already (a module that has just booted) answers nothing.
                FExchange.Opened(FComm->ReadText());
            } catch (const std::exception& E) {
                FExchange.DeviceLost(DeviceLostMessage(FResult.Device), E.what());
            }
            WriteNextOrFinish();
            return;
        }
        FResult.OpenCode = Code;
        FState = TState::stClosed;
        End(TReadOutcome::roOpenFailed, *Failure);
    }

    // After an event: the next command when the exchange names one, the result when it ended.
    void WriteNextOrFinish() {
        if (FExchange.Ended() && !TryNextBaudrate()) {
            Finish();
            return;
        }
        if (FExchange.Awaiting()) {
            return;
        }
        try {
            FComm->WriteText(std::string(FExchange.NextCommand()));
            FExchange.Sent(Clock::now());
        } catch (const std::exception& E) {
            FExchange.DeviceLost(DeviceLostMessage(FResult.Device), E.what());
            Finish();
        }
    }

    void Received() {
        if (FEnded) {
            return;
        }
        std::string Chunk;
        try {
            Chunk = FComm->ReadText();
        } catch (const std::exception& E) {
            DeviceFailed(E.what());
            return;
        }
        FExchange.Received(Chunk, Clock::now());
        WriteNextOrFinish();
    }

    void LineErrors(int Errors) {
        if (!FEnded && IsReceiveOverrun(Errors)) {
            FExchange.Overrun();
            WriteNextOrFinish();
        }
    }

    // A search whose "AT" went unanswered at this speed goes on at the next one, with what
    // came at this one dropped; false when there is none left (or no search).
    bool TryNextBaudrate() {
        const bool Unanswered = FExchange.End() == TExchangeEnd::eeSilent ||
                                FExchange.End() == TExchangeEnd::eeNotAPhone;
        if (!FSearching || !Unanswered) {
            return false;
        }
        // Readable text tells most (a device that is no phone), then unreadable bytes (one
        // at another speed).
        FSearchSilence = std::max(FSearchSilence, FExchange.Silence());
        if (FRateIndex + 1 >= SearchedBaudrates.size()) {
            return false;
        }
        try {
            FComm->SetUserBaudrate(SearchedBaudrates.at(++FRateIndex));
            FExchange.Opened(FComm->ReadText());
        } catch (const std::exception& E) {
            FExchange.DeviceLost(DeviceLostMessage(FResult.Device), E.what());
            return false;
        }
        FExchange.Begin(FRules);
        return true;
    }

    void Finish() {
        if (FSearching && FExchange.Step() >= 0) { // "AT" was answered at this speed
            FResult.Baudrate = SearchedBaudrates.at(FRateIndex);
        }
        FResult.Answers = FExchange.Answers();
        FResult.Errors = FExchange.Errors();
        FResult.Count = FExchange.Asked();
        FResult.Silence = FExchange.Silence();
        const bool SearchFailed = FSearching && FExchange.Step() < 0;
        if (SearchFailed && FExchange.End() != TExchangeEnd::eeStopped) {
            FResult.Silence = FSearchSilence;
        }
        TReadOutcome Outcome = OutcomeOf(FExchange, FResult.Silence);
        if (SearchFailed && FResult.Silence == TSilence::siUnreadable) {
            Outcome = TReadOutcome::roUnreadable;
        }
        End(Outcome, FExchange.Message());
    }

    void End(TReadOutcome Outcome, std::string Error) {
        FEnded = true;
        FResult.Outcome = Outcome;
        FResult.Error = std::move(Error);
    }

    const TExchangeRules FRules;
    std::unique_ptr<TVaComm> FComm;
    TPhoneExchange FExchange;
    TReadResult FResult;
    bool FEnded = false;
    TState FState = TState::stQueued;
    const bool FSearching;      // the line speed is searched
    std::size_t FRateIndex = 0; // the speed of SearchedBaudrates in use while searching
    TSilence FSearchSilence = TSilence::siNothing; // the most telling of the speeds tried
    std::unique_ptr<TPortOpener> FOpener;          // before FComm goes, it has ended
};

// While it lives, failures that hand-overs raise are collected instead of reported.
class TFailureCollector {
public:
    TFailureCollector() {
        SetApplicationExceptionHandler(
            [this](TObject*, const std::exception& E) { FMessages.emplace_back(E.what()); });
    }
    ~TFailureCollector() { SetApplicationExceptionHandler({}); }
    TFailureCollector(const TFailureCollector&) = delete;
    TFailureCollector& operator=(const TFailureCollector&) = delete;
    TFailureCollector(TFailureCollector&&) = delete;
    TFailureCollector& operator=(TFailureCollector&&) = delete;

    // The failures collected since the last call.
    std::vector<std::string> Take() { return std::exchange(FMessages, {}); }

private:
    std::vector<std::string> FMessages;
};

// A port's failure reaches the main thread as a hand-over that raised; the failing port is
// the one whose status cannot be read any more.
void AssignFailures(std::vector<std::unique_ptr<TPortRead>>& Reads,
                    const std::vector<std::string>& Failures) {
    if (Failures.empty()) {
        return;
    }
    std::vector<TPortRead*> Running;
    for (const auto& Read : Reads) {
        if (Read->Exchanging()) {
            Running.push_back(Read.get());
        }
    }
    if (Running.size() == 1) {
        Running.front()->DeviceFailed(Failures.front());
        return;
    }
    for (TPortRead* Read : Running) {
        Read->ProbeForFailure();
    }
}

using TReads = std::vector<std::unique_ptr<TPortRead>>;

// Starts opening the ports in line, in their order, while fewer than AtOnce hold descriptors.
void StartOpensInTurn(const TReads& Reads, std::size_t AtOnce) {
    auto Holding = static_cast<std::size_t>(std::count_if(
        Reads.begin(), Reads.end(), [](const auto& R) { return R->HoldsDescriptors(); }));
    for (const auto& Read : Reads) {
        if (Holding >= AtOnce) {
            return;
        }
        if (Read->Queued()) {
            Read->Start();
            Holding += Read->HoldsDescriptors() ? 1 : 0;
        }
    }
}

// How long the loop may wait for hand-overs: until the next deadline; while no exchange
// runs, until a port's open or a stop request is handed over.
std::chrono::milliseconds TimeToNextDeadline(const TReads& Reads) {
    Clock::time_point Next = Clock::time_point::max();
    for (const auto& Read : Reads) {
        Next = std::min(Next, Read->Deadline());
    }
    if (Next == Clock::time_point::max()) {
        return std::chrono::hours(24);
    }
    return std::chrono::ceil<std::chrono::milliseconds>(Next - Clock::now());
}

// Reads stopped while their port was still being opened: a thread of their own waits for
// those opens and closes what they opened, so that the stop waits for no device.
void CloseWhenOpened(TReads Pending) {
    if (Pending.empty()) {
        return;
    }
    try {
        std::thread([Reads = std::move(Pending)]() mutable { Reads.clear(); }).detach();
    } catch (const std::system_error&) { // NOLINT(bugprone-empty-catch)
        // No thread to spare: the reads, handed to the thread that did not start, are
        // destroyed here, waiting for their opens.
    }
}

} // namespace

void ApplyWindowPortSettings(TVaComm& Comm) {
    ReadComponent(ComponentSettings(StartFormText(), "vaComm"), Comm);
}

std::vector<TReadResult> ReadPhones(const std::vector<TPortChoice>& Ports,
                                    const TReadOptions& Options,
                                    const std::function<bool()>& Stopped) {
    TFailureCollector Failures;
    TReads Reads;
    for (const TPortChoice& Port : Ports) {
        Reads.push_back(std::make_unique<TPortRead>(Port, Options));
    }
    const std::size_t AtOnce =
        Options.PortsAtOnce > 0 ? Options.PortsAtOnce : std::numeric_limits<std::size_t>::max();
    StartOpensInTurn(Reads, AtOnce);
    auto Running = [&Reads] {
        return std::any_of(Reads.begin(), Reads.end(), [](const auto& R) { return !R->Ended(); });
    };
    bool Stop = false;
    while (Running() && !Stop) {
        if (const auto Left = TimeToNextDeadline(Reads); Left.count() > 0) {
            (void)WaitForSynchronize(Left); // what came meanwhile is taken below in any case
        }
        // Every reply handed over so far is taken before a deadline is judged.
        if (CheckSynchronize()) {
            AssignFailures(Reads, Failures.Take());
            Stop = Stopped && Stopped();
        }
        const auto Now = Clock::now();
        for (const auto& Read : Reads) {
            Read->CheckDeadline(Now);
            Read->ClosePort();
        }
        if (!Stop) {
            StartOpensInTurn(Reads, AtOnce);
        }
    }
    std::vector<TReadResult> Results;
    TReads StillOpening;
    for (auto& Read : Reads) {
        Read->Stop();
        Read->ClosePort();
        Results.push_back(Read->Result());
        if (Read->Opening()) {
            StillOpening.push_back(std::move(Read));
        }
    }
    CloseWhenOpened(std::move(StillOpening));
    return Results;
}

TReadResult ReadPhoneIdentity(const TPortChoice& Port, std::chrono::milliseconds ReplyTimeout) {
    TReadOptions Options;
    Options.ReplyTimeout = ReplyTimeout;
    return ReadPhones({Port}, Options).front();
}
