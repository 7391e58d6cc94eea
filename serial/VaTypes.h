#pragma once
// Types shared by every unit of the serial port component: the settings enumerations and
// their sets, the integer types of the stored form, the component's exception, the line
// status record and the handler types of its events.

#include "runtime/Classes.h"
#include "runtime/Sets.h"
#include "runtime/SysUtils.h"
#include "runtime/Thread.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Line speed: a named rate, or brUser for the number held in UserBaudrate.
enum TVaBaudrate : std::uint8_t {
    brUser,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};

// Parity bit: none, odd, even, always 1 (mark), always 0 (space).
enum TVaParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };

// Data bits per character: 4 to 8.
enum TVaDatabits : std::uint8_t { db4, db5, db6, db7, db8 };

// Stop bits: 1, 1.5 or 2.
enum TVaStopbits : std::uint8_t { sb1, sb15, sb2 };

// What drives DTR while the port is open: held low, held high, or the input flow control.
enum TVaControlDtr : std::uint8_t { dtrDisabled, dtrEnabled, dtrHandshake };

// What drives RTS: held low, held high, the input flow control, or raised while sending.
enum TVaControlRts : std::uint8_t { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };

// Input options: replace bytes received with an error by EventChars.ErrorChar; drop
// received zero bytes.
enum TVaCommOption : std::uint8_t { coErrorChar, coNullStrip };
// The set of TVaCommOption a port uses (Options).
using TVaCommOptions = TSet<TVaCommOption, std::uint8_t>;

// The device events a port watches (MonitorEvents), each with its handler: a break, a
// change of CTS, DSR, RI or RLSD (DCD), a line error, bytes received, the output sent,
// the event character received, a printer error, the input queue 80% full, and two
// driver-defined events.
enum TVaCommEvent : std::uint8_t {
    ceBreak,
    ceCts,
    ceDsr,
    ceError,
    ceRing,
    ceRlsd,
    ceRxChar,
    ceTxEmpty,
    ceRxFlag,
    cePErr,
    ceRx80Full,
    ceEvent1,
    ceEvent2
};
// The set of TVaCommEvent a port watches.
using TVaCommEvents = TSet<TVaCommEvent, std::uint16_t>;

// Integers of the stored form whose declared range is 0 to 2147483647; no setter tests it.
using TVaIntW = std::int32_t;
using TVaPortInt = std::int32_t;

// What made the component fail, as far as a program tells causes apart; the message says
// the rest.
enum class TVaCommErrorCode : std::uint8_t {
    ecOther,     // anything below, or a call the component refuses (the port is open...)
    ecNotFound,  // Open: no device at that name (nothing plugged in, a wrong name)
    ecBusy,      // Open: another program holds the device
    ecDenied,    // Open: the user may not open the device (its owner and permissions)
    ecNotSerial, // Open: the name opens something that is no serial port (a plain file)
    ecRefused,   // the open device refused a setting (line settings, queues, time-outs)
    ecLost,      // reading, writing or asking the line status failed: the device has gone
    ecOverrun    // WriteBuf: the write queue had no room within Buffers.WriteTimeout
};

// The one exception class of the component: a message naming what failed, mostly with
// the operating system's error code and text, and the cause (ecOther unless one is given).
class EVaCommError : public Exception {
public:
    // An error that says Message, caused as Code says.
    explicit EVaCommError(std::string Message, TVaCommErrorCode Code = TVaCommErrorCode::ecOther)
        : Exception(std::move(Message)), FCode(Code) {}
    // What made the component fail.
    [[nodiscard]] TVaCommErrorCode Code() const noexcept { return FCode; }

private:
    TVaCommErrorCode FCode;
};

// The largest input or output queue (Buffers.ReadSize, Buffers.WriteSize) that Open hands
// to the device: 16 MiB. Open refuses a negative or larger size with "Error initializing
// buffers", as a serial driver refuses a queue it cannot hold.
inline constexpr std::int32_t VaMaxQueueSize = 16 * 1024 * 1024;

// Received bytes.
using PVaData = const void*;

// The device's queue statistics: the lines that hold transmission and the bytes queued in
// each direction, under the names the platform gives them.
struct TVaCommStat {
    bool fCtsHold = false;      // output waits for CTS
    bool fDsrHold = false;      // output waits for DSR
    bool fRlsdHold = false;     // output waits for RLSD (DCD)
    bool fXoffHold = false;     // output waits: XOFF was received
    bool fXoffSent = false;     // output waits: XOFF was sent
    bool fEof = false;          // the end-of-file character was received
    bool fTxim = false;         // a character waits to be sent ahead of the queue
    std::uint32_t cbInQue = 0;  // bytes received and not read yet
    std::uint32_t cbOutQue = 0; // bytes written and not sent yet
};

