#pragma once
// The framework's exception classes and its text formatting.

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

// Base of every exception the framework and the component raise: a message text.
class Exception : public std::exception {
public:
    // An exception that says Message.
    explicit Exception(std::string Message) : FMessage(std::move(Message)) {}

    // The message, and the same for std::exception's users.
    [[nodiscard]] const std::string& Message() const noexcept { return FMessage; }
    [[nodiscard]] const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// A value that cannot be converted, or an assignment between unrelated classes.
class EConvertError : public Exception {
public:
    // Takes the message, as Exception does.
    using Exception::Exception;
};

// A thread operation the system refused.
class EThread : public Exception {
public:
    // Takes the message, as Exception does.
    using Exception::Exception;
};

// One argument of Format: an integer (for %d) or a text (for %s).
class FormatArg {
public:
    // An integer, a text: each converts implicitly, so Format takes them as they are.
    template <typename Int>
    requires(std::is_integral_v<Int> && !std::is_same_v<Int, bool> && !std::is_same_v<Int, char>)
        FormatArg(Int Value)
        : FValue(static_cast<std::int64_t>(Value)) {}               // NOLINT: implicit by design
    FormatArg(std::string_view Text) : FValue(std::string(Text)) {} // NOLINT
    FormatArg(const char* Text) : FValue(std::string(Text)) {}      // NOLINT
    FormatArg(std::string Text) : FValue(std::move(Text)) {}        // NOLINT

    // Whether it is an integer; the integer; the text.
    [[nodiscard]] bool IsInteger() const { return std::holds_alternative<std::int64_t>(FValue); }
    [[nodiscard]] std::int64_t Integer() const { return std::get<std::int64_t>(FValue); }
    [[nodiscard]] const std::string& Text() const { return std::get<std::string>(FValue); }

private:
    std::variant<std::int64_t, std::string> FValue;
};

// Fills the placeholders of Fmt from Args, in order: %d takes an integer and writes it in
// decimal, %s takes a text, %% writes one percent sign. Arguments that the format does not
// use are ignored. A placeholder whose argument is missing or of the other kind, or an
// unknown or unfinished placeholder, raises EConvertError; any text is a safe format.
[[nodiscard]] std::string Format(std::string_view Fmt, std::initializer_list<FormatArg> Args);

// True when A and B are equal, ignoring the case of ASCII letters.
[[nodiscard]] bool SameText(std::string_view A, std::string_view B);
