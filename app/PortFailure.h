#pragma once
// The messages of a port that failed, for a person: why it could not be opened and what to do,
// and that a device went away during a read.

#include "serial/VaTypes.h"

#include <exception>
#include <string>
#include <string_view>

// The cause E gives: its Code() for an EVaCommError, else ecOther.
[[nodiscard]] TVaCommErrorCode ErrorCodeOf(const std::exception& E);
// The message of a failure of the port Device for a person: E's text, followed, where its
// cause has one on this system, by what to do about it (a COM name that opened nothing:
// the path tried and its KIVO_COM<n>; a device the user may not open: the group to be in; a
// device another program holds: which one). Reads the environment, the file system and
// /proc; any thread.
[[nodiscard]] std::string PortFailureMessage(const std::exception& E, const std::string& Device);

// The message for a device that failed during a read: that it went away (unplugged, powered
// off or reset), or for a network port ("socket://host:port") that its connection ended, and
// what to do, naming Device. The system's own text is no help to a person: it belongs in the
// trace (TPhoneExchange::DeviceLost).
[[nodiscard]] std::string DeviceLostMessage(std::string_view Device);
