// kivo-read on POSIX systems: signals through a pipe, standard streams, and COM names that
// stand for device paths.

#include "platform/posix/ComName.h"
#include "runtime/Thread.h"
#include "tools/ReadHost.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::array<int, 4> StopSignals{SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The pipe's write end for the signal handler: a handler can reach nothing else. Set while
// a TStopSignals lives.
std::atomic<int> SignalPipe{-1}; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

extern "C" void NoteSignal(int Signal) {
    const int SavedErrno = errno;
    const auto Byte = static_cast<unsigned char>(Signal);
    const int Fd = SignalPipe.load();
    if (Fd >= 0) {
        [[maybe_unused]] const auto Written = ::write(Fd, &Byte, 1);
    }
    errno = SavedErrno;
}

// Reads the pipe and hands each signal to the main thread; a zero byte ends it. It frees
// itself and closes the pipe's read end when it ends: the program need not wait for that.
class TSignalWatcher : public TThread {
public:
    TSignalWatcher(int ReadEnd, std::function<void(int)> OnStop)
        : TThread(true), FReadEnd(ReadEnd), FOnStop(std::move(OnStop)) {
        SetFreeOnTerminate(true);
    }
    ~TSignalWatcher() override { ::close(FReadEnd); }
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;
    TSignalWatcher(TSignalWatcher&&) = delete;
    TSignalWatcher& operator=(TSignalWatcher&&) = delete;

protected:
    void Execute() override {
        unsigned char Byte = 0;
        while (!Terminated()) {
            const ssize_t Count = ::read(FReadEnd, &Byte, 1);
            if (Count < 0 && errno == EINTR) {
                continue;
            }
            if (Count <= 0 || Byte == 0) {
                return;
            }
            const int Signal = Byte;
            Synchronize([this, Signal] { FOnStop(Signal); });
        }
    }

private:
    const int FReadEnd;
    const std::function<void(int)> FOnStop;
};

} // namespace

struct TStopSignals::TImpl {
    std::array<int, 2> Pipe{-1, -1};
    std::array<struct sigaction, StopSignals.size()> Previous{};
    TSignalWatcher* Watcher = nullptr; // frees itself once told to end
};

TStopSignals::TStopSignals(std::function<void(int Signal)> OnStop)
    : FImpl(std::make_unique<TImpl>()) {
    if (::pipe2(FImpl->Pipe.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("Cannot create the signal pipe");
    }
    ::fcntl(FImpl->Pipe[1], F_SETFL, O_NONBLOCK);
    SignalPipe = FImpl->Pipe[1];
    FImpl->Watcher = new TSignalWatcher(FImpl->Pipe[0], std::move(OnStop)); // NOLINT: frees itself
    FImpl->Watcher->Resume();
    struct sigaction Action {};
    Action.sa_handler = NoteSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (std::size_t I = 0; I < StopSignals.size(); ++I) {
        ::sigaction(StopSignals.at(I), &Action, &FImpl->Previous.at(I));
    }
}

TStopSignals::~TStopSignals() {
    for (std::size_t I = 0; I < StopSignals.size(); ++I) {
        ::sigaction(StopSignals.at(I), &FImpl->Previous.at(I), nullptr);
    }
    SignalPipe = -1;
    // A signal handed over but not yet taken is dropped; then the watcher is told to end,
    // and nobody touches it any more.
    FImpl->Watcher->CancelSynchronize();
    const unsigned char End = 0;
    [[maybe_unused]] const auto Written = ::write(FImpl->Pipe[1], &End, 1);
    ::close(FImpl->Pipe[1]);
}

int BrokenPipeSignal() {
    return SIGPIPE;
}

bool ReserveStandardStreams() {
    bool OutputOpen = true;
    for (int Fd = 0; Fd <= 2; ++Fd) {
        if (::fcntl(Fd, F_GETFD) != -1) {
            continue;
        }
        OutputOpen = OutputOpen && Fd != 1;
        // The lowest free descriptor is this one.
        const int Null = ::open("/dev/null", Fd == 0 ? O_RDONLY : O_WRONLY);
        if (Null >= 0 && Null != Fd) {
            ::close(Null);
        }
    }
    return OutputOpen;
}

std::string DescribeDevice(const std::string& Name) {
    const auto Path = kivo::posix::DevicePathFor(Name);
    return Path && *Path != Name ? Name + " = " + *Path : Name;
}

bool ComNameMapped(const std::string& Name) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in KIVO changes the environment
    const char* Mapped = std::getenv(("KIVO_" + Name).c_str());
    return Mapped != nullptr && *Mapped != '\0';
}

void ShareHeldPorts() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread starts, as declared
    if (::setenv("KIVO_SHARE_HELD_PORT", "1", 1) != 0) {
        throw std::runtime_error("cannot set KIVO_SHARE_HELD_PORT for --force");
    }
}

std::size_t PortsAtOnce() {
    // An open port holds five descriptors (the device, the driver's epoll set and wake-up
    // pipe, its event thread's wake-up); eight leave room for what is made on the way. The
    // reserve is for the program's own (standard streams, signal pipe, device database).
    constexpr std::size_t PerPort = 8;
    constexpr std::size_t Reserve = 16;
    rlimit Limit{};
    if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0 || Limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    std::size_t InUse = 0;
    std::error_code Error;
    for (std::filesystem::directory_iterator Entry("/proc/self/fd", Error), End;
         !Error && Entry != End; Entry.increment(Error)) {
        ++InUse; // the listing's own descriptor included: one more to spare
    }
    const std::size_t Free =
        Limit.rlim_cur > InUse + Reserve ? Limit.rlim_cur - InUse - Reserve : 0;
    return std::max<std::size_t>(1, Free / PerPort);
}

std::string PortHelp() {
    return "                   COM<n> (any case) is the device in the environment variable\n"
           "                   KIVO_COM<n> when it is set, else /dev/ttyS<n-1>; a name with a\n"
           "                   '/' is a device path, opened as it is. Default: " +
           DescribeDevice("COM4") + ".\n";
}

std::string_view ExamplePort() {
    return "/dev/ttyUSB2";
}
