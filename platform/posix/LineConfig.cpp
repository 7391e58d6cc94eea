#include "platform/posix/LineConfig.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kivo::posix {
namespace {

constexpr tcflag_t FramingFlags = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;

tcflag_t CharacterSize(BYTE ByteSize) {
    switch (ByteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t ParityFlags(BYTE Parity) {
    switch (Parity) {
    case ODDPARITY:
        return PARENB | PARODD;
    case EVENPARITY:
        return PARENB;
    case MARKPARITY:
        return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

BYTE ParityOf(tcflag_t Flags) {
    if ((Flags & PARENB) == 0) {
        return NOPARITY;
    }
    const bool Odd = (Flags & PARODD) != 0;
    if ((Flags & CMSPAR) != 0) {
        return Odd ? MARKPARITY : SPACEPARITY;
    }
    return Odd ? ODDPARITY : EVENPARITY;
}

BYTE ByteSizeOf(tcflag_t Flags) {
    switch (Flags & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

void MakeRaw(termios& Settings, bool MarkErrors) {
    Settings.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                               IXON | IXOFF | IXANY | IMAXBEL | INPCK);
    if (MarkErrors) {
        Settings.c_iflag |= PARMRK;
    }
    Settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    Settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG |
                                               IEXTEN | NOFLSH | TOSTOP);
    Settings.c_cflag |= CREAD | CLOCAL;
    Settings.c_cc[VMIN] = 1;
    Settings.c_cc[VTIME] = 0;
}

DWORD CheckDcb(const DCB& Dcb) {
    const bool SizeOk = Dcb.ByteSize >= 5 && Dcb.ByteSize <= 8;
    const bool ParityOk = Dcb.Parity <= SPACEPARITY;
    const bool StopOk = Dcb.StopBits == ONESTOPBIT || Dcb.StopBits == TWOSTOPBITS;
    const bool RtsOk = Dcb.fRtsControl != RTS_CONTROL_TOGGLE;
    const bool DtrOk = Dcb.fDtrControl <= DTR_CONTROL_HANDSHAKE;
    const bool XonXoffOk = (Dcb.fOutX == 0 && Dcb.fInX == 0) || Dcb.XonChar != Dcb.XoffChar;
    const bool Ok =
        Dcb.BaudRate != 0 && SizeOk && ParityOk && StopOk && RtsOk && DtrOk && XonXoffOk;
    return Ok ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

void ApplyDcb(const DCB& Dcb, termios& Settings, bool MarkErrors) {
    MakeRaw(Settings, MarkErrors);
    Settings.c_cflag &= ~FramingFlags;
    Settings.c_cflag |= CharacterSize(Dcb.ByteSize) | ParityFlags(Dcb.Parity);
    if (Dcb.StopBits == TWOSTOPBITS) {
        Settings.c_cflag |= CSTOPB;
    }
    // The kernel has one switch for both directions of RTS/CTS handshaking.
    if (Dcb.fOutxCtsFlow != 0 || Dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        Settings.c_cflag |= CRTSCTS;
    }
    if (Dcb.fParity != 0) {
        Settings.c_iflag |= INPCK;
    }
    if (Dcb.fOutX != 0) {
        Settings.c_iflag |= IXON;
    }
    if (Dcb.fInX != 0) {
        Settings.c_iflag |= IXOFF;
    }
    Settings.c_cc[VSTART] = static_cast<cc_t>(Dcb.XonChar);
    Settings.c_cc[VSTOP] = static_cast<cc_t>(Dcb.XoffChar);
}

bool SameLineSettings(const termios& Wanted, const termios& Actual, bool HasLine) {
    constexpr tcflag_t InputFlags = INPCK | IXON | IXOFF | PARMRK;
    const tcflag_t Compared = HasLine ? FramingFlags : FramingFlags & ~(CSIZE | PARENB);
    return (Wanted.c_cflag & Compared) == (Actual.c_cflag & Compared) &&
           (Wanted.c_iflag & InputFlags) == (Actual.c_iflag & InputFlags);
}

bool IsPseudoTerminal(int Fd) {
    constexpr unsigned FirstPtySlaveMajor = 136; // Unix98 pseudo-terminal slaves: 136 to 143
    constexpr unsigned LastPtySlaveMajor = 143;
    struct stat Info {};
    if (fstat(Fd, &Info) != 0 || !S_ISCHR(Info.st_mode)) {
        return false;
    }
    const unsigned Major = major(Info.st_rdev);
    return Major >= FirstPtySlaveMajor && Major <= LastPtySlaveMajor;
}

DCB DcbFromTermios(const termios& Settings, DWORD BaudRate) {
    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    Dcb.BaudRate = BaudRate;
    Dcb.fBinary = 1;
    Dcb.fParity = (Settings.c_iflag & INPCK) != 0 ? 1 : 0;
    const bool Rtscts = (Settings.c_cflag & CRTSCTS) != 0;
    Dcb.fOutxCtsFlow = Rtscts ? 1 : 0;
    Dcb.fRtsControl = Rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    Dcb.fOutX = (Settings.c_iflag & IXON) != 0 ? 1 : 0;
    Dcb.fInX = (Settings.c_iflag & IXOFF) != 0 ? 1 : 0;
    Dcb.ByteSize = ByteSizeOf(Settings.c_cflag);
    Dcb.Parity = ParityOf(Settings.c_cflag);
    Dcb.StopBits = (Settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    Dcb.XonChar = static_cast<char>(Settings.c_cc[VSTART]);
    Dcb.XoffChar = static_cast<char>(Settings.c_cc[VSTOP]);
    return Dcb;
}

} // namespace kivo::posix
