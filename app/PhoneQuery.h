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

// The reply timer's period: the longest a phone may stay silent, from a command's write to
// the first character of its reply, and from one piece of the reply to the next.
inline constexpr int ReplyTimeoutMs = 5000;
// A reply that keeps coming without a result code ends this many periods after its write.
inline constexpr int ReplyLimitPeriods = 4;
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

// True when the error bits a port reports (TVaLineError, as OnError receives them) say that
// received characters were lost.
[[nodiscard]] bool IsReceiveOverrun(int Errors);

// True when Line, trimmed, is an unsolicited notice a phone or modem may send at any time:
// never part of an answer. Two rules decide:
// - a tagged line, "+NAME", "^NAME", "*NAME", "#NAME" or "$NAME" alone or followed by ":",
//   whose NAME is none of the identity commands (CGMI GMI CGMM GMM CGMR GMR CGSN GSN): those
//   commands' answers never carry another command's tag ("+CREG: 1", "^RSSI:18",
//   "+QIND: SMS DONE", "*PSUTTZ: ...", "#QSS: 1", "+PBREADY");
// - an untagged line that the common modules send at boot, when ready and on power events,
//   as a whole line ("RING", "RDY", "Call Ready", "NORMAL POWER DOWN") or, for the few with
//   parameters, as its start ("DST: 1").
// A line that merely contains such a word ("RDY-2000", "Model ^RSSI:18") is none.
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
// the first complete line that is a final result code ("OK", "ERROR" or "+CME ERROR: ...";
// Huawei's "COMMAND NOT SUPPORT" and "TOO MANY PARAMETERS" count as ERROR).
// Lines end at CR LF, a lone CR or a lone LF. Unsolicited notices (IsUnsolicitedLine) are
// dropped wherever they come, with the lines that belong to them: the text or PDU line after
// "+CMT:", "+CBM:" and a PDU-mode "+CDS:", and the further lines of a "+CUSD:" whose quoted
// text spans lines. An answer line that starts with the command's own tag ("+CGSN: 35...")
// is shown without it, and without the quotes around a single quoted value.
// Used on one thread at a time.
class TReplyParser {
public:
    // Command: what was written, with or without its line end; its echo is not an answer.
    explicit TReplyParser(std::string_view Command = {});

    // A parser that awaits no reply: it follows the received lines (so that a notice's own
    // lines are known as such) until Next gives the parser of a command.
    [[nodiscard]] static TReplyParser Unawaited();

    // The parser of the reply to Command, written after everything this one was given. The
    // lines go on where this one's stopped, so the lines of a notice that began here are
    // still dropped; but nothing received before the write, not even the rest of a line
    // begun then, is part of the new reply.
    [[nodiscard]] TReplyParser Next(std::string_view Command) const;

    // Appends a chunk and returns the status. Once the reply has ended, chunks only go on
    // through the notice rules (for Next); the status, response and answer stay.
    TReplyStatus Append(std::string_view Chunk);

    [[nodiscard]] TReplyStatus Status() const { return FStatus; }
    [[nodiscard]] bool Ended() const { return FStatus != TReplyStatus::rsPending; }
    // Everything received for this command, in arrival order.
    [[nodiscard]] const std::string& Response() const { return FResponse; }
    // After OK: the answer lines (echo, notices and empty lines dropped, each without the
    // spaces around it and the command's own tag; control characters stay wherever they
    // stand) joined by blanks.
    [[nodiscard]] const std::string& Answer() const { return FAnswer; }
    // After a failure: the message to show the user.
    [[nodiscard]] std::string ErrorMessage() const;

private:
    // Lines still to come that belong to the last notice.
    enum class TNoticeTail : std::uint8_t { ntNone, ntOneLine, ntQuoted };

    void TakeCharacter(char C);
    void EndLine();
    void HandleLine(std::string_view Line);
    [[nodiscard]] bool IsEcho(std::string_view Line) const;
    [[nodiscard]] std::string_view WithoutOwnTag(std::string_view Line) const;

    std::string FCommand;
    std::string FTag; // the command's own tag, "+CGMI"; empty for a command without one
    std::string FResponse;
    std::string FAnswer;
    std::string FCmeDetail;
    std::string FLine;             // the line being received
    bool FAfterCr = false;         // the last line ended at a CR: a LF right after it ends none
    bool FLineBeforeWrite = false; // FLine began before the command was written
    bool FAwaited = true;          // false: no reply is awaited
    TNoticeTail FNoticeTail = TNoticeTail::ntNone;
    TReplyStatus FStatus = TReplyStatus::rsPending;
};
