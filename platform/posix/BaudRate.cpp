#include "platform/posix/BaudRate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int Fd, unsigned long Request, ...) noexcept;

namespace kivo::posix {

int SetLineSpeed(int Fd, unsigned Rate) {
    termios2 Settings{};
    if (ioctl(Fd, TCGETS2, &Settings) != 0) {
        return errno;
    }
    Settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    Settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    Settings.c_ispeed = Rate;
    Settings.c_ospeed = Rate;
    if (ioctl(Fd, TCSETS2, &Settings) != 0) {
        return errno;
    }
    return 0;
}

int GetLineSpeed(int Fd, unsigned& Rate) {
    termios2 Settings{};
    if (ioctl(Fd, TCGETS2, &Settings) != 0) {
        return errno;
    }
    Rate = Settings.c_ospeed;
    return 0;
}

} // namespace kivo::posix
