#pragma once
// Opening a serial device's terminal for exclusive use, in raw mode, and giving it back.

#include "platform/posix/Win32Posix.h"

#include <string>
#include <termios.h>

namespace kivo::posix {

struct OpenedTerminal {
    int Fd = -1;
    bool PseudoTerminal = false;
    bool SetExclusive = false; // this open set the device's TIOCEXCL
    termios Settings{};        // what the terminal uses now
};

// Opens the device at Path as Access asks (GENERIC_READ, GENERIC_WRITE), claims it and makes
// it raw; ERROR_SUCCESS, or why not (nothing is left open then).
DWORD OpenTerminal(const std::string& Path, DWORD Access, OpenedTerminal& Terminal);

// Gives back the exclusive flag if this open set it, and closes the descriptor.
void ReleaseTerminal(int Fd, bool SetExclusive);

// The line's speed; a driver that does not answer TCGETS2 gives 0 (not known).
unsigned LineSpeedOf(int Fd);

} // namespace kivo::posix
