#pragma once
// The read run without a window: opens ports with the window's stored settings, sends the
// seven commands and collects the answers, waiting on the ports' events (no polling).
// Several ports are read at once, each at its own pace: their opens each on a thread of its
// own, everything else on the main thread.

#include "app/PhoneExchange.h"
#include "app/PhoneQuery.h"
#include "serial/VaTypes.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TExchangeTrace;
class TVaComm;

enum class TReadOutcome : std::uint8_t {
    roComplete,   // all seven answers read
    roPhoneError, // a command was refused (ERROR, +CME ERROR), or a reply came not in time,
                  // grew too long or lost characters
    roOpenFailed, // the port could not be opened
    roDeviceLost, // the port failed during the read (unplugged, the far end closed)
    roNoAnswer,   // handshake: nothing at all came back to "AT" in time
    roNotAPhone,  // text came back, but no result code (a GPS receiver's stream)
    roUnreadable, // bytes came back that form no text: the line speed may be another
    roStopped,    // the read was stopped before it ended (the program was interrupted)
};

struct TReadResult {
    TReadOutcome Outcome = TReadOutcome::roComplete;
    std::array<std::string, QueryCommands.size()> Answers; // filled up to Count
    // Per command up to Count: the message of its refusal, empty for one answered.
    std::array<std::string, QueryCommands.size()> Errors;
    std::size_t Count = 0; // the commands asked whose reply ended
    std::string Error;     // what ended the read early, empty when it went through
    // With roOpenFailed: why (ecOther for a failure that is no EVaCommError).
    TVaCommErrorCode OpenCode = TVaCommErrorCode::ecOther;
    std::string Device; // the device name tried ("COM4", "/dev/ttyUSB0")
    int Baudrate = 0;   // the line speed a search found answered; 0 when none did
    // What came of the reply that ended the read unanswered; of a search that found no
    // speed, the most telling of its speeds' (text, then unreadable bytes, then nothing).
    TSilence Silence = TSilence::siNothing;
    std::string Source; // where the answers came from when not the port: "ModemManager"
};

// The line speeds a search tries, in turn: the first at which "AT" is answered is read. The
// common ones first, fastest first; then those modules are often set to (AT+IPR: 230400 to
// 921600) and old phones' 4800 and 2400. Each is given TReadOptions::SearchBound.
inline constexpr std::array<int, 10> SearchedBaudrates{115200, 57600,  38400,  19200, 9600,
                                                       230400, 460800, 921600, 4800,  2400};

// Where to read: a COM name ("COM4", any case) or a device path (containing "/").
struct TPortChoice {
    int PortNum = 4;
    // The component's DeviceName: a format filled with PortNum. A path is kept as data, its
    // "%" doubled, so "/tmp/50%phone" opens that file.
    std::string DeviceName = "COM%d";
    // Search the line speed: "AT" at each of SearchedBaudrates in turn, each within
    // TReadOptions::SearchBound, and the seven commands at the first speed answered.
    bool SearchBaudrate = false;
};

// The choice a --port argument names; none when it is neither a COM name nor a path.
[[nodiscard]] std::optional<TPortChoice> ParsePortChoice(std::string_view Text);

// The cause E gives: its Code() for an EVaCommError, else ecOther.
[[nodiscard]] TVaCommErrorCode ErrorCodeOf(const std::exception& E);
// The message of a failure of the port Device for a person: E's text, followed, where its
// cause has one on this system, by what to do about it (a COM name that opened nothing:
// the path tried and its KIVO_COM<n>; a device the user may not open: the group to be in; a
// device another program holds: which one). Reads the environment, the file system and
// /proc; any thread.
[[nodiscard]] std::string PortFailureMessage(const std::exception& E, const std::string& Device);

// Gives Comm the stored settings of the window's vaComm (without its handlers).
void ApplyWindowPortSettings(TVaComm& Comm);

struct TReadOptions {
    // The longest a phone may stay silent: from a command's write to the first character
    // of its reply, and between two pieces of the reply (TPhoneExchange).
    std::chrono::milliseconds ReplyTimeout{ReplyTimeoutMs};
    // The line speed in bits per second; 0 keeps the window's stored speed (19200).
    int Baudrate = 0;
    // The size of the port's input queue in bytes; 0 keeps the window's stored size.
    int InputQueue = 0;
    // When positive: "AT" is sent first and must be answered within this time, before the
    // seven commands follow (the scan's probe of a port that may be no phone at all).
    std::chrono::milliseconds Handshake{0};
    // The most ports open or being opened at once (what the process's descriptors allow);
    // 0: no bound. The others wait for their turn, in the order given, and open as ports
    // close.
    std::size_t PortsAtOnce = 0;
    // How long "AT" waits for its answer at each speed a search tries.
    std::chrono::milliseconds SearchBound{300};
    // Where every byte written and received is recorded, each line naming its port; none:
    // nowhere. It must outlive the read.
    TExchangeTrace* Trace = nullptr;
};

