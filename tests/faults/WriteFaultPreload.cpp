// Preloaded (LD_PRELOAD) by the fault tests into a program under test: writes to terminals
// fail as they do on a device that has gone wrong, with the errno that
// KIVO_FAULT_WRITE_ERRNO names, once the first KIVO_FAULT_WRITE_AFTER of them (default none)
// have gone through. A pseudo-terminal cannot be made to fail a write with anything but EIO;
// real drivers also say ENODEV, ENXIO or EPIPE. Every other descriptor, and every process
// without the variable, writes as usual. A test aid, never part of the product.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using WriteCall = ssize_t (*)(int, const void*, size_t);

long NumberFrom(const char* Name) {
    // Read once, at the first write; the programs under test never set their environment.
    const char* Text = std::getenv(Name); // NOLINT(concurrency-mt-unsafe)
    return Text != nullptr ? std::strtol(Text, nullptr, 10) : 0;
}

struct Fault {
    const int Errno = static_cast<int>(NumberFrom("KIVO_FAULT_WRITE_ERRNO")); // 0: none
    const long After = NumberFrom("KIVO_FAULT_WRITE_AFTER"); // terminal writes that still pass
    // The next definition of write after this library's: the C library's, or a sanitizer's
    // that leads there.
    const WriteCall Real = reinterpret_cast<WriteCall>(dlsym(RTLD_NEXT, "write"));
    std::atomic<long> Passed{0};
};

Fault& TheFault() {
    static Fault Instance;
    return Instance;
}

bool IsTerminal(int Fd) {
    const int Saved = errno;
    termios Settings{};
    const bool Terminal = ioctl(Fd, TCGETS, &Settings) == 0;
    errno = Saved; // a descriptor that is no terminal is no error of the write
    return Terminal;
}

} // namespace

extern "C" ssize_t write(int Fd, const void* Data, size_t Count) {
    Fault& F = TheFault();
    if (F.Errno != 0 && IsTerminal(Fd) && F.Passed.fetch_add(1) >= F.After) {
        errno = F.Errno;
        return -1;
    }
    return F.Real(Fd, Data, Count);
}
