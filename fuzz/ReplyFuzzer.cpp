// Feeds the reply handling of one AT exchange arbitrary bytes in arbitrary pieces. The input
// picks the command, how often its text repeats (to reach the size bound) and the lengths of
// the pieces; the rest is the text the phone sends.

#include "app/PhoneQuery.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MaxPieceLength = 64;
constexpr int MaxRepeats = 32;

struct TScript {
    std::string Command;
    std::vector<std::size_t> PieceLengths;
    std::string Stream;
};

TScript TakeScript(FuzzedDataProvider& Input) {
    TScript Script;
    const auto Which = Input.ConsumeIntegralInRange<std::size_t>(0, QueryCommands.size());
    if (Which < QueryCommands.size()) {
        Script.Command = QueryCommands[Which].Text;
    }
    const int Repeats = Input.ConsumeIntegralInRange(1, MaxRepeats);
    const int Pieces = Input.ConsumeIntegralInRange(1, 4);
    for (int I = 0; I < Pieces; ++I) {
        Script.PieceLengths.push_back(Input.ConsumeIntegralInRange<std::size_t>(1, MaxPieceLength));
    }
    const std::string Text = Input.ConsumeRemainingBytesAsString();
    for (int I = 0; I < Repeats; ++I) {
        Script.Stream += Text;
    }
    return Script;
}

void CheckEndState(const TReplyParser& Reply) {
    FuzzCheck(Reply.Ended() == (Reply.Status() != TReplyStatus::rsPending), "Ended matches Status");
    const bool Failed = Reply.Ended() && Reply.Status() != TReplyStatus::rsOk;
    FuzzCheck(Failed == !Reply.ErrorMessage().empty(),
              "a failure and only a failure has a message");
    const bool Refused =
        Reply.Status() == TReplyStatus::rsError || Reply.Status() == TReplyStatus::rsCmeError;
    FuzzCheck(!Refused || Reply.Answer().empty(), "a refused command has no answer");
    const std::string& Answer = Reply.Answer();
    FuzzCheck(Answer.find_first_of("\r\n") == std::string::npos, "the answer is one line");
    // Only the spaces around answer lines go: a control character stays wherever it stands.
    FuzzCheck(Answer.empty() || (Answer.front() != ' ' && Answer.back() != ' '),
              "the answer has no spaces around it");
    FuzzCheck(Answer.size() <= Reply.Response().size(), "the answer comes from the response");
    FuzzCheck(Reply.Status() != TReplyStatus::rsOverflow ||
                  Reply.Response().size() > MaxReplyLength,
              "an overflow only past the bound");
    FuzzCheck(Reply.Ended() || Reply.Response().size() <= MaxReplyLength,
              "a reply past the bound has ended");
}

// Feeds the stream in pieces of the script's lengths, in turn.
TReplyParser FeedInPieces(const TScript& Script) {
    TReplyParser Reply(Script.Command);
    std::size_t Offset = 0;
    for (std::size_t Turn = 0; Offset < Script.Stream.size(); ++Turn) {
        const std::size_t Length = std::min(Script.PieceLengths[Turn % Script.PieceLengths.size()],
                                            Script.Stream.size() - Offset);
        const bool WasEnded = Reply.Ended();
        const TReplyStatus Before = Reply.Status();
        const std::size_t HeldBefore = Reply.Response().size();
        const TReplyStatus After =
            Reply.Append(std::string_view(Script.Stream).substr(Offset, Length));
        Offset += Length;
        FuzzCheck(After == Reply.Status(), "Append returns the status");
        FuzzCheck(!WasEnded || (After == Before && Reply.Response().size() == HeldBefore),
                  "nothing changes once the reply has ended");
        FuzzCheck(Reply.Response().size() <= MaxReplyLength + MaxPieceLength,
                  "the response stays within its bound");
    }
    if (!Reply.Ended()) {
        FuzzCheck(Reply.Response() == Script.Stream, "a pending reply holds all it received");
    }
    return Reply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    FuzzedDataProvider Input(Data, Size);
    const TScript Script = TakeScript(Input);

    const TReplyParser Reply = FeedInPieces(Script);
    CheckEndState(Reply);

    // Below the bound, how the text was split does not change the result.
    if (Script.Stream.size() <= MaxReplyLength) {
        TReplyParser Whole(Script.Command);
        Whole.Append(Script.Stream);
        FuzzCheck(Whole.Status() == Reply.Status(), "the status does not depend on the split");
        FuzzCheck(Whole.Answer() == Reply.Answer(), "the answer does not depend on the split");
        FuzzCheck(Whole.ErrorMessage() == Reply.ErrorMessage(),
                  "the message does not depend on the split");
    }
    return 0;
}
