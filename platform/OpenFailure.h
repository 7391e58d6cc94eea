#pragma once
// What a failed open of a serial device means on this system, and what a person can do
// about it. The component raises its open errors with the cause; a program adds the advice.

#include <cstdint>
#include <string>

namespace kivo {

enum class TOpenFailure : std::uint8_t { ofOther, ofNotFound, ofBusy, ofDenied, ofNotSerial };

#ifdef _WIN32

// The cause an open's error code stands for; Windows answers "access denied" for a port
// another program holds. The codes are numbers here, so that a program's units that include
// this header reach no system header. Any thread.
[[nodiscard]] inline TOpenFailure OpenFailureOf(std::uint32_t Code) {
    switch (Code) {
    case 2:   // ERROR_FILE_NOT_FOUND
    case 3:   // ERROR_PATH_NOT_FOUND
    case 123: // ERROR_INVALID_NAME: "rfc2217://host:port" is no file name there
        return TOpenFailure::ofNotFound;
    case 5:  // ERROR_ACCESS_DENIED
    case 32: // ERROR_SHARING_VIOLATION
        return TOpenFailure::ofBusy;
    default:
        return TOpenFailure::ofOther;
    }
}

// Device Manager names the ports; the message names the port already. A network port
// ("rfc2217://host:port", "socket://host:port") is one the Windows build cannot open.
[[nodiscard]] inline std::string MissingDeviceAdvice(const std::string& Name) {
    std::string Scheme = Name.substr(0, Name.find("://"));
    for (char& C : Scheme) {
        C = static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C);
    }
    if (Name.find("://") != std::string::npos && (Scheme == "rfc2217" || Scheme == "socket")) {
        return "Network ports are not supported on Windows (" + Name + ").";
    }
    return {};
}

// No port is kept from a user on Windows (a held one answers "access denied": busy).
[[nodiscard]] inline std::string DeniedDeviceAdvice(const std::string& /*Name*/) {
    return {};
}

// Windows names no holder of a port.
[[nodiscard]] inline std::string BusyDeviceAdvice(const std::string& /*Name*/) {
    return {};
}

#else

// The cause an open's error code (an errno value) stands for. Any thread.
[[nodiscard]] TOpenFailure OpenFailureOf(std::uint32_t Code);

// For a name that opened nothing: for a COM name, the path it was looked for at and the
// environment variable that names another ("Tried /dev/ttyS3; set KIVO_COM4 to the
// device's path to use another."); for a malformed network port, its form; empty for a
// path, which the message names already. Reads the environment; any thread.
[[nodiscard]] std::string MissingDeviceAdvice(const std::string& Name);

// For a device the user may not open: the group that owns the node, which the user must
// be in ("dialout" on Debian), or that only its owner may open it. Reads the file system
// and the group database; any thread.
[[nodiscard]] std::string DeniedDeviceAdvice(const std::string& Name);

// For a device another program holds: the programs that have it open, as far as this user
// may see them ("In use by ModemManager (process 612)."); when none can be seen and a
// process named ModemManager runs, that it is the likely holder. Empty when nothing is known.
// Reads /proc; any thread.
[[nodiscard]] std::string BusyDeviceAdvice(const std::string& Name);

#endif

} // namespace kivo
