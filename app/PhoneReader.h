#pragma once
// The read run without a window: opens a port with the window's stored settings, sends the
// seven commands and collects the answers, waiting on the port's events (no polling).

#include "app/PhoneQuery.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

class TVaComm;

enum class TReadOutcome : std::uint8_t {
    roComplete,   // all seven answers read
    roPhoneError, // an exchange ended with ERROR, +CME ERROR or no answer in time
    roOpenFailed, // the port could not be opened
};

struct TReadResult {
    TReadOutcome Outcome = TReadOutcome::roComplete;
    std::array<std::string, QueryCommands.size()> Answers; // filled up to Count
    std::size_t Count = 0;
    std::string Error; // the message for the user, empty when complete
};

// Where to read: a COM name ("COM4", any case) or a device path (containing "/").
struct TPortChoice {
    int PortNum = 4;
    std::string DeviceName = "COM%d";
};

// The choice a --port argument names; none when it is neither a COM name nor a path.
[[nodiscard]] std::optional<TPortChoice> ParsePortChoice(std::string_view Text);

// Gives Comm the stored settings of the window's vaComm (without its handlers).
void ApplyWindowPortSettings(TVaComm& Comm);

// Reads the identity on Port. ReplyTimeout bounds each exchange from its write on. Must run
// on the main thread, which it uses to take the port's events.
[[nodiscard]] TReadResult ReadPhoneIdentity(
    const TPortChoice& Port,
    std::chrono::milliseconds ReplyTimeout = std::chrono::milliseconds(ReplyTimeoutMs));

// The result as labelled lines ("Phone Manufacturer: ...") for the fields read.
[[nodiscard]] std::string FormatAsText(const TReadResult& Result);
// The result as one JSON object with a member per command read, plus "error" on failure.
[[nodiscard]] std::string FormatAsJson(const TReadResult& Result);
