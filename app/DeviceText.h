#pragma once
// A device's text for people: its characters, escaped for a terminal, a trace or JSON, so that
// no byte a device sends can make the output read differently from what it sent. Any thread.

#include <string>
#include <string_view>

// The characters of a device's text: bytes that form UTF-8 are taken as UTF-8, every other
// byte as the Latin-1 character of its value. Both outputs show the same characters.
[[nodiscard]] std::u32string DeviceCharacters(std::string_view Text);
// Text for a terminal: the characters in UTF-8, with control characters (C0, DEL, C1) and
// the backslash escaped as JSON escapes them ("\u001b", "\\").
[[nodiscard]] std::string EscapedForTerminal(std::string_view Text);
// The bytes of a trace, each of them recognisable: text as EscapedForTerminal shows it, but
// CR, LF and tab as "\r", "\n", "\t", and every other control character and every byte that
// forms no UTF-8 as "\xNN", one for each of its bytes.
[[nodiscard]] std::string EscapedBytes(std::string_view Bytes);
// A JSON string literal of the characters, in ASCII ("\u00e9" for "é").
[[nodiscard]] std::string JsonString(std::string_view Text);
