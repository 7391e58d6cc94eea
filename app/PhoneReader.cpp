#include "app/PhoneReader.h"

#include "app/Imei.h"
#include "app/PhoneExchange.h"
#include "app/StartForm.h"
#include "platform/OpenFailure.h"
#include "runtime/Streaming.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// The serial number's place in QueryCommands (+CGSN, the last).
constexpr std::size_t SerialNumberIndex = QueryCommands.size() - 1;
static_assert(QueryCommands[SerialNumberIndex].Key == "CGSN");

bool IsComName(std::string_view Text, int& Number) {
    if (Text.size() < 4 || Text.size() > 6) {
        return false;
    }
    const std::string_view Prefix = Text.substr(0, 3);
    if (!std::equal(Prefix.begin(), Prefix.end(), "COM", [](char A, char B) {
            return std::toupper(static_cast<unsigned char>(A)) == B;
        })) {
        return false;
    }
    Number = 0;
    for (const char C : Text.substr(3)) {
        if (std::isdigit(static_cast<unsigned char>(C)) == 0) {
            return false;
        }
        Number = Number * 10 + (C - '0');
    }
    return Number >= 1;
}

// The length of the UTF-8 sequence at the start of Text, 0 when there is none.
std::size_t Utf8Length(std::string_view Text, char32_t& Code) {
    const auto Lead = static_cast<unsigned char>(Text[0]);
    std::size_t Length = 0;
    if (Lead >= 0xC2 && Lead <= 0xDF) {
        Length = 2;
        Code = Lead & 0x1FU;
    } else if (Lead >= 0xE0 && Lead <= 0xEF) {
        Length = 3;
        Code = Lead & 0x0FU;
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
        Length = 4;
        Code = Lead & 0x07U;
    }
    if (Length == 0 || Text.size() < Length) {
        return 0;
    }
    for (std::size_t I = 1; I < Length; ++I) {
        const auto Next = static_cast<unsigned char>(Text[I]);
        if ((Next & 0xC0U) != 0x80U) {
            return 0;
        }
        Code = (Code << 6U) | (Next & 0x3FU);
    }
    const bool Overlong = (Length == 3 && Code < 0x800) || (Length == 4 && Code < 0x10000);
    const bool Invalid = Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF);
    return Overlong || Invalid ? 0 : Length;
}

// Control characters (C0, DEL, C1), and the characters that change the direction of the text
// around them or break its line: a device's text could make a line read differently from
// what it sent.
bool IsControl(char32_t Code) {
    const bool Bidirectional = Code == 0x061C || Code == 0x200E || Code == 0x200F ||
                               (Code >= 0x202A && Code <= 0x202E) ||
                               (Code >= 0x2066 && Code <= 0x2069);
    const bool LineBreaking = Code == 0x2028 || Code == 0x2029;
    return Code < 0x20 || (Code >= 0x7F && Code <= 0x9F) || Bidirectional || LineBreaking;
}

// " (what is wrong)" after a serial number that cannot be right as sent; empty otherwise.
std::string SerialNumberNote(std::string_view Answer) {
    if (SerialNumberFault(Answer).empty() && ImeiCheckDigitRight(Answer) != false) {
        return {};
    }
    return " (" + ImeiVerdictText(Answer) + ")";
}

void AppendUtf8(std::string& Out, char32_t Code) {
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
        Out += static_cast<char>(0xC0U | (Code >> 6U));
        Out += static_cast<char>(0x80U | (Code & 0x3FU));
    } else if (Code < 0x10000) {
        Out += static_cast<char>(0xE0U | (Code >> 12U));
        Out += static_cast<char>(0x80U | ((Code >> 6U) & 0x3FU));
        Out += static_cast<char>(0x80U | (Code & 0x3FU));
    } else {
        Out += static_cast<char>(0xF0U | (Code >> 18U));
        Out += static_cast<char>(0x80U | ((Code >> 12U) & 0x3FU));
        Out += static_cast<char>(0x80U | ((Code >> 6U) & 0x3FU));
        Out += static_cast<char>(0x80U | (Code & 0x3FU));
    }
}

