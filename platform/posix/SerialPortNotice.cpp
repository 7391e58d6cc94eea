// The notice of serial ports on Linux: a thread waits in poll for the udev monitor's
// descriptor or for its own wake-up pipe, which the destructor writes to end it. The monitor
// is read on the main thread, in the hand-over, since the main thread lists the ports with
// libudev too, and libudev keeps state that two threads must not use at once. The hand-over
// blocks the thread until the events are taken, so a readable descriptor is not polled again
// meanwhile.

#include "platform/SerialPortNotice.h"

#include "platform/posix/SerialPortMonitor.h"
#include "runtime/Thread.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {

using TOnChange = std::function<void(const std::string&)>;

class TNoticeThread : public TThread {
public:
    TNoticeThread(TSerialPortMonitor& Monitor, int Wake, TOnChange OnChange)
        : TThread(true), FMonitor(Monitor), FWake(Wake), FOnChange(std::move(OnChange)) {}
    ~TNoticeThread() override { TerminateAndWait(); }
    TNoticeThread(const TNoticeThread&) = delete;
    TNoticeThread& operator=(const TNoticeThread&) = delete;
    TNoticeThread(TNoticeThread&&) = delete;
    TNoticeThread& operator=(TNoticeThread&&) = delete;

protected:
    void Execute() override {
        std::array<pollfd, 2> Watch{{{FMonitor.Descriptor(), POLLIN, 0}, {FWake, POLLIN, 0}}};
        while (!Terminated()) {
            if (::poll(Watch.data(), Watch.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                const std::string Failure = "Cannot wait for serial port events from udev: " +
                                            std::system_category().message(errno);
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

struct TSerialPortNotice::TImpl {
    TSerialPortMonitor Monitor;
    std::array<int, 2> Wake{-1, -1};
    std::string Problem;
    std::unique_ptr<TNoticeThread> Thread; // ends before the monitor and the pipe go

    TImpl() = default;
    ~TImpl() {
        if (Thread) {
            Thread->Terminate();
            Thread->CancelSynchronize();
            const char End = 0;
            // A full pipe wakes the thread as well: the write's result changes nothing.
            [[maybe_unused]] const auto Written = ::write(Wake[1], &End, 1);
            Thread.reset();
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

TSerialPortNotice::TSerialPortNotice(std::function<void(const std::string& Failure)> OnChange)
    : FImpl(std::make_unique<TImpl>()) {
    if (FImpl->Monitor.Descriptor() < 0) {
        FImpl->Problem = "Cannot watch for serial ports: udev is not available (no device "
                         "manager running), so no port's arrival can be seen";
        return;
    }
    if (::pipe2(FImpl->Wake.data(), O_CLOEXEC) != 0) {
        FImpl->Problem = "Cannot watch for serial ports: " + std::system_category().message(errno);
        return;
    }
    FImpl->Thread =
        std::make_unique<TNoticeThread>(FImpl->Monitor, FImpl->Wake[0], std::move(OnChange));
    FImpl->Thread->Resume();
}

TSerialPortNotice::~TSerialPortNotice() = default;

const std::string& TSerialPortNotice::Problem() const noexcept {
    return FImpl->Problem;
}
