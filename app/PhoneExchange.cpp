#include "app/PhoneExchange.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::string_view HandshakeCommand = "AT\r\n";

// The length of the UTF-8 sequence of a character beyond ASCII at the start of Text; 0 when
// none starts there.
std::size_t SequenceLength(std::string_view Text) {
    const auto Lead = static_cast<unsigned char>(Text[0]);
    const std::size_t Length = Lead >= 0xC2 && Lead <= 0xDF   ? 2
                               : Lead >= 0xE0 && Lead <= 0xEF ? 3
                               : Lead >= 0xF0 && Lead <= 0xF4 ? 4
                                                              : 0;
    if (Length == 0 || Text.size() < Length) {
        return 0;
    }
    for (std::size_t I = 1; I < Length; ++I) {
        if ((static_cast<unsigned char>(Text[I]) & 0xC0U) != 0x80U) {
            return 0;
        }
    }
    // A C1 control character (U+0080 to U+009F) is no text either.
    return Lead == 0xC2 && static_cast<unsigned char>(Text[1]) < 0xA0 ? 0 : Length;
}

} // namespace

bool IsReadableText(std::string_view Bytes) {
    while (!Bytes.empty()) {
        const auto Byte = static_cast<unsigned char>(Bytes[0]);
        std::size_t Length = 1;
        if (Byte >= 0x80) {
            Length = SequenceLength(Bytes);
            if (Length == 0) {
                return false;
            }
        } else if ((Byte < 0x20 && Byte != '\r' && Byte != '\n' && Byte != '\t') || Byte == 0x7F) {
            return false;
        }
        Bytes.remove_prefix(Length);
    }
    return true;
}

TPhoneExchange::TPhoneExchange() = default;

void TPhoneExchange::SetTrace(TExchangeTrace* Trace, std::string Port) {
    FTrace = Trace;
    FTracePort = std::move(Port);
}

void TPhoneExchange::Opened(std::string_view Waiting, TTime Now) {
    if (FTrace != nullptr) {
        FTrace->Received(FTracePort, Waiting, Now);
    }
    FParser = TReplyParser::Unawaited();
    FParser.Append(Waiting);
}

void TPhoneExchange::Begin(const TExchangeRules& Rules) {
    FRules = Rules;
    FSilence = TSilence::siNothing;
    FEnd = TExchangeEnd::eeRunning;
    FStep = Rules.Handshake.count() > 0 ? -1 : 0;
    FAwaiting = false;
    FAsked = 0;
    FAnswers = {};
    FErrors = {};
    FLastResult = TStepResult::srWaiting;
    FLastAnswer.clear();
    FLastMessage.clear();
    FMessage.clear();
}

std::string_view TPhoneExchange::NextCommand() const {
    if (Ended() || FAwaiting) {
        return {};
    }
    return FStep < 0 ? HandshakeCommand : QueryCommands.at(static_cast<std::size_t>(FStep)).Text;
}

void TPhoneExchange::Sent(TTime Now) {
    if (FTrace != nullptr) {
        FTrace->Sent(FTracePort, NextCommand(), Now);
    }
    FParser = FParser.Next(NextCommand());
    FAwaiting = true;
    FHeard = false;
    FSentAt = Now;
    FLastPieceAt = Now;
}

TStepResult TPhoneExchange::Received(std::string_view Text, TTime Now) {
    if (FTrace != nullptr) {
        FTrace->Received(FTracePort, Text, Now);
    }
    FParser.Append(Text);
    if (!FAwaiting) {
        return TStepResult::srWaiting;
    }
    if (!Text.empty()) { // an event may find the characters taken already
        FHeard = true;
        FLastPieceAt = Now;
    }
    if (FParser.Ended()) {
        return ReplyEnded();
    }
    return Now >= Deadline() ? TimedOut() : TStepResult::srWaiting;
}

TPhoneExchange::TTime TPhoneExchange::Deadline() const {
    if (!FAwaiting) {
        return TTime::max();
    }
    return std::min(FLastPieceAt + Period(), FSentAt + PeriodsAllowed() * Period());
}

