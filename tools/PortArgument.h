#pragma once
// kivo-read's port arguments: a COM name or a device path, as --port names them. Any thread.

#include "app/PhoneReader.h"

#include <optional>
#include <string_view>

// The choice a --port argument names; none when it is neither a COM name nor a path.
[[nodiscard]] std::optional<TPortChoice> ParsePortChoice(std::string_view Text);
