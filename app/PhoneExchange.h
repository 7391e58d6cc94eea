#pragma once
// The exchange of the identity commands with a phone, as rules without a port or a clock of
// its own. The window and kivo-read each drive one: they write the command it names, give it
// what they receive and the time it came, and say when their timer ran out or the port
// failed; it decides what each reply means, which command comes next and when the run ends.
//
// The rules:
// - Commands: the seven of QueryCommands in order, after "AT" when the rules ask for a
//   handshake. Each reply is taken apart by TReplyParser: echo, notices and the command's
//   own tag are dropped, OK ends an answer, ERROR and +CME ERROR a refusal.
// - Time: the phone may stay silent for one period: from a command's write to the first
//   character of its reply, and from each piece of the reply to the next. A reply that keeps
//   coming without a result code ends ReplyLimitPeriods periods after its write (a GPS
//   receiver's stream of text). The handshake's "AT" must be answered within its period.
// - A refused command ends the run under the window's rules, and is recorded with its
//   message under kivo-read's, which then asks the next one. A timeout, a reply too long or
//   lost characters end the run; so does a port that failed.
// - Input that the port held when it was opened, and whatever comes while no reply is
//   awaited, belongs to no reply: it only goes through the notice rules, so that the lines
//   of a notice begun there are still known as the notice's.
//
// Every byte written and received can be recorded in a trace (SetTrace).
//
// Used on one thread at a time.

#include "app/ExchangeTrace.h"
#include "app/PhoneQuery.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// How a run ended, or that it has not.
enum class TExchangeEnd : std::uint8_t {
    eeNone,       // no run has begun
    eeRunning,    // begun and not ended
    eeComplete,   // every command was asked: Answers, and Errors of those refused
    eeRefused,    // a command was refused, and the rules stop there
    eeNoAnswer,   // a reply came not in time, grew past its bound or lost characters
    eeDeviceLost, // the port failed
    eeSilent,     // handshake: nothing came back to "AT" in time
    eeNotAPhone,  // handshake: text came back, but no result code
    eeStopped,    // stopped from outside (the program was interrupted)
};

struct TExchangeRules {
    // The longest the phone may stay silent: before a reply and within one.
    std::chrono::milliseconds Period{ReplyTimeoutMs};
    // False: the first refused command ends the run (the window). True: every command is
    // asked, and the refused ones are recorded (kivo-read).
    bool AskEveryCommand = false;
    // When positive: "AT" goes first and must be answered within this time of its write.
    std::chrono::milliseconds Handshake{0};
};

// What an event did to the reply awaited.
enum class TStepResult : std::uint8_t {
    srWaiting,  // nothing ended: the reply is still awaited, or none was
    srAnswered, // the reply ended with OK: LastAnswer()
    srFailed,   // the reply ended otherwise: LastMessage()
};

// What came of a reply that ended without its result code: the message stays the same (the
// window shows it), this says why, for a driver that explains it.
enum class TSilence : std::uint8_t {
    siNothing,      // nothing came
    siStopped,      // readable text began the reply, then stopped coming
    siUnreadable,   // bytes came that form no text: the line speed may be another
    siNoResultCode, // text kept coming without a result code (a GPS receiver's stream)
};

// Whether Bytes are text a phone may send: UTF-8 without control characters but CR, LF and
// tab. Garbled bytes of a line at the wrong speed hardly ever are.
[[nodiscard]] bool IsReadableText(std::string_view Bytes);

inline constexpr std::string_view NoAnswerToAtMessage = "No answer to AT.";
inline constexpr std::string_view NotAPhoneMessage =
    "Text without a result code: not a phone or modem.";
inline constexpr std::string_view InterruptedMessage = "Interrupted.";

class TPhoneExchange {
public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;

    TPhoneExchange();

    // From now on, every command written and every piece received (also what the port held
    // when opened) is recorded in Trace under the name Port; none: nothing is. Trace must
    // outlive the exchange, or be replaced before it goes.
    void SetTrace(TExchangeTrace* Trace, std::string Port);

    // The port was opened; Waiting is what it held already, taken at Now. That, and the
    // lines received before, are no reply to anything: dropped.
    void Opened(std::string_view Waiting, TTime Now = TClock::now());
    // Starts a run at its first command. The received lines go on as they were.
    void Begin(const TExchangeRules& Rules);

