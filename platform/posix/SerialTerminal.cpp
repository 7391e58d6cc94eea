#include "platform/posix/SerialTerminal.h"

#include "platform/posix/BaudRate.h"
#include "platform/posix/LastError.h"
#include "platform/posix/LineConfig.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kivo::posix {
namespace {

// Opening a port node without hardware behind it fails with ENXIO or ENODEV: no such device.
DWORD OpenError(int Error) {
    if (Error == ENXIO || Error == ENODEV) {
        return ERROR_FILE_NOT_FOUND;
    }
    return static_cast<DWORD>(Error);
}

int OpenFlags(DWORD Access) {
    constexpr int Common = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    if ((Access & GENERIC_WRITE) != 0 && (Access & GENERIC_READ) == 0) {
        return Common | O_WRONLY;
    }
    return Common | O_RDWR;
}

// Claims the device for this handle: flock stops every other opener, root included;
// TIOCEXCL also stops programs that do not take the lock. A device whose driver knows no
// TIOCEXCL (ENOTTY, EINVAL: some drivers, emulated devices) is still held by the lock. The flag
// may already be set by another program (root may open such a device): then it is that
// program's, and only a flag this open set is cleared again on close.
DWORD ClaimExclusive(int Fd, bool& SetExclusive) {
    SetExclusive = false;
    if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? static_cast<DWORD>(EBUSY) : ErrnoOr(EBUSY);
    }
    int AlreadySet = 0;
    if (ioctl(Fd, TIOCGEXCL, &AlreadySet) == 0 && AlreadySet != 0) {
        return ERROR_SUCCESS;
    }
    // A kernel without TIOCGEXCL (before 3.8) cannot tell: the flag counts as not set.
    if (ioctl(Fd, TIOCEXCL) != 0) {
        return errno == ENOTTY || errno == EINVAL ? ERROR_SUCCESS : ErrnoOr(EIO);
    }
    SetExclusive = true;
    return ERROR_SUCCESS;
}

// Claims the terminal and makes it raw; Settings receives what it then uses.
DWORD PrepareTerminal(int Fd, bool MarkErrors, bool& SetExclusive, termios& Settings) {
    SetExclusive = false;
    // Every terminal answers tcgetattr (the tty core does, whatever the driver); that, not
    // isatty(), which preload libraries may answer for themselves, tells a terminal.
    if (tcgetattr(Fd, &Settings) != 0) {
        return errno == ENOTTY ? static_cast<DWORD>(ENOTTY) : ErrnoOr(EIO);
    }
    if (const DWORD Error = ClaimExclusive(Fd, SetExclusive); Error != ERROR_SUCCESS) {
        return Error;
    }
    MakeRaw(Settings, MarkErrors);
    if (tcsetattr(Fd, TCSANOW, &Settings) != 0 || tcgetattr(Fd, &Settings) != 0) {
        return ErrnoOr(EIO);
    }
    // Input that came before the open is dropped where the device can; one that cannot flush
    // works all the same, so the result is deliberately not looked at.
    (void)tcflush(Fd, TCIFLUSH);
    return ERROR_SUCCESS;
}

} // namespace

DWORD OpenTerminal(const std::string& Path, DWORD Access, OpenedTerminal& Terminal) {
    const int Fd = ::open(Path.c_str(), OpenFlags(Access));
    if (Fd < 0) {
        return OpenError(errno);
    }
    Terminal.Fd = Fd;
    Terminal.PseudoTerminal = IsPseudoTerminal(Fd);
    const DWORD Error =
        PrepareTerminal(Fd, !Terminal.PseudoTerminal, Terminal.SetExclusive, Terminal.Settings);
    if (Error != ERROR_SUCCESS) {
        ReleaseTerminal(Fd, Terminal.SetExclusive);
    }
    return Error;
}

unsigned LineSpeedOf(int Fd) {
    unsigned Rate = 0;
    if (GetLineSpeed(Fd, Rate) != 0) {
        return 0;
    }
    return Rate;
}

// Nothing is left to do when either fails: the descriptor is gone either way.
void ReleaseTerminal(int Fd, bool SetExclusive) {
    if (SetExclusive) {
        (void)ioctl(Fd, TIOCNXCL);
    }
    (void)::close(Fd);
}

} // namespace kivo::posix
