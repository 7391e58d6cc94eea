#pragma once
// A trace of what went over the ports: every write and every piece received, a line each,
// with the time since the trace began and the port:
//
//     +0.004 /dev/pts/3 > AT+CGMI\r
//     +0.010 /dev/pts/3 < \r\nKestrel Mobile\r\n\r\nOK\r\n
//
// The bytes are shown as EscapedBytes shows them (control bytes as "\r", "\n", "\xNN"), so a
// line holds no control character and one piece is one line. The exchange object feeds it
// (TPhoneExchange::SetTrace); where the lines go is the owner's choice: standard error, a
// file, the window's copy of its last run. It is what a user attaches to a report when a
// phone answers oddly.
//
// Any thread: the ports of a scan may be traced from several threads, and each line reaches
// the sink whole, one line at a time, in the order recorded.

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class TExchangeTrace {
public:
    using TClock = std::chrono::steady_clock;
    // Receives each line, "\n" included; called with the trace's lock held, so it must not
    // record into the same trace.
    using TSink = std::function<void(std::string_view Line)>;

    // Times are counted from Start.
    explicit TExchangeTrace(TSink Sink, TClock::time_point Start = TClock::now());

    // Bytes written to Port at At.
    void Sent(std::string_view Port, std::string_view Bytes, TClock::time_point At);
    // Bytes received from Port at At; nothing for none.
    void Received(std::string_view Port, std::string_view Bytes, TClock::time_point At);
    // What happened to Port at At, in the system's words ("device lost: Input/output error"):
    // a line with "!" for its direction.
    void Noted(std::string_view Port, std::string_view Text, TClock::time_point At);

    // One line of the trace: ">" for bytes sent, "<" for bytes received, "!" for a note.
    [[nodiscard]] static std::string Line(TClock::duration SinceStart, std::string_view Port,
                                          char Direction, std::string_view Bytes);

private:
    void Record(std::string_view Port, char Direction, std::string_view Bytes,
                TClock::time_point At);

    std::mutex FLock;
    const TSink FSink;
    const TClock::time_point FStart;
};

// A file the lines of a trace are written to, each as soon as it is recorded, so that a trace
// survives a program that is stopped. Used through its Sink by one trace (under its lock);
// Error() and TakeFailure() on the thread that records, or while none does.
class TTraceFile {
public:
    // Creates or empties the file at Path; Error() says why it could not be. Never waits: a
    // named pipe that no program reads is such a failure.
    explicit TTraceFile(const std::string& Path);
    // Standard error: the file is Stream, not closed here.
    explicit TTraceFile(std::FILE* Stream);
    ~TTraceFile();
    TTraceFile(const TTraceFile&) = delete;
    TTraceFile& operator=(const TTraceFile&) = delete;
    TTraceFile(TTraceFile&&) = delete;
    TTraceFile& operator=(TTraceFile&&) = delete;

    // Empty while the file is open and every line went out; else what failed, naming the file.
    [[nodiscard]] const std::string& Error() const { return FError; }
    // Writes Line; a failed write is recorded in Error() and ends the file's lines.
    void Write(std::string_view Line);
    // The failure (Error()) the first time it is asked after the open or a write failed;
    // none before and ever after, so that an owner reports it once.
    [[nodiscard]] std::optional<std::string> TakeFailure();

private:
    std::string FPath;
    std::FILE* FFile = nullptr;
    bool FOwned = false;
    std::string FError;
    bool FFailureTaken = false;
};
