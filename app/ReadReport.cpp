#include "app/ReadReport.h"

#include "app/DeviceText.h"
#include "app/Imei.h"

namespace {

// The serial number's place in QueryCommands (+CGSN, the last).
constexpr std::size_t SerialNumberIndex = QueryCommands.size() - 1;
static_assert(QueryCommands[SerialNumberIndex].Key == "CGSN");

// " (what is wrong)" after a serial number that cannot be right as sent; empty otherwise.
std::string SerialNumberNote(std::string_view Answer) {
    if (SerialNumberFault(Answer).empty() && ImeiCheckDigitRight(Answer) != false) {
        return {};
    }
    return " (" + ImeiVerdictText(Answer) + ")";
}

} // namespace

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
