#pragma once
// One round of the side-by-side table for one receiver. Every receiver gets the same writer
// (this thread writes on the pseudo-terminal's master), the same message sizes (one byte for
// latency, 4 KiB writes for bulk) and the same timing points: the clock starts before the
// byte is written and stops where the receiver's own handler runs.
//
// A receiver R is constructed from the terminal's path and offers:
//   void Arm();                                 before each byte: start waiting (may be empty)
//   Clock::time_point AwaitByte();              blocks until the handler ran; when it ran
//   void Consume();                             takes what the byte left queued
//   std::size_t ReceiveSome(char*, std::size_t) blocks until bytes came; takes them
//
// Prints one line: "<name> p50 <us> p99 <us> cpu <us per event> switches <per event>
// bulk <MiB/s>". CPU time and context switches are the whole process's (getrusage), writer
// included, divided by the number of one-byte events.
//
//   kivo-bench-peer-<name> [samples] [bulk MiB]

#include "bench/Pty.h"
#include "bench/Statistics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace kivo::bench {

using PeerClock = std::chrono::steady_clock;

struct Usage {
    double CpuMicroseconds = 0;
    double Switches = 0;
};

inline Usage ProcessUsage() {
    rusage Now{};
    getrusage(RUSAGE_SELF, &Now);
    const auto Us = [](const timeval& T) {
        return static_cast<double>(T.tv_sec) * 1e6 + static_cast<double>(T.tv_usec);
    };
    return {Us(Now.ru_utime) + Us(Now.ru_stime),
            static_cast<double>(Now.ru_nvcsw) + static_cast<double>(Now.ru_nivcsw)};
}

template <class Receiver> void RunRound(const char* Name, int Samples, std::size_t BulkBytes) {
    const Pty Device;
    Receiver Port(Device.Path());
    const int WarmUp = 20;
    Series Latency;
    Usage Before{};
    for (int Sample = -WarmUp; Sample < Samples; ++Sample) {
        if (Sample == 0) {
            Before = ProcessUsage();
        }
        Port.Arm();
        const auto Start = PeerClock::now();
        Device.Send("x", 1);
        const auto Handled = Port.AwaitByte();
        if (Sample >= 0) {
            Latency.push_back(Microseconds(Handled - Start));
        }
        Port.Consume();
    }
    const Usage After = ProcessUsage();

    const std::vector<char> Chunk(4096, 'd');
    std::vector<char> Buffer(65536);
    const auto BulkStart = PeerClock::now();
    std::thread Sender([&] {
        for (std::size_t Sent = 0; Sent < BulkBytes; Sent += Chunk.size()) {
            Device.Send(Chunk.data(), std::min(Chunk.size(), BulkBytes - Sent));
        }
    });
    for (std::size_t Got = 0; Got < BulkBytes;) {
        Got += Port.ReceiveSome(Buffer.data(), Buffer.size());
    }
    const double Seconds = std::chrono::duration<double>(PeerClock::now() - BulkStart).count();
    Sender.join();

    const Percentiles Figures = Summarise(Latency);
    std::printf("%s p50 %.2f p99 %.2f cpu %.2f switches %.2f bulk %.1f\n", Name, Figures.P50,
                Figures.P99, (After.CpuMicroseconds - Before.CpuMicroseconds) / Samples,
                (After.Switches - Before.Switches) / Samples,
                static_cast<double>(BulkBytes) / 1048576.0 / Seconds);
    std::fflush(stdout);
}

// The program's main: its arguments, one round, and one clear message on failure.
template <class Receiver> int RunPeer(const char* Name, int Argc, char** Argv) {
    const int Samples = Argc > 1 ? std::atoi(Argv[1]) : 500;
    const std::size_t MiB = Argc > 2 ? std::strtoul(Argv[2], nullptr, 10) : 16;
    try {
        RunRound<Receiver>(Name, std::max(Samples, 1), std::max<std::size_t>(MiB, 1) << 20);
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "%s: %s\n", Name, Error.what());
        return 1;
    }
    return 0;
}

} // namespace kivo::bench
