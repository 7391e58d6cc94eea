#include "app/Imei.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::size_t ImeiDigits = 15;

} // namespace

std::optional<bool> ImeiCheckDigitRight(std::string_view Answer) {
    const bool Digits =
        std::all_of(Answer.begin(), Answer.end(), [](char C) { return C >= '0' && C <= '9'; });
    if (Answer.size() != ImeiDigits || !Digits) {
        return std::nullopt;
    }
    // From the right, every second digit is doubled, and a doubled digit above 9 gives its
    // digits' sum; the check digit makes the whole sum a multiple of 10.
    int Sum = 0;
    for (std::size_t I = 0; I < ImeiDigits; ++I) {
        int Digit = Answer[ImeiDigits - 1 - I] - '0';
        if (I % 2 == 1) {
            Digit *= 2;
            Digit -= Digit > 9 ? 9 : 0;
        }
        Sum += Digit;
    }
    return Sum % 10 == 0;
}

std::string SerialNumberFault(std::string_view Answer) {
    constexpr std::string_view Digits = "0123456789abcdef";
    for (const char C : Answer) {
        const auto Byte = static_cast<unsigned char>(C);
        if (Byte < 0x20 || Byte >= 0x7F) {
            return std::string("a character no serial number has: \\x") + Digits[Byte >> 4U] +
                   Digits[Byte & 0xFU];
        }
    }
    const auto IsDigit = [](char C) { return C >= '0' && C <= '9'; };
    const auto DigitCount = std::count_if(Answer.begin(), Answer.end(), IsDigit);
    const auto* Odd = std::find_if(Answer.begin(), Answer.end(), [](char C) {
        return std::isxdigit(static_cast<unsigned char>(C)) == 0;
    });
    if (Answer.size() == ImeiDigits && DigitCount >= static_cast<long>(ImeiDigits) - 2 &&
        Odd != Answer.end()) {
        return "garbled: an IMEI has no '" + std::string(1, *Odd) + "'";
    }
    return {};
}

std::string ImeiVerdictText(std::string_view Answer) {
    if (std::string Fault = SerialNumberFault(Answer); !Fault.empty()) {
        return Fault;
    }
    const auto Right = ImeiCheckDigitRight(Answer);
    if (!Right) {
        return {};
    }
    return *Right ? "IMEI check digit right" : "check digit wrong: not a valid IMEI";
}
