// kivo-read: reads a phone's identity on the command line; lists and scans serial ports.
// The options and exit codes are in Help below and in docs/man/kivo-read.1.

#include "app/ExchangeTrace.h"
#include "app/PhoneReader.h"
#include "platform/SerialPorts.h"
#include "runtime/Thread.h"
#include "tools/ReadHost.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Exit codes.
constexpr int ExitRead = 0;   // every port read gave all seven fields
constexpr int ExitPhone = 1;  // a command refused or not answered in time, or no port answered
constexpr int ExitPort = 2;   // a port cannot be opened or failed, or the arguments are wrong
constexpr int ExitOutput = 3; // the output could not be written
constexpr int ExitSignalBase = 128; // plus the signal's number: interrupted

constexpr std::string_view Version = "kivo-read " KIVO_VERSION "\n";
constexpr std::string_view Usage =
    "usage: kivo-read [--port PORT]... [--json] [--baud N] [--timeout SECONDS]\n"
    "       kivo-read --scan [--port PORT]... [--json] [--baud N] [--timeout SECONDS]\n"
    "       kivo-read --list [--json]\n";

std::string Help() {
    return std::string(Usage) +
           "\n"
           "Reads the identity of a GSM phone or modem (AT+CGMI, +CGMM, +CGMR, +GMI, +GMM,\n"
           "+GMR, +CGSN) and prints the fields read; a command the phone refuses is named on\n"
           "standard error (JSON: \"errors\") and the others are still asked.\n"
           "\n"
           "Options:\n"
           "  --port PORT      the port to read, repeatable (several are read at once):\n" +
           PortHelp() +
           "  --json           print JSON instead of labelled lines\n"
           "  --baud N         line speed in bits per second (default 19200)\n"
           "  --timeout SECONDS\n"
           "                   how long the phone may stay silent before a reply and between\n"
           "                   its pieces (default 5; fractions allowed)\n"
           "  --trace[=FILE]   write every byte sent and received, with the time since the\n"
           "                   start and the port, to standard error or FILE (for a report)\n"
           "  --list           list the serial ports found, with what is behind each\n"
           "  --scan           probe every port found (or each --port) at once: \"AT\" must be\n"
           "                   answered within 1 s, then the seven fields are read; the\n"
           "                   system console is listed, never probed\n"
           "  -h, --help       show this help\n"
           "  --version        show the version\n"
           "\n"
           "Exit codes: 0 all seven fields read (--scan: from at least one port); 1 a command\n"
           "was refused or not answered in time (--scan: no port answered); 2 a port cannot be\n"
           "opened or was lost, or the arguments are wrong; 3 the output could not be written;\n"
           "128+n stopped by signal n (130 Ctrl+C, 143 SIGTERM), after printing what was read.\n"
           "\n"
           "Examples:\n"
           "  kivo-read --port " +
           std::string(ExamplePort()) +
           "\n"
           "  kivo-read --scan --json\n";
}

enum class TMode : std::uint8_t { mdRead, mdScan, mdList };

