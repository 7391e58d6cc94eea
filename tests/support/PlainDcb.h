#pragma once
// The plain line that tests and benchmarks set on a port before they use it: 19200 baud,
// 8 data bits, no parity, 1 stop bit, binary, no flow control of any kind, DTR and RTS off
// (the XON and XOFF characters set, though unused). A caller changes what it needs beyond
// that (DTR on, RTS handshaking) in the returned block.

#include "platform/Win32Api.h"

namespace kivo::test {

[[nodiscard]] inline DCB PlainDcb() {
    DCB Dcb{};
    Dcb.DCBlength = sizeof Dcb;
    Dcb.BaudRate = 19200;
    Dcb.fBinary = 1;
    Dcb.ByteSize = 8;
    Dcb.Parity = NOPARITY;
    Dcb.StopBits = ONESTOPBIT;
    Dcb.XonChar = 17;
    Dcb.XoffChar = 19;
    Dcb.XonLim = 128;
    Dcb.XoffLim = 128;
    return Dcb;
}

} // namespace kivo::test
