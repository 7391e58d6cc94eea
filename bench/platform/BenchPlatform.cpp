// Measures the serial device layer on a pseudo-terminal next to raw poll and read on the same
// kind of terminal: event latency, receive throughput and the CPU cost of an idle open port.
//
//   kivo-bench-platform [--quick]

#include "bench/Pty.h"
#include "bench/Statistics.h"
#include "bench/platform/LayerPort.h"
#include "platform/Win32Api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using kivo::bench::DrainPort;
using kivo::bench::Median;
using kivo::bench::Microseconds;
using kivo::bench::OpenPort;
using kivo::bench::OpenRaw;
using kivo::bench::PercentileRuns;
using kivo::bench::Percentiles;
using kivo::bench::Pty;
using kivo::bench::Summarise;
using Clock = std::chrono::steady_clock;

Percentiles LayerLatency(int Rounds) {
    const Pty Device;
    const HANDLE Port = OpenPort(Device.Path(), 4096);
    const HANDLE Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<double> Samples;
    char Buffer[64];
    for (int Round = 0; Round < Rounds; ++Round) {
        OVERLAPPED Wait{};
        Wait.hEvent = Event;
        DWORD Events = 0;
        if (!WaitCommEvent(Port, &Events, &Wait) && GetLastError() != ERROR_IO_PENDING) {
            throw std::runtime_error("WaitCommEvent failed");
        }
        const auto Start = Clock::now();
        Device.Send("x", 1);
        WaitForSingleObject(Event, INFINITE);
        Samples.push_back(Microseconds(Clock::now() - Start));
        DrainPort(Port, Event, Buffer, sizeof Buffer);
    }
    CloseHandle(Event);
    CloseHandle(Port);
    return Summarise(Samples);
}

Percentiles RawLatency(int Rounds) {
    const Pty Device;
    const int Fd = OpenRaw(Device.Path());
    std::vector<double> Samples;
    char Buffer[64];
    for (int Round = 0; Round < Rounds; ++Round) {
        const auto Start = Clock::now();
        Device.Send("x", 1);
        pollfd Ready{Fd, POLLIN, 0};
        poll(&Ready, 1, -1);
        const ssize_t Got = read(Fd, Buffer, sizeof Buffer);
        Samples.push_back(Microseconds(Clock::now() - Start));
        if (Got <= 0) {
            throw std::runtime_error("raw read failed");
        }
    }
    close(Fd);
    return Summarise(Samples);
}

double ProcessCpuMilliseconds() {
    timespec Now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) * 1e3 + static_cast<double>(Now.tv_nsec) / 1e6;
}

struct Rate {
    double MiBPerSecond;
    double CpuMsPerMiB; // the whole process's CPU time, sender included, per MiB received
};

// How fast Total bytes are received while another thread sends them as fast as it can.
template <class Receive> Rate Throughput(const Pty& Device, std::size_t Total, Receive R) {
    const std::vector<char> Chunk(4096, 'd');
    const double CpuBefore = ProcessCpuMilliseconds();
    const auto Start = Clock::now();
    std::thread Sender([&] {
        for (std::size_t Sent = 0; Sent < Total; Sent += Chunk.size()) {
            Device.Send(Chunk.data(), std::min(Chunk.size(), Total - Sent));
        }
    });
    R(Total);
    const double Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
    Sender.join();
    const double MiB = static_cast<double>(Total) / 1048576.0;
    return {MiB / Seconds, (ProcessCpuMilliseconds() - CpuBefore) / MiB};
}

Rate LayerThroughput(std::size_t Total) {
    const Pty Device;
    const HANDLE Port = OpenPort(Device.Path(), 65536, true);
    const HANDLE Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> Buffer(65536);
    const Rate Result = Throughput(Device, Total, [&](std::size_t Want) {
        std::size_t Got = DrainPort(Port, Event, Buffer.data(), Buffer.size());
        while (Got < Want) {
            OVERLAPPED Wait{};
            Wait.hEvent = Event;
            DWORD Events = 0;
            if (!WaitCommEvent(Port, &Events, &Wait) &&
                WaitForSingleObject(Event, 10000) != WAIT_OBJECT_0) {
                throw std::runtime_error("bytes were lost");
            }
            Got += DrainPort(Port, Event, Buffer.data(), Buffer.size());
        }
    });
    CloseHandle(Event);
    CloseHandle(Port);
    return Result;
}