// "\u" and four hex digits: Unit is one UTF-16 code unit.
void AppendEscape(std::string& Out, unsigned Unit) {
    constexpr std::string_view Digits = "0123456789abcdef";
    Out += "\\u";
    for (int Shift = 12; Shift >= 0; Shift -= 4) {
        Out += Digits[(Unit >> static_cast<unsigned>(Shift)) & 0xFU];
    }
}

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

    TPortOpener(TVaComm& Comm, TOpened Opened)
        : TThread(true), FComm(Comm), FOpened(std::move(Opened)) {
        Resume();
    }
    ~TPortOpener() override { TerminateAndWait(); }
    TPortOpener(const TPortOpener&) = delete;
    TPortOpener& operator=(const TPortOpener&) = delete;
    TPortOpener(TPortOpener&&) = delete;
    TPortOpener& operator=(TPortOpener&&) = delete;

protected:
    void Execute() override {
        std::optional<std::string> Failure;
        TVaCommErrorCode Code = TVaCommErrorCode::ecOther;
        try {
            FComm.Open();
        } catch (const std::exception& E) {
            Code = ErrorCodeOf(E);
            Failure = PortFailureMessage(E, FComm.GetPortName());
        }
        if (Synchronize([&] { FOpened(Failure, Code); }) || !FComm.Active()) {
            return;
        }
        try {
            FComm.Close();
        } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): the read has ended
        }
    }

private:
    TVaComm& FComm;
    const TOpened FOpened;
};

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
    [[nodiscard]] bool Holds() const {
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
            Settle();
        }
    }

    // A hand-over of some port raised: asks this port whether it is the one that failed.
    void CheckDevice() {
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
            Settle();
        }
    }

    // Ends the read; a port still being opened is left to its opener, whose hand-over will
    // not run.
    void Stop() {
        if (Exchanging()) {
            FExchange.Stop();
            Settle();
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
            Settle();
            return;
        }
        FResult.OpenCode = Code;
        FState = TState::stClosed;
        End(TReadOutcome::roOpenFailed, *Failure);
    }

    // After an event: the next command when the exchange names one, the result when it ended.
    void Settle() {
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
        Settle();
    }

    void LineErrors(int Errors) {
        if (!FEnded && IsReceiveOverrun(Errors)) {
            FExchange.Overrun();
            Settle();
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
        Read->CheckDevice();
    }
}

using TReads = std::vector<std::unique_ptr<TPortRead>>;