struct TArguments {
    TMode Mode = TMode::mdRead;
    std::vector<std::string> Ports; // as given
    bool Json = false;
    TReadOptions Options;
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
    } else if (Name == "--baud") {
        const auto Baud = ParseBaud(*Value);
        if (!Baud) {
            return "'" + std::string(*Value) + "' is no line speed: give bits per second (19200)";
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

// The arguments, or the message saying what is wrong with them.
std::optional<std::string> ParseArguments(int Argc, char** Argv, TArguments& Args) {
    for (int I = 1; I < Argc; ++I) {
        std::string_view Name = Argv[I];
        std::optional<std::string_view> Value;
        if (const std::size_t Equals = Name.find('=');
            Name.starts_with("--") && Equals != std::string_view::npos) {
            Value = Name.substr(Equals + 1);
            Name = Name.substr(0, Equals);
        } else if ((Name == "--port" || Name == "--baud" || Name == "--timeout") && I + 1 < Argc) {
            Value = Argv[++I];
        }
        if (auto Error = TakeOption(Args, Name, Value)) {
            return Error;
        }
    }
    if (Args.Mode == TMode::mdList && !Args.Ports.empty()) {
        return "--list takes no --port";
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

// A message on standard error. Messages carry device text (a phone's error text, a device's
// name), so they are escaped as every other output is: no byte of it reaches the terminal
// as a control character.
void Complain(std::string_view Message) {
    const std::string Escaped = EscapedForTerminal(Message);
    std::fprintf(stderr, "kivo-read: %s\n", Escaped.c_str());
}

// The component names a device by its port name; messages name the device behind it too.
std::string WithDevice(std::string Message, const std::string& Device) {
    const std::string Described = DescribeDevice(Device);
    if (Described == Device) {
        return Message;
    }
    for (const std::string_view After : {")", " (", ":"}) {
        const std::string Plain = Device + std::string(After);
        if (const std::size_t At = Message.find(Plain); At != std::string::npos) {
            return Message.replace(At, Device.size(), Described);
        }
    }
    return Message;
}

struct TPortLabel {
    std::string Port;        // as given or found
    std::string Description; // from the enumeration; empty for a --port argument
    bool Console = false;    // the kernel's console writes to it: the scan lists it, unprobed
};

constexpr std::string_view ConsoleMessage =
    "The system console: not probed, so that nothing is written to it.";

std::string_view OutcomeName(const TPortLabel& Label, const TReadResult& Result) {
    if (Label.Console) {
        return "console";
    }
    switch (Result.Outcome) {
    case TReadOutcome::roComplete:
        return "answered";
    case TReadOutcome::roPhoneError:
        return "phone-error";
    case TReadOutcome::roDeviceLost:
        return "device-lost";
    case TReadOutcome::roNoAnswer:
        return "no-answer";
    case TReadOutcome::roNotAPhone:
        return "not-a-phone";
    case TReadOutcome::roStopped:
        return "interrupted";
    case TReadOutcome::roOpenFailed:
        break;
    }
    switch (ClassifyOpenFailure(Result.OpenCode)) {
    case TOpenProblem::opBusy:
        return "busy";
    case TOpenProblem::opNoAccess:
        return "not-accessible";
    case TOpenProblem::opMissing:
        return "not-found";
    case TOpenProblem::opOther:
        break;
    }
    return "open-failed";
}

std::string PortBlockText(const TPortLabel& Label, const TReadResult& Result) {
    std::string Out = EscapedForTerminal(Label.Port);
    if (!Label.Description.empty()) {
        Out += " (" + EscapedForTerminal(Label.Description) + ")";
    }
    Out += ": " + std::string(OutcomeName(Label, Result));
    if (!Result.Error.empty()) {
        Out += ": " + EscapedForTerminal(Result.Error);
    }
    return Out + "\n" + FormatAsText(Result) + FieldErrorsText(Result);
}

std::string PortBlockJson(const TPortLabel& Label, const TReadResult& Result) {
    std::string Out = "{\"port\": " + JsonString(Label.Port);
    Out += ", \"device\": " + JsonString(DescribeDevice(Result.Device));
    Out += ", \"description\": " + JsonString(Label.Description);
    Out += ", \"outcome\": " + JsonString(OutcomeName(Label, Result));
    Out += ", \"fields\": {" + JsonFields(Result) + "}";
    if (const std::string Verdict = JsonImeiVerdict(Result); !Verdict.empty()) {
        Out += ", " + Verdict;
    }
    if (const std::string Errors = JsonFieldErrors(Result); !Errors.empty()) {
        Out += ", \"errors\": {" + Errors + "}";
    }
    if (!Result.Error.empty()) {
        Out += ", \"error\": " + JsonString(Result.Error);
    }
    return Out + "}";
}

int ListPorts(const TArguments& Args, TOutput& Output) {
    const std::vector<TSerialPortInfo> Ports = ListSerialPorts();
    if (!Args.Json) {
        for (const TSerialPortInfo& Port : Ports) {
            std::string Line =
                EscapedForTerminal(Port.Path) + "\t" + EscapedForTerminal(Port.Description);
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
        Out += "{\"name\": " + JsonString(Port.Name) + ", \"path\": " + JsonString(Port.Path) +
               ", \"by_id\": " + JsonString(Port.ById) +
               ", \"description\": " + JsonString(Port.Description) +
               ", \"driver\": " + JsonString(Port.Driver) +
               ", \"vendor_id\": " + JsonString(Port.VendorId) +
               ", \"product_id\": " + JsonString(Port.ProductId) +
               ", \"manufacturer\": " + JsonString(Port.Manufacturer) +
               ", \"product\": " + JsonString(Port.Product) +
               ", \"serial_number\": " + JsonString(Port.SerialNumber) +
               ", \"interface\": " + JsonString(Port.Interface) + "}";
    }
    Output.Write(Out + "]\n");
    return ExitRead;
}

// The ports to read: those given, those found (scan), or COM4. A scan marks the ports the
// kernel's console writes to, found or given.
std::vector<TPortLabel> PortsToRead(const TArguments& Args) {
    const bool Scan = Args.Mode == TMode::mdScan;
    const std::vector<TSerialPortInfo> Found =
        Scan ? ListSerialPorts() : std::vector<TSerialPortInfo>();
    const auto IsConsole = [&Found](const std::string& Port) {
        return std::any_of(Found.begin(), Found.end(), [&Port](const TSerialPortInfo& F) {
            return F.Console && SamePortDevice(F.Path, Port);
        });
    };
    std::vector<TPortLabel> Labels;
    for (const std::string& Port : Args.Ports) {
        Labels.push_back({Port, {}, Scan && IsConsole(Port)});
    }
    if (Scan && Labels.empty()) {
        for (const TSerialPortInfo& Port : Found) {
            Labels.push_back({Port.Path, Port.Description, Port.Console});
        }
    }
    if (Args.Mode == TMode::mdRead && Labels.empty()) {
        Labels.push_back({"COM4", {}});
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
        Code = std::max(Code, PortFailed
                                  ? ExitPort
                                  : (R.Outcome == TReadOutcome::roComplete ? ExitRead : ExitPhone));
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
    const std::vector<TPortLabel> Labels = PortsToRead(Args);
    std::vector<std::optional<std::size_t>> ReadOf;
    const std::vector<TPortChoice> Ports = PlanReads(Labels, ReadOf);
    TReadOptions Options = Args.Options;
    if (Args.Mode == TMode::mdScan) {
        Options.Handshake = std::chrono::seconds(1);
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
    if (TraceFile && !TraceFile->Error().empty()) {
        Complain(TraceFile->Error());
    }
    for (TReadResult& Result : Reads) {
        Result.Error = WithDevice(Result.Error, Result.Device);
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
        Output.Write(Args.Json ? FormatAsJson(Result) : FormatAsText(Result));
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
    return Signal != 0 ? ExitSignalBase + Signal : ExitCodeOf(Args, Reads);
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