TStepResult TPhoneExchange::TimedOut() {
    if (!FAwaiting) {
        return TStepResult::srWaiting;
    }
    FSilence = SilenceOfReply(FLastPieceAt + Period() > FSentAt + PeriodsAllowed() * Period());
    if (FStep >= 0) {
        return Failed(TExchangeEnd::eeNoAnswer, std::string(TimeoutMessage));
    }
    return FHeard ? Failed(TExchangeEnd::eeNotAPhone, std::string(NotAPhoneMessage))
                  : Failed(TExchangeEnd::eeSilent, std::string(NoAnswerToAtMessage));
}

TStepResult TPhoneExchange::Overrun() {
    if (!FAwaiting) {
        return TStepResult::srWaiting;
    }
    return Failed(TExchangeEnd::eeNoAnswer, std::string(OverrunMessage));
}

TStepResult TPhoneExchange::DeviceLost(const std::string& Message, std::string_view Reason) {
    if (Ended()) {
        return TStepResult::srWaiting;
    }
    if (FTrace != nullptr && !Reason.empty()) {
        FTrace->Noted(FTracePort, "device lost: " + std::string(TrimLine(Reason)), TClock::now());
    }
    const bool WasAwaiting = FAwaiting;
    Failed(TExchangeEnd::eeDeviceLost, Message);
    return WasAwaiting ? TStepResult::srFailed : TStepResult::srWaiting;
}

void TPhoneExchange::Stop() {
    if (!Ended()) {
        Failed(TExchangeEnd::eeStopped, std::string(InterruptedMessage));
    }
}

std::chrono::milliseconds TPhoneExchange::Period() const {
    return FStep < 0 ? FRules.Handshake : FRules.Period;
}

int TPhoneExchange::PeriodsAllowed() const {
    return FStep < 0 ? 1 : ReplyLimitPeriods;
}

TStepResult TPhoneExchange::ReplyEnded() {
    switch (FParser.Status()) {
    case TReplyStatus::rsOk:
        return Answered();
    case TReplyStatus::rsError:
    case TReplyStatus::rsCmeError:
        return Refused();
    case TReplyStatus::rsOverflow:
        FSilence = FStep < 0 ? SilenceOfReply(true) : TSilence::siNothing;
        return FStep < 0 ? Failed(TExchangeEnd::eeNotAPhone, std::string(NotAPhoneMessage))
                         : Failed(TExchangeEnd::eeNoAnswer, FParser.ErrorMessage());
    case TReplyStatus::rsPending:
        break;
    }
    return TStepResult::srWaiting;
}

TStepResult TPhoneExchange::Answered() {
    FLastAnswer = FParser.Answer();
    if (FStep >= 0) {
        FAnswers.at(FAsked++) = FLastAnswer;
    }
    Advance();
    return FLastResult = TStepResult::srAnswered;
}

TStepResult TPhoneExchange::Refused() {
    if (FStep >= 0) {
        FErrors.at(FAsked++) = FParser.ErrorMessage();
    }
    if (FStep < 0 || !FRules.AskEveryCommand) {
        return Failed(TExchangeEnd::eeRefused, FParser.ErrorMessage());
    }
    FLastMessage = FParser.ErrorMessage();
    Advance();
    return FLastResult = TStepResult::srFailed;
}

TStepResult TPhoneExchange::Failed(TExchangeEnd End, std::string Message) {
    FAwaiting = false;
    FEnd = End;
    FLastMessage = Message;
    FMessage = std::move(Message);
    return FLastResult = TStepResult::srFailed;
}

void TPhoneExchange::Advance() {
    FAwaiting = false;
    if (++FStep >= static_cast<int>(QueryCommands.size())) {
        FEnd = TExchangeEnd::eeComplete;
    }
}

TSilence TPhoneExchange::SilenceOfReply(bool Limit) const {
    if (!FHeard && FParser.Response().empty()) {
        return TSilence::siNothing;
    }
    if (!IsReadableText(FParser.Response())) {
        return TSilence::siUnreadable;
    }
    return Limit ? TSilence::siNoResultCode : TSilence::siStopped;
}
