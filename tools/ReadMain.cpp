// kivo-read: reads a phone's identity on the command line; lists and scans serial ports.
// The options and exit codes are in Help below and in docs/man/kivo-read.1.

#include "app/ExchangeTrace.h"
#include "app/PhoneExchange.h"
#include "app/PhoneReader.h"
#include "app/PortChooser.h"
#include "platform/SerialPorts.h"
#include "runtime/Thread.h"
#include "tools/PortArgument.h"
#include "tools/ReadArguments.h"
#include "tools/ReadHost.h"
#include "tools/ReadModemManager.h"
#include "tools/ReadOutput.h"
#include "tools/ReadWatch.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

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
    Output.Write(Args.Json ? PortListJson(Ports) : PortListText(Ports));
    return ExitRead;
}

// The port a read without one reads, as the window chooses it (TPortChooser): COM4 while a
// device is behind it (or the user has named its device), else the first port of the one USB
// device found. None when there is no such device, or several: Problem then says what to do.
std::optional<std::string> ChosenPort(const std::vector<TSerialPortInfo>& Found,
                                      std::string& Problem) {
    const std::string Start = "COM" + std::to_string(StartPortNumber);
    TPortChooser Chooser;
    Chooser.Refresh(Found, ComNameMapped(Start));
    if (!Chooser.IsStored(Chooser.Chosen())) {
        return Chooser.Key(Chooser.Chosen());
    }
    if (Chooser.StartPresent()) {
        return Start;
    }
    std::string Devices; // each USB device's first port
    for (const TListedPort& Port : Chooser.UsbDevices()) {
        Devices += (Devices.empty() ? " " : ", ") + Port.Path + " (" + Port.Label + ")";
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
    std::optional<TModemManagerRelease> Released;
    if (Args.Inhibit) {
        std::vector<std::string> Given;
        Given.reserve(Labels.size());
        for (const TPortLabel& Label : Labels) {
            Given.push_back(Label.Port);
        }
        Released.emplace(Given, [](const std::string& Message) { Complain(Message); });
    }
    std::vector<TReadResult> Reads = ReadPhones(Ports, Options, [&Signal] { return Signal != 0; });
    Released.reset(); // ModemManager takes its modems back
    const std::vector<std::string> HeldNotes = ReadHeldPortsThroughModemManager(Reads);
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
        for (const std::string& Note : Args.Json ? std::vector<std::string>() : HeldNotes) {
            Complain(Note);
        }
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
        if (Args.Force) {
            ShareHeldPorts();
        }
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
