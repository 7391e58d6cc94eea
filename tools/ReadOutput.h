#pragma once
// What kivo-read writes: its exit codes, its messages on standard error, and a port's
// result as a block of the scan's output.

#include "app/PhoneReader.h"
#include "app/ReadReport.h"
#include "platform/SerialPorts.h"

#include <string>
#include <string_view>
#include <vector>

// Exit codes.
inline constexpr int ExitRead = 0; // every port read gave all seven fields
inline constexpr int ExitPhone =
    1;                             // a command refused or not answered in time, or no port answered
inline constexpr int ExitPort = 2; // a port cannot be opened or failed, or the arguments are wrong
inline constexpr int ExitOutput = 3;       // the output could not be written
inline constexpr int ExitSignalBase = 128; // plus the signal's number: interrupted

// A message on standard error. Messages carry device text (a phone's error text, a device's
// name), so they are escaped as every other output is: no byte of it reaches the terminal
// as a control character. Any thread.
void Complain(std::string_view Message);

// The component names a device by its port name; messages name the device behind it too.
// Any thread.
[[nodiscard]] std::string WithDevice(std::string Message, const std::string& Device);

// The message of a read that ended early, for a person: a reply that did not come names the
// command, the port and the bound it did not keep, says what came instead (a reply that
// stopped, unreadable bytes, text without a result code) and what to do; a search names the
// speeds it tried. Other messages are Result.Error as it is. Searched: the line speed was
// searched. Any thread.
[[nodiscard]] std::string ExplainedError(const TReadResult& Result, const TReadOptions& Options,
                                         bool Searched);

struct TPortLabel {
    std::string Port;            // as given or found
    std::string Description;     // from the enumeration; empty for a --port argument
    bool Console = false;        // the kernel's console writes to it: the scan lists it, unprobed
    bool SearchBaudrate = false; // its line speed is searched
};

// The version of kivo-read's JSON, in every object it prints. Members are only ever added
// under the same version; one renamed, removed or changed in meaning raises it.
inline constexpr int JsonVersion = 1;

// The JSON member naming that version: "\"version\": 1". Any thread.
[[nodiscard]] std::string VersionMember();

// "Line speed: 115200 (found)" and its line end where the speed was searched; empty
// otherwise. Any thread.
[[nodiscard]] std::string LineSpeedText(const TReadResult& Result);

// A read of one port as one JSON object: its version, the speed found, then the members
// of FormatAsJson. Any thread.
[[nodiscard]] std::string SinglePortJson(const TReadResult& Result);

// A port's result as the scan prints it: a line naming the port and its outcome, then the
// fields read (text), or one JSON object. Any thread.
[[nodiscard]] std::string PortBlockText(const TPortLabel& Label, const TReadResult& Result);
[[nodiscard]] std::string PortBlockJson(const TPortLabel& Label, const TReadResult& Result);

// The ports --list prints: a line each (path, description, the console marked, its link by id),
// or a JSON array of an object each. Any thread.
[[nodiscard]] std::string PortListText(const std::vector<TSerialPortInfo>& Ports);
[[nodiscard]] std::string PortListJson(const std::vector<TSerialPortInfo>& Ports);
