#include "app/PhoneReader.h"

#include "app/PhoneExchange.h"
#include "app/StartForm.h"
#include "platform/Win32Api.h"
#include "runtime/Streaming.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

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

bool IsControl(char32_t Code) {
    return Code < 0x20 || (Code >= 0x7F && Code <= 0x9F);
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

TReadOutcome OutcomeOf(const TPhoneExchange& Exchange) {
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
        return TReadOutcome::roNotAPhone;
    case TExchangeEnd::eeStopped:
        return TReadOutcome::roStopped;
    case TExchangeEnd::eeNone:
    case TExchangeEnd::eeRunning:
    case TExchangeEnd::eeRefused:
    case TExchangeEnd::eeNoAnswer:
        break;
    }
    return TReadOutcome::roPhoneError;
}

// One port's read, driven by its events and the caller's clock, on the main thread: the
// exchange decides, this writes what it names and gives it what the port receives.
class TPortRead {
public:
    TPortRead(const TPortChoice& Port, const TReadOptions& Options)
        : FRules{.Period = Options.ReplyTimeout,
                 .AskEveryCommand = true,
                 .Handshake = Options.Handshake},
          FComm(std::make_unique<TVaComm>(nullptr)) {
        FResult.Device = Port.DeviceName;
        try {
            ApplyWindowPortSettings(*FComm);
            FComm->SetPortNum(Port.PortNum);
            FComm->SetDeviceName(Port.DeviceName);
            FResult.Device = FComm->GetPortName();
            if (Options.InputQueue > 0) {
                FComm->Buffers()->SetReadSize(Options.InputQueue);
            }
            if (Options.Baudrate > 0) {
                FComm->SetBaudrate(brUser);
                FComm->SetUserBaudrate(Options.Baudrate);
            }
        } catch (const std::exception& E) {
            End(TReadOutcome::roOpenFailed, E.what());
        }
    }
    ~TPortRead() { ClosePort(); }
    TPortRead(const TPortRead&) = delete;
    TPortRead& operator=(const TPortRead&) = delete;
    TPortRead(TPortRead&&) = delete;
    TPortRead& operator=(TPortRead&&) = delete;

    // Opens the port and writes the first command.
    void Start() {
        if (FEnded) {
            return;
        }
        try {
            FComm->Open();
        } catch (const std::exception& E) {
            FResult.OpenCode = GetLastError();
            End(TReadOutcome::roOpenFailed, E.what());
            return;
        }
        FComm->OnRxChar = TVaCommRxCharEvent([this](TObject*, int) { Received(); });
        FComm->OnError = TVaCommErrorEvent([this](TObject*, int Errors) { LineErrors(Errors); });
        FExchange.Begin(FRules);
        try {
            // What the port held already (a module that has just booted) answers nothing.
            FExchange.Opened(FComm->ReadText());
        } catch (const std::exception& E) {
            FExchange.DeviceLost(DeviceLostMessage(FResult.Device, E.what()));
        }
        Settle();
    }

    [[nodiscard]] bool Ended() const { return FEnded; }
    [[nodiscard]] Clock::time_point Deadline() const { return FExchange.Deadline(); }

    // Ends the exchange whose time is up.
    void CheckDeadline(Clock::time_point Now) {
        if (!FEnded && Now >= FExchange.Deadline()) {
            FExchange.TimedOut();
            Settle();
        }
    }

    // A hand-over of some port raised: asks this port whether it is the one that failed.
    void CheckDevice() {
        if (FEnded) {
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
        if (!FEnded) {
            FExchange.DeviceLost(DeviceLostMessage(FResult.Device, Message));
            Settle();
        }
    }

    void Stop() {
        if (!FEnded) {
            FExchange.Stop();
            Settle();
        }
    }

    // Closes an ended read's port; not from inside the port's handlers.
    void ClosePort() {
        if (!FEnded || !FComm->Active()) {
            return;
        }
        FComm->OnRxChar = {};
        FComm->OnError = {};
        try {
            FComm->Close();
        } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): the read has ended
        }
    }

    [[nodiscard]] const TReadResult& Result() const { return FResult; }

private:
    // After an event: the next command when the exchange names one, the result when it ended.
    void Settle() {
        if (FExchange.Ended()) {
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
            FExchange.DeviceLost(DeviceLostMessage(FResult.Device, E.what()));
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

    void Finish() {
        FResult.Answers = FExchange.Answers();
        FResult.Errors = FExchange.Errors();
        FResult.Count = FExchange.Asked();
        End(OutcomeOf(FExchange), FExchange.Message());
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
        if (!Read->Ended()) {
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

} // namespace

std::string DeviceNameForPath(std::string_view Path) {
    std::string Name;
    for (const char C : Path) {
        Name += C;
        if (C == '%') {
            Name += '%';
        }
    }
    return Name;
}

std::optional<TPortChoice> ParsePortChoice(std::string_view Text) {
    if (Text.find('/') != std::string_view::npos) {
        return TPortChoice{0, DeviceNameForPath(Text)};
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
    std::vector<std::unique_ptr<TPortRead>> Reads;
    for (const TPortChoice& Port : Ports) {
        Reads.push_back(std::make_unique<TPortRead>(Port, Options));
        Reads.back()->Start();
    }
    auto Running = [&Reads] {
        return std::any_of(Reads.begin(), Reads.end(), [](const auto& R) { return !R->Ended(); });
    };
    bool Stop = false;
    while (Running() && !Stop) {
        Clock::time_point Next = Clock::time_point::max();
        for (const auto& Read : Reads) {
            if (!Read->Ended()) {
                Next = std::min(Next, Read->Deadline());
            }
        }
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Next - Clock::now());
        if (Left.count() > 0 && WaitForSynchronize(Left)) {
            CheckSynchronize();
            AssignFailures(Reads, Failures.Take());
            Stop = Stopped && Stopped();
        }
        const auto Now = Clock::now();
        for (const auto& Read : Reads) {
            Read->CheckDeadline(Now);
            Read->ClosePort();
        }
    }
    std::vector<TReadResult> Results;
    for (const auto& Read : Reads) {
        Read->Stop();
        Read->ClosePort();
        Results.push_back(Read->Result());
    }
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
    for (std::size_t I = 0; I < Result.Count; ++I) {
        if (Result.Errors.at(I).empty()) {
            Out += std::string(QueryCommands.at(I).Label) + " " +
                   EscapedForTerminal(Result.Answers.at(I)) + "\n";
        }
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

std::string FormatAsJson(const TReadResult& Result) {
    std::string Out = "{" + JsonFields(Result);
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
