#include "app/DeviceText.h"

namespace {

// The length of the UTF-8 sequence at the start of Text, 0 when there is none.
std::size_t Utf8Length(std::string_view Text, char32_t& Code) {
    const auto Lead = static_cast<unsigned char>(Text[0]);
    std::size_t Length = 0;
    if (Lead >= 0xC2 && Lead <= 0xDF) {
        Length = 2;
        Code = Lead & 0x1FU;
    } else if (Lead >= 0xE0 && Lead <= 0xEF) {
        Length = 3;
        Code = Lead & 0x0FU;
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
        Length = 4;
        Code = Lead & 0x07U;
    }
    if (Length == 0 || Text.size() < Length) {
        return 0;
    }
    for (std::size_t I = 1; I < Length; ++I) {
        const auto Next = static_cast<unsigned char>(Text[I]);
        if ((Next & 0xC0U) != 0x80U) {
            return 0;
        }
        Code = (Code << 6U) | (Next & 0x3FU);
    }
    const bool Overlong = (Length == 3 && Code < 0x800) || (Length == 4 && Code < 0x10000);
    const bool Invalid = Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF);
    return Overlong || Invalid ? 0 : Length;
}

// Control characters (C0, DEL, C1), and the characters that change the direction of the text
// around them or break its line: a device's text could make a line read differently from
// what it sent.
bool IsControl(char32_t Code) {
    const bool Bidirectional = Code == 0x061C || Code == 0x200E || Code == 0x200F ||
                               (Code >= 0x202A && Code <= 0x202E) ||
                               (Code >= 0x2066 && Code <= 0x2069);
    const bool LineBreaking = Code == 0x2028 || Code == 0x2029;
    return Code < 0x20 || (Code >= 0x7F && Code <= 0x9F) || Bidirectional || LineBreaking;
}

void AppendUtf8(std::string& Out, char32_t Code) {
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
        Out += static_cast<char>(0xC0U | (Code >> 6U));
        Out += static_cast<char>(0x80U | (Code & 0x3FU));
    } else if (Code < 0x10000) {
        Out += static_cast<char>(0xE0U | (Code >> 12U));
        Out += static_cast<char>(0x80U | ((Code >> 6U) & 0x3FU));
        Out += static_cast<char>(0x80U | (Code & 0x3FU));
    } else {
        Out += static_cast<char>(0xF0U | (Code >> 18U));
        Out += static_cast<char>(0x80U | ((Code >> 12U) & 0x3FU));
        Out += static_cast<char>(0x80U | ((Code >> 6U) & 0x3FU));
        Out += static_cast<char>(0x80U | (Code & 0x3FU));
    }
}

// "\u" and four hex digits: Unit is one UTF-16 code unit.
void AppendEscape(std::string& Out, unsigned Unit) {
    constexpr std::string_view Digits = "0123456789abcdef";
    Out += "\\u";
    for (int Shift = 12; Shift >= 0; Shift -= 4) {
        Out += Digits[(Unit >> static_cast<unsigned>(Shift)) & 0xFU];
    }
}

} // namespace

std::u32string DeviceCharacters(std::string_view Text) {
    std::u32string Characters;
    while (!Text.empty()) {
        char32_t Code = 0;
        std::size_t Length = Utf8Length(Text, Code);
        if (Length == 0) {
            Code = static_cast<unsigned char>(Text[0]);
            Length = 1;
        }
        Characters += Code;
        Text.remove_prefix(Length);
    }
    return Characters;
}

std::string EscapedForTerminal(std::string_view Text) {
    std::string Out;
    for (const char32_t Code : DeviceCharacters(Text)) {
        if (Code == '\\') {
            Out += "\\\\";
        } else if (IsControl(Code)) {
            AppendEscape(Out, Code);
        } else {
            AppendUtf8(Out, Code);
        }
    }
    return Out;
}

std::string EscapedBytes(std::string_view Bytes) {
    constexpr std::string_view Digits = "0123456789abcdef";
    std::string Out;
    while (!Bytes.empty()) {
        char32_t Code = 0;
        std::size_t Length = Utf8Length(Bytes, Code);
        if (Length == 0) {
            Length = 1;
            Code = static_cast<unsigned char>(Bytes[0]);
        }
        if (Code == '\\') {
            Out += "\\\\";
        } else if (Code == '\r' || Code == '\n' || Code == '\t') {
            Out += Code == '\r' ? "\\r" : (Code == '\n' ? "\\n" : "\\t");
        } else if (IsControl(Code) || (Length == 1 && Code >= 0x80)) {
            for (const char Byte : Bytes.substr(0, Length)) {
                const auto Value = static_cast<unsigned char>(Byte);
                Out += "\\x";
                Out += Digits[Value >> 4U];
                Out += Digits[Value & 0xFU];
            }
        } else {
            Out += Bytes.substr(0, Length);
        }
        Bytes.remove_prefix(Length);
    }
    return Out;
}

std::string JsonString(std::string_view Text) {
    std::string Out = "\"";
    for (const char32_t Code : DeviceCharacters(Text)) {
        if (Code == '"' || Code == '\\') {
            Out += '\\';
            Out += static_cast<char>(Code);
        } else if (Code >= 0x10000) {
            const char32_t Rest = Code - 0x10000;
            AppendEscape(Out, 0xD800U + (Rest >> 10U));
            AppendEscape(Out, 0xDC00U + (Rest & 0x3FFU));
        } else if (Code < 0x20 || Code >= 0x7F) {
            AppendEscape(Out, Code);
        } else {
            Out += static_cast<char>(Code);
        }
    }
    return Out + '"';
}
