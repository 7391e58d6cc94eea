#include "tools/ReadArguments.h"

#include "tools/PortArgument.h"
#include "tools/ReadHost.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

const std::string_view Version = "kivo-read " KIVO_VERSION "\n";
const std::string_view Usage =
    "usage: kivo-read [OPTIONS] [PORT]...\n"
    "       kivo-read --scan [--json] [--baud N|auto] [--timeout SECONDS] [PORT]...\n"
    "       kivo-read --list [--json]\n"
    "       kivo-read --watch [--json] [--baud N|auto] [--timeout SECONDS]\n";

namespace {

std::optional<int> ParseBaud(std::string_view Text) {
    int Value = 0;
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Error != std::errc() || End != Text.data() + Text.size() || Value < 50 || Value > 4000000) {
        return std::nullopt;
    }
    return Value;
}

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view Text) {
    const std::string Copy(Text);
    char* End = nullptr;
    const double Seconds = std::strtod(Copy.c_str(), &End);
    if (Copy.empty() || *End != '\0' || !std::isfinite(Seconds) || Seconds <= 0 || Seconds > 3600) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::max(1L, std::lround(Seconds * 1000)));
}

bool TakesValue(std::string_view Name) {
    return Name == "--port" || Name == "--baud" || Name == "--timeout";
}

// The long option a short one stands for ("-p": "--port"); empty for none.
std::string_view LongOption(std::string_view Short) {
    constexpr std::array<std::pair<char, std::string_view>, 8> Options{{
        {'p', "--port"},
        {'j', "--json"},
        {'b', "--baud"},
        {'t', "--timeout"},
        {'l', "--list"},
        {'s', "--scan"},
        {'V', "--version"},
        {'h', "--help"},
    }};
    const char Letter = Short.size() >= 2 ? Short[1] : '\0';
    const auto* Found = std::find_if(Options.begin(), Options.end(),
                                     [Letter](const auto& O) { return O.first == Letter; });
    return Found == Options.end() ? std::string_view() : Found->second;
}

} // namespace

std::string Help() {
    return std::string(Usage) +
           "\n"
           "Reads the identity of a GSM phone or modem (AT+CGMI, +CGMM, +CGMR, +GMI, +GMM,\n"
           "+GMR, +CGSN) and prints the fields read; a command the phone refuses is named on\n"
           "standard error (JSON: \"errors\") and the others are still asked.\n"
           "\n"
           "PORT, or -p PORT: the port to read; several are read at once.\n" +
           PortHelp() +
           "                   Without a port: COM4 while a device is behind it, else the\n"
           "                   first port of the one USB device found, as the window chooses.\n"
           "\n"
           "Options:\n"
           "  -p, --port PORT  the port to read, repeatable\n"
           "  -j, --json       print JSON instead of labelled lines (see JSON below)\n"
           "  -b, --baud N|auto\n"
           "                   line speed in bits per second (default 19200); auto: \"AT\" at\n"
           "                   115200, 57600, 38400, 19200, 9600, 230400, 460800, 921600,\n"
           "                   4800 and 2400 in turn, 0.3 s each (KIVO_SEARCH_SECONDS), and\n"
           "                   the read at the first speed answered, which is printed\n"
           "                   (\"Line speed: 115200 (found)\"; JSON: \"baud\"); searched on\n"
           "                   every port read, also with --scan and --watch\n"
           "  -t, --timeout SECONDS\n"
           "                   how long the phone may stay silent before a reply and between\n"
           "                   its pieces (default 5; fractions allowed)\n"
           "  --trace[=FILE]   write every byte sent and received, with the time since the\n"
           "                   start and the port, to standard error or FILE (for a report);\n"
           "                   a FILE that cannot be written: exit 2 before the read, 3 after\n"
           "  --force          read a port named on the command line all the same: the system\n"
           "                   console (the login prompt there receives the commands), or a\n"
           "                   port another program holds exclusively where the system allows\n"
           "                   it (root only): both programs then read each other's answers,\n"
           "                   and both get wrong or missing data; only for a holder known to\n"
           "                   be idle\n"
           "  --inhibit        have ModemManager let go of a modem it manages on the port for\n"
           "                   the read, and take it back after: an active data connection\n"
           "                   of the modem is dropped, and the modem comes back disabled\n"
           "  -l, --list       list the serial ports found, with what is behind each\n"
           "  -s, --scan       probe every port found (or each one given) at once: \"AT\" must\n"
           "                   be answered within 1 s, then the seven fields are read; on\n"
           "                   on-board UARTs and USB-serial adapters the line speed is\n"
           "                   searched as with --baud auto unless --baud N names one; the\n"
           "                   system console is listed, never probed\n"
           "  --watch          wait for devices to be plugged in and probe each new one's ports\n"
           "                   as --scan does, one result each (JSON: a line each), until\n"
           "                   interrupted; ports present at the start are not read\n"
           "  -h, --help       show this help\n"
           "  -V, --version    show the version\n"
           "\n"
           "Several ports, and a scan, first send \"AT\": a port that answers with text but no\n"
           "result code (a GPS receiver's stream) is reported as not a phone.\n"
           "\n"
           "JSON (stable; each object has \"version\": 1): a read of one port prints one object\n"
           "with a member per field (\"CGMI\": ...), and \"errors\", \"error\" and \"baud\" where\n"
           "there are some; several ports, and --scan, print an array of objects, one per port,\n"
           "each with \"port\", \"device\", \"description\", \"outcome\", \"fields\" and those\n"
           "members; --list prints an array of objects, one per port found.\n"
           "\n"
           "Exit codes: 0 all seven fields read (--scan: from at least one port); 1 a command\n"
           "was refused or not answered in time, the IMEI's check digit is wrong, or the fields\n"
           "came through ModemManager, which holds the port (--scan: no port answered, or none\n"
           "found); 2 a port cannot be opened or was lost, none was given and none could be\n"
           "chosen, or the arguments are wrong; 3 the output or the trace could not be written;\n"
           "128+n stopped by signal n\n"
           "(130 Ctrl+C, 143 SIGTERM), after printing what was read.\n"
           "\n"
           "Examples:\n"
           "  kivo-read --port " +
           std::string(ExamplePort()) +
           "\n"
           "  kivo-read -b auto " +
           std::string(ExamplePort()) +
           "\n"
           "  kivo-read --scan --json\n";
}

