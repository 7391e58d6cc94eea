#pragma once
// The mapping of a device control block onto a terminal's termios settings.

#include "platform/posix/Win32Posix.h"

#include <termios.h>

namespace kivo::posix {

// Sets Settings to raw mode: bytes pass unchanged, no echo, no signals, no line editing, no
// output processing. With MarkErrors, receive errors and breaks are marked in the input
// (PARMRK). Marking sends every byte through the kernel's slow path, so it is only asked for
// where a line can garble bytes: not on a pseudo-terminal.
void MakeRaw(termios& Settings, bool MarkErrors);

// ERROR_SUCCESS when the line can take Dcb, else the reason (ERROR_INVALID_PARAMETER for
// what no terminal can do: 4 data bits, 1.5 stop bits, a rate of 0, RTS toggling).
DWORD CheckDcb(const DCB& Dcb);

// Writes the framing, parity and flow control of Dcb into Settings (which stays raw). The
// speed is set apart, through termios2.
void ApplyDcb(const DCB& Dcb, termios& Settings, bool MarkErrors);

// True when the terminal took the framing and flow control that Wanted asked for. A
// pseudo-terminal has no line to frame: it always reports 8 data bits without parity, so
// for one (HasLine false) those two are not compared.
bool SameLineSettings(const termios& Wanted, const termios& Actual, bool HasLine);

// True when Fd is the terminal side of a pseudo-terminal.
bool IsPseudoTerminal(int Fd);

// A control block describing the terminal's present settings.
DCB DcbFromTermios(const termios& Settings, DWORD BaudRate);

} // namespace kivo::posix
