// kivo-read: reads a phone's identity on the command line; lists and scans serial ports.
// The options and exit codes are in Help below and in docs/man/kivo-read.1.

#include "app/ExchangeTrace.h"
#include "app/PhoneExchange.h"
#include "app/DeviceText.h"
#include "app/PhoneReader.h"
#include "app/PortList.h"
#include "platform/SerialPorts.h"
#include "runtime/Thread.h"
#include "tools/PortArgument.h"
#include "tools/ReadHost.h"
#include "tools/ReadOutput.h"
#include "tools/ReadWatch.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view Version = "kivo-read " KIVO_VERSION "\n";
constexpr std::string_view Usage =
    "usage: kivo-read [OPTIONS] [PORT]...\n"
    "       kivo-read --scan [--json] [--baud N|auto] [--timeout SECONDS] [PORT]...\n"
    "       kivo-read --list [--json]\n"
    "       kivo-read --watch [--json] [--baud N|auto] [--timeout SECONDS]\n";

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
           "  -l, --list       list the serial ports found, with what is behind each\n"
           "  -s, --scan       probe every port found (or each one given) at once: \"AT\" must\n"
           "                   be answered within 1 s, then the seven fields are read; on\n"
           "                   on-board UARTs and USB-serial adapters the line speed is\n"
           "                   searched as with --baud auto unless --baud N names one; the\n"
           "                   system console is listed, never probed\n"
           "  --force          read a port the kernel's console writes to all the same\n"
           "                   (refused without it: the commands would reach the console)\n"
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
           "was refused or not answered in time, or the IMEI's check digit is wrong (--scan: no\n"
           "port answered, or none found); 2 a port cannot be opened or was lost, none was given\n"
           "and none could be chosen, or the arguments are wrong; 3 the output or the trace could\n"
           "not be written; 128+n stopped by signal n\n"
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

enum class TMode : std::uint8_t { mdRead, mdScan, mdList };

struct TArguments {
    TMode Mode = TMode::mdRead;
    std::vector<std::string> Ports; // as given
    bool Json = false;
    bool Watch = false;
    bool Force = false; // --force: a port the kernel's console writes to is read all the same
    TReadOptions Options;
    bool SearchBaudrate = false; // --baud auto
    bool Help = false;
    bool Version = false;
    std::optional<std::string> Trace; // the file to trace to; empty: standard error
};

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

// Takes one option (with its value where it has one); the error message when it is wrong.
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

// KIVO_SEARCH_SECONDS: how long each line speed of a search waits for "OK", for a modem
// slow to answer "AT" (default 0.3 s). Read only where a search may run.
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

// The arguments, or the message saying what is wrong with them. A short option's value
// follows it ("-p COM4") or is joined to it ("-pCOM4"), a long one's likewise or after '='
// ("--port=COM4"); an argument that is no option is a port, as is every one after "--".
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

// Everything written to standard output goes through here, so a failed write is noticed.
class TOutput {
public:
    explicit TOutput(bool Open) : FFailed(!Open) {}
    void Write(std::string_view Text) {
        if (!FFailed && std::fwrite(Text.data(), 1, Text.size(), stdout) != Text.size()) {
            Fail();
        }
    }
    void Flush() {
        if (!FFailed && std::fflush(stdout) != 0) {
            Fail();
        }
    }
    // Flushes; the exit code for a failed output, 0 when it all went out.
    int Finish() {
        Flush();
        if (!FFailed) {
            return 0;
        }
        const int Pipe = BrokenPipeSignal();
        return FBrokenPipe && Pipe != 0 ? ExitSignalBase + Pipe : ExitOutput;
    }

private:
    void Fail() {
        FFailed = true;
        FBrokenPipe = errno == EPIPE;
    }
    bool FFailed;
    bool FBrokenPipe = false;
};

constexpr std::string_view NoPortFound = "no serial port found";

