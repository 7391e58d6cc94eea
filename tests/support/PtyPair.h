#pragma once
// A pseudo-terminal pair for tests: the code under test opens DevicePath() like a serial
// port; the test plays the device on the other end through the master side.

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The path of the terminal side ("/dev/pts/N").
    [[nodiscard]] const std::string& DevicePath() const { return FDevicePath; }
    [[nodiscard]] int MasterFd() const { return FMaster; }

    // Writes all of Data to the master side (what the device "sends"). Waits for room while
    // the terminal side's input buffer is full (nobody reads it), at most Timeout; returns
    // false when not all of Data could be written by then.
    bool Send(std::string_view Data,
              std::chrono::milliseconds Timeout = std::chrono::seconds(10)) const;

    // Reads from the master side until Count bytes arrived or Timeout passed; returns what
    // arrived (what the code under test "sent").
    [[nodiscard]] std::string
    Receive(std::size_t Count, std::chrono::milliseconds Timeout = std::chrono::seconds(10)) const;

    // Reads until Data ends with Suffix or Timeout passed.
    [[nodiscard]] std::string
    ReceiveUntil(std::string_view Suffix,
                 std::chrono::milliseconds Timeout = std::chrono::seconds(10)) const;

    // Suspends the terminal side's output (as tcflow does, which a new setting of the line
    // does not undo): what the code under test writes stays pending until it is resumed.
    void HoldOutput(bool Held) const;

    // Closes the master side: the terminal side sees a hang-up.
    void HangUp();

private:
    int FMaster = -1;
    int FKeepOpen = -1; // the terminal side, held so it stays configured until the test opens it
    std::string FDevicePath;
};

// A far end that sends without pause through Pty's master side, from construction until
// destruction, as fast as the terminal takes it: byte n of the stream is n modulo 251, so
// a reader can tell a lost or repeated byte from any byte it gets.
class PtyFlood {
public:
    explicit PtyFlood(const PtyPair& Pty);
    ~PtyFlood();
    PtyFlood(const PtyFlood&) = delete;
    PtyFlood& operator=(const PtyFlood&) = delete;

    static constexpr int Period = 251;
    // Whether each byte of Got follows the one before it in the stream.
    [[nodiscard]] static bool Unbroken(std::string_view Got);

private:
    void Send(int Master) const;

    std::atomic<bool> FStop{false};
    std::thread FSender;
};