// The line errors a device reports (TVaCommStatus.Errors, the Errors OnError receives),
// one bit each, as the platform numbers them (the Win32 CE_ flags).
enum TVaLineError : std::uint32_t {
    leRxOver = 0x0001,   // the input queue was full: received characters were dropped
    leOverrun = 0x0002,  // the device's own buffer overran: received characters were lost
    leRxParity = 0x0004, // a character arrived with a wrong parity bit
    leFrame = 0x0008,    // a character arrived with a framing error (a wrong speed)
    leBreak = 0x0010     // the line was held in break
};

// True when Errors holds any of the bits of Flags.
[[nodiscard]] constexpr bool HasLineError(std::uint32_t Errors, std::uint32_t Flags) {
    return (Errors & Flags) != 0;
}

// The line status: the device's error bits (TVaLineError) and its queue statistics.
struct TVaCommStatus {
    std::uint32_t Errors = 0; // TVaLineError bits
    TVaCommStat Stat{};       // the queues and what holds the output
};

// The Win32 EV_ bit that stands for each TVaCommEvent member, in member order: the masks
// that DispatchEvents takes and EventMask gives are made of these.
inline constexpr std::array<std::uint32_t, 13> VaEventBits{0x0040 /* ceBreak: EV_BREAK */,
                                                           0x0008 /* ceCts: EV_CTS */,
                                                           0x0010 /* ceDsr: EV_DSR */,
                                                           0x0080 /* ceError: EV_ERR */,
                                                           0x0100 /* ceRing: EV_RING */,
                                                           0x0020 /* ceRlsd: EV_RLSD */,
                                                           0x0001 /* ceRxChar: EV_RXCHAR */,
                                                           0x0004 /* ceTxEmpty: EV_TXEMPTY */,
                                                           0x0002 /* ceRxFlag: EV_RXFLAG */,
                                                           0x0200 /* cePErr: EV_PERR */,
                                                           0x0400 /* ceRx80Full: EV_RX80FULL */,
                                                           0x0800 /* ceEvent1: EV_EVENT1 */,
                                                           0x1000 /* ceEvent2: EV_EVENT2 */};

// The event mask bit of one member.
[[nodiscard]] constexpr std::uint32_t VaEventBit(TVaCommEvent Event) {
    return VaEventBits.at(static_cast<std::size_t>(Event));
}

// Handler types of the component's events; every handler gets the component as Sender.
using TVaCommRxCharEvent = TEventHandler<TObject* /*Sender*/, int /*Count*/>;
using TVaCommRxBufEvent = TEventHandler<TObject* /*Sender*/, PVaData /*Data*/, int /*Count*/>;
using TVaCommErrorEvent = TEventHandler<TObject* /*Sender*/, int /*Errors*/>;

// The member names of each enumeration in ordinal order, as the stored form writes them.
namespace VaTypeNames {
using namespace std::string_view_literals;
// The names of TVaBaudrate, TVaParity, TVaDatabits, TVaStopbits, TVaControlDtr,
// TVaControlRts, TVaCommOption, TVaCommEvent and TThreadPriority.
inline constexpr std::array Baudrate{"brUser"sv,  "br110"sv,    "br300"sv,    "br600"sv,
                                     "br1200"sv,  "br2400"sv,   "br4800"sv,   "br9600"sv,
                                     "br14400"sv, "br19200"sv,  "br38400"sv,  "br56000"sv,
                                     "br57600"sv, "br115200"sv, "br128000"sv, "br256000"sv};
inline constexpr std::array Parity{"paNone"sv, "paOdd"sv, "paEven"sv, "paMark"sv, "paSpace"sv};
inline constexpr std::array Databits{"db4"sv, "db5"sv, "db6"sv, "db7"sv, "db8"sv};
inline constexpr std::array Stopbits{"sb1"sv, "sb15"sv, "sb2"sv};
inline constexpr std::array ControlDtr{"dtrDisabled"sv, "dtrEnabled"sv, "dtrHandshake"sv};
inline constexpr std::array ControlRts{"rtsDisabled"sv, "rtsEnabled"sv, "rtsHandshake"sv,
                                       "rtsToggle"sv};
inline constexpr std::array CommOption{"coErrorChar"sv, "coNullStrip"sv};
inline constexpr std::array CommEvent{"ceBreak"sv,  "ceCts"sv,  "ceDsr"sv,      "ceError"sv,
                                      "ceRing"sv,   "ceRlsd"sv, "ceRxChar"sv,   "ceTxEmpty"sv,
                                      "ceRxFlag"sv, "cePErr"sv, "ceRx80Full"sv, "ceEvent1"sv,
                                      "ceEvent2"sv};
inline constexpr std::array ThreadPriority{"tpIdle"sv,        "tpLowest"sv, "tpLower"sv,
                                           "tpNormal"sv,      "tpHigher"sv, "tpHighest"sv,
                                           "tpTimeCritical"sv};
} // namespace VaTypeNames
