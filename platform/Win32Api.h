#pragma once
// The Win32 serial and kernel calls the component is written against. On Windows they come
// from the system; on POSIX systems from KIVO's own implementation over termios and
// pthreads, with Windows' documented semantics.
//
// An internal header of KIVO's libraries, never installed: it makes the Win32 names global
// for the code written against them, which a header a library's user includes must not do.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/posix/Win32Posix.h"

using namespace kivo::posix;
#endif