std::optional<std::string> TakeOption(TArguments& Args, std::string_view Name,
                                      const std::optional<std::string_view>& Value) {
    const auto Flag = [&](bool& Target) -> std::optional<std::string> {
        if (Value) {
            return "option " + std::string(Name) + " takes no value";
        }
        Target = true;
        return std::nullopt;
    };
    if (Name == "--json") {
        return Flag(Args.Json);
    }
    if (Name == "-h" || Name == "--help") {
        return Flag(Args.Help);
    }
    if (Name == "--version") {
        return Flag(Args.Version);
    }
    if (Name == "--watch") {
        return Flag(Args.Watch);
    }
    if (Name == "--force") {
        return Flag(Args.Force);
    }
    if (Name == "--inhibit") {
        return Flag(Args.Inhibit);
    }
    if (Name == "--list" || Name == "--scan") {
        if (Value) {
            return "option " + std::string(Name) + " takes no value";
        }
        const TMode Mode = Name == "--list" ? TMode::mdList : TMode::mdScan;
        if (Args.Mode != TMode::mdRead && Args.Mode != Mode) {
            return "--list and --scan cannot be combined";
        }
        Args.Mode = Mode;
        return std::nullopt;
    }
    if (Name == "--trace") {
        if (Value && Value->empty()) {
            return "option --trace= needs a file name";
        }
        Args.Trace = Value ? std::string(*Value) : std::string();
        return std::nullopt;
    }
    if (Name != "--port" && Name != "--baud" && Name != "--timeout") {
        return "unknown option '" + std::string(Name) + "'";
    }
    if (!Value) {
        return "option " + std::string(Name) + " needs a value";
    }
    if (Name == "--port") {
        if (!ParsePortChoice(*Value)) {
            return "'" + std::string(*Value) +
                   "' is no port: give COM<n> (COM1, COM12) or a device path";
        }
        Args.Ports.emplace_back(*Value);
    } else if (Name == "--baud" && *Value == "auto") {
        Args.SearchBaudrate = true;
        Args.Options.Baudrate = 0;
    } else if (Name == "--baud") {
        Args.SearchBaudrate = false;
        const auto Baud = ParseBaud(*Value);
        if (!Baud) {
            return "'" + std::string(*Value) +
                   "' is no line speed: give bits per second (19200) or auto";
        }
        Args.Options.Baudrate = *Baud;
    } else {
        const auto Timeout = ParseSeconds(*Value);
        if (!Timeout) {
            return "'" + std::string(*Value) + "' is no timeout: give seconds above 0 (5, 0.5)";
        }
        Args.Options.ReplyTimeout = *Timeout;
    }
    return std::nullopt;
}

std::optional<std::string> SearchBoundFromEnvironment(TReadOptions& Options) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts; nothing sets it
    const char* Text = std::getenv("KIVO_SEARCH_SECONDS");
    if (Text == nullptr) {
        return std::nullopt;
    }
    const auto Bound = ParseSeconds(Text);
    if (!Bound) {
        return "KIVO_SEARCH_SECONDS='" + std::string(Text) +
               "' is no time: give seconds above 0 (0.3, 2)";
    }
    Options.SearchBound = *Bound;
    return std::nullopt;
}

std::optional<std::string> ParseArguments(int Argc, char** Argv, TArguments& Args) {
    bool OptionsEnded = false;
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Argument = Argv[I];
        if (OptionsEnded || !Argument.starts_with('-') || Argument == "-") {
            if (auto Error = TakeOption(Args, "--port", Argument)) {
                return Error;
            }
            continue;
        }
        if (Argument == "--") {
            OptionsEnded = true;
            continue;
        }
        std::string_view Name = Argument;
        std::optional<std::string_view> Value;
        if (const std::size_t Equals = Name.find('=');
            Name.starts_with("--") && Equals != std::string_view::npos) {
            Value = Name.substr(Equals + 1);
            Name = Name.substr(0, Equals);
        } else if (!Name.starts_with("--")) {
            Name = LongOption(Argument);
            if (Name.empty()) {
                return "unknown option '" + std::string(Argument) + "'";
            }
            if (Argument.size() > 2) {
                if (!TakesValue(Name)) {
                    return "option " + std::string(Argument.substr(0, 2)) + " takes no value";
                }
                Value = Argument.substr(2);
            }
        }
        if (!Value && TakesValue(Name) && I + 1 < Argc) {
            Value = Argv[++I];
        }
        if (auto Error = TakeOption(Args, Name, Value)) {
            return Error;
        }
    }
    if (Args.Mode == TMode::mdList && !Args.Ports.empty()) {
        return "--list takes no port";
    }
    if ((Args.Mode == TMode::mdList || Args.Watch) && Args.Trace) {
        return "--trace goes with a read or --scan, not with --list or --watch";
    }
    if (Args.Watch && (Args.Mode != TMode::mdRead || !Args.Ports.empty())) {
        return "--watch takes no --port, --list or --scan";
    }
    return std::nullopt;
}
