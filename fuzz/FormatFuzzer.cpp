// Formats arbitrary format texts with arbitrary arguments and compares each result with a
// plain model of the placeholders: %d an integer, %s a text, %% a percent sign. Every
// format is safe: a result or EConvertError, never a crash or another exception.

#include "fuzz/FuzzCheck.h"
#include "runtime/SysUtils.h"

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int MaxArgs = 4;

// What Format should give: the text, or nothing where it should raise EConvertError.
std::optional<std::string> Expected(std::string_view Fmt, const std::vector<FormatArg>& Args) {
    std::string Out;
    std::size_t Next = 0;
    for (std::size_t I = 0; I < Fmt.size(); ++I) {
        if (Fmt[I] != '%') {
            Out += Fmt[I];
            continue;
        }
        if (++I == Fmt.size()) {
            return std::nullopt;
        }
        if (Fmt[I] == '%') {
            Out += '%';
            continue;
        }
        if ((Fmt[I] != 'd' && Fmt[I] != 's') || Next == Args.size() ||
            Args[Next].IsInteger() != (Fmt[I] == 'd')) {
            return std::nullopt;
        }
        const FormatArg& Arg = Args[Next++];
        Out += Arg.IsInteger() ? std::to_string(Arg.Integer()) : Arg.Text();
    }
    return Out;
}

std::vector<FormatArg> TakeArgs(FuzzedDataProvider& Input) {
    std::vector<FormatArg> Args;
    const int Count = Input.ConsumeIntegralInRange(0, MaxArgs);
    for (int I = 0; I < Count; ++I) {
        if (Input.ConsumeBool()) {
            Args.emplace_back(Input.ConsumeIntegral<std::int64_t>());
        } else {
            Args.emplace_back(Input.ConsumeRandomLengthString(64));
        }
    }
    return Args;
}

std::string FormatAll(std::string_view Fmt, const std::vector<FormatArg>& Args) {
    switch (Args.size()) {
    case 0:
        return Format(Fmt, {});
    case 1:
        return Format(Fmt, {Args[0]});
    case 2:
        return Format(Fmt, {Args[0], Args[1]});
    case 3:
        return Format(Fmt, {Args[0], Args[1], Args[2]});
    default:
        return Format(Fmt, {Args[0], Args[1], Args[2], Args[3]});
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    FuzzedDataProvider Input(Data, Size);
    const std::vector<FormatArg> Args = TakeArgs(Input);
    const std::string Fmt = Input.ConsumeRemainingBytesAsString();
    const std::optional<std::string> Want = Expected(Fmt, Args);
    try {
        const std::string Got = FormatAll(Fmt, Args);
        FuzzCheck(Want.has_value(), "Format refuses what it cannot fill");
        FuzzCheck(Got == *Want, "Format fills the placeholders in order");
    } catch (const EConvertError&) {
        FuzzCheck(!Want.has_value(), "Format fills every format it can");
    }
    return 0;
}
