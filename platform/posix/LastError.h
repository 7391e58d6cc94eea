#pragma once
// How the device layer reports a failed call: the calling thread's last error, from errno
// where a system call failed.

#include "platform/posix/Win32Posix.h"

#include <cerrno>

namespace kivo::posix {

// Sets the calling thread's last error to Error and returns FALSE.
inline BOOL Refuse(DWORD Error) {
    SetLastError(Error);
    return FALSE;
}

// errno, or Fallback where a call failed without setting it.
inline DWORD ErrnoOr(DWORD Fallback) {
    return errno != 0 ? static_cast<DWORD>(errno) : Fallback;
}

} // namespace kivo::posix
