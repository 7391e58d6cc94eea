#pragma once
// A simulated phone on a new pseudo-terminal: answers the identification commands with an
// invented identity, speaking AT framing, with switches for the ways real phones differ
// and fail. Usable in process (tests) and as the program kivo-phonesim.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class TEchoMode : std::uint8_t { emOff, emCR, emCRLF };

// Where a reply carries the unsolicited notices.
enum class TUrcPlace : std::uint8_t {
    upBefore, // before the echo
    upInside, // between the answer and the result code
    upAfter,  // after the result code
};

// How one command is answered instead of with its identity line.
enum class TFailure : std::uint8_t {
    fNone,
    fError,      // "ERROR"
    fCmeNumeric, // "+CME ERROR: <code>"
    fCmeVerbose, // "+CME ERROR: <text>"
    fSilent,     // no reply at all
    fPartial,    // the answer line, then nothing more
};

struct TPhoneSimOptions {
    // Commands (without "AT", e.g. "+CGMM") answered with two lines instead of one.
    std::string MultiLineCommand;
    std::string FailCommand;       // the command that fails, "+CGMR"; empty: none; "*": every one
    std::string FailDetail = "10"; // the +CME ERROR code or text
    // Unsolicited notices ("^RSSI:18"; one may hold a line break, as a "+CMT:" notice with
    // its text does) sent with each reply, each framed as a line, each in a piece of its own.
    std::vector<std::string> Urcs;
    // Lines sent at once, as one piece, whenever a program opens the device (a module that
    // has just booted): when the terminal's input is flushed, as opening a port does.
    std::vector<std::string> Boot;
    std::size_t ChunkSize = 0; // 0: each reply in one write; else pieces of this size
    int ReplyDelayMs = 0;      // before each reply
    int ChunkGapMs = 5;        // pause between two pieces
    TEchoMode Echo = TEchoMode::emOff;
    TFailure Failure = TFailure::fNone;
    TUrcPlace UrcPlace = TUrcPlace::upBefore;
    bool Stream = false; // send unrelated text continuously and answer nothing
    // Answer lines carry their command's tag, texts quoted: "+CGMI: \"Kestrel Mobile\"".
    bool Tagged = false;
    // When positive: the phone's own line speed. What the program sends while its side of
    // the line is set to another speed is not understood, and is answered with garbled
    // bytes, as a modem on a serial line answers a program at the wrong speed.
    unsigned Baudrate = 0;
    // The answer to +CGSN instead of the identity's IMEI; empty: the identity's.
    std::string Serial;
};

// A two-line "+CMT:" notice, an SMS in text mode whose text is Text.
[[nodiscard]] std::string SmsNotice(std::string_view Text);

// The identity the simulated phone reports, by command ("+CGMI" and so on).
[[nodiscard]] const std::map<std::string, std::string>& PhoneSimIdentity();

class TPhoneSim {
public:
    // Creates the pseudo-terminal and starts answering; raises std::system_error.
    explicit TPhoneSim(TPhoneSimOptions Options = {});
    ~TPhoneSim();
    TPhoneSim(const TPhoneSim&) = delete;
    TPhoneSim& operator=(const TPhoneSim&) = delete;
    TPhoneSim(TPhoneSim&&) = delete;
    TPhoneSim& operator=(TPhoneSim&&) = delete;

    // The path a program opens as its serial port ("/dev/pts/N").
    [[nodiscard]] const std::string& DevicePath() const { return FDevicePath; }

    // Called on the simulator's thread with each command line received ("AT+CGMI").
    void SetOnCommand(std::function<void(const std::string&)> Handler);
    // Commands received so far.
    [[nodiscard]] int CommandCount() const { return FCommandCount.load(); }
    // Blocks until Count commands have been received or Timeout passes.
    bool WaitForCommands(int Count, std::chrono::milliseconds Timeout) const;

    // Stops answering; the terminal side sees a hang-up.
    void Stop();

private:
    void Run();
    // Takes what a read of the terminal's controlling side gave: a status byte, then data.
    void HandlePacket(std::string_view Packet);
    void HandleInput(std::string_view Data);
    // Whether the program's side of the line runs at the phone's speed (any, without one).
    [[nodiscard]] bool SpeedMatches() const;
    void Answer(const std::string& Line);
    // Sends Out in the configured pieces; false when stopped meanwhile.
    bool SendInPieces(std::string_view Out);
    // The notices, each framed and as a piece of its own.
    bool SendNotices();
    [[nodiscard]] std::string ReplyTo(const std::string& Command);
    // Takes Command ("Z", "E1", "+CMGF=0") when it changes the session's settings.
    bool ApplySetting(const std::string& Command);
    void Send(std::string_view Data);
    void SendStreamLine();
    // Sleeps up to Ms unless stopped; false when stopped.
    bool Pause(int Ms);

    TPhoneSimOptions FOptions;
    int FMaster = -1;
    int FSlave = -1; // held open so the terminal survives between clients
    int FWakeRead = -1;
    int FWakeWrite = -1;
    std::string FDevicePath;
    std::string FLine;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FCommandCount{0};
    mutable std::mutex FLock;
    mutable std::condition_variable FCommandSeen;
    std::function<void(const std::string&)> FOnCommand;
    unsigned FStreamCounter = 0;
    // The session's settings, changed by the commands that set them; the simulator's thread
    // only.
    TEchoMode FEcho = TEchoMode::emOff;
    char FMessageFormat = '0'; // +CMGF: 0 PDU, 1 text
    std::thread FThread;
};
