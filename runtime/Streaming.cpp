#include "runtime/Streaming.h"

#include "runtime/TypInfo.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

// ---- Writing ----

namespace {

// 'text' with quotes doubled; bytes outside printable ASCII as #n between the quoted runs.
std::string QuotedText(std::string_view Text) {
    std::string result;
    bool quoted = false;
    for (const char ch : Text) {
        const auto byte = static_cast<unsigned char>(ch);
        const bool printable = byte >= 0x20 && byte < 0x7F;
        if (printable != quoted) {
            result += '\'';
            quoted = printable;
        }
        if (!printable) {
            result += '#' + std::to_string(byte);
        } else {
            result += (ch == '\'') ? std::string("''") : std::string(1, ch);
        }
    }
    if (quoted) {
        result += '\'';
    }
    return result.empty() ? std::string("''") : result;
}

std::string MemberName(const TPropInfo& Prop, std::int64_t Ordinal) {
    if (Ordinal >= 0 && std::cmp_less(Ordinal, Prop.MemberNames.size())) {
        return std::string(Prop.MemberNames[static_cast<std::size_t>(Ordinal)]);
    }
    return std::to_string(Ordinal);
}

std::string SetText(const TPropInfo& Prop, std::int64_t Bits) {
    std::string result = "[";
    for (std::size_t i = 0; i < Prop.MemberNames.size() && i < 64; ++i) {
        if ((static_cast<std::uint64_t>(Bits) >> i) & 1U) {
            result += (result.size() > 1 ? ", " : "") + std::string(Prop.MemberNames[i]);
        }
    }
    return result + "]";
}

std::string StringsText(const std::vector<std::string>& Items) {
    std::string result = "(";
    for (const std::string& item : Items) {
        result += (result.size() > 1 ? ", " : "") + QuotedText(item);
    }
    return result + ")";
}

// The text of an ordinal value, or nothing when it equals the declared default.
std::optional<std::string> OrdinalText(const TPropInfo& Prop, const TPersistent& Object) {
    const std::int64_t value = Prop.GetOrdinal(Object);
    if (Prop.Default && *Prop.Default == value) {
        return std::nullopt;
    }
    switch (Prop.Kind) {
    case TTypeKind::tkBoolean:
        return value != 0 ? "True" : "False";
    case TTypeKind::tkChar:
        return "#" + std::to_string(static_cast<unsigned char>(value));
    case TTypeKind::tkEnumeration:
        return MemberName(Prop, value);
    case TTypeKind::tkSet:
        return SetText(Prop, value);
    default:
        return std::to_string(value);
    }
}

// The text of a property's value, or nothing when it is not stored.
std::optional<std::string> ValueText(const TPropInfo& Prop, const TPersistent& Object) {
    switch (Prop.Kind) {
    case TTypeKind::tkString: {
        std::string text = Prop.GetString(Object);
        if (Prop.DefaultText && *Prop.DefaultText == text) {
            return std::nullopt;
        }
        return QuotedText(text);
    }
    case TTypeKind::tkStrings:
        return StringsText(Prop.GetStrings(Object));
    case TTypeKind::tkMethod: {
        std::string name = Prop.GetMethodName(Object);
        return name.empty() ? std::nullopt : std::optional<std::string>(std::move(name));
    }
    case TTypeKind::tkClass:
        return std::nullopt;
    default:
        return OrdinalText(Prop, Object);
    }
}

class FormWriter {
public:
    std::string Write(const TComponent& Root) {
        WriteObject(Root, 0);
        return std::move(FOut);
    }

private:
    void WriteObject(const TComponent& Component, int Depth) {
        const std::string heading = Component.Name().empty()
                                        ? std::string(Component.ClassName())
                                        : Component.Name() + ": " + Component.ClassName();
        Line(Depth, "object " + heading);
        WriteProperties(Component, "", Depth + 1);
        for (int i = 0; i < Component.ComponentCount(); ++i) {
            WriteObject(*Component.Components(i), Depth + 1);
        }
        Line(Depth, "end");
    }

    void WriteProperties(const TPersistent& Object, const std::string& Prefix, int Depth) {
        for (const TPropInfo& prop : Object.ClassInfo().Properties()) {
            if (prop.Kind == TTypeKind::tkClass) {
                if (const TPersistent* sub = prop.GetConstObject(Object)) {
                    WriteProperties(*sub, Prefix + prop.Name + ".", Depth);
                }
                continue;
            }
            if (std::optional<std::string> value = ValueText(prop, Object)) {
                Line(Depth, Prefix + prop.Name + " = " + *value);
            }
        }
    }

    void Line(int Depth, const std::string& Text) {
        FOut.append(static_cast<std::size_t>(Depth) * 2, ' ');
        FOut += Text;
        FOut += '\n';
    }

