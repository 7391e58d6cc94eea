#pragma once
// Any line speed, standard or not, through the kernel's termios2 interface. Kept apart from
// the C library's <termios.h>, whose declarations clash with the kernel's.

namespace kivo::posix {

// Sets input and output speed to Rate; 0 or the errno of the failure.
int SetLineSpeed(int Fd, unsigned Rate);

// The output speed of the line; 0 or the errno of the failure.
int GetLineSpeed(int Fd, unsigned& Rate);

} // namespace kivo::posix
