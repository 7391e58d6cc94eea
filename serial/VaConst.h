#pragma once
// The message formats of the serial port component. Most are filled by RaiseCommError
// with the operating system's error code (%d) and its text (%s).

namespace VaConst {

// A setting that needs a closed port was made on an open one.
inline constexpr const char* sPortOpen = "Can't perform this operation while port is open";
// Open: nothing answers to the name; can't open it; the system's reason after either.
inline constexpr const char* sDeviceNotFound = "Specified device not found (%s).";
inline constexpr const char* sCantOpenDevice = "Can't open specified device %s";
inline constexpr const char* sErrorDetail = " (Error %d, %s)";
// Open: the device refused the queue sizes, the time-outs, the event mask or the line
// settings.
inline constexpr const char* sInitBuffers = "Error initializing buffers (%d), %s";
inline constexpr const char* sSetTimeouts = "Error setting timeouts (%d), %s";
inline constexpr const char* sSetEventMask = " Error setting EventMask (%d), %s";
inline constexpr const char* sWriteDcb = "Error writing dcb (%d), %s";
// WriteBuf: the write queue had no room in time.
inline constexpr const char* sOutputBufferFull = "Output buffer is full. Please check comm status.";
// Writing, reading or asking the line status failed.
inline constexpr const char* sWriteError = "Write error (%d), %s";
inline constexpr const char* sReadError = "Read error (%d), %s";
inline constexpr const char* sRetrieveStatistics = "Error retrieving statistics (%d), %s";
// A block that cannot be read or written: a negative count, or no address for its bytes.
inline constexpr const char* sInvalidBlock = "Invalid data block of %d bytes";

// Line control: "Can't set DTR: /dev/ttyUSB0 is not open."; the others filled as above and
// followed by what the device refused.
inline constexpr const char* sPortNotOpen = "Can't %s: %s is not open.";
inline constexpr const char* sLineHandshake =
    "Can't set %s: the flow control of %s drives it (handshake).";
inline constexpr const char* sSetLine = "Error setting a modem line (%d), %s";
inline constexpr const char* sModemStatus = "Error reading the modem lines (%d), %s";
inline constexpr const char* sPurge = "Error discarding queued data (%d), %s";
inline constexpr const char* sDrain = "Error sending the output (%d), %s";
inline constexpr const char* sDrainTimeout =
    "%s did not send its output within %d ms (%d bytes left).";

} // namespace VaConst
