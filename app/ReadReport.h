#pragma once
// The reports of a read: the text and JSON of a result, its fields, refusals and the verdict on
// its serial number. Any thread.

#include "app/ReadResult.h"

#include <string>

// The result as labelled lines ("Phone Manufacturer: ...") for the fields read; a serial
// number whose IMEI check digit is wrong is followed by a note saying so.
[[nodiscard]] std::string FormatAsText(const TReadResult& Result);
// The refused commands, a line each: "AT+CGMR: ERROR: Invalid AT command.".
[[nodiscard]] std::string FieldErrorsText(const TReadResult& Result);
// The result as one JSON object with a member per command read, "imei_valid" where the
// serial number is a 15-digit IMEI, "errors" with a member per command refused, and "error"
// for what ended the read early.
[[nodiscard]] std::string FormatAsJson(const TReadResult& Result);
// The JSON members of the fields read, without braces: "\"CGMI\": \"...\", ...".
[[nodiscard]] std::string JsonFields(const TReadResult& Result);
// The JSON member of the IMEI's verdict, "\"imei_valid\": true" or false; empty when the serial
// number was not read or is no IMEI (Imei.h).
[[nodiscard]] std::string JsonImeiVerdict(const TReadResult& Result);
// Whether the serial number read is a 15-digit IMEI whose check digit is wrong: the answer
// was garbled on its way, so the read does not count as a clean one.
[[nodiscard]] bool ImeiCheckFailed(const TReadResult& Result);
// Why the serial number read cannot be right, in words (a wrong IMEI check digit, a character
// no serial number has: SerialNumberFault); empty when it was not read or shows no such sign.
// A read with one is no clean read.
[[nodiscard]] std::string SerialNumberProblem(const TReadResult& Result);
// The JSON member saying why, "\"serial_error\": \"...\"" for a SerialNumberFault; empty
// without one (a wrong check digit is "imei_valid": false).
[[nodiscard]] std::string JsonSerialError(const TReadResult& Result);
// The JSON members of the refused commands, without braces: "\"CGMR\": \"ERROR: ...\"".
[[nodiscard]] std::string JsonFieldErrors(const TReadResult& Result);
