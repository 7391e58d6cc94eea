#pragma once
// The phone query without any window: the seven identification commands, the reply of one
// AT exchange as it accumulates, the answer taken from it, and the texts shown for failed
// exchanges. Shared by the window and the command-line reader.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One row of the command table: what is written and the label of the field it fills.
struct TQueryCommand {
    std::string_view Text;  // written as it stands, "AT+CGMI\r\n"
    std::string_view Field; // the name of the result field, "edCGMI"
    std::string_view Label; // the field's label, "Phone Manufacturer:"
    std::string_view Key;   // the command's short name, "CGMI"
};

inline constexpr std::array<TQueryCommand, 7> QueryCommands{{
    {"AT+CGMI\r\n", "edCGMI", "Phone Manufacturer:", "CGMI"},
    {"AT+CGMM\r\n", "edCGMM", "Phone Model:", "CGMM"},
    {"AT+CGMR\r\n", "edCGMR", "Phone Revision:", "CGMR"},
    {"AT+GMI\r\n", "edGMI", "Modem Manufacturer:", "GMI"},
    {"AT+GMM\r\n", "edGMM", "Modem Model:", "GMM"},
    {"AT+GMR\r\n", "edGMR", "Modem Revision:", "GMR"},
    {"AT+CGSN\r\n", "edCGSN", "Serial Number:", "CGSN"},
}};

// How long a reply may take, counted from the moment its command was written.
inline constexpr int ReplyTimeoutMs = 5000;
// The most reply text kept while waiting for a final result code.
inline constexpr std::size_t MaxReplyLength = std::size_t{64} * 1024;

inline constexpr std::string_view TimeoutMessage = "ERROR: No answer from phone (timeout).";
inline constexpr std::string_view InvalidCommandMessage = "ERROR: Invalid AT command.";
// The phone answered, but no final result code came within MaxReplyLength characters.
inline constexpr std::string_view ReplyTooLongMessage =
    "ERROR: Reply too long (no result code within 64 KiB).";
// The port reported that received characters were lost (its queue or the device's own
// buffer overflowed): whatever arrived is incomplete, so it is no answer.
inline constexpr std::string_view OverrunMessage =
    "ERROR: Received characters were lost (receive overrun).";

// The message for a device that failed during a read (unplugged): its name and the reason.
[[nodiscard]] std::string DeviceLostMessage(std::string_view Device, std::string_view Reason);

// True when the error bits a port reports (ClearCommError's CE_ bits, as OnError receives
// them) say that received characters were lost.
[[nodiscard]] bool IsReceiveOverrun(int Errors);

// True when Line, trimmed, is an unsolicited result code a phone or modem may send at any
// time ("RING", "+CREG: 1", "^RSSI:18"): never part of an answer.
[[nodiscard]] bool IsUnsolicitedLine(std::string_view Line);

// The text of a numeric equipment error code; empty for a code without one.
[[nodiscard]] std::string_view CmeErrorText(std::int64_t Code);

// The message shown for the text that followed "+CME ERROR:" on its line: a decimal code
// gives "+CME ERROR 10: SIM not inserted.", anything else "+CME ERROR: <text>.".
[[nodiscard]] std::string CmeErrorMessage(std::string_view Detail);

// Removes leading and trailing blanks and control characters.
[[nodiscard]] std::string_view TrimLine(std::string_view Line);

enum class TReplyStatus : std::uint8_t {
    rsPending,  // no final result code yet
    rsOk,       // ended with OK; Answer() holds the answer
    rsError,    // ended with ERROR
    rsCmeError, // ended with an equipment error
    rsOverflow, // grew past MaxReplyLength without a final result code
};

// The reply to one command. Received chunks are appended in arrival order; the reply ends at
// the first complete line that is a final result code ("OK", "ERROR" or "+CME ERROR: ...").
// Lines end at CR LF, a lone CR or a lone LF. Unsolicited result codes are dropped wherever
// they come. Used on one thread at a time.
class TReplyParser {
public:
    // Command: what was written, with or without its line end; its echo is not an answer.
    explicit TReplyParser(std::string_view Command = {});

    // Appends a chunk and returns the status; nothing changes once the reply has ended.
    TReplyStatus Append(std::string_view Chunk);

    [[nodiscard]] TReplyStatus Status() const { return FStatus; }
    [[nodiscard]] bool Ended() const { return FStatus != TReplyStatus::rsPending; }
    // Everything received for this command, in arrival order.
    [[nodiscard]] const std::string& Response() const { return FResponse; }
    // After OK: the answer lines (echo, unsolicited codes and empty lines dropped, each
    // trimmed) joined by blanks.
    [[nodiscard]] const std::string& Answer() const { return FAnswer; }
    // After a failure: the message to show the user.
    [[nodiscard]] std::string ErrorMessage() const;

private:
    void ScanCompleteLines();
    bool HandleLine(std::string_view Line);
    [[nodiscard]] bool IsEcho(std::string_view Line) const;

    std::string FCommand;
    std::string FResponse;
    std::size_t FScanned = 0; // FResponse up to here is split into lines already
    std::string FAnswer;
    std::string FCmeDetail;
    TReplyStatus FStatus = TReplyStatus::rsPending;
};
