#pragma once
// A pseudo-terminal for the benchmarks: the master plays the device and sends what the
// program under measurement receives on the terminal side (Path()).

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace kivo::bench {

class Pty {
public:
    Pty() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        char Name[128] = {};
        if (ptsname_r(FMaster, Name, sizeof Name) != 0) {
            throw std::runtime_error("no pseudo-terminal name");
        }
        FPath = Name;
    }
    ~Pty() { close(FMaster); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    [[nodiscard]] int Master() const { return FMaster; }
    [[nodiscard]] const std::string& Path() const { return FPath; }
    void Send(const char* Data, std::size_t Size) const {
        while (Size > 0) {
            const ssize_t Written = write(FMaster, Data, Size);
            if (Written < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                throw std::runtime_error("write to master failed");
            }
            Data += Written;
            Size -= static_cast<std::size_t>(Written);
        }
    }

private:
    int FMaster = -1;
    std::string FPath;
};

// The terminal side opened raw, as a plain program does: non-blocking for one that polls,
// blocking for one that just reads.
inline int OpenRaw(const std::string& Path, bool Blocking = false) {
    const int Fd = open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | (Blocking ? 0 : O_NONBLOCK));
    if (Fd < 0) {
        throw std::runtime_error("cannot open " + Path);
    }
    termios Settings{};
    tcgetattr(Fd, &Settings);
    cfmakeraw(&Settings);
    tcsetattr(Fd, TCSANOW, &Settings);
    return Fd;
}

} // namespace kivo::bench
