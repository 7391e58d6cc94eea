#include "platform/posix/ModemLines.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <linux/serial.h>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>

namespace kivo::posix {
namespace {

// TIOCMIWAIT sleeps in the kernel until a line changes and cannot be woken otherwise, so a
// waiting thread is interrupted by this signal, whose handler does nothing.
int InterruptSignal() {
    static const int Signal = [] {
        const int Chosen = SIGRTMIN + 4;
        struct sigaction Action {};
        Action.sa_handler = [](int) {};
        sigemptyset(&Action.sa_mask);
        Action.sa_flags = 0; // no SA_RESTART: the ioctl returns EINTR
        // Fails only for an invalid signal number, and SIGRTMIN + 4 is a valid one.
        (void)sigaction(Chosen, &Action, nullptr);
        return Chosen;
    }();
    return Signal;
}

class DeviceLineSource final : public LineSource {
public:
    explicit DeviceLineSource(int Fd) : FFd(Fd) {}

    bool GetLines(int& Lines) override { return ioctl(FFd, TIOCMGET, &Lines) == 0; }

    bool SetLines(int Set, int Clear) override {
        const bool SetOk = Set == 0 || ioctl(FFd, TIOCMBIS, &Set) == 0;
        const bool ClearOk = Clear == 0 || ioctl(FFd, TIOCMBIC, &Clear) == 0;
        return SetOk && ClearOk;
    }

    // A pseudo-terminal takes the break too (and sends nothing).
    bool SetBreak(bool On) override { return ioctl(FFd, On ? TIOCSBRK : TIOCCBRK) == 0; }

    bool GetCounters(LineCounters& Counters) override {
        serial_icounter_struct Kernel{};
        if (ioctl(FFd, TIOCGICOUNT, &Kernel) != 0) {
            return false;
        }
        Counters.Frame = static_cast<unsigned>(Kernel.frame);
        Counters.Parity = static_cast<unsigned>(Kernel.parity);
        Counters.Overrun = static_cast<unsigned>(Kernel.overrun);
        Counters.BufOverrun = static_cast<unsigned>(Kernel.buf_overrun);
        Counters.Break = static_cast<unsigned>(Kernel.brk);
        return true;
    }

    bool WaitForChange() override {
        InterruptSignal();
        {
            const std::lock_guard Guard(FLock);
            if (FInterrupted) {
                return false;
            }
            FInside = true;
            FWaiter = pthread_self();
        }
        const int Result = ioctl(FFd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
        const std::lock_guard Guard(FLock);
        FInside = false;
        FLeft.notify_all();
        return Result == 0 && !FInterrupted;
    }

    void Interrupt() override {
        std::unique_lock Lock(FLock);
        FInterrupted = true;
        // A signal sent just before the waiter enters the kernel is lost; send it again.
        while (FInside) {
            // The waiter is inside (FInside), so it exists: the signal cannot fail.
            (void)pthread_kill(FWaiter, InterruptSignal());
            FLeft.wait_for(Lock, std::chrono::milliseconds(10));
        }
    }

private:
    const int FFd;
    std::mutex FLock;
    std::condition_variable FLeft;
    bool FInterrupted = false;
    bool FInside = false;
    pthread_t FWaiter{};
};

} // namespace

bool LineSource::SetBreak(bool /*On*/) {
    errno = ENOTTY;
    return false;
}

std::shared_ptr<LineSource> MakeDeviceLineSource(int Fd) {
    return std::make_shared<DeviceLineSource>(Fd);
}

} // namespace kivo::posix
