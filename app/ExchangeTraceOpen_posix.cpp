#include "app/ExchangeTraceOpen.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

std::FILE* OpenTraceForWriting(const std::string& Path, std::string& Why) {
    // O_NONBLOCK: opening a named pipe for writing waits for a reader, and SA_RESTART signal
    // handlers restart that wait; without the flag it fails with ENXIO instead.
    constexpr int Flags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    constexpr mode_t Mode = 0666;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): open's mode is variadic
    const int Fd = ::open(Path.c_str(), Flags, Mode);
    if (Fd < 0) {
        Why = errno == ENXIO ? "a named pipe that no program reads"
                             : std::generic_category().message(errno);
        return nullptr;
    }
    // Once open, lines are written as to any file: a pipe's reader takes them at its pace.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): fcntl is variadic
    const int Status = ::fcntl(Fd, F_GETFL);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    if (Status < 0 || ::fcntl(Fd, F_SETFL, Status & ~O_NONBLOCK) != 0) {
        Why = std::generic_category().message(errno);
        (void)::close(Fd);
        return nullptr;
    }
    std::FILE* File = ::fdopen(Fd, "w");
    if (File == nullptr) {
        Why = std::generic_category().message(errno);
        (void)::close(Fd);
    }
    return File;
}