    std::string FOut;
};

} // namespace

std::string WriteComponent(const TComponent& Instance) {
    return FormWriter().Write(Instance);
}

// ---- Reading ----

namespace {

struct Token {
    enum class TKind : std::uint8_t { Identifier, Integer, Text, Symbol, End };
    TKind Kind = TKind::End;
    std::string Text; // identifier, symbol, or the decoded text
    std::int64_t Value = 0;
    int Line = 1;
};

[[noreturn]] void RaiseAt(int Line, const std::string& What) {
    throw EReadError(Format("Line %d: %s", {Line, What}));
}

bool IsIdentStart(char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_';
}
bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}
bool IsIdentChar(char C) {
    return IsIdentStart(C) || IsDigit(C);
}

std::string CharName(char C) {
    const auto byte = static_cast<unsigned char>(C);
    if (byte >= 0x20 && byte < 0x7F) {
        return std::string{'\'', C, '\''};
    }
    std::string name = "#";
    name += std::to_string(byte);
    return name;
}

// Splits the stored form into tokens, counting lines.
class Lexer {
public:
    explicit Lexer(std::string_view Text) : FText(Text) {}

    Token Next() {
        SkipSpace();
        Token token;
        token.Line = FLine;
        if (FPos >= FText.size()) {
            return token;
        }
        const char c = FText[FPos];
        if (IsIdentStart(c)) {
            token.Kind = Token::TKind::Identifier;
            token.Text = TakeWhile(IsIdentChar);
        } else if (IsDigit(c) ||
                   (c == '-' && FPos + 1 < FText.size() && IsDigit(FText[FPos + 1]))) {
            token.Kind = Token::TKind::Integer;
            ++FPos;
            const std::string digits = std::string(1, c) + TakeWhile(IsDigit);
            token.Value = ParseInteger(digits, 10);
        } else if (c == '\'' || c == '#') {
            token.Kind = Token::TKind::Text;
            token.Text = TakeText();
        } else if (std::string_view("=:[](),.+").find(c) != std::string_view::npos) {
            token.Kind = Token::TKind::Symbol;
            token.Text = std::string(1, c);
            ++FPos;
        } else {
            RaiseAt(FLine, "Invalid character " + CharName(c));
        }
        return token;
    }

private:
    void SkipSpace() {
        while (FPos < FText.size()) {
            const char c = FText[FPos];
            if (c == '\n') {
                ++FLine;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
            ++FPos;
        }
    }

    std::string TakeWhile(bool (*Accept)(char)) {
        const std::size_t start = FPos;
        while (FPos < FText.size() && Accept(FText[FPos])) {
            ++FPos;
        }
        return std::string(FText.substr(start, FPos - start));
    }

    std::int64_t ParseInteger(const std::string& Digits, int Base) const {
        std::int64_t value = 0;
        const auto [end, error] =
            std::from_chars(Digits.data(), Digits.data() + Digits.size(), value, Base);
        if (error != std::errc() || end != Digits.data() + Digits.size()) {
            RaiseAt(FLine, "Number " + Digits + " is out of range");
        }
        return value;
    }

    // Quoted runs and #n characters written next to each other form one text.
    std::string TakeText() {
        std::string text;
        while (FPos < FText.size()) {
            if (FText[FPos] == '\'') {
                text += TakeQuoted();
            } else if (FText[FPos] == '#') {
                text += TakeCharCode();
            } else {
                break;
            }
        }
        return text;
    }

    std::string TakeQuoted() {
        std::string text;
        ++FPos; // opening quote
        for (;;) {
            if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r') {
                RaiseAt(FLine, "Unterminated string");
            }
            const char c = FText[FPos++];
            if (c != '\'') {
                text += c;
            } else if (FPos < FText.size() && FText[FPos] == '\'') {
                text += '\'';
                ++FPos;
            } else {
                return text;
            }
        }
    }

    char TakeCharCode() {
        ++FPos; // '#'
        const std::string digits = TakeWhile(IsDigit);
        if (digits.empty()) {
            RaiseAt(FLine, "Character code expected after #");
        }
        if (digits.size() > 3 || ParseInteger(digits, 10) > 255) {
            RaiseAt(FLine, "Character code #" + digits + " is not a byte");
        }
        return static_cast<char>(ParseInteger(digits, 10));
    }

    std::string_view FText;
    std::size_t FPos = 0;
    int FLine = 1;
};

class FormReader {
public:
    FormReader(std::string_view Text, TComponent& Root) : FLexer(Text), FRoot(Root) { Advance(); }

