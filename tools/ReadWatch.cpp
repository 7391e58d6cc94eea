// kivo-read --watch. The main thread waits on its hand-over queue only: the port notice
// and the stop signals hand their notices over, and ReadPhones takes them too while it reads.
// A notice of changed devices lists the ports again at once, also during a read, so that a
// device pulled out and plugged in again while another is read is seen as new.

#include "tools/ReadWatch.h"

#include "platform/SerialPorts.h"
#include "runtime/Thread.h"
#include "serial/SerialPortNotice.h"
#include "tools/PortArgument.h"
#include "tools/ReadHost.h"
#include "tools/ReadModemManager.h"
#include "tools/ReadOutput.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

bool Listed(const std::vector<TSerialPortInfo>& Ports, const std::string& Path) {
    return std::any_of(Ports.begin(), Ports.end(),
                       [&Path](const TSerialPortInfo& Port) { return Port.Path == Path; });
}

std::string PortNames(const std::vector<TSerialPortInfo>& Ports) {
    std::string Names;
    for (const TSerialPortInfo& Port : Ports) {
        Names += (Names.empty() ? "" : ", ") + Port.Path;
    }
    return Names;
}

class TPhoneWatch {
public:
    TPhoneWatch(bool Json, const TReadOptions& Options, const TPrint& Print,
                const TSearchBaudrate& SearchBaudrate)
        : FJson(Json), FOptions(Options), FPrint(Print), FSearchBaudrate(SearchBaudrate) {
        FOptions.Handshake = std::chrono::seconds(1); // as the scan probes
        FOptions.PortsAtOnce = PortsAtOnce();
    }

    int Run() {
        const TStopSignals Signals([this](int Number) {
            if (FSignal == 0) {
                FSignal = Number;
            }
        });
        const TSerialPortNotice Notice([this](const std::string& Failure) { Changed(Failure); });
        if (!Notice.Problem().empty()) {
            Complain(Notice.Problem());
            return ExitPort;
        }
        FKnown = ListSerialPorts(); // after the watch began: no device falls in between
        Complain("waiting for phones to be plugged in; each is read as it comes (Ctrl+C ends)");
        if (!FKnown.empty()) {
            Complain("present before, not read: " + PortNames(FKnown));
        }
        while (FSignal == 0 && FFailure.empty() && FOutputOpen) {
            if (FWaiting.empty()) {
                (void)WaitForSynchronize(std::chrono::hours(24)); // taken below in any case
                CheckSynchronize();
            } else {
                ReadWaiting();
            }
        }
        if (FSignal != 0) {
            return ExitSignalBase + FSignal;
        }
        if (!FFailure.empty()) {
            Complain(FFailure);
            return ExitPort;
        }
        return ExitRead; // the output failed: the caller tells
    }

private:
    // The arrival watch's notice: the ports that came wait for their read; those that went
    // are forgotten, so that they are new when they come back.
    void Changed(const std::string& Failure) {
        if (!Failure.empty()) {
            FFailure = Failure;
            return;
        }
        std::vector<TSerialPortInfo> Now = ListSerialPorts();
        for (const TSerialPortInfo& Port : Now) {
            if (!Listed(FKnown, Port.Path) && !Port.Console) {
                FWaiting.push_back(Port);
            }
        }
        std::erase_if(FWaiting,
                      [&Now](const TSerialPortInfo& Port) { return !Listed(Now, Port.Path); });
        FKnown = std::move(Now);
    }

    // Reads the ports waiting, side by side, and prints each one's result.
    void ReadWaiting() {
        const std::vector<TSerialPortInfo> Ports = std::exchange(FWaiting, {});
        std::vector<TPortChoice> Choices;
        std::vector<std::string> Paths;
        Choices.reserve(Ports.size());
        Paths.reserve(Ports.size());
        for (const TSerialPortInfo& Port : Ports) {
            Choices.push_back(ParsePortChoice(Port.Path).value_or(TPortChoice{}));
            Choices.back().SearchBaudrate = FSearchBaudrate(Port);
            Paths.push_back(Port.Path);
        }
        // A modem ModemManager probes is read once it is done: directly, or through it.
        WaitForModemManagerProbes(Paths, [this] {
            CheckSynchronize();
            return FSignal != 0;
        });
        std::vector<TReadResult> Results =
            ReadPhones(Choices, FOptions, [this] { return FSignal != 0; });
        for (const std::string& Note : ReadHeldPortsThroughModemManager(Results)) {
            if (!FJson) {
                Complain(Note);
            }
        }
        for (std::size_t I = 0; I < Ports.size() && FSignal == 0 && FOutputOpen; ++I) {
            TReadResult& Result = Results.at(I);
            Result.Error = WithDevice(ExplainedError(Result, FOptions, Choices[I].SearchBaudrate),
                                      Result.Device);
            Report({Ports[I].Path, Ports[I].Description, false, Choices[I].SearchBaudrate}, Result);
        }
    }

    void Report(const TPortLabel& Label, const TReadResult& Result) {
        if (Gone(Label, Result)) {
            // Its removal may reach the watch only once it is back (both then come as one
            // notice that lists it): forgotten now, the next listing that has it finds it new.
            std::erase_if(
                FKnown, [&Label](const TSerialPortInfo& Port) { return Port.Path == Label.Port; });
            Complain(Label.Port + " (" + Label.Description +
                     ") went away during its read, skipped: " + Result.Error);
            return;
        }
        FOutputOpen =
            FPrint(FJson ? PortBlockJson(Label, Result) + "\n"
                         : std::string(FPrinted ? "\n" : "") + PortBlockText(Label, Result));
        FPrinted = true;
    }

    // Whether the port's device went away before its read ended.
    [[nodiscard]] bool Gone(const TPortLabel& Label, const TReadResult& Result) const {
        if (Result.Outcome == TReadOutcome::roDeviceLost) {
            return true;
        }
        if (Result.Outcome == TReadOutcome::roOpenFailed) {
            return Result.OpenCode == TVaCommErrorCode::ecNotFound || !Listed(FKnown, Label.Port);
        }
        return Result.Outcome != TReadOutcome::roComplete && !Listed(FKnown, Label.Port);
    }

    const bool FJson;
    TReadOptions FOptions;
    const TPrint& FPrint;
    const TSearchBaudrate& FSearchBaudrate;
    std::vector<TSerialPortInfo> FKnown;   // the ports there as of the last notice
    std::vector<TSerialPortInfo> FWaiting; // came since, not read yet
    int FSignal = 0;
    std::string FFailure;
    bool FOutputOpen = true;
    bool FPrinted = false;
};

} // namespace

int WatchPhones(bool Json, const TReadOptions& Options, const TPrint& Print,
                const TSearchBaudrate& SearchBaudrate) {
    TPhoneWatch Watch(Json, Options, Print, SearchBaudrate);
    return Watch.Run();
}
