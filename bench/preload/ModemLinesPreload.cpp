// Preloaded (LD_PRELOAD) into programs that expect a serial line where a pseudo-terminal
// stands in for one, which has no modem lines and rejects the requests for them (ENOTTY):
// - Wine, when the Windows tests run on ptys: its serial driver asks the device for its
//   modem lines (TIOCMGET) and interrupt counters (TIOCGICOUNT) while a WaitCommEvent is
//   pending, and aborts the wait (ERROR_OPERATION_ABORTED) when the ioctl fails, so on a pty
//   it could never report EV_RXCHAR;
// - the programs the benchmark runs beside KIVO (gsmctl, gammu, libserialport), which read
//   or set DTR and RTS and give up when the terminal rejects that.
// This library answers those requests for terminals that refuse them: the lines a
// null-modem cable would show (CTS, DSR and DCD on), DTR and RTS as last set, and counters
// that never move. Every other request, and every device that answers itself, goes to the
// real ioctl. A test and benchmark aid, never part of the product; built by bench/preload's
// CMakeLists.txt and by the Windows test scripts (scripts/windows).
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <linux/serial.h>
#include <mutex>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

IoctlFn RealIoctl() {
    static const auto Real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return Real;
}

constexpr int TrackedFds = 4096;
constexpr int AlwaysOnLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
constexpr int SettableLines = TIOCM_DTR | TIOCM_RTS;

// The DTR and RTS state of each emulated terminal, by descriptor.
class OutputLines {
public:
    int Get(int Fd) {
        std::lock_guard Lock(FMutex);
        return Slot(Fd);
    }
    void Update(int Fd, int Set, int Clear) {
        std::lock_guard Lock(FMutex);
        int& Lines = Slot(Fd);
        Lines = (Lines | (Set & SettableLines)) & ~(Clear & SettableLines);
    }

private:
    int& Slot(int Fd) { return FLines.at(static_cast<std::size_t>(Fd) % TrackedFds); }
    std::mutex FMutex;
    std::array<int, TrackedFds> FLines{};
};

OutputLines& Lines() {
    static OutputLines Instance;
    return Instance;
}

bool IsModemRequest(unsigned long Request) {
    return Request == TIOCMGET || Request == TIOCMSET || Request == TIOCMBIS ||
           Request == TIOCMBIC || Request == TIOCGICOUNT;
}

int Emulate(int Fd, unsigned long Request, void* Arg) {
    if (Arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    switch (Request) {
    case TIOCMGET:
        *static_cast<int*>(Arg) = AlwaysOnLines | Lines().Get(Fd);
        return 0;
    case TIOCMSET:
        Lines().Update(Fd, *static_cast<int*>(Arg), SettableLines);
        return 0;
    case TIOCMBIS:
        Lines().Update(Fd, *static_cast<int*>(Arg), 0);
        return 0;
    case TIOCMBIC:
        Lines().Update(Fd, 0, *static_cast<int*>(Arg));
        return 0;
    default: // TIOCGICOUNT
        std::memset(Arg, 0, sizeof(serial_icounter_struct));
        return 0;
    }
}

} // namespace

extern "C" int ioctl(int Fd, unsigned long Request, ...) {
    va_list Args;
    va_start(Args, Request);
    void* Arg = va_arg(Args, void*);
    va_end(Args);

    const int Result = RealIoctl()(Fd, Request, Arg);
    if (Result == 0 || !IsModemRequest(Request)) {
        return Result;
    }
    const int Error = errno;
    if ((Error != ENOTTY && Error != EINVAL) || isatty(Fd) == 0) {
        errno = Error;
        return Result;
    }
    return Emulate(Fd, Request, Arg);
}