// Whether a port's device answers only at its own line speed: a UART on the board or a card,
// or a USB adapter to a serial line (its driver one of these). A native USB modem or phone
// (cdc_acm, option, qcserial, sierra, usbser...) takes any speed, as a Bluetooth port does.
bool LineSpeedMatters(const TSerialPortInfo& Port) {
    constexpr std::array<std::string_view, 26> AdapterDrivers{
        "ftdi_sio",         "pl2303",     "ch341",           "cp210x",     "ark3116",
        "belkin_sa",        "cypress_m8", "digi_acceleport", "f81232",     "f81534",
        "io_edgeport",      "io_ti",      "keyspan",         "kl5kusb105", "mct_u232",
        "mos7720",          "mos7840",    "mxuport",         "oti6858",    "spcp8x5",
        "ti_usb_3410_5052", "upd78f0730", "xr_serial",       "ftdibus",    "ser2pl",
        "silabser"};
    std::string Driver = Port.Driver;
    std::transform(Driver.begin(), Driver.end(), Driver.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    if (Port.VendorId.empty()) {
        return Driver != "rfcomm";
    }
    return std::find(AdapterDrivers.begin(), AdapterDrivers.end(), Driver) != AdapterDrivers.end();
}

constexpr std::string_view ConsoleMessage =
    "The system console: not probed, so that nothing is written to it.";
constexpr std::string_view ConsoleRefusal =
    "the system console (the kernel writes its messages there, a login may wait on it): not "
    "opened, so that no command reaches it; give --force to read it all the same";

int ListPorts(const TArguments& Args, TOutput& Output) {
    const std::vector<TSerialPortInfo> Ports = ListSerialPorts();
    if (Ports.empty()) {
        Complain(NoPortFound);
    }
    if (!Args.Json) {
        for (const TSerialPortInfo& Port : Ports) {
            std::string Line = EscapedForTerminal(Port.Path) + "\t" +
                               EscapedForTerminal(Port.Description) +
                               (Port.Console ? " (system console)" : "");
            if (!Port.ById.empty()) {
                Line += "\t" + EscapedForTerminal(Port.ById);
            }
            Output.Write(Line + "\n");
        }
        return ExitRead;
    }
    std::string Out = "[";
    for (const TSerialPortInfo& Port : Ports) {
        Out += Out.size() == 1 ? "" : ",\n ";
        Out += "{" + VersionMember() + ", \"name\": " + JsonString(Port.Name) +
               ", \"path\": " + JsonString(Port.Path) + ", \"by_id\": " + JsonString(Port.ById) +
               ", \"description\": " + JsonString(Port.Description) +
               ", \"driver\": " + JsonString(Port.Driver) +
               ", \"vendor_id\": " + JsonString(Port.VendorId) +
               ", \"product_id\": " + JsonString(Port.ProductId) +
               ", \"manufacturer\": " + JsonString(Port.Manufacturer) +
               ", \"product\": " + JsonString(Port.Product) +
               ", \"serial_number\": " + JsonString(Port.SerialNumber) +
               ", \"interface\": " + JsonString(Port.Interface) +
               ", \"console\": " + (Port.Console ? "true" : "false") + "}";
    }
    Output.Write(Out + "]\n");
    return ExitRead;
}

// The window's stored port items are "COM 1" to "COM 8", and "COM 4" is chosen at start.
constexpr int StoredPorts = 8;
constexpr int StartPort = 4;

// The port a read without one reads, as the window chooses it: COM4 while a device is behind
// it (or the user has named its device), else the first port of the one USB device found.
// None when there is no such device, or several: Problem then says what to do.
std::optional<std::string> ChosenPort(const std::vector<TSerialPortInfo>& Found,
                                      std::string& Problem) {
    const std::string Start = "COM" + std::to_string(StartPort);
    const bool StartPresent =
        ComNameMapped(Start) || StoredPortPresent(Found, StoredPorts, StartPort);
    const std::vector<TListedPort> Listed = PortsBeyondStored(Found, StoredPorts);
    const int Index = AutomaticChoice(Listed, StoredPorts, StartPort - 1, StartPresent);
    if (Index >= StoredPorts) {
        return Listed.at(static_cast<std::size_t>(Index - StoredPorts)).Path;
    }
    if (StartPresent) {
        return Start;
    }
    std::string Devices; // each USB device's first port
    std::vector<std::string> Seen;
    for (const TListedPort& Port : Listed) {
        if (!Port.DeviceId.empty() &&
            std::find(Seen.begin(), Seen.end(), Port.DeviceId) == Seen.end()) {
            Seen.push_back(Port.DeviceId);
            Devices += (Devices.empty() ? " " : ", ") + Port.Path + " (" + Port.Label + ")";
        }
    }
    const std::string Example = "'kivo-read " + std::string(ExamplePort()) + "'";
    const std::string NoDevice(Found.empty() ? NoPortFound : "no USB phone or modem found");
    Problem = Devices.empty() ? NoDevice + ": name the port to read, as in " + Example +
                                    " ('kivo-read --list' shows the ports found)"
                              : "several USB devices found:" + Devices +
                                    "; name the port to read, as in " + Example;
    return std::nullopt;
}

// The ports to read: those given, those found (scan), or the one chosen (read). A scan marks
// the ports the kernel's console writes to, found or given, and searches the line speed of
// those that answer only at their own unless --baud names it; a read with --baud auto
// searches it on every port. Empty, with Problem saying why, when there is nothing to read.
std::vector<TPortLabel> PortsToRead(const TArguments& Args, std::string& Problem) {
    const bool Scan = Args.Mode == TMode::mdScan;
    // Listed for every read: a port named in any way may be the console.
    const std::vector<TSerialPortInfo> Found = ListSerialPorts();
    const bool SearchWhereItMatters = Scan && Args.Options.Baudrate == 0;
    // Given: named by the user, who may insist on a console (--force).
    const auto Label = [&](const std::string& Port, const std::string& Description, bool Given) {
        const auto Info = std::find_if(Found.begin(), Found.end(), [&Port](const auto& F) {
            return SamePortDevice(F.Path, Port);
        });
        const bool Console = Info != Found.end() && Info->Console && !(Given && Args.Force);
        const bool Known = Scan && Info != Found.end();
        // --baud auto is searched on every port it reads (a pty, a CDC-ACM bridge to a UART).
        const bool Search =
            Args.SearchBaudrate || (SearchWhereItMatters && Known && LineSpeedMatters(*Info));
        return TPortLabel{Port, Description, Console, Search};
    };
    std::vector<TPortLabel> Labels;
    for (const std::string& Port : Args.Ports) {
        Labels.push_back(Label(Port, {}, true));
    }
    if (Scan && Labels.empty()) {
        for (const TSerialPortInfo& Port : Found) {
            Labels.push_back(Label(Port.Path, Port.Description, false));
        }
        if (Labels.empty()) {
            Problem = std::string(NoPortFound) + " to scan";
        }
    }
    if (!Scan && Labels.empty()) {
        if (const auto Port = ChosenPort(Found, Problem)) {
            Labels.push_back(Label(*Port, {}, true));
        }
    }
    return Labels;
}

// The reads to make for Labels: one per device (a port and a link to it are one device, read
// once), none for a console. ReadOf receives each label's read.
std::vector<TPortChoice> PlanReads(const std::vector<TPortLabel>& Labels,
                                   std::vector<std::optional<std::size_t>>& ReadOf) {
    std::vector<TPortChoice> Ports;
    for (std::size_t I = 0; I < Labels.size(); ++I) {
        std::optional<std::size_t> Read;
        for (std::size_t J = 0; J < I && !Read && !Labels[I].Console; ++J) {
            if (ReadOf[J] && SamePortDevice(Labels[J].Port, Labels[I].Port)) {
                Read = ReadOf[J];
            }
        }
        if (!Read && !Labels[I].Console) {
            Read = Ports.size();
            Ports.push_back(*ParsePortChoice(Labels[I].Port));
            Ports.back().SearchBaudrate = Labels[I].SearchBaudrate;
        }
        ReadOf.push_back(Read);
    }
    return Ports;
}

int ExitCodeOf(const TArguments& Args, const std::vector<TReadResult>& Results) {
    if (Args.Mode == TMode::mdScan) {
        const bool Any = std::any_of(Results.begin(), Results.end(), [](const TReadResult& R) {
            return R.Outcome == TReadOutcome::roComplete;
        });
        return Any ? ExitRead : ExitPhone;
    }
    int Code = ExitRead;
    for (const TReadResult& R : Results) {
        const bool PortFailed =
            R.Outcome == TReadOutcome::roOpenFailed || R.Outcome == TReadOutcome::roDeviceLost;
        const bool Clean = R.Outcome == TReadOutcome::roComplete && SerialNumberProblem(R).empty();
        Code = std::max(Code, PortFailed ? ExitPort : (Clean ? ExitRead : ExitPhone));
    }
    return Code;
}

int ReadPorts(const TArguments& Args, TOutput& Output) {
    int Signal = 0;
    const TStopSignals Signals([&Signal](int Number) {
        if (Signal == 0) {
            Signal = Number;
        }
    });
    std::string Problem;
    const std::vector<TPortLabel> Labels = PortsToRead(Args, Problem);
    if (Labels.empty()) {
        Complain(Problem);
        return Args.Mode == TMode::mdScan ? ExitPhone : ExitPort;
    }
    // A scan lists the console among its ports; a read of it writes to it: refused.
    const auto Console =
        std::find_if(Labels.begin(), Labels.end(), [](const TPortLabel& L) { return L.Console; });
    if (Args.Mode == TMode::mdRead && Console != Labels.end()) {
        Complain(WithDevice(Console->Port + ": " + std::string(ConsoleRefusal), Console->Port));
        return ExitPort;
    }
    std::vector<std::optional<std::size_t>> ReadOf;
    const std::vector<TPortChoice> Ports = PlanReads(Labels, ReadOf);
    TReadOptions Options = Args.Options;
    if (std::any_of(Ports.begin(), Ports.end(), [](const auto& P) { return P.SearchBaudrate; })) {
        if (const auto Problem = SearchBoundFromEnvironment(Options)) {
            Complain(*Problem);
            return ExitPort;
        }
    }
    if (Args.Mode == TMode::mdScan) {
        Options.Handshake = std::chrono::seconds(1);
    } else if (Ports.size() > 1) { // a port that streams text is no phone, as in a scan
        Options.Handshake = Options.ReplyTimeout;
    }
    Options.PortsAtOnce = PortsAtOnce();
    std::optional<TTraceFile> TraceFile;
    if (Args.Trace) {
        if (Args.Trace->empty()) {
            TraceFile.emplace(stderr);
        } else {
            TraceFile.emplace(*Args.Trace);
        }
        if (!TraceFile->Error().empty()) {
            Complain(TraceFile->Error());
            return ExitPort;
        }
    }
    TExchangeTrace Trace([&TraceFile](std::string_view Line) { TraceFile->Write(Line); });
    Options.Trace = TraceFile ? &Trace : nullptr;
    std::vector<TReadResult> Reads = ReadPhones(Ports, Options, [&Signal] { return Signal != 0; });
    const bool TraceFailed = TraceFile && !TraceFile->Error().empty();
    if (TraceFailed) {
        Complain(TraceFile->Error());
    }
    for (std::size_t I = 0; I < Reads.size(); ++I) {
        TReadResult& Result = Reads.at(I);
        Result.Error =
            WithDevice(ExplainedError(Result, Options, Ports.at(I).SearchBaudrate), Result.Device);
    }
    std::vector<TReadResult> Results; // one for each label
    for (std::size_t I = 0; I < Labels.size(); ++I) {
        if (const auto Read = ReadOf.at(I)) {
            Results.push_back(Reads.at(*Read));
        } else {
            TReadResult& Console = Results.emplace_back();
            Console.Error = ConsoleMessage;
            Console.Device = Labels[I].Port;
        }
    }
    const bool Blocks = Args.Mode == TMode::mdScan || Results.size() != 1;
    if (!Blocks) {
        const TReadResult& Result = Results.front();
        Output.Write(Args.Json ? SinglePortJson(Result)
                               : FormatAsText(Result) + LineSpeedText(Result));
        Output.Flush(); // the fields before the message that ends them
        for (std::size_t I = 0; I < Result.Count; ++I) {
            if (!Result.Errors.at(I).empty()) {
                Complain("AT+" + std::string(QueryCommands.at(I).Key) + ": " + Result.Errors.at(I));
            }
        }
        if (!Result.Error.empty() && Result.Outcome != TReadOutcome::roStopped) {
            Complain(Result.Error);
        }
    } else if (Args.Json) {
        std::string Out = "[";
        for (std::size_t I = 0; I < Results.size(); ++I) {
            Out += (I == 0 ? "" : ",\n ") + PortBlockJson(Labels.at(I), Results.at(I));
        }
        Output.Write(Out + "]\n");
    } else {
        for (std::size_t I = 0; I < Results.size(); ++I) {
            Output.Write((I == 0 ? "" : "\n") + PortBlockText(Labels.at(I), Results.at(I)));
        }
    }
    if (Signal != 0) {
        return ExitSignalBase + Signal;
    }
    return TraceFailed ? ExitOutput : ExitCodeOf(Args, Reads);
}

} // namespace