// Reads every port at once and returns one result per port, in the order given. Every
// command is asked: one refused is recorded in the result's Errors and the next follows. Must
// run on the main thread, which it uses to take the ports' events; while it runs it takes the
// application's report of failed hand-overs (there is no window in such a process). Each
// exchange's time starts when its port is open, and the replies handed over are taken before
// any deadline is judged. Stopped is asked whenever a hand-over ran: once it is true, the
// ports are closed and the reads not ended yet end with roStopped, keeping the answers read;
// it returns at once, also while ports are still being opened: each is closed by its
// opening thread when its open returns.
[[nodiscard]] std::vector<TReadResult> ReadPhones(const std::vector<TPortChoice>& Ports,
                                                  const TReadOptions& Options,
                                                  const std::function<bool()>& Stopped = {});

// Reads the identity on Port (one port of ReadPhones).
[[nodiscard]] TReadResult ReadPhoneIdentity(
    const TPortChoice& Port,
    std::chrono::milliseconds ReplyTimeout = std::chrono::milliseconds(ReplyTimeoutMs));

// The characters of a device's text: bytes that form UTF-8 are taken as UTF-8, every other
// byte as the Latin-1 character of its value. Both outputs show the same characters.
[[nodiscard]] std::u32string DeviceCharacters(std::string_view Text);
// Text for a terminal: the characters in UTF-8, with control characters (C0, DEL, C1) and
// the backslash escaped as JSON escapes them ("\u001b", "\\").
[[nodiscard]] std::string EscapedForTerminal(std::string_view Text);
// The bytes of a trace, each of them recognisable: text as EscapedForTerminal shows it, but
// CR, LF and tab as "\r", "\n", "\t", and every other control character and every byte that
// forms no UTF-8 as "\xNN", one for each of its bytes.
[[nodiscard]] std::string EscapedBytes(std::string_view Bytes);
// A JSON string literal of the characters, in ASCII ("\u00e9" for "é").
[[nodiscard]] std::string JsonString(std::string_view Text);

// The result as labelled lines ("Phone Manufacturer: ...") for the fields read; a serial
// number whose IMEI check digit is wrong is followed by a note saying so.
[[nodiscard]] std::string FormatAsText(const TReadResult& Result);
// The refused commands, a line each: "AT+CGMR: ERROR: Invalid AT command.".
[[nodiscard]] std::string FieldErrorsText(const TReadResult& Result);
// The result as one JSON object with a member per command read, "imei_valid" where the
// serial number is a 15-digit IMEI, "errors" with a member per command refused, and "error"
// for what ended the read early.
[[nodiscard]] std::string FormatAsJson(const TReadResult& Result);
// The JSON members of the fields read, without braces: "\"CGMI\": \"...\", ...".
[[nodiscard]] std::string JsonFields(const TReadResult& Result);
// The JSON member of the IMEI's verdict, "\"imei_valid\": true" or false; empty when the serial
// number was not read or is no IMEI (Imei.h).
[[nodiscard]] std::string JsonImeiVerdict(const TReadResult& Result);
// Whether the serial number read is a 15-digit IMEI whose check digit is wrong: the answer
// was garbled on its way, so the read does not count as a clean one.
[[nodiscard]] bool ImeiCheckFailed(const TReadResult& Result);
// Why the serial number read cannot be right, in words (a wrong IMEI check digit, a character
// no serial number has: SerialNumberFault); empty when it was not read or shows no such sign.
// A read with one is no clean read.
[[nodiscard]] std::string SerialNumberProblem(const TReadResult& Result);
// The JSON member saying why, "\"serial_error\": \"...\"" for a SerialNumberFault; empty
// without one (a wrong check digit is "imei_valid": false).
[[nodiscard]] std::string JsonSerialError(const TReadResult& Result);
// The JSON members of the refused commands, without braces: "\"CGMR\": \"ERROR: ...\"".
[[nodiscard]] std::string JsonFieldErrors(const TReadResult& Result);
