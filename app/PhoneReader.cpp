#include "app/PhoneReader.h"

#include "app/StartForm.h"
#include "runtime/Streaming.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

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

void AppendJsonString(std::string& Out, std::string_view Text) {
    Out += '"';
    for (const char C : Text) {
        const auto Code = static_cast<unsigned char>(C);
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += C;
        } else if (Code < 0x20 || Code >= 0x7F) {
            // Bytes are characters one for one (Latin-1), so each maps to one code point.
            char Escape[8];
            std::snprintf(Escape, sizeof Escape, "\\u%04x", Code);
            Out += Escape;
        } else {
            Out += C;
        }
    }
    Out += '"';
}

// One exchange on an open port: writes Command and takes the port's events until the
// reply ends or Timeout passes since the write.
TReplyParser RunExchange(TVaComm& Comm, std::string_view Command,
                         std::chrono::milliseconds Timeout) {
    TReplyParser Reply(Command);
    Comm.OnRxChar = TVaCommRxCharEvent(
        [&Comm, &Reply](TObject* /*Sender*/, int /*Count*/) { Reply.Append(Comm.ReadText()); });
    const auto Deadline = Clock::now() + Timeout;
    Comm.WriteText(std::string(Command));
    while (!Reply.Ended()) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        if (Left.count() <= 0) {
            break;
        }
        if (WaitForSynchronize(Left)) {
            CheckSynchronize();
        }
    }
    Comm.OnRxChar = {};
    return Reply;
}

} // namespace

std::optional<TPortChoice> ParsePortChoice(std::string_view Text) {
    if (Text.find('/') != std::string_view::npos) {
        return TPortChoice{0, std::string(Text)};
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

TReadResult ReadPhoneIdentity(const TPortChoice& Port, std::chrono::milliseconds ReplyTimeout) {
    TReadResult Result;
    TVaComm Comm(nullptr);
    try {
        ApplyWindowPortSettings(Comm);
        Comm.SetPortNum(Port.PortNum);
        Comm.SetDeviceName(Port.DeviceName);
        Comm.Open();
    } catch (const std::exception& E) {
        Result.Outcome = TReadOutcome::roOpenFailed;
        Result.Error = E.what();
        return Result;
    }
    for (const TQueryCommand& Command : QueryCommands) {
        const TReplyParser Reply = RunExchange(Comm, Command.Text, ReplyTimeout);
        if (Reply.Status() != TReplyStatus::rsOk) {
            Result.Outcome = TReadOutcome::roPhoneError;
            Result.Error = Reply.Ended() ? Reply.ErrorMessage() : std::string(TimeoutMessage);
            break;
        }
        Result.Answers.at(Result.Count++) = Reply.Answer();
    }
    Comm.Close();
    return Result;
}

std::string FormatAsText(const TReadResult& Result) {
    std::string Out;
    for (std::size_t I = 0; I < Result.Count; ++I) {
        Out += std::string(QueryCommands.at(I).Label) + " " + Result.Answers.at(I) + "\n";
    }
    return Out;
}

std::string FormatAsJson(const TReadResult& Result) {
    std::string Out = "{";
    for (std::size_t I = 0; I < Result.Count; ++I) {
        Out += I == 0 ? "" : ", ";
        AppendJsonString(Out, QueryCommands.at(I).Key);
        Out += ": ";
        AppendJsonString(Out, Result.Answers.at(I));
    }
    if (!Result.Error.empty()) {
        Out += Result.Count == 0 ? "" : ", ";
        AppendJsonString(Out, "error");
        Out += ": ";
        AppendJsonString(Out, Result.Error);
    }
    return Out + "}\n";
}
