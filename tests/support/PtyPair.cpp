#include "tests/support/PtyPair.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const char* What) {
    throw std::system_error(errno, std::generic_category(), What);
}

bool WaitReadable(int Fd, std::chrono::steady_clock::time_point Deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{Fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            Fail("poll");
        }
    }
}

} // namespace

PtyPair::PtyPair() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) {
        Fail("posix_openpt");
    }
    const char* name = ::ptsname(FMaster);
    if (name == nullptr) {
        Fail("ptsname");
    }
    FDevicePath = name;
    // Raw on the master's view too, so test data passes unchanged in both directions.
    FKeepOpen = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
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

void PtyPair::Send(std::string_view Data) const {
    while (!Data.empty()) {
        ssize_t n = ::write(FMaster, Data.data(), Data.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            Fail("write to pty master");
        }
        Data.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string PtyPair::Receive(std::size_t Count, std::chrono::milliseconds Timeout) const {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (got.size() < Count && WaitReadable(FMaster, deadline)) {
        char buf[4096];
        ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, Count - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string PtyPair::ReceiveUntil(std::string_view Suffix,
                                  std::chrono::milliseconds Timeout) const {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!got.ends_with(Suffix) && WaitReadable(FMaster, deadline)) {
        char c = 0;
        if (::read(FMaster, &c, 1) != 1) {
            break;
        }
        got.push_back(c);
    }
    return got;
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
