#include "serial/VaUtils.h"

std::int32_t MinInt(std::int32_t A, std::int32_t B) {
    return B < A ? B : A;
}

void StartTimeout(TVaTimeout& T, DWORD Interval) {
    T.StartTick = GetTickCount();
    T.Interval = Interval;
}

bool TimeoutExpired(const TVaTimeout& T) {
    return TimeoutExpired(T, GetTickCount());
}

bool TimeoutExpired(const TVaTimeout& T, DWORD Now) {
    const DWORD Elapsed = Now - T.StartTick; // unsigned: modulo 2^32
    return Elapsed > T.Interval;
}

DWORD TimeoutRemaining(const TVaTimeout& T, DWORD Now) {
    const DWORD Elapsed = Now - T.StartTick;
    return Elapsed >= T.Interval ? 0 : T.Interval - Elapsed;
}

bool TestFlags(DWORD Value, DWORD Mask) {
    return static_cast<std::int32_t>(Value & Mask) > 0;
}
