#pragma once
// Test helpers: a raw serial client for a device path, and a child process whose output is
// collected.

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// What kivo-read prints for the simulated phone's seven answers.
inline constexpr std::string_view AllFields = "Phone Manufacturer: Kestrel Mobile\n"
                                              "Phone Model: KM-310\n"
                                              "Phone Revision: KM310_R2.14\n"
                                              "Modem Manufacturer: Kestrel Mobile\n"
                                              "Modem Model: KM-310 GSM\n"
                                              "Modem Revision: R2.14 (modem 4.02)\n"
                                              "Serial Number: 357421098765438\n";

// Opens a terminal device in raw mode and talks to it like a program would.
class TDeviceClient {
public:
    explicit TDeviceClient(const std::string& Path);
    ~TDeviceClient();
    TDeviceClient(const TDeviceClient&) = delete;
    TDeviceClient& operator=(const TDeviceClient&) = delete;
    TDeviceClient(TDeviceClient&&) = delete;
    TDeviceClient& operator=(TDeviceClient&&) = delete;

    void Send(std::string_view Data) const;
    // Drops the input not read yet, as a program opening a port does.
    void FlushInput() const;
    // True while the terminal is in exclusive mode (TIOCEXCL, as a program that holds it
    // sets it).
    [[nodiscard]] bool Exclusive() const;
    // Reads until the text read ends with Suffix, or Timeout passes.
    [[nodiscard]] std::string
    ReceiveUntil(std::string_view Suffix,
                 std::chrono::milliseconds Timeout = std::chrono::seconds(10)) const;
    // Reads until at least Count bytes arrived, or Timeout passes.
    [[nodiscard]] std::string
    Receive(std::size_t Count, std::chrono::milliseconds Timeout = std::chrono::seconds(10)) const;

private:
    int FFd = -1;
};

struct TProcessResult {
    int ExitCode = -1; // -1 when it did not end normally
    std::string Out;
    std::string Err;
};

// Runs Program with Args and extra environment variables, waits for it (at most Timeout,
// then kills it) and returns what it wrote.
[[nodiscard]] TProcessResult
RunProcess(const std::string& Program, const std::vector<std::string>& Args,
           const std::map<std::string, std::string>& Env = {},
           std::chrono::milliseconds Timeout = std::chrono::seconds(30));

// A program left running in the background: its standard output (with ErrorsToo, its
// standard error as well) can be read line by line.
class TBackgroundProcess {
public:
    TBackgroundProcess(const std::string& Program, const std::vector<std::string>& Args,
                       bool ErrorsToo = false);
    ~TBackgroundProcess();
    TBackgroundProcess(const TBackgroundProcess&) = delete;
    TBackgroundProcess& operator=(const TBackgroundProcess&) = delete;
    TBackgroundProcess(TBackgroundProcess&&) = delete;
    TBackgroundProcess& operator=(TBackgroundProcess&&) = delete;

    // The next line of its output, without the line feed; empty after Timeout or at the end.
    [[nodiscard]] std::string
    ReadLine(std::chrono::milliseconds Timeout = std::chrono::seconds(10));
    // Sends Signal and waits for the end (killing it after Timeout); its exit code, -1 when
    // it did not exit normally. What it wrote meanwhile is kept for ReadLine.
    int Stop(int Signal, std::chrono::milliseconds Timeout = std::chrono::seconds(10));
    // Stops the program (SIGSTOP) and returns once it is stopped; Release lets it go on.
    void Hold();
    void Release();

private:
    int FPid = -1;
    int FOut = -1;
    std::string FPending;
};
