// Lists the serial ports this machine has, then follows ports that are plugged in and pulled
// out, with TSerialPortNotice handing each notice to this (the main) thread.
//
//   port-watch [--list] [--changes N] [--seconds N]
//
// Each port is one line: its name, its path, the USB vendor and product ids, the product or
// description, and the serial number where there is one. Then, for each change, "+ " before a
// port that came and "- " before one that went. --list ends after the list; --changes ends after
// N ports came or went (status 0); --seconds ends when that much time passed first (status 1
// when changes were awaited, else 0). Without them it runs until interrupted. Status 2: bad
// arguments or no notice of ports on this system.

#include "platform/SerialPorts.h"
#include "runtime/Thread.h"
#include "serial/SerialPortNotice.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool ListOnly = false;
    std::optional<int> Changes;
    std::optional<std::chrono::seconds> Limit;
};

volatile std::sig_atomic_t Interrupted = 0;

void OnSignal(int /*Signal*/) {
    Interrupted = 1;
}

std::optional<int> NumberOf(std::string_view Text) {
    int Value = 0;
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Error != std::errc() || End != Text.data() + Text.size() || Value < 0) {
        return std::nullopt;
    }
    return Value;
}

std::optional<Options> ParseArguments(int Argc, char** Argv) {
    Options Result;
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Arg = Argv[I];
        const bool HasValue = I + 1 < Argc;
        if (Arg == "--list") {
            Result.ListOnly = true;
        } else if ((Arg == "--changes" || Arg == "--seconds") && HasValue) {
            const auto Number = NumberOf(Argv[++I]);
            if (!Number) {
                return std::nullopt;
            }
            if (Arg == "--changes") {
                Result.Changes = *Number;
            } else {
                Result.Limit = std::chrono::seconds(*Number);
            }
        } else {
            return std::nullopt;
        }
    }
    return Result;
}

void PrintPort(const char* Mark, const TSerialPortInfo& Port) {
    std::string Line = Mark + Port.Name + "  " + Port.Path;
    if (!Port.VendorId.empty()) {
        Line += "  " + Port.VendorId + ":" + Port.ProductId;
    }
    Line += "  " + (Port.Product.empty() ? Port.Description : Port.Product);
    if (!Port.SerialNumber.empty()) {
        Line += "  serial " + Port.SerialNumber;
    }
    std::printf("%s\n", Line.c_str());
}

bool Listed(const std::vector<TSerialPortInfo>& Ports, const TSerialPortInfo& Port) {
    return std::any_of(Ports.begin(), Ports.end(), [&](const TSerialPortInfo& Other) {
        return Other.Path == Port.Path && Other.DeviceId == Port.DeviceId;
    });
}

// Prints what differs between the two lists; the number of ports that came or went.
int PrintChanges(const std::vector<TSerialPortInfo>& Before,
                 const std::vector<TSerialPortInfo>& After) {
    int Count = 0;
    for (const TSerialPortInfo& Port : Before) {
        if (!Listed(After, Port)) {
            PrintPort("- ", Port);
            ++Count;
        }
    }
    for (const TSerialPortInfo& Port : After) {
        if (!Listed(Before, Port)) {
            PrintPort("+ ", Port);
            ++Count;
        }
    }
    std::fflush(stdout);
    return Count;
}

void PrintList(const std::vector<TSerialPortInfo>& Ports) {
    for (const TSerialPortInfo& Port : Ports) {
        PrintPort("", Port);
    }
    std::fflush(stdout);
}

// Lists the ports, then takes the notices on this thread until enough ports changed, time ran
// out or a signal came: the program's status.
int Follow(const Options& Opts) {
    std::vector<TSerialPortInfo> Ports;
    int Changes = 0;
    std::string Failure;
    TSerialPortNotice Notice([&](const std::string& Reason) {
        if (!Reason.empty()) {
            Failure = Reason;
            return;
        }
        std::vector<TSerialPortInfo> Now = ListSerialPorts();
        Changes += PrintChanges(Ports, Now);
        Ports = std::move(Now);
    });
    if (!Notice.Problem().empty()) {
        std::fprintf(stderr, "port-watch: %s\n", Notice.Problem().c_str());
        return 2;
    }
    // Listed once the notice is there, so that no port slips in between.
    Ports = ListSerialPorts();
    PrintList(Ports);
    std::printf("following ports as they come and go\n");
    std::fflush(stdout);
    const auto Deadline = Opts.Limit ? Clock::now() + *Opts.Limit : Clock::time_point::max();
    const auto Enough = [&] { return Opts.Changes && Changes >= *Opts.Changes; };
    // Signals are seen at the next slice; a notice ends a wait at once.
    constexpr std::chrono::milliseconds Slice(250);
    while (!Enough() && Failure.empty() && Interrupted == 0 && Clock::now() < Deadline) {
        if (WaitForSynchronize(Slice)) {
            CheckSynchronize();
        }
    }
    if (!Failure.empty()) {
        std::fprintf(stderr, "port-watch: %s\n", Failure.c_str());
        return 2;
    }
    if (Interrupted != 0) {
        return 130;
    }
    return Enough() || !Opts.Changes ? 0 : 1;
}

} // namespace

int main(int Argc, char** Argv) {
    const auto Opts = ParseArguments(Argc, Argv);
    if (!Opts) {
        std::fputs("usage: port-watch [--list] [--changes N] [--seconds N]\n", stderr);
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    if (Opts->ListOnly) {
        PrintList(ListSerialPorts());
        return 0;
    }
    const int Status = Follow(*Opts);
    if (Status == 1) {
        std::fprintf(stderr, "port-watch: %d changes awaited, %s\n", *Opts->Changes,
                     "too few came in time");
    }
    return Status;
}