Rate RawThroughput(std::size_t Total) {
    const Pty Device;
    const int Fd = OpenRaw(Device.Path());
    std::vector<char> Buffer(65536);
    const Rate Result = Throughput(Device, Total, [&](std::size_t Want) {
        std::size_t Got = 0;
        while (Got < Want) {
            pollfd Ready{Fd, POLLIN, 0};
            poll(&Ready, 1, -1);
            const ssize_t N = read(Fd, Buffer.data(), Buffer.size());
            if (N > 0) {
                Got += static_cast<std::size_t>(N);
            }
        }
    });
    close(Fd);
    return Result;
}

// CPU time the process spends while an open port waits for events that never come.
double IdleCpuMilliseconds(DWORD Milliseconds) {
    const Pty Device;
    const HANDLE Port = OpenPort(Device.Path(), 4096);
    const HANDLE Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED Wait{};
    Wait.hEvent = Event;
    DWORD Events = 0;
    WaitCommEvent(Port, &Events, &Wait);
    const double Before = ProcessCpuMilliseconds();
    WaitForSingleObject(Event, Milliseconds);
    const double Used = ProcessCpuMilliseconds() - Before;
    CloseHandle(Port);
    CloseHandle(Event);
    return Used;
}

} // namespace

// The machine may be shared: layer and raw runs alternate, and each figure is the median of
// its runs, so a burst of other load does not land on one side only.
int main(int Argc, char** Argv) {
    const bool Quick = Argc > 1 && std::strcmp(Argv[1], "--quick") == 0;
    const int Runs = Quick ? 3 : 7;
    const int Rounds = Quick ? 200 : 1000;
    const std::size_t Total = Quick ? (4u << 20) : (32u << 20);
    const DWORD IdleMs = Quick ? 1000 : 10000;
    try {
        PercentileRuns LayerRuns, RawRuns;
        std::vector<double> LayerRate, RawRate, LayerCpu, RawCpu;
        for (int Run = 0; Run < Runs; ++Run) {
            LayerRuns.Add(LayerLatency(Rounds));
            RawRuns.Add(RawLatency(Rounds));
            const Rate LayerRun = LayerThroughput(Total);
            const Rate RawRun = RawThroughput(Total);
            LayerRate.push_back(LayerRun.MiBPerSecond);
            LayerCpu.push_back(LayerRun.CpuMsPerMiB);
            RawRate.push_back(RawRun.MiBPerSecond);
            RawCpu.push_back(RawRun.CpuMsPerMiB);
        }
        std::printf("latency, byte written -> WaitCommEvent completes (%d runs of %d rounds, "
                    "medians)\n",
                    Runs, Rounds);
        const Percentiles Layer = LayerRuns.Medians();
        const Percentiles Raw = RawRuns.Medians();
        std::printf("  layer  p50 %8.1f us   p99 %8.1f us\n", Layer.P50, Layer.P99);
        std::printf("  raw    p50 %8.1f us   p99 %8.1f us   (poll + read)\n", Raw.P50, Raw.P99);
        std::printf("  ratio  p50 %8.2f\n", Layer.P50 / Raw.P50);
        std::printf("receive throughput (%d runs of %zu MiB, medians)\n", Runs, Total >> 20);
        std::printf("  layer  %8.1f MiB/s  %6.2f ms CPU per MiB (WaitCommEvent + ReadFile)\n",
                    Median(LayerRate), Median(LayerCpu));
        std::printf("  raw    %8.1f MiB/s  %6.2f ms CPU per MiB (poll + read)\n", Median(RawRate),
                    Median(RawCpu));
        std::printf("  ratio  %8.2f\n", Median(LayerRate) / Median(RawRate));
        std::fflush(stdout);

        std::printf("idle open port, %u ms waiting for an event\n", IdleMs);
        std::printf("  process CPU time %8.3f ms\n", IdleCpuMilliseconds(IdleMs));
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "kivo-bench-platform: %s\n", Error.what());
        return 1;
    }
    return 0;
}