    void Read() {
        const Token start = FToken;
        const auto [name, className] = ReadHeading();
        if (!SameText(className, FRoot.ClassName())) {
            RaiseAt(start.Line,
                    "The form describes a " + className + ", not a " + FRoot.ClassName());
        }
        if (!name.empty() && name != FRoot.Name()) {
            Named(FRoot, name, start.Line);
        }
        FRoot.BeginLoading();
        ReadBody(FRoot);
        if (FToken.Kind != Token::TKind::End) {
            RaiseAt(FToken.Line, "Text after the end of the form");
        }
        for (TComponent* loaded : FLoaded) {
            loaded->Loaded();
        }
        FRoot.Loaded();
    }

private:
    void Advance() { FToken = FLexer.Next(); }

    bool IsSymbol(char C) const {
        return FToken.Kind == Token::TKind::Symbol && FToken.Text[0] == C;
    }
    bool IsWord(std::string_view Word) const {
        return FToken.Kind == Token::TKind::Identifier && SameText(FToken.Text, Word);
    }

    [[noreturn]] void Expected(const std::string& What) const {
        std::string found;
        switch (FToken.Kind) {
        case Token::TKind::End:
            found = "the end of the text";
            break;
        case Token::TKind::Text:
            found = "a text";
            break;
        default:
            found = "'" +
                    (FToken.Kind == Token::TKind::Integer ? std::to_string(FToken.Value)
                                                          : FToken.Text) +
                    "'";
        }
        RaiseAt(FToken.Line, What + " expected but " + found + " found");
    }

    void ExpectSymbol(char C) {
        if (!IsSymbol(C)) {
            Expected(CharName(C));
        }
        Advance();
    }

    std::string TakeIdentifier(const std::string& What) {
        if (FToken.Kind != Token::TKind::Identifier) {
            Expected(What);
        }
        std::string text = std::move(FToken.Text);
        Advance();
        return text;
    }

    // "object Name: TClass" or "object TClass"; returns name and class.
    std::pair<std::string, std::string> ReadHeading() {
        if (!IsWord("object")) {
            Expected("'object'");
        }
        Advance();
        std::string first = TakeIdentifier("Component name");
        if (!IsSymbol(':')) {
            return {"", first};
        }
        Advance();
        return {first, TakeIdentifier("Class name")};
    }

    void ReadBody(TComponent& Component) {
        for (;;) {
            if (IsWord("end")) {
                Advance();
                return;
            }
            if (IsWord("object")) {
                ReadNestedObject();
            } else if (FToken.Kind == Token::TKind::Identifier) {
                ReadProperty(Component);
            } else {
                Expected("Property name, 'object' or 'end'");
            }
        }
    }

    void Named(TComponent& Component, const std::string& Name, int Line) {
        try {
            Component.SetName(Name);
        } catch (const Exception& e) {
            RaiseAt(Line, e.Message());
        }
    }

    void ReadNestedObject() {
        const int line = FToken.Line;
        const auto [name, className] = ReadHeading();
        TComponent* child = FRoot.FindComponent(name);
        if (child != nullptr && std::find(FLoaded.begin(), FLoaded.end(), child) != FLoaded.end()) {
            RaiseAt(line, "A component named " + name + " already exists");
        }
        if (child != nullptr && !SameText(child->ClassName(), className)) {
            RaiseAt(line, name + " is a " + child->ClassName() + ", not a " + className);
        }
        if (child == nullptr) {
            const TComponentFactory* factory = FindComponentClass(className);
            if (factory == nullptr) {
                RaiseAt(line, "Class " + className + " not found");
            }
            child = (*factory)(&FRoot);
            Named(*child, name, line);
        }
        child->BeginLoading();
        ReadBody(*child);
        FLoaded.push_back(child);
    }

    // Name{.Name} = value
    void ReadProperty(TComponent& Component) {
        const int line = FToken.Line;
        TPersistent* object = &Component;
        std::string path = TakeIdentifier("Property name");
        const TPropInfo* prop = Find(*object, path, line);
        while (IsSymbol('.')) {
            Advance();
            if (prop->Kind != TTypeKind::tkClass ||
                (object = prop->GetObject(*object)) == nullptr) {
                RaiseAt(line, "Property " + path + " has no sub-properties");
            }
            const std::string sub = TakeIdentifier("Property name");
            path += "." + sub;
            prop = Find(*object, sub, line);
        }
        ExpectSymbol('=');
        ReadValue(*prop, *object, path, line);
    }

    static const TPropInfo* Find(const TPersistent& Object, const std::string& Name, int Line) {
        const TPropInfo* prop = Object.ClassInfo().FindProperty(Name);
        if (prop == nullptr) {
            RaiseAt(Line, "Property " + Name + " does not exist in " + Object.ClassName());
        }
        return prop;
    }

