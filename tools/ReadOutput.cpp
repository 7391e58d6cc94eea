#include "tools/ReadOutput.h"

#include "app/DeviceText.h"
#include "tools/ReadHost.h"

#include <array>
#include <cstdio>

// A message on standard error. Messages carry device text (a phone's error text, a device's
// name), so they are escaped as every other output is: no byte of it reaches the terminal
// as a control character.
void Complain(std::string_view Message) {
    const std::string Escaped = EscapedForTerminal(Message);
    std::fprintf(stderr, "kivo-read: %s\n", Escaped.c_str());
}

// The component names a device by its port name; messages name the device behind it too,
// unless they say already which it is ("Tried /dev/ttyS3").
std::string WithDevice(std::string Message, const std::string& Device) {
    const std::string Described = DescribeDevice(Device);
    if (Described == Device ||
        Message.find(" " + Described.substr(Device.size() + 3)) != std::string::npos) {
        return Message;
    }
    for (const std::string_view After : {")", " (", ":"}) {
        const std::string Plain = Device + std::string(After);
        if (const std::size_t At = Message.find(Plain); At != std::string::npos) {
            return Message.replace(At, Device.size(), Described);
        }
    }
    return Message;
}

namespace {

// The bounds the messages name: "5 s".
std::string Seconds(std::chrono::milliseconds Bound) {
    std::array<char, 32> Text{};
    (void)std::snprintf(Text.data(), Text.size(), "%g s",
                        static_cast<double>(Bound.count()) / 1000);
    return Text.data();
}

std::string SpeedsTried(const TReadOptions& Options) {
    std::string Speeds;
    for (const int Speed : SearchedBaudrates) {
        Speeds += (Speeds.empty() ? "" : ", ") + std::to_string(Speed);
    }
    return "at any line speed tried (" + Speeds + "; " + Seconds(Options.SearchBound) + " each)";
}

// A search that found no speed at which "AT" was answered.
std::string SearchFailed(const TReadResult& Result, const TReadOptions& Options,
                         const std::string& Port) {
    switch (Result.Silence) {
    case TSilence::siUnreadable:
        return "No reply to AT from " + Port + " " + SpeedsTried(Options) +
               ", only bytes that form no text: the line speed may be another; give it with "
               "--baud N.";
    case TSilence::siNoResultCode:
    case TSilence::siStopped:
        return "No reply to AT from " + Port + " " + SpeedsTried(Options) +
               ", only text without a result code: the line speed may be another (give it "
               "with --baud N), or the device is no phone or modem.";
    case TSilence::siNothing:
        break;
    }
    return "No answer to AT from " + Port + " " + SpeedsTried(Options) + ".";
}

// The reply to Command that did not come in time: what came instead.
std::string ReplyMissing(const TReadResult& Result, const TReadOptions& Options,
                         const std::string& Command, const std::string& Port) {
    const std::string Bound = Seconds(Command == "AT" ? Options.Handshake : Options.ReplyTimeout);
    switch (Result.Silence) {
    case TSilence::siUnreadable:
        return "ERROR: " + Command + " on " + Port + ": unreadable reply: try --baud auto.";
    case TSilence::siNoResultCode:
        return "ERROR: " + Command + " on " + Port +
               ": text but no result code: not a phone or modem.";
    case TSilence::siStopped:
        return "ERROR: The reply to " + Command + " on " + Port + " stopped: nothing more within " +
               Bound + " (--trace shows what came).";
    case TSilence::siNothing:
        break;
    }
    return "ERROR: No answer from phone to " + Command + " on " + Port + " within " + Bound +
           " (timeout).";
}

std::string_view OutcomeName(const TPortLabel& Label, const TReadResult& Result) {
    if (Label.Console) {
        return "console";
    }
    switch (Result.Outcome) {
    case TReadOutcome::roComplete:
        return "answered";
    case TReadOutcome::roPhoneError:
        return "phone-error";
    case TReadOutcome::roDeviceLost:
        return "device-lost";
    case TReadOutcome::roNoAnswer:
        return "no-answer";
    case TReadOutcome::roNotAPhone:
        return "not-a-phone";
    case TReadOutcome::roUnreadable:
        return "unreadable";
    case TReadOutcome::roStopped:
        return "interrupted";
    case TReadOutcome::roOpenFailed:
        break;
    }
    switch (Result.OpenCode) {
    case TVaCommErrorCode::ecBusy:
        return "busy";
    case TVaCommErrorCode::ecDenied:
        return "not-accessible";
    case TVaCommErrorCode::ecNotFound:
        return "not-found";
    case TVaCommErrorCode::ecOther:
    case TVaCommErrorCode::ecNotSerial:
    case TVaCommErrorCode::ecRefused:
    case TVaCommErrorCode::ecLost:
    case TVaCommErrorCode::ecOverrun:
        break;
    }
    return "open-failed";
}

std::string BaudMember(const TReadResult& Result) {
    const std::string Source =
        Result.Source.empty() ? std::string() : ", \"source\": " + JsonString(Result.Source);
    return (Result.Baudrate > 0 ? ", \"baud\": " + std::to_string(Result.Baudrate)
                                : std::string()) +
           Source;
}

} // namespace

