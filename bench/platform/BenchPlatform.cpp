// Measures the serial device layer on a pseudo-terminal next to raw poll and read on the same
// kind of terminal: event latency, receive throughput and the CPU cost of an idle open port.
//
//   kivo-bench-platform [--quick]

#include "bench/Statistics.h"
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

using kivo::bench::Median;
using kivo::bench::Microseconds;
using kivo::bench::PercentileRuns;
using kivo::bench::Percentiles;
using kivo::bench::Summarise;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal: the master plays the device, the terminal side is what we measure.
class Pty {
public:
    Pty() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        char Name[128] = {};
        if (ptsname_r(FMaster, Name, sizeof Name) != 0) {
            throw std::runtime_error("no pseudo-terminal name");
        }
        FPath = Name;
    }
    ~Pty() { close(FMaster); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    [[nodiscard]] int Master() const { return FMaster; }
    [[nodiscard]] const std::string& Path() const { return FPath; }
    void Send(const char* Data, std::size_t Size) const {
        while (Size > 0) {
            const ssize_t Written = write(FMaster, Data, Size);
            if (Written < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                throw std::runtime_error("write to master failed");
            }
            Data += Written;
            Size -= static_cast<std::size_t>(Written);
        }
    }

private:
    int FMaster = -1;
    std::string FPath;
};

// The terminal side opened raw, for the raw loops.
int OpenRaw(const std::string& Path) {
    const int Fd = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios Settings{};
    tcgetattr(Fd, &Settings);
    cfmakeraw(&Settings);
    tcsetattr(Fd, TCSANOW, &Settings);
    return Fd;
}

// The terminal side opened through the layer, configured as the component does.
// With Lossless, RTS/CTS handshaking: a full input queue holds the sender back instead of
// losing bytes, as it must for a throughput figure.
HANDLE OpenPort(const std::string& Path, DWORD InQueue, bool Lossless = false) {
    const HANDLE Port = CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (Port == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("CreateFileA failed");
    }
    DCB Dcb{};
    Dcb.DCBlength = sizeof Dcb;
    Dcb.BaudRate = 19200;
    Dcb.fBinary = 1;
    Dcb.ByteSize = 8;
    Dcb.XonChar = 17;
    Dcb.XoffChar = 19;
    if (Lossless) {
        Dcb.fOutxCtsFlow = 1;
        Dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    COMMTIMEOUTS Timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetCommState(Port, &Dcb) || !SetupComm(Port, InQueue, 512) ||
        !SetCommTimeouts(Port, &Timeouts) || !SetCommMask(Port, EV_RXCHAR)) {
        throw std::runtime_error("configuring the port failed");
    }
    return Port;
}

// Reads everything queued on an overlapped port (its reads return at once).
std::size_t DrainPort(HANDLE Port, HANDLE Event, char* Buffer, std::size_t Size) {
    std::size_t Total = 0;
    for (;;) {
        OVERLAPPED Read{};
        Read.hEvent = Event;
        DWORD Got = 0;
        if (!ReadFile(Port, Buffer, static_cast<DWORD>(Size), &Got, &Read) || Got == 0) {
            return Total;
        }
        Total += Got;
    }
}

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
