#pragma once
// What a failed open of a serial device means on this system, and what a person can do
// about it. The component raises its open errors with the cause; a program adds the advice.
// Each system's bodies are in its folder (platform/posix, platform/win32).

#include <cstdint>
#include <string>
#include <system_error>

namespace kivo {

// The one decoder of this system's error codes (what GetLastError returns: errno values on
// POSIX systems, Win32's codes on Windows): the condition a code stands for where it tells
// why an open failed, in the standard's terms, so that the component maps every system's
// alike to its causes (TVaCommErrorCode):
// - std::errc::no_such_device: no device at that name (nothing plugged in, a wrong name);
// - std::errc::device_or_resource_busy: another program holds the device (Windows answers
//   "access denied" for a port another program holds);
// - std::errc::permission_denied: the user may not open the device;
// - std::errc::inappropriate_io_control_operation: the name opens no serial port;
// - std::errc{} for any other code. Any thread.
[[nodiscard]] std::errc DecodeSystemError(std::uint32_t Code);

// For a name that opened nothing: on POSIX systems, for a COM name, the path it was looked
// for at and the environment variable that names another ("Tried /dev/ttyS3; set KIVO_COM4
// to the device's path to use another."), for a malformed network port, its form; on
// Windows, that network ports are not supported there. Empty for a path, which the message
// names already. Reads the environment; any thread.
[[nodiscard]] std::string MissingDeviceAdvice(const std::string& Name);

// For a device the user may not open: on POSIX systems, the group that owns the node, which
// the user must be in ("dialout" on Debian), or that only its owner may open it; empty on
// Windows, which keeps no port from a user (a held one is busy). Reads the file system and
// the group database; any thread.
[[nodiscard]] std::string DeniedDeviceAdvice(const std::string& Name);

// For a device another program holds: on POSIX systems, the programs that have it open, as
// far as this user may see them ("In use by ModemManager (process 612)."), or, when none can
// be seen and a process named ModemManager runs, that it is the likely holder; empty on
// Windows, which names no holder, and when nothing is known. Reads /proc; any thread.
[[nodiscard]] std::string BusyDeviceAdvice(const std::string& Name);

} // namespace kivo