// Starts opening the ports in line, in their order, while fewer than AtOnce hold descriptors.
void GiveTurns(const TReads& Reads, std::size_t AtOnce) {
    auto Holding = static_cast<std::size_t>(
        std::count_if(Reads.begin(), Reads.end(), [](const auto& R) { return R->Holds(); }));
    for (const auto& Read : Reads) {
        if (Holding >= AtOnce) {
            return;
        }
        if (Read->Queued()) {
            Read->Start();
            Holding += Read->Holds() ? 1 : 0;
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
void LetGo(TReads Pending) {
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

TVaCommErrorCode ErrorCodeOf(const std::exception& E) {
    const auto* Comm = dynamic_cast<const EVaCommError*>(&E);
    return Comm != nullptr ? Comm->Code() : TVaCommErrorCode::ecOther;
}

std::string PortFailureMessage(const std::exception& E, const std::string& Device) {
    std::string Advice;
    switch (ErrorCodeOf(E)) {
    case TVaCommErrorCode::ecNotFound:
        Advice = kivo::MissingDeviceAdvice(Device);
        break;
    case TVaCommErrorCode::ecDenied:
        Advice = kivo::DeniedDeviceAdvice(Device);
        break;
    case TVaCommErrorCode::ecBusy:
        Advice = kivo::BusyDeviceAdvice(Device);
        break;
    default:
        break;
    }
    std::string Message = E.what();
    if (!Advice.empty()) {
        Message += Message.ends_with('.') ? " " : ". ";
        Message += Advice;
    }
    return Message;
}

std::optional<TPortChoice> ParsePortChoice(std::string_view Text) {
    if (Text.find('/') != std::string_view::npos) {
        return TPortChoice{0, TVaComm::DeviceNameForPath(Text)};
    }
    // Windows' device namespace prefix, as its port list names ports: "\\.\COM12".
    constexpr std::string_view DevicePrefix = R"(\\.\)";
    if (Text.starts_with(DevicePrefix)) {
        Text.remove_prefix(DevicePrefix.size());
    }
    int Number = 0;
    if (IsComName(Text, Number)) {
        return TPortChoice{Number, "COM%d"};
    }
    return std::nullopt;
}

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
    GiveTurns(Reads, AtOnce);
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
            GiveTurns(Reads, AtOnce);
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
    LetGo(std::move(StillOpening));
    return Results;
}

TReadResult ReadPhoneIdentity(const TPortChoice& Port, std::chrono::milliseconds ReplyTimeout) {
    TReadOptions Options;
    Options.ReplyTimeout = ReplyTimeout;
    return ReadPhones({Port}, Options).front();
}

std::u32string DeviceCharacters(std::string_view Text) {
    std::u32string Characters;
    while (!Text.empty()) {
        char32_t Code = 0;
        std::size_t Length = Utf8Length(Text, Code);
        if (Length == 0) {
            Code = static_cast<unsigned char>(Text[0]);
            Length = 1;
        }
        Characters += Code;
        Text.remove_prefix(Length);
    }
    return Characters;
}

std::string EscapedForTerminal(std::string_view Text) {
    std::string Out;
    for (const char32_t Code : DeviceCharacters(Text)) {
        if (Code == '\\') {
            Out += "\\\\";
        } else if (IsControl(Code)) {
            AppendEscape(Out, Code);
        } else {
            AppendUtf8(Out, Code);
        }
    }
    return Out;
}

std::string EscapedBytes(std::string_view Bytes) {
    constexpr std::string_view Digits = "0123456789abcdef";
    std::string Out;
    while (!Bytes.empty()) {
        char32_t Code = 0;
        std::size_t Length = Utf8Length(Bytes, Code);
        if (Length == 0) {
            Length = 1;
            Code = static_cast<unsigned char>(Bytes[0]);
        }
        if (Code == '\\') {
            Out += "\\\\";
        } else if (Code == '\r' || Code == '\n' || Code == '\t') {
            Out += Code == '\r' ? "\\r" : (Code == '\n' ? "\\n" : "\\t");
        } else if (IsControl(Code) || (Length == 1 && Code >= 0x80)) {
            for (const char Byte : Bytes.substr(0, Length)) {
                const auto Value = static_cast<unsigned char>(Byte);
                Out += "\\x";
                Out += Digits[Value >> 4U];
                Out += Digits[Value & 0xFU];
            }
        } else {
            Out += Bytes.substr(0, Length);
        }
        Bytes.remove_prefix(Length);
    }
    return Out;
}

std::string JsonString(std::string_view Text) {
    std::string Out = "\"";
    for (const char32_t Code : DeviceCharacters(Text)) {
        if (Code == '"' || Code == '\\') {
            Out += '\\';
            Out += static_cast<char>(Code);
        } else if (Code >= 0x10000) {
            const char32_t Rest = Code - 0x10000;
            AppendEscape(Out, 0xD800U + (Rest >> 10U));
            AppendEscape(Out, 0xDC00U + (Rest & 0x3FFU));
        } else if (Code < 0x20 || Code >= 0x7F) {
            AppendEscape(Out, Code);
        } else {
            Out += static_cast<char>(Code);
        }
    }
    return Out + '"';
}

std::string FormatAsText(const TReadResult& Result) {
    std::string Out;
    for (std::size_t I = 0; I < QueryCommands.size() && Result.Count > 0; ++I) {
        Out += QueryCommands.at(I).Label;
        if (I < Result.Count && Result.Errors.at(I).empty()) {
            Out += " " + EscapedForTerminal(Result.Answers.at(I));
            if (I == SerialNumberIndex) {
                Out += SerialNumberNote(Result.Answers.at(I));
            }
        }
        Out += "\n";
    }
    return Out;
}

std::string FieldErrorsText(const TReadResult& Result) {
    std::string Out;
    for (std::size_t I = 0; I < Result.Count; ++I) {
        if (!Result.Errors.at(I).empty()) {
            Out += "AT+" + std::string(QueryCommands.at(I).Key) + ": " +
                   EscapedForTerminal(Result.Errors.at(I)) + "\n";
        }
    }
    return Out;
}

std::string JsonFields(const TReadResult& Result) {
    std::string Out;
    for (std::size_t I = 0; I < Result.Count; ++I) {
        if (Result.Errors.at(I).empty()) {
            Out += Out.empty() ? "" : ", ";
            Out += JsonString(QueryCommands.at(I).Key) + ": " + JsonString(Result.Answers.at(I));
        }
    }
    return Out;
}

std::string JsonFieldErrors(const TReadResult& Result) {
    std::string Out;
    for (std::size_t I = 0; I < Result.Count; ++I) {
        if (!Result.Errors.at(I).empty()) {
            Out += Out.empty() ? "" : ", ";
            Out += JsonString(QueryCommands.at(I).Key) + ": " + JsonString(Result.Errors.at(I));
        }
    }
    return Out;
}

namespace {

std::optional<bool> SerialImeiRight(const TReadResult& Result) {
    if (Result.Count <= SerialNumberIndex || !Result.Errors.at(SerialNumberIndex).empty()) {
        return std::nullopt;
    }
    return ImeiCheckDigitRight(Result.Answers.at(SerialNumberIndex));
}

} // namespace

std::string JsonImeiVerdict(const TReadResult& Result) {
    const auto Right = SerialImeiRight(Result);
    if (!Right) {
        return {};
    }
    return std::string("\"imei_valid\": ") + (*Right ? "true" : "false");
}

bool ImeiCheckFailed(const TReadResult& Result) {
    return SerialImeiRight(Result) == false;
}

std::string SerialNumberProblem(const TReadResult& Result) {
    if (Result.Count <= SerialNumberIndex || !Result.Errors.at(SerialNumberIndex).empty()) {
        return {};
    }
    return SerialNumberNote(Result.Answers.at(SerialNumberIndex)).empty()
               ? std::string()
               : ImeiVerdictText(Result.Answers.at(SerialNumberIndex));
}

std::string JsonSerialError(const TReadResult& Result) {
    if (Result.Count <= SerialNumberIndex || !Result.Errors.at(SerialNumberIndex).empty()) {
        return {};
    }
    const std::string Fault = SerialNumberFault(Result.Answers.at(SerialNumberIndex));
    return Fault.empty() ? std::string() : "\"serial_error\": " + JsonString(Fault);
}

std::string FormatAsJson(const TReadResult& Result) {
    std::string Out = "{" + JsonFields(Result);
    if (const std::string Verdict = JsonImeiVerdict(Result); !Verdict.empty()) {
        Out += ", " + Verdict;
    }
    if (const std::string Fault = JsonSerialError(Result); !Fault.empty()) {
        Out += ", " + Fault;
    }
    if (const std::string Errors = JsonFieldErrors(Result); !Errors.empty()) {
        Out += Out.size() == 1 ? "" : ", ";
        Out += JsonString("errors") + ": {" + Errors + "}";
    }
    if (!Result.Error.empty()) {
        Out += Out.size() == 1 ? "" : ", ";
        Out += JsonString("error") + ": " + JsonString(Result.Error);
    }
    return Out + "}\n";
}
