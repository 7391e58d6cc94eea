#include "platform/posix/DriverLoop.h"

#include "platform/posix/LastError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace kivo::posix {

DWORD DriverLoop::Open(int Device, Descriptors& Fds) {
    int Wake[2] = {-1, -1};
    if (pipe2(Wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        return ErrnoOr(EMFILE);
    }
    const int Poll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event WakeEvent{.events = EPOLLIN, .data = {.fd = Wake[0]}};
    epoll_event DeviceEvent{.events = 0, .data = {.fd = Device}};
    if (Poll < 0 || epoll_ctl(Poll, EPOLL_CTL_ADD, Wake[0], &WakeEvent) != 0 ||
        epoll_ctl(Poll, EPOLL_CTL_ADD, Device, &DeviceEvent) != 0) {
        const DWORD Error = ErrnoOr(EMFILE);
        // Descriptors of a failed open: freed even when close reports an error.
        if (Poll >= 0) {
            (void)::close(Poll);
        }
        (void)::close(Wake[0]);
        (void)::close(Wake[1]);
        return Error;
    }
    Fds = {.Poll = Poll, .WakeRead = Wake[0], .WakeWrite = Wake[1]};
    return ERROR_SUCCESS;
}

void DriverLoop::Start() {
    FThread = std::thread([this] { Loop(); });
}

void DriverLoop::Join() {
    if (FThread.joinable()) {
        FThread.join();
    }
}

// Closing a descriptor frees it even when close reports an error; there is nothing to retry.
void DriverLoop::CloseDescriptors() const {
    (void)::close(FFds.Poll);
    (void)::close(FFds.WakeRead);
    (void)::close(FFds.WakeWrite);
}

void DriverLoop::Wake() const {
    const char Byte = 0;
    // A full pipe (EAGAIN) means the driver is woken already; the pipe lives as long as the
    // device, so nothing else can fail.
    [[maybe_unused]] const auto Ignored = ::write(FFds.WakeWrite, &Byte, 1);
}

void DriverLoop::DrainWakeups() const {
    char Drain[64];
    // Until the pipe is empty (EAGAIN); a wake-up left over would only cost one more round.
    while (::read(FFds.WakeRead, Drain, sizeof Drain) > 0) {
    }
}

bool DriverLoop::Arm(bool Input, bool Output) {
    const std::uint32_t Wanted = (Input ? EPOLLIN : 0U) | (Output ? EPOLLOUT : 0U);
    if (Wanted == FArmed) {
        return true;
    }
    epoll_event Event{.events = Wanted, .data = {.fd = FState.Fd}};
    if (epoll_ctl(FFds.Poll, EPOLL_CTL_MOD, FState.Fd, &Event) != 0) {
        return false;
    }
    FArmed = Wanted;
    return true;
}

bool DriverLoop::WatchesInput() const {
    return (FArmed & EPOLLIN) != 0;
}

int DriverLoop::PollTimeout(SerialClock::time_point Now) const {
    const auto Next = FDevice.NextDeadline();
    if (!Next) {
        return -1;
    }
    if (*Next <= Now) {
        return 0;
    }
    const auto Wait = std::chrono::ceil<std::chrono::milliseconds>(*Next - Now);
    return static_cast<int>(std::min<long long>(Wait.count(), 1000LL * 60 * 60));
}

// Runs until the device is closed or has failed; after a failure nothing can be pending
// (every later operation completes at once), so there is nothing left to drive.
void DriverLoop::Loop() {
    std::unique_lock Lock(FLock);
    while (!FState.Stopping && FState.Failure == ERROR_SUCCESS) {
        FDevice.Rearm();
        const int Timeout = PollTimeout(SerialClock::now());
        Lock.unlock();
        epoll_event Ready[2]{};
        const int Count = ::epoll_wait(FFds.Poll, Ready, 2, Timeout);
        if (Count < 0 && errno != EINTR) {
            const auto Error = static_cast<DWORD>(errno);
            Lock.lock();
            FDevice.Fail(Error);
            continue;
        }
        std::uint32_t Seen = 0;
        for (int Each = 0; Each < Count; ++Each) {
            if (Ready[Each].data.fd == FFds.WakeRead) {
                DrainWakeups();
            } else {
                Seen = Ready[Each].events;
            }
        }
        Lock.lock();
        constexpr std::uint32_t HangUp = EPOLLHUP | EPOLLERR;
        FDevice.Serve({.Input = (Seen & EPOLLIN) != 0,
                       .HangUp = (Seen & HangUp) != 0,
                       .Output = (Seen & EPOLLOUT) != 0});
    }
}

} // namespace kivo::posix
