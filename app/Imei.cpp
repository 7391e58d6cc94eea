#include "app/Imei.h"

#include <algorithm>

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

std::string ImeiVerdictText(std::string_view Answer) {
    const auto Right = ImeiCheckDigitRight(Answer);
    if (!Right) {
        return {};
    }
    return *Right ? "IMEI check digit right" : "check digit wrong: not a valid IMEI";
}
