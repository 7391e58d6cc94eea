#include "app/StartForm.h"

#include "app/StartFormText.h" // generated from Start.form

#include <sstream>

namespace {

std::string_view LeadingBlanks(std::string_view Line) {
    return Line.substr(0, Line.find_first_not_of(' '));
}

std::string_view WithoutIndent(std::string_view Line, std::size_t Indent) {
    return Line.size() >= Indent ? Line.substr(Indent) : std::string_view();
}

} // namespace

std::string_view StartFormText() {
    return KivoStartForm;
}

std::string ComponentSettings(std::string_view FormText, std::string_view Name) {
    std::istringstream In{std::string(FormText)};
    const std::string Head = "object " + std::string(Name) + ":";
    std::string Line;
    std::string Result;
    std::size_t Indent = std::string::npos;
    while (std::getline(In, Line)) {
        const std::string_view Text = WithoutIndent(Line, LeadingBlanks(Line).size());
        if (Indent == std::string::npos) {
            if (Text.starts_with(Head)) {
                Indent = LeadingBlanks(Line).size();
                Result += std::string(Text) + "\n";
            }
            continue;
        }
        if (LeadingBlanks(Line).size() == Indent && Text == "end") {
            return Result + "end\n";
        }
        if (!Text.starts_with("On")) {
            Result += std::string(WithoutIndent(Line, Indent)) + "\n";
        }
    }
    return {};
}
