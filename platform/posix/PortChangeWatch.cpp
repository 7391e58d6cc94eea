// The notice of serial ports on Linux: Run waits in poll for the udev monitor's descriptor or
// for the watch's own wake-up pipe, which Stop writes to. The monitor is read in Acknowledge,
// on the thread that lists the ports, and Run polls again only once Changed has returned, so
// a readable descriptor is not polled again meanwhile.

#include "platform/PortChangeWatch.h"

#include "platform/posix/SerialPortMonitor.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

struct TPortChangeWatch::TImpl {
    TSerialPortMonitor Monitor;
    std::array<int, 2> Wake{-1, -1};
    std::string Problem;

    TImpl() {
        if (Monitor.Descriptor() < 0) {
            Problem = "Cannot watch for serial ports: udev is not available (no device "
                      "manager running), so no port's arrival can be seen";
        } else if (::pipe2(Wake.data(), O_CLOEXEC) != 0) {
            Problem = "Cannot watch for serial ports: " + std::system_category().message(errno);
        }
    }
    ~TImpl() {
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

TPortChangeWatch::TPortChangeWatch() : FImpl(std::make_unique<TImpl>()) {}

TPortChangeWatch::~TPortChangeWatch() = default;

std::string TPortChangeWatch::Run(const TStarted& Started, const TChanged& Changed) {
    Started(FImpl->Problem);
    if (!FImpl->Problem.empty()) {
        return {};
    }
    std::array<pollfd, 2> Watch{
        {{FImpl->Monitor.Descriptor(), POLLIN, 0}, {FImpl->Wake[0], POLLIN, 0}}};
    while (true) {
        if (::poll(Watch.data(), Watch.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return "Cannot wait for serial port events from udev: " +
                   std::system_category().message(errno);
        }
        if (Watch[1].revents != 0) {
            return {}; // stopped; the byte stays, so a later Run ends at once too
        }
        if (Watch[0].revents != 0) {
            Changed();
        }
    }
}

void TPortChangeWatch::Stop() noexcept {
    if (FImpl->Wake[1] >= 0) {
        const char End = 0;
        // A full pipe wakes Run as well: the write's result changes nothing.
        [[maybe_unused]] const auto Written = ::write(FImpl->Wake[1], &End, 1);
    }
}

bool TPortChangeWatch::Acknowledge() {
    return FImpl->Monitor.Acknowledge();
}
