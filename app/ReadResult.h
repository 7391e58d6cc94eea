#pragma once
// What a read of one port came to: its outcome, the answers and refusals, and why it ended.

#include "app/PhoneExchange.h"
#include "app/PhoneQuery.h"
#include "serial/VaTypes.h"

#include <array>
#include <cstdint>
#include <string>

enum class TReadOutcome : std::uint8_t {
    roComplete,   // all seven answers read
    roPhoneError, // a command was refused (ERROR, +CME ERROR), or a reply came not in time,
                  // grew too long or lost characters
    roOpenFailed, // the port could not be opened
    roDeviceLost, // the port failed during the read (unplugged, the far end closed)
    roNoAnswer,   // handshake: nothing at all came back to "AT" in time
    roNotAPhone,  // text came back, but no result code (a GPS receiver's stream)
    roUnreadable, // bytes came back that form no text: the line speed may be another
    roStopped,    // the read was stopped before it ended (the program was interrupted)
};

struct TReadResult {
    TReadOutcome Outcome = TReadOutcome::roComplete;
    std::array<std::string, QueryCommands.size()> Answers; // filled up to Count
    // Per command up to Count: the message of its refusal, empty for one answered.
    std::array<std::string, QueryCommands.size()> Errors;
    std::size_t Count = 0; // the commands asked whose reply ended
    std::string Error;     // what ended the read early, empty when it went through
    // With roOpenFailed: why (ecOther for a failure that is no EVaCommError).
    TVaCommErrorCode OpenCode = TVaCommErrorCode::ecOther;
    std::string Device; // the device name tried ("COM4", "/dev/ttyUSB0")
    int Baudrate = 0;   // the line speed a search found answered; 0 when none did
    // What came of the reply that ended the read unanswered; of a search that found no
    // speed, the most telling of its speeds' (text, then unreadable bytes, then nothing).
    TSilence Silence = TSilence::siNothing;
    std::string Source; // where the answers came from when not the port: "ModemManager"
};
