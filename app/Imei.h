#pragma once
// The IMEI's check digit. A phone answers +CGSN with its IMEI: 14 digits and a check digit,
// the Luhn digit of the 14 (3GPP TS 23.003). A wrong check digit means the answer was garbled
// on the way (a line mixed with another, a byte lost) or the number is no IMEI at all. Modems
// and older phones answer with other numbers (an 8-digit ESN, a 14-digit MEID, a serial
// number with letters): those get no verdict.

#include <optional>
#include <string>
#include <string_view>

// Whether Answer is a 15-digit IMEI whose check digit is right; none when Answer is no
// 15-digit number.
[[nodiscard]] std::optional<bool> ImeiCheckDigitRight(std::string_view Answer);

// The verdict in words, for a tooltip or a note after the number: empty when there is none.
[[nodiscard]] std::string ImeiVerdictText(std::string_view Answer);
