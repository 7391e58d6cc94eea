#pragma once
// How a trace file is opened on this system (ExchangeTraceOpen_posix.cpp,
// ExchangeTraceOpen_win32.cpp): for writing, created or emptied, without waiting for a reader
// (a named pipe that no program reads fails at once instead of blocking the open).

#include <cstdio>
#include <string>

// The file at Path, open for writing; none, with Why saying what failed, when it cannot be.
// Any thread.
[[nodiscard]] std::FILE* OpenTraceForWriting(const std::string& Path, std::string& Why);
