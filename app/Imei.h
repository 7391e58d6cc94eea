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

// Why Answer cannot be a serial number as the device sent it, in words: a character that no
// serial number has (a control character, one beyond ASCII: "a character no serial number
// has: \u001b"), or an IMEI's fifteen characters with one that is no digit and no
// hexadecimal digit either ("35742109876543X"); empty when there is no such sign. MEIDs and
// ESNs in hexadecimal, and other modems' serials of letters, digits and punctuation, have
// none.
[[nodiscard]] std::string SerialNumberFault(std::string_view Answer);

// The verdict in words, for a tooltip or a note after the number: the fault, else the IMEI's
// check digit; empty when there is neither.
[[nodiscard]] std::string ImeiVerdictText(std::string_view Answer);
