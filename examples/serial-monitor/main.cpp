// Opens a serial port with TVaComm and copies what arrives to standard output.
//
//   serial-monitor [--baud N] [--send TEXT] [--until TEXT] [--seconds N] PORT
//
// PORT is a COM name (COM4) or a device path (/dev/ttyUSB0). --send writes TEXT and a
// carriage return once the port is open. --until ends the program (status 0) as soon as
// TEXT has arrived; --seconds ends it when that much time passed first (status 1 when
// TEXT was awaited, else 0).
// Without them it runs until interrupted. Status 2: bad arguments or the port would not open.

#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string Port;
    TVaBaudrate Baudrate = br19200;
    std::string Send;
    std::string Until;
    std::optional<std::chrono::seconds> Limit;
};

volatile std::sig_atomic_t Interrupted = 0;

void OnSignal(int /*Signal*/) {
    Interrupted = 1;
}

std::optional<TVaBaudrate> BaudrateOf(std::string_view Text) {
    static constexpr std::pair<std::string_view, TVaBaudrate> Rates[] = {
        {"9600", br9600},   {"19200", br19200},   {"38400", br38400},
        {"57600", br57600}, {"115200", br115200},
    };
    for (const auto& [Name, Rate] : Rates) {
        if (Text == Name) {
            return Rate;
        }
    }
    return std::nullopt;
}

std::optional<Options> ParseArguments(int Argc, char** Argv) {
    Options Result;
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Arg = Argv[I];
        const bool HasValue = I + 1 < Argc;
        if (Arg == "--send" && HasValue) {
            Result.Send = Argv[++I];
        } else if (Arg == "--until" && HasValue) {
            Result.Until = Argv[++I];
        } else if (Arg == "--seconds" && HasValue) {
            const std::string_view Value = Argv[++I];
            int Seconds = 0;
            const auto [End, Error] =
                std::from_chars(Value.data(), Value.data() + Value.size(), Seconds);
            if (Error != std::errc() || End != Value.data() + Value.size() || Seconds < 0) {
                return std::nullopt;
            }
            Result.Limit = std::chrono::seconds(Seconds);
        } else if (Arg == "--baud" && HasValue) {
            const auto Rate = BaudrateOf(Argv[++I]);
            if (!Rate) {
                return std::nullopt;
            }
            Result.Baudrate = *Rate;
        } else if (!Arg.starts_with("--") && Result.Port.empty()) {
            Result.Port = Arg;
        } else {
            return std::nullopt;
        }
    }
    if (Result.Port.empty()) {
        return std::nullopt;
    }
    return Result;
}

// Takes the port's events on this thread until the text arrived, time ran out or a signal
// came: the program's status.
int Monitor(TVaComm& Comm, const Options& Opts) {
    std::string Received; // the end of what arrived
    bool Found = false;
    Comm.OnRxChar = TVaCommRxCharEvent([&](TObject* /*Sender*/, int /*Count*/) {
        const std::string Text = Comm.ReadText();
        std::fwrite(Text.data(), 1, Text.size(), stdout);
        std::fflush(stdout);
        if (Opts.Until.empty()) {
            return;
        }
        // Only the tail that could still begin the awaited text is kept.
        Received += Text;
        Found = Found || Received.find(Opts.Until) != std::string::npos;
        if (Received.size() > Opts.Until.size()) {
            Received.erase(0, Received.size() - Opts.Until.size());
        }
    });
    if (!Opts.Send.empty()) {
        Comm.WriteText(Opts.Send + "\r");
    }
    const auto Deadline = Opts.Limit ? Clock::now() + *Opts.Limit : Clock::time_point::max();
    // Signals are seen at the next slice; the port's events end a wait at once.
    constexpr std::chrono::milliseconds Slice(250);
    while (!Found && Interrupted == 0 && Clock::now() < Deadline) {
        if (WaitForSynchronize(Slice)) {
            CheckSynchronize();
        }
    }
    Comm.OnRxChar = {};
    if (Interrupted != 0) {
        return 130;
    }
    return Found || Opts.Until.empty() ? 0 : 1;
}

} // namespace

int main(int Argc, char** Argv) {
    const auto Opts = ParseArguments(Argc, Argv);
    if (!Opts) {
        std::fputs("usage: serial-monitor [--baud N] [--send TEXT] [--until TEXT] "
                   "[--seconds N] PORT\n",
                   stderr);
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    TVaComm Comm(nullptr);
    Comm.SetDevicePath(Opts->Port); // the path as given: a '%' in it is no placeholder
    Comm.SetBaudrate(Opts->Baudrate);
    try {
        Comm.Open();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "serial-monitor: %s\n", E.what());
        return 2;
    }
    const int Status = Monitor(Comm, *Opts);
    Comm.Close();
    if (Status == 1) { // only when a text was awaited
        std::fprintf(stderr, "serial-monitor: \"%s\" did not arrive in time\n",
                     Opts->Until.c_str());
    }
    return Status;
}
