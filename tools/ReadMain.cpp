// kivo-read: reads a phone's identity on the command line.
//   kivo-read [--port COM4|/dev/ttyUSB0] [--json]
// Exit 0: all seven read; 1: the phone answered an error or nothing in time; 2: the port
// cannot be opened or the arguments are wrong.

#include "app/PhoneReader.h"
#include "runtime/Thread.h"

#include <iostream>
#include <string_view>

namespace {

constexpr std::string_view Usage = "usage: kivo-read [--port COM4|/dev/ttyUSB0] [--json]\n";

struct TArguments {
    TPortChoice Port;
    bool Json = false;
};

bool ParseArguments(int Argc, char** Argv, TArguments& Args) {
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Arg = Argv[I];
        if (Arg == "--json") {
            Args.Json = true;
        } else if (Arg == "--port" && I + 1 < Argc) {
            const auto Port = ParsePortChoice(Argv[++I]);
            if (!Port) {
                return false;
            }
            Args.Port = *Port;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int Argc, char** Argv) {
    if (Argc == 2 && std::string_view(Argv[1]) == "--help") {
        std::cout << Usage;
        return 0;
    }
    TArguments Args;
    if (!ParseArguments(Argc, Argv, Args)) {
        std::cerr << Usage;
        return 2;
    }
    try {
        SetMainThread();
        const TReadResult Result = ReadPhoneIdentity(Args.Port);
        std::cout << (Args.Json ? FormatAsJson(Result) : FormatAsText(Result)) << std::flush;
        if (!Result.Error.empty()) {
            std::cerr << "kivo-read: " << Result.Error << '\n';
        }
        switch (Result.Outcome) {
        case TReadOutcome::roComplete:
            return 0;
        case TReadOutcome::roPhoneError:
            return 1;
        case TReadOutcome::roOpenFailed:
            break;
        }
        return 2;
    } catch (const std::exception& E) {
        std::cerr << "kivo-read: " << E.what() << '\n';
        return 2;
    }
}
