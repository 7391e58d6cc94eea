#include "tools/PortArgument.h"

#include "serial/VaComm.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsComName(std::string_view Text, int& Number) {
    if (Text.size() < 4 || Text.size() > 6) {
        return false;
    }
    const std::string_view Prefix = Text.substr(0, 3);
    if (!std::equal(Prefix.begin(), Prefix.end(), "COM", [](char A, char B) {
            return std::toupper(static_cast<unsigned char>(A)) == B;
        })) {
        return false;
    }
    Number = 0;
    for (const char C : Text.substr(3)) {
        if (std::isdigit(static_cast<unsigned char>(C)) == 0) {
            return false;
        }
        Number = Number * 10 + (C - '0');
    }
    return Number >= 1;
}

} // namespace

std::optional<TPortChoice> ParsePortChoice(std::string_view Text) {
    if (Text.find('/') != std::string_view::npos) {
        return TPortChoice{0, TVaComm::DeviceNameForPath(Text)};
    }
    // Windows' device namespace prefix, as its port list names ports: "\\.\COM12".
    constexpr std::string_view DevicePrefix = R"(\\.\)";
    if (Text.starts_with(DevicePrefix)) {
        Text.remove_prefix(DevicePrefix.size());
    }
    int Number = 0;
    if (IsComName(Text, Number)) {
        return TPortChoice{Number, "COM%d"};
    }
    return std::nullopt;
}
