// What a failed open of a serial device means on Windows, and what a person can do about it.

#include "platform/OpenFailure.h"

#include <windows.h>

namespace kivo {

std::errc DecodeSystemError(std::uint32_t Code) {
    switch (Code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: // "rfc2217://host:port" is no file name here
        return std::errc::no_such_device;
    case ERROR_ACCESS_DENIED: // what Windows answers for a port another program holds
    case ERROR_SHARING_VIOLATION:
        return std::errc::device_or_resource_busy;
    default:
        return {};
    }
}

// Device Manager names the ports; the message names the port already. A network port
// ("rfc2217://host:port", "socket://host:port") is one the Windows build cannot open.
std::string MissingDeviceAdvice(const std::string& Name) {
    std::string Scheme = Name.substr(0, Name.find("://"));
    for (char& C : Scheme) {
        C = static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C);
    }
    if (Name.find("://") != std::string::npos && (Scheme == "rfc2217" || Scheme == "socket")) {
        return "Network ports are not supported on Windows (" + Name + ").";
    }
    return {};
}

std::string DeniedDeviceAdvice(const std::string& /*Name*/) {
    return {};
}

std::string BusyDeviceAdvice(const std::string& /*Name*/) {
    return {};
}

} // namespace kivo
