#pragma once
// A port opened through the serial layer as the component configures it, for the benchmarks.

#include "platform/Win32Api.h"
#include "tests/support/PlainDcb.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace kivo::bench {

// The terminal side opened through the layer, configured as the component does.
// With Lossless, RTS/CTS handshaking: a full input queue holds the sender back instead of
// losing bytes, as it must for a throughput figure.
inline HANDLE OpenPort(const std::string& Path, DWORD InQueue, bool Lossless = false) {
    const HANDLE Port = CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (Port == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("CreateFileA failed");
    }
    DCB Dcb = kivo::test::PlainDcb();
    if (Lossless) {
        Dcb.fOutxCtsFlow = 1;
        Dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    COMMTIMEOUTS Timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetCommState(Port, &Dcb) || !SetupComm(Port, InQueue, 512) ||
        !SetCommTimeouts(Port, &Timeouts) || !SetCommMask(Port, EV_RXCHAR)) {
        throw std::runtime_error("configuring the port failed");
    }
    return Port;
}

// Reads everything queued on an overlapped port (its reads return at once).
inline std::size_t DrainPort(HANDLE Port, HANDLE Event, char* Buffer, std::size_t Size) {
    std::size_t Total = 0;
    for (;;) {
        OVERLAPPED Read{};
        Read.hEvent = Event;
        DWORD Got = 0;
        if (!ReadFile(Port, Buffer, static_cast<DWORD>(Size), &Got, &Read) || Got == 0) {
            return Total;
        }
        Total += Got;
    }
}

} // namespace kivo::bench
