// Measures the serial port component on one pseudo-terminal, next to the raw terminal:
//   - latency from a byte written on the other end to OnRxChar running on the
//     user-interface thread (here: this thread, blocked in WaitForSynchronize), p50 and p99;
//   - sustained receive throughput through OnRxChar + ReadText;
//   - processor time of an open, idle port over ten seconds.
// The machine may be shared: raw and component runs alternate, and each figure is the median
// of its runs, so a burst of other load does not land on one side only.
// Usage: kivo-bench-serial [samples]

#include "bench/Pty.h"
#include "bench/Statistics.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using kivo::bench::Median;
using kivo::bench::Microseconds;
using kivo::bench::PercentileRuns;
using kivo::bench::Percentiles;
using kivo::bench::Series;
using kivo::bench::Summarise;
using Clock = std::chrono::steady_clock;

// A byte written on the master until a blocking read on the slave returns it.
Percentiles RawLatency(int Samples) {
    const kivo::bench::Pty Pty;
    const int Slave = kivo::bench::OpenRaw(Pty.Path(), true);
    std::vector<double> Times;
    char Byte = 'x';
    for (int I = 0; I < Samples; ++I) {
        const auto Start = Clock::now();
        Pty.Send(&Byte, 1);
        if (read(Slave, &Byte, 1) != 1) {
            throw std::runtime_error("raw read failed");
        }
        Times.push_back(Microseconds(Clock::now() - Start));
    }
    close(Slave);
    return Summarise(Times);
}

// Runs handed-over calls on this thread until Done holds; gives up after ten seconds
// without a call.
void PumpUntil(const std::function<bool()>& Done) {
    while (!Done()) {
        if (!WaitForSynchronize(std::chrono::seconds(10))) {
            throw std::runtime_error("no event from the port for ten seconds");
        }
        CheckSynchronize();
    }
}

// A component on a fresh terminal with the main window's settings.
std::unique_ptr<TVaComm> OpenComponent(const kivo::bench::Pty& Pty, int ReadSize,
                                       TVaControlRts Rts = rtsDisabled) {
    auto Comm = std::make_unique<TVaComm>(nullptr);
    Comm->SetDeviceName(Pty.Path());
    Comm->SetBaudrate(br19200);
    Comm->FlowControl()->SetControlRts(Rts);
    Comm->SetMonitorEvents({ceError, ceRxChar});
    Comm->Buffers()->SetReadSize(ReadSize);
    Comm->Open();
    return Comm;
}

// A byte written on the master until OnRxChar runs on this thread.
Percentiles ComponentLatency(int Samples) {
    const kivo::bench::Pty Pty;
    auto Comm = OpenComponent(Pty, 4096);
    std::vector<double> Times;
    Clock::time_point Sent;
    bool Arrived = false;
    Comm->OnRxChar = [&](TObject*, int) {
        const auto Now = Clock::now();
        if (!Comm->ReadText().empty()) {
            Times.push_back(Microseconds(Now - Sent));
            Arrived = true;
        }
    };
    const char Byte = 'x';
    for (int I = 0; I < Samples; ++I) {
        Arrived = false;
        Sent = Clock::now();
        Pty.Send(&Byte, 1);
        PumpUntil([&] { return Arrived; });
    }
    return Summarise(Times);
}

// Bytes per second that a sender on the master can push through Reader.
template <typename ReadFn>
double Throughput(const kivo::bench::Pty& Pty, std::size_t Total, ReadFn Read) {
    std::thread Sender([&] {
        const std::string Chunk(4096, 'd');
        for (std::size_t Sent = 0; Sent < Total; Sent += Chunk.size()) {
            Pty.Send(Chunk.data(), Chunk.size());
        }
    });
    const auto Start = Clock::now();
    Read(Total);
    const double Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
    Sender.join();
    return static_cast<double>(Total) / Seconds;
}

