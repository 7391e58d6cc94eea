#pragma once
// Which device a file name given to CreateFileA opens.

#include <optional>
#include <string>

namespace kivo::posix {

// "COMn" (any case, also "\\.\COMn") names the path in the environment variable KIVO_COM<n>
// when it is set, else /dev/ttyS<n-1>. A name containing "/" is a device path used as it is.
// Anything else names no device.
std::optional<std::string> DevicePathFor(const std::string& Name);

// The environment variable that names the path of "COMn" ("KIVO_COM4"); empty when Name is
// no COM name.
std::string ComPathVariable(const std::string& Name);

} // namespace kivo::posix
