// Preloaded (LD_PRELOAD) into programs the benchmark runs on a pseudo-terminal that expect a
// serial line: gsmctl, gammu and libserialport read or set DTR and RTS, and give up when the
// terminal rejects those requests. For a terminal that rejects them, this library answers
// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC as a null-modem cable would (CTS, DSR and DCD
// on; DTR and RTS as last set). Every other request, and every terminal that answers them
// itself, goes to the real ioctl.
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <mutex>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <unordered_map>

namespace {

using IoctlCall = int (*)(int, unsigned long, ...);

constexpr int PeerLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
constexpr int OwnLines = TIOCM_DTR | TIOCM_RTS;

// DTR and RTS of each answered terminal, by descriptor.
struct AnsweredLines {
    std::mutex Lock;
    std::unordered_map<int, int> Lines;
};

AnsweredLines& Answered() {
    static AnsweredLines Instance;
    return Instance;
}

bool IsLineRequest(unsigned long Request) {
    return Request == TIOCMGET || Request == TIOCMSET || Request == TIOCMBIS || Request == TIOCMBIC;
}

int Answer(int Fd, unsigned long Request, int* Value) {
    if (Value == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const std::lock_guard Guard(Answered().Lock);
    auto [Entry, New] = Answered().Lines.try_emplace(Fd, OwnLines);
    int& Lines = Entry->second;
    switch (Request) {
    case TIOCMGET:
        *Value = PeerLines | Lines;
        break;
    case TIOCMSET:
        Lines = *Value & OwnLines;
        break;
    case TIOCMBIS:
        Lines |= *Value & OwnLines;
        break;
    default: // TIOCMBIC
        Lines &= ~(*Value & OwnLines);
        break;
    }
    return 0;
}

} // namespace

extern "C" int ioctl(int Fd, unsigned long Request, ...) {
    static const auto Real = reinterpret_cast<IoctlCall>(dlsym(RTLD_NEXT, "ioctl"));
    va_list Args;
    va_start(Args, Request);
    void* Arg = va_arg(Args, void*);
    va_end(Args);
    const int Result = Real(Fd, Request, Arg);
    if (Result == 0 || !IsLineRequest(Request) || (errno != ENOTTY && errno != EINVAL) ||
        isatty(Fd) == 0) {
        return Result;
    }
    return Answer(Fd, Request, static_cast<int*>(Arg));
}
