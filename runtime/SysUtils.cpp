#include "runtime/SysUtils.h"

namespace {

[[noreturn]] void RaiseBadFormat(std::string_view Fmt) {
    throw EConvertError("Format '" + std::string(Fmt) + "' invalid or incompatible with argument");
}

[[noreturn]] void RaiseMissingArgument(std::string_view Fmt) {
    throw EConvertError("No argument for format '" + std::string(Fmt) + "'");
}

// Walks the format once, taking the arguments in order.
class FormatWriter {
public:
    FormatWriter(std::string_view Fmt, std::initializer_list<FormatArg> Args)
        : FFmt(Fmt), FNext(Args.begin()), FEnd(Args.end()) {}

    std::string Run() {
        std::string result;
        result.reserve(FFmt.size());
        for (std::size_t i = 0; i < FFmt.size(); ++i) {
            if (FFmt[i] != '%') {
                result += FFmt[i];
                continue;
            }
            if (++i == FFmt.size()) {
                RaiseBadFormat(FFmt);
            }
            Placeholder(FFmt[i], result);
        }
        return result;
    }

private:
    void Placeholder(char Kind, std::string& Out) {
        switch (Kind) {
        case '%':
            Out += '%';
            return;
        case 'd':
            Out += std::to_string(Take(true).Integer());
            return;
        case 's':
            Out += Take(false).Text();
            return;
        default:
            RaiseBadFormat(FFmt);
        }
    }

    const FormatArg& Take(bool WantInteger) {
        if (FNext == FEnd) {
            RaiseMissingArgument(FFmt);
        }
        const FormatArg& arg = *FNext++;
        if (arg.IsInteger() != WantInteger) {
            RaiseBadFormat(FFmt);
        }
        return arg;
    }

    std::string_view FFmt;
    const FormatArg* FNext;
    const FormatArg* FEnd;
};

} // namespace

std::string Format(std::string_view Fmt, std::initializer_list<FormatArg> Args) {
    return FormatWriter(Fmt, Args).Run();
}

bool SameText(std::string_view A, std::string_view B) {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t i = 0; i < A.size(); ++i) {
        if (lower(A[i]) != lower(B[i])) {
            return false;
        }
    }
    return true;
}
