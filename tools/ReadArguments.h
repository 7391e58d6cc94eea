#pragma once
// kivo-read's arguments: what they ask for, how they are parsed, and its help. Main thread.

#include "app/PhoneReader.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The first lines of the help, also printed after a wrong argument.
extern const std::string_view Usage;
// What --version prints.
extern const std::string_view Version;

// What --help prints: the usage and examples.
[[nodiscard]] std::string Help();

enum class TMode : std::uint8_t { mdRead, mdScan, mdList };

struct TArguments {
    TMode Mode = TMode::mdRead;
    std::vector<std::string> Ports; // as given
    bool Json = false;
    bool Watch = false;
    bool Force = false;   // --force: a console port or a port another program holds, all the same
    bool Inhibit = false; // --inhibit: ModemManager lets go of the port for the read
    TReadOptions Options;
    bool SearchBaudrate = false; // --baud auto
    bool Help = false;
    bool Version = false;
    std::optional<std::string> Trace; // the file to trace to; empty: standard error
};

// Takes one option (with its value where it has one); the error message when it is wrong.
[[nodiscard]] std::optional<std::string> TakeOption(TArguments& Args, std::string_view Name,
                                                    const std::optional<std::string_view>& Value);

// KIVO_SEARCH_SECONDS: how long each line speed of a search waits for "OK", for a modem
// slow to answer "AT" (default 0.3 s). Read only where a search may run.
[[nodiscard]] std::optional<std::string> SearchBoundFromEnvironment(TReadOptions& Options);

// The arguments, or the message saying what is wrong with them. A short option's value
// follows it ("-p COM4") or is joined to it ("-pCOM4"), a long one's likewise or after '='
// ("--port=COM4"); an argument that is no option is a port, as is every one after "--".
[[nodiscard]] std::optional<std::string> ParseArguments(int Argc, char** Argv, TArguments& Args);
