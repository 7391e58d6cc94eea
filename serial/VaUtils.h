#pragma once
// Small routines shared by the component's units: minimum, a tick-count timeout that
// survives the 32-bit wrap of the tick counter, and a mask test.

#include "platform/Win32Api.h"

#include <cstdint>

// The smaller of A and B (B when B is less than A, else A).
[[nodiscard]] std::int32_t MinInt(std::int32_t A, std::int32_t B);

// A time-out measured on the millisecond tick count.
struct TVaTimeout {
    DWORD StartTick = 0;
    DWORD Interval = 0;
};

// Starts T now with the given interval in milliseconds.
void StartTimeout(TVaTimeout& T, DWORD Interval);

// True when more than T.Interval milliseconds have passed since T.StartTick (equal is not
// yet expired); the elapsed time is taken modulo 2^32, so a wrapped tick count is right.
[[nodiscard]] bool TimeoutExpired(const TVaTimeout& T);
// The same test against a given tick count.
[[nodiscard]] bool TimeoutExpired(const TVaTimeout& T, DWORD Now);
// Milliseconds left before T expires at tick count Now; 0 once it has expired.
[[nodiscard]] DWORD TimeoutRemaining(const TVaTimeout& T, DWORD Now);

// True when Value and Mask share a bit other than bit 31 (their AND, read as a signed
// 32-bit number, is greater than 0).
[[nodiscard]] bool TestFlags(DWORD Value, DWORD Mask);
