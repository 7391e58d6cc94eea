// kivo-read's watch of serial devices on Linux: a thread waits in poll for the udev
// monitor's descriptor or for its own wake-up pipe, which its owner writes to end it.

#include "platform/posix/SerialPortMonitor.h"
#include "runtime/Thread.h"
#include "tools/PortArrivals.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {

using TOnChange = std::function<void(const std::string&)>;

// Waits for the monitor's descriptor only. The monitor is read on the main thread, in the
// hand-over, because the main thread lists the ports with libudev too, and libudev keeps
// state across the process that two threads must not use at once. The hand-over blocks this
// thread until the events are taken, so a readable descriptor is not polled again meanwhile.
class TArrivalWatcher : public TThread {
public:
    TArrivalWatcher(TSerialPortMonitor& Monitor, int Wake, TOnChange OnChange)
        : TThread(true), FMonitor(Monitor), FWake(Wake), FOnChange(std::move(OnChange)) {}
    ~TArrivalWatcher() override { TerminateAndWait(); }
    TArrivalWatcher(const TArrivalWatcher&) = delete;
    TArrivalWatcher& operator=(const TArrivalWatcher&) = delete;
    TArrivalWatcher(TArrivalWatcher&&) = delete;
    TArrivalWatcher& operator=(TArrivalWatcher&&) = delete;

protected:
    void Execute() override {
        std::array<pollfd, 2> Watch{{{FMonitor.Descriptor(), POLLIN, 0}, {FWake, POLLIN, 0}}};
        while (!Terminated()) {
            if (::poll(Watch.data(), Watch.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                const std::string Failure =
                    "Cannot wait for device events: " + std::system_category().message(errno);
                Synchronize([this, &Failure] { FOnChange(Failure); });
                return;
            }
            if (Watch[1].revents != 0) {
                return; // told to end
            }
            if (Watch[0].revents != 0) {
                Synchronize([this] {
                    if (FMonitor.Acknowledge()) {
                        FOnChange({});
                    }
                });
            }
        }
    }

private:
    TSerialPortMonitor& FMonitor;
    const int FWake;
    const TOnChange FOnChange;
};

} // namespace

struct TPortArrivals::TImpl {
    TSerialPortMonitor Monitor;
    std::array<int, 2> Wake{-1, -1};
    std::string Problem;
    std::unique_ptr<TArrivalWatcher> Watcher; // ends before the monitor and the pipe go

    TImpl() = default;
    ~TImpl() {
        if (Watcher) {
            Watcher->Terminate();
            Watcher->CancelSynchronize();
            const char End = 0;
            // A full pipe wakes the thread as well: the write's result changes nothing.
            [[maybe_unused]] const auto Written = ::write(Wake[1], &End, 1);
            Watcher.reset();
        }
        for (const int Fd : Wake) {
            if (Fd >= 0) {
                ::close(Fd);
            }
        }
    }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;
    TImpl(TImpl&&) = delete;
    TImpl& operator=(TImpl&&) = delete;
};

TPortArrivals::TPortArrivals(std::function<void(const std::string& Failure)> OnChange)
    : FImpl(std::make_unique<TImpl>()) {
    if (FImpl->Monitor.Descriptor() < 0) {
        FImpl->Problem = "Cannot watch for serial devices: udev is not available (no device "
                         "manager running), so no device's arrival can be seen";
        return;
    }
    if (::pipe2(FImpl->Wake.data(), O_CLOEXEC) != 0) {
        FImpl->Problem =
            "Cannot watch for serial devices: " + std::system_category().message(errno);
        return;
    }
    FImpl->Watcher =
        std::make_unique<TArrivalWatcher>(FImpl->Monitor, FImpl->Wake[0], std::move(OnChange));
    FImpl->Watcher->Resume();
}

TPortArrivals::~TPortArrivals() = default;

const std::string& TPortArrivals::Problem() const noexcept {
    return FImpl->Problem;
}