int main(int Argc, char** Argv) {
    TOutput Output(ReserveStandardStreams());
    TArguments Args;
    if (const auto Error = ParseArguments(Argc, Argv, Args)) {
        Complain(*Error);
        std::fputs(Usage.data(), stderr);
        std::fputs("Try 'kivo-read --help' for more.\n", stderr);
        return ExitPort;
    }
    int Code = ExitRead;
    try {
        SetMainThread();
        if (Args.Help) {
            Output.Write(Help());
        } else if (Args.Version) {
            Output.Write(Version);
        } else if (Args.Watch) {
            const auto Print = [&Output](std::string_view Text) {
                Output.Write(Text);
                return Output.Finish() == 0;
            };
            const auto Search = [&Args](const TSerialPortInfo& Port) {
                return Args.SearchBaudrate ||
                       (Args.Options.Baudrate == 0 && LineSpeedMatters(Port));
            };
            // Any device plugged in may be one whose speed is searched.
            TReadOptions Options = Args.Options;
            const auto Problem =
                Options.Baudrate == 0 ? SearchBoundFromEnvironment(Options) : std::nullopt;
            if (Problem) {
                Complain(*Problem);
                return ExitPort;
            }
            Code = WatchPhones(Args.Json, Options, Print, Search);
        } else if (Args.Mode == TMode::mdList) {
            Code = ListPorts(Args, Output);
        } else {
            Code = ReadPorts(Args, Output);
        }
    } catch (const std::exception& E) {
        Complain(E.what());
        Code = ExitPort;
    }
    const int OutputCode = Output.Finish();
    if (OutputCode != 0 && Code < ExitSignalBase) {
        Complain(OutputCode == ExitOutput ? "cannot write the output" : "output pipe closed");
        return OutputCode;
    }
    return Code;
}
