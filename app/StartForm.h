#pragma once
// The main window's stored description, built into the program.

#include <string>
#include <string_view>

[[nodiscard]] std::string_view StartFormText();

// The block of the component Name inside a stored description, as a description of its
// own (object line, properties, end), without its handler bindings: for giving another
// instance the same stored settings. Empty when there is no such component.
[[nodiscard]] std::string ComponentSettings(std::string_view FormText, std::string_view Name);
