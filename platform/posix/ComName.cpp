#include "platform/posix/ComName.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

namespace kivo::posix {
namespace {

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
    if (Text.size() < Prefix.size()) {
        return false;
    }
    for (std::size_t I = 0; I < Prefix.size(); ++I) {
        if (std::toupper(static_cast<unsigned char>(Text[I])) != Prefix[I]) {
            return false;
        }
    }
    return true;
}

// The port number of "COMn", or 0 when Name is not one.
unsigned long PortNumber(std::string_view Name) {
    constexpr std::string_view DevicePrefix = "\\\\.\\";
    if (Name.substr(0, DevicePrefix.size()) == DevicePrefix) {
        Name.remove_prefix(DevicePrefix.size());
    }
    if (!StartsWithNoCase(Name, "COM")) {
        return 0;
    }
    Name.remove_prefix(3);
    if (Name.empty() || Name.size() > 6) {
        return 0;
    }
    unsigned long Number = 0;
    for (const char Digit : Name) {
        if (std::isdigit(static_cast<unsigned char>(Digit)) == 0) {
            return 0;
        }
        Number = Number * 10 + static_cast<unsigned long>(Digit - '0');
    }
    return Number;
}

} // namespace

std::string ComPathVariable(const std::string& Name) {
    if (Name.find('/') != std::string::npos) {
        return {};
    }
    const unsigned long Number = PortNumber(Name);
    return Number == 0 ? std::string() : "KIVO_COM" + std::to_string(Number);
}

std::optional<std::string> DevicePathFor(const std::string& Name) {
    if (Name.find('/') != std::string::npos) {
        return Name;
    }
    const unsigned long Number = PortNumber(Name);
    if (Number == 0) {
        return std::nullopt;
    }
    const std::string Variable = ComPathVariable(Name);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in KIVO changes the environment
    if (const char* Mapped = std::getenv(Variable.c_str()); Mapped != nullptr && *Mapped != '\0') {
        return std::string(Mapped);
    }
    return "/dev/ttyS" + std::to_string(Number - 1);
}

} // namespace kivo::posix