    // True when no run is going on.
    [[nodiscard]] bool Ended() const { return FEnd != TExchangeEnd::eeRunning; }
    // True while a reply is awaited.
    [[nodiscard]] bool Awaiting() const { return FAwaiting; }
    // The command to write now; empty while a reply is awaited and once the run has ended.
    [[nodiscard]] std::string_view NextCommand() const;
    // The index in QueryCommands of the command awaited or to write; -1 for the handshake.
    [[nodiscard]] int Step() const { return FStep; }

    // NextCommand() was written at Now: its reply is awaited from then.
    void Sent(TTime Now);
    // Text received at Now.
    TStepResult Received(std::string_view Text, TTime Now);
    // When the reply awaited has taken too long: a period after its write or its last piece,
    // and ReplyLimitPeriods periods after its write at the latest.
    [[nodiscard]] TTime Deadline() const;
    // The driver's clock passed Deadline(), or its timer of one period, restarted at the write
    // and at each piece, ran out: the reply awaited ends unanswered.
    TStepResult TimedOut();
    // The port reported received characters lost: the reply awaited cannot be trusted.
    TStepResult Overrun();
    // The port failed (Message: what a person is told, DeviceLostMessage): the run ends. The
    // system's text, Reason, goes to the trace ("! device lost: Input/output error").
    TStepResult DeviceLost(const std::string& Message, std::string_view Reason = {});
    // The run is stopped from outside.
    void Stop();

    [[nodiscard]] TExchangeEnd End() const { return FEnd; }
    // What ended the run before its last command; empty when it went through.
    [[nodiscard]] const std::string& Message() const { return FMessage; }
    // How the reply that ended last ended (srWaiting: none has, since Begin).
    [[nodiscard]] TStepResult LastResult() const { return FLastResult; }
    // The reply that ended last: its answer, or the message of its failure.
    [[nodiscard]] const std::string& LastAnswer() const { return FLastAnswer; }
    [[nodiscard]] const std::string& LastMessage() const { return FLastMessage; }
    // Per command: the answer, or the message of its refusal; those before Asked() ended.
    [[nodiscard]] const std::array<std::string, QueryCommands.size()>& Answers() const {
        return FAnswers;
    }
    [[nodiscard]] const std::array<std::string, QueryCommands.size()>& Errors() const {
        return FErrors;
    }
    [[nodiscard]] std::size_t Asked() const { return FAsked; }
    // The whole of the reply awaited or ended last, as received.
    [[nodiscard]] const std::string& Response() const { return FParser.Response(); }
    // Of the reply that ended last without a result code (eeNoAnswer, eeSilent,
    // eeNotAPhone): what had come of it; siNothing otherwise.
    [[nodiscard]] TSilence Silence() const { return FSilence; }

private:
    [[nodiscard]] std::chrono::milliseconds Period() const;
    [[nodiscard]] int PeriodsAllowed() const;
    TStepResult ReplyEnded();
    TStepResult Answered();
    TStepResult Refused();
    TStepResult Failed(TExchangeEnd End, std::string Message);
    // What had come of the reply awaited when it ended without a result code at Limit: its
    // length's bound (a stream) or a period of silence.
    [[nodiscard]] TSilence SilenceOfReply(bool Limit) const;
    void Advance();

    TExchangeTrace* FTrace = nullptr;
    std::string FTracePort;
    TExchangeRules FRules;
    TReplyParser FParser = TReplyParser::Unawaited();
    TExchangeEnd FEnd = TExchangeEnd::eeNone;
    int FStep = 0;
    bool FAwaiting = false;
    bool FHeard = false; // something came since the write
    TSilence FSilence = TSilence::siNothing;
    TTime FSentAt;
    TTime FLastPieceAt;
    std::size_t FAsked = 0;
    std::array<std::string, QueryCommands.size()> FAnswers;
    std::array<std::string, QueryCommands.size()> FErrors;
    TStepResult FLastResult = TStepResult::srWaiting;
    std::string FLastAnswer;
    std::string FLastMessage;
    std::string FMessage;
};
