#include "tests/support/PtyPair.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const char* What) {
    throw std::system_error(errno, std::generic_category(), What);
}

bool WaitFor(int Fd, short Events, std::chrono::steady_clock::time_point Deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{Fd, Events, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            Fail("poll");
        }
    }
}

// A read that found nothing after all (another reader was first, or a signal came).
bool Retryable(ssize_t Result) {
    return Result < 0 && (errno == EAGAIN || errno == EINTR);
}

} // namespace

PtyPair::PtyPair() {
    // Non-blocking, so that a test never hangs writing to a terminal nobody reads.
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) {
        Fail("posix_openpt");
    }
    std::array<char, 64> Name{};
    if (::ptsname_r(FMaster, Name.data(), Name.size()) != 0) {
        Fail("ptsname_r");
    }
    FDevicePath = Name.data();
    // Raw on the master's view too, so test data passes unchanged in both directions.
    FKeepOpen = ::open(Name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FKeepOpen < 0) {
        Fail("open pty");
    }
    termios t{};
    if (::tcgetattr(FKeepOpen, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(FKeepOpen, TCSANOW, &t);
    }
}

PtyPair::~PtyPair() {
    if (FKeepOpen >= 0) {
        ::close(FKeepOpen);
    }
    if (FMaster >= 0) {
        ::close(FMaster);
    }
}

bool PtyPair::Send(std::string_view Data, std::chrono::milliseconds Timeout) const {
    auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!Data.empty()) {
        ssize_t n = ::write(FMaster, Data.data(), Data.size());
        if (n >= 0) {
            Data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            Fail("write to pty master");
        }
        if (!WaitFor(FMaster, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

std::string PtyPair::Receive(std::size_t Count, std::chrono::milliseconds Timeout) const {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (got.size() < Count && WaitFor(FMaster, POLLIN, deadline)) {
        char buf[4096];
        ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, Count - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        } else if (!Retryable(n)) {
            break;
        }
    }
    return got;
}

std::string PtyPair::ReceiveUntil(std::string_view Suffix,
                                  std::chrono::milliseconds Timeout) const {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!got.ends_with(Suffix) && WaitFor(FMaster, POLLIN, deadline)) {
        char c = 0;
        ssize_t n = ::read(FMaster, &c, 1);
        if (n == 1) {
            got.push_back(c);
        } else if (!Retryable(n)) {
            break;
        }
    }
    return got;
}

void PtyPair::HoldOutput(bool Held) const {
    // What tcflow does, without the C library's wrapper (which the checks list as unsafe).
    if (::ioctl(FKeepOpen, TCXONC, Held ? TCOOFF : TCOON) != 0) {
        Fail("suspend or resume output");
    }
}

void PtyPair::HangUp() {
    if (FKeepOpen >= 0) {
        ::close(FKeepOpen);
        FKeepOpen = -1;
    }
    if (FMaster >= 0) {
        ::close(FMaster);
        FMaster = -1;
    }
}

PtyFlood::PtyFlood(const PtyPair& Pty)
    : FSender([this, Master = Pty.MasterFd()] { Send(Master); }) {}

PtyFlood::~PtyFlood() {
    FStop = true;
    FSender.join();
}

void PtyFlood::Send(int Master) const {
    std::string Pattern;
    for (int I = 0; I < 16 * Period; ++I) {
        Pattern.push_back(static_cast<char>(I % Period));
    }
    std::size_t At = 0;
    while (!FStop) {
        const ssize_t Sent = ::write(Master, Pattern.data() + At, Pattern.size() - At);
        if (Sent > 0) {
            At = (At + static_cast<std::size_t>(Sent)) % Pattern.size();
        } else if (Sent < 0 && errno != EAGAIN && errno != EINTR) {
            return; // the master side is gone: the test has ended
        } else {
            // A full terminal: wait for room, looking at the stop request now and then.
            pollfd Room{Master, POLLOUT, 0};
            (void)::poll(&Room, 1, 20);
        }
    }
}

bool PtyFlood::Unbroken(std::string_view Got) {
    for (std::size_t I = 1; I < Got.size(); ++I) {
        const int Expected = (static_cast<unsigned char>(Got[I - 1]) + 1) % Period;
        if (static_cast<unsigned char>(Got[I]) != Expected) {
            return false;
        }
    }
    return true;
}