    void ReadValue(const TPropInfo& Prop, TPersistent& Object, const std::string& Path, int Line) {
        switch (Prop.Kind) {
        case TTypeKind::tkString:
            Prop.SetString(Object, ReadText(Path));
            return;
        case TTypeKind::tkStrings:
            Prop.SetStrings(Object, ReadStrings(Path));
            return;
        case TTypeKind::tkMethod:
            BindHandler(Prop, Object, Path, Line);
            return;
        case TTypeKind::tkClass:
            RaiseAt(Line, "Property " + Path + " is an object; give its properties as " + Path +
                              ".Name = value");
        default:
            Prop.SetOrdinal(Object, ReadOrdinal(Prop, Path));
        }
    }

    std::int64_t ReadOrdinal(const TPropInfo& Prop, const std::string& Path) {
        switch (Prop.Kind) {
        case TTypeKind::tkBoolean:
            return ReadBoolean(Path);
        case TTypeKind::tkChar:
            return ReadChar(Path);
        case TTypeKind::tkEnumeration:
            return ReadMember(Prop, Path, "Enumeration member");
        case TTypeKind::tkSet:
            return ReadSet(Prop, Path);
        default:
            return ReadInteger(Prop, Path);
        }
    }

    std::int64_t ReadBoolean(const std::string& Path) {
        const bool value = IsWord("True");
        if (!value && !IsWord("False")) {
            Expected("True or False for " + Path);
        }
        Advance();
        return value ? 1 : 0;
    }

    std::int64_t ReadInteger(const TPropInfo& Prop, const std::string& Path) {
        if (FToken.Kind != Token::TKind::Integer) {
            Expected("Integer for " + Path);
        }
        const std::int64_t value = FToken.Value;
        if (value < Prop.MinValue || value > Prop.MaxValue) {
            RaiseAt(FToken.Line, Format("%d is out of range for %s", {value, Path}));
        }
        Advance();
        return value;
    }

    std::int64_t ReadChar(const std::string& Path) {
        if (FToken.Kind != Token::TKind::Text || FToken.Text.size() != 1) {
            Expected("One character for " + Path);
        }
        const auto value = static_cast<unsigned char>(FToken.Text[0]);
        Advance();
        return value;
    }

    std::int64_t ReadMember(const TPropInfo& Prop, const std::string& Path, const char* What) {
        if (FToken.Kind == Token::TKind::Identifier) {
            for (std::size_t i = 0; i < Prop.MemberNames.size(); ++i) {
                if (SameText(Prop.MemberNames[i], FToken.Text)) {
                    Advance();
                    return static_cast<std::int64_t>(i);
                }
            }
        }
        Expected(std::string(What) + " of " + Path);
    }

    std::int64_t ReadSet(const TPropInfo& Prop, const std::string& Path) {
        ExpectSymbol('[');
        std::uint64_t bits = 0;
        for (bool first = true; !IsSymbol(']'); first = false) {
            if (!first) {
                ExpectSymbol(',');
            }
            const std::int64_t member = ReadMember(Prop, Path, "Set member");
            if (member >= 64) {
                RaiseAt(FToken.Line, "Set member out of range in " + Path);
            }
            bits |= std::uint64_t{1} << member;
        }
        Advance();
        return static_cast<std::int64_t>(bits);
    }

    // 'text'#13#10 { + 'more' }
    std::string ReadText(const std::string& Path) {
        if (FToken.Kind != Token::TKind::Text) {
            Expected("Text for " + Path);
        }
        std::string text = std::move(FToken.Text);
        Advance();
        while (IsSymbol('+')) {
            Advance();
            if (FToken.Kind != Token::TKind::Text) {
                Expected("Text after '+' in " + Path);
            }
            text += FToken.Text;
            Advance();
        }
        return text;
    }

    // ('one', 'two') over any number of lines; commas between the items are optional.
    std::vector<std::string> ReadStrings(const std::string& Path) {
        ExpectSymbol('(');
        std::vector<std::string> items;
        while (!IsSymbol(')')) {
            if (!items.empty() && IsSymbol(',')) {
                Advance();
            }
            items.push_back(ReadText(Path));
        }
        Advance();
        return items;
    }

    void BindHandler(const TPropInfo& Prop, TPersistent& Object, const std::string& Path,
                     int Line) {
        const std::string name = TakeIdentifier("Handler name for " + Path);
        const std::any* method = FRoot.FindMethod(name);
        if (method == nullptr) {
            RaiseAt(Line,
                    "Handler " + name + " for " + Path + " not found in " + FRoot.ClassName());
        }
        try {
            Prop.SetMethod(Object, *method);
        } catch (const EConvertError& e) {
            RaiseAt(Line, e.Message() + " (" + name + ")");
        }
    }

    Lexer FLexer;
    Token FToken;
    TComponent& FRoot;
    std::vector<TComponent*> FLoaded;
};

} // namespace

void ReadComponent(std::string_view Text, TComponent& Root) {
    FormReader(Text, Root).Read();
}