std::string ExplainedError(const TReadResult& Result, const TReadOptions& Options, bool Searched) {
    const bool InTime = Result.Error == TimeoutMessage || Result.Error == NoAnswerToAtMessage ||
                        Result.Error == NotAPhoneMessage;
    if (!InTime || Result.Outcome == TReadOutcome::roStopped) {
        return Result.Error;
    }
    const std::string Port = DescribeDevice(Result.Device);
    const bool AtUnanswered = Result.Error != TimeoutMessage;
    if (Searched && AtUnanswered) {
        return SearchFailed(Result, Options, Port);
    }
    if (AtUnanswered && Result.Silence == TSilence::siNoResultCode) {
        return std::string(NotAPhoneMessage);
    }
    if (AtUnanswered && Result.Silence == TSilence::siNothing) {
        return "No answer to AT from " + Port + " within " + Seconds(Options.Handshake) + ".";
    }
    const std::string Command =
        AtUnanswered ? "AT" : "AT+" + std::string(QueryCommands.at(Result.Count).Key);
    return ReplyMissing(Result, Options, Command, Port);
}

std::string VersionMember() {
    return "\"version\": " + std::to_string(JsonVersion);
}

std::string LineSpeedText(const TReadResult& Result) {
    return Result.Baudrate > 0 ? "Line speed: " + std::to_string(Result.Baudrate) + " (found)\n"
                               : std::string();
}

std::string SinglePortJson(const TReadResult& Result) {
    const std::string Members = FormatAsJson(Result); // "{...}\n"
    const bool Empty = Members.starts_with("{}");
    return "{" + VersionMember() + BaudMember(Result) + (Empty ? "" : ", ") + Members.substr(1);
}

std::string PortBlockText(const TPortLabel& Label, const TReadResult& Result) {
    std::string Out = EscapedForTerminal(Label.Port);
    if (!Label.Description.empty()) {
        Out += " (" + EscapedForTerminal(Label.Description) + ")";
    }
    Out += ": " + std::string(OutcomeName(Label, Result));
    if (!Result.Error.empty()) {
        Out += ": " + EscapedForTerminal(Result.Error);
    }
    return Out + "\n" + FormatAsText(Result) + FieldErrorsText(Result) + LineSpeedText(Result);
}

std::string PortBlockJson(const TPortLabel& Label, const TReadResult& Result) {
    std::string Out = "{" + VersionMember() + ", \"port\": " + JsonString(Label.Port);
    Out += ", \"device\": " + JsonString(DescribeDevice(Result.Device));
    Out += ", \"description\": " + JsonString(Label.Description);
    Out += ", \"outcome\": " + JsonString(OutcomeName(Label, Result)) + BaudMember(Result);
    Out += ", \"fields\": {" + JsonFields(Result) + "}";
    if (const std::string Verdict = JsonImeiVerdict(Result); !Verdict.empty()) {
        Out += ", " + Verdict;
    }
    if (const std::string Fault = JsonSerialError(Result); !Fault.empty()) {
        Out += ", " + Fault;
    }
    if (const std::string Errors = JsonFieldErrors(Result); !Errors.empty()) {
        Out += ", \"errors\": {" + Errors + "}";
    }
    if (!Result.Error.empty()) {
        Out += ", \"error\": " + JsonString(Result.Error);
    }
    return Out + "}";
}

std::string PortListText(const std::vector<TSerialPortInfo>& Ports) {
    std::string Out;
    for (const TSerialPortInfo& Port : Ports) {
        Out += EscapedForTerminal(Port.Path) + "\t" + EscapedForTerminal(Port.Description) +
               (Port.Console ? " (system console)" : "");
        if (!Port.ById.empty()) {
            Out += "\t" + EscapedForTerminal(Port.ById);
        }
        Out += "\n";
    }
    return Out;
}

std::string PortListJson(const std::vector<TSerialPortInfo>& Ports) {
    std::string Out = "[";
    for (const TSerialPortInfo& Port : Ports) {
        Out += Out.size() == 1 ? "" : ",\n ";
        Out += "{" + VersionMember() + ", \"name\": " + JsonString(Port.Name) +
               ", \"path\": " + JsonString(Port.Path) + ", \"by_id\": " + JsonString(Port.ById) +
               ", \"description\": " + JsonString(Port.Description) +
               ", \"driver\": " + JsonString(Port.Driver) +
               ", \"vendor_id\": " + JsonString(Port.VendorId) +
               ", \"product_id\": " + JsonString(Port.ProductId) +
               ", \"manufacturer\": " + JsonString(Port.Manufacturer) +
               ", \"product\": " + JsonString(Port.Product) +
               ", \"serial_number\": " + JsonString(Port.SerialNumber) +
               ", \"interface\": " + JsonString(Port.Interface) +
               ", \"console\": " + (Port.Console ? "true" : "false") + "}";
    }
    return Out + "]\n";
}