double RawThroughput(std::size_t Total) {
    const kivo::bench::Pty Pty;
    const int Slave = kivo::bench::OpenRaw(Pty.Path(), true);
    const double Rate = Throughput(Pty, Total, [&](std::size_t Want) {
        std::vector<char> Buffer(65536);
        for (std::size_t Got = 0; Got < Want;) {
            const ssize_t Done = read(Slave, Buffer.data(), Buffer.size());
            if (Done <= 0) {
                throw std::runtime_error("raw read failed");
            }
            Got += static_cast<std::size_t>(Done);
        }
    });
    close(Slave);
    return Rate;
}

struct ComponentRate {
    double BytesPerSecond = 0;
    double BytesPerEvent = 0;
};

ComponentRate ComponentThroughput(std::size_t Total) {
    const kivo::bench::Pty Pty;
    // With handshake the device leaves bytes in the kernel while its queue is full, which
    // holds the sender back; without, a full queue drops them as a real port would.
    auto Comm = OpenComponent(Pty, 65536, rtsHandshake);
    std::size_t Got = 0;
    std::size_t Events = 0;
    Comm->OnRxChar = [&](TObject*, int) {
        Got += Comm->ReadText().size();
        ++Events;
    };
    const double Rate =
        Throughput(Pty, Total, [&](std::size_t Want) { PumpUntil([&] { return Got >= Want; }); });
    return {Rate, static_cast<double>(Got) / static_cast<double>(std::max<std::size_t>(Events, 1))};
}

double CpuSeconds() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    const auto Seconds = [](const timeval& T) {
        return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) / 1e6;
    };
    return Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

// Processor time of the whole process while an open port sits idle for Period.
double IdleCpu(std::chrono::seconds Period) {
    const kivo::bench::Pty Pty;
    auto Comm = OpenComponent(Pty, 4096);
    const double Before = CpuSeconds();
    const auto End = Clock::now() + Period;
    while (Clock::now() < End) {
        (void)WaitForSynchronize(
            std::chrono::duration_cast<std::chrono::milliseconds>(End - Clock::now()));
        CheckSynchronize();
    }
    return CpuSeconds() - Before;
}

} // namespace

int main(int argc, char** argv) {
    try {
        SetMainThread();
        const int Samples = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
        constexpr int Runs = 5;
        const std::size_t Total = 32u << 20;

        PercentileRuns RawRuns, CompRuns;
        Series RawRate, CompRate, CompPerEvent;
        for (int Run = 0; Run < Runs; ++Run) {
            RawRuns.Add(RawLatency(Samples));
            CompRuns.Add(ComponentLatency(Samples));
            RawRate.push_back(RawThroughput(Total));
            const ComponentRate Rate = ComponentThroughput(Total);
            CompRate.push_back(Rate.BytesPerSecond);
            CompPerEvent.push_back(Rate.BytesPerEvent);
        }
        std::printf("latency, %d runs of %d samples, medians (microseconds)\n", Runs, Samples);
        const Percentiles Raw = RawRuns.Medians();
        const Percentiles Comp = CompRuns.Medians();
        std::printf("  raw pty round trip      p50 %8.1f   p99 %8.1f\n", Raw.P50, Raw.P99);
        std::printf("  byte -> OnRxChar (UI)   p50 %8.1f   p99 %8.1f   p50 ratio %.2f\n", Comp.P50,
                    Comp.P99, Comp.P50 / Raw.P50);
        std::printf("receive throughput, %d runs of %zu MiB, medians (MiB/s)\n", Runs, Total >> 20);
        std::printf("  raw pty read            %8.1f\n", Median(RawRate) / (1 << 20));
        std::printf("  OnRxChar + ReadText     %8.1f   ratio %.2f   %.0f bytes per OnRxChar\n",
                    Median(CompRate) / (1 << 20), Median(CompRate) / Median(RawRate),
                    Median(CompPerEvent));

        const double Idle = IdleCpu(std::chrono::seconds(10));
        std::printf("idle open port, 10 s: %.3f s processor time (%.3f%%)\n", Idle, Idle * 10.0);
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "kivo-bench-serial: %s\n", E.what());
        return 1;
    }
}
