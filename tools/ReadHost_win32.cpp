// kivo-read on Windows: console control events, standard streams and COM port names.

#include "platform/Win32Api.h"
#include "runtime/Thread.h"
#include "tools/ReadHost.h"

#include <array>
#include <atomic>
#include <csignal>

namespace {

// The event the console control handler signals: a handler can reach nothing else. Set
// while a TStopSignals lives.
std::atomic<HANDLE> StopEvent{
    nullptr};                   // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
std::atomic<int> StopSignal{0}; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

BOOL WINAPI NoteControl(DWORD Type) {
    const HANDLE Event = StopEvent.load();
    if (Event == nullptr) {
        return FALSE;
    }
    int Expected = 0;
    StopSignal.compare_exchange_strong(Expected, Type == CTRL_C_EVENT ? SIGINT : SIGTERM);
    SetEvent(Event);
    return TRUE;
}

class TSignalWatcher : public TThread {
public:
    TSignalWatcher(HANDLE Stop, HANDLE End, std::function<void(int)> OnStop)
        : TThread(true), FStop(Stop), FEnd(End), FOnStop(std::move(OnStop)) {}
    ~TSignalWatcher() override { TerminateAndWait(); }
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;
    TSignalWatcher(TSignalWatcher&&) = delete;
    TSignalWatcher& operator=(TSignalWatcher&&) = delete;

protected:
    void Execute() override {
        const std::array<HANDLE, 2> Handles{FStop, FEnd};
        if (WaitForMultipleObjects(2, Handles.data(), FALSE, INFINITE) == WAIT_OBJECT_0) {
            const int Signal = StopSignal.load();
            Synchronize([this, Signal] { FOnStop(Signal); });
        }
    }

private:
    const HANDLE FStop;
    const HANDLE FEnd;
    const std::function<void(int)> FOnStop;
};

} // namespace

struct TStopSignals::TImpl {
    HANDLE Stop = nullptr;
    HANDLE End = nullptr;
    std::unique_ptr<TSignalWatcher> Watcher;
};

TStopSignals::TStopSignals(std::function<void(int Signal)> OnStop)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FImpl->End = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StopEvent = FImpl->Stop;
    FImpl->Watcher = std::make_unique<TSignalWatcher>(FImpl->Stop, FImpl->End, std::move(OnStop));
    FImpl->Watcher->Resume();
    SetConsoleCtrlHandler(NoteControl, TRUE);
}

TStopSignals::~TStopSignals() {
    SetConsoleCtrlHandler(NoteControl, FALSE);
    StopEvent = nullptr;
    SetEvent(FImpl->End);
    FImpl->Watcher.reset();
    CloseHandle(FImpl->Stop);
    CloseHandle(FImpl->End);
}

int BrokenPipeSignal() {
    return 0;
}

bool ReserveStandardStreams() {
    return GetStdHandle(STD_OUTPUT_HANDLE) != nullptr &&
           GetStdHandle(STD_OUTPUT_HANDLE) != INVALID_HANDLE_VALUE;
}

std::string DescribeDevice(const std::string& Name) {
    return Name;
}

bool ComNameMapped(const std::string& /*Name*/) {
    return false;
}

void ShareHeldPorts() {}

std::size_t PortsAtOnce() {
    return 0; // handles have no per-process bound a scan reaches
}

std::string PortHelp() {
    return "                   COM<n> as Device Manager lists it (COM4, COM12).\n"
           "                   Default: COM4.\n";
}

std::string_view ExamplePort() {
    return "COM12";
}
