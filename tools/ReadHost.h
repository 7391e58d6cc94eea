#pragma once
// What kivo-read asks of the system it runs on: the stop requests of the terminal and of
// other programs, its standard streams, and how ports are named there. One implementation
// per platform (ReadHost_posix.cpp, ReadHost_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// From construction to destruction, stop requests (POSIX: SIGINT, SIGTERM, SIGHUP and
// SIGPIPE; Windows: Ctrl+C, Ctrl+Break and the console closing) do not end the process:
// each is handed to the main thread, where OnStop runs with the signal's number the next
// time that thread takes its hand-overs. Nothing but a write to a pipe happens in the
// signal handler itself. Create and destroy on the main thread, before any other thread
// (the signals are kept from the threads started later).
class TStopSignals {
public:
    explicit TStopSignals(std::function<void(int Signal)> OnStop);
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;
    TStopSignals(TStopSignals&&) = delete;
    TStopSignals& operator=(TStopSignals&&) = delete;

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

// The number of the signal a broken pipe raises on this system, 0 where there is none.
[[nodiscard]] int BrokenPipeSignal();

// Makes sure descriptors 0 to 2 are open, so that a device opened later never takes the
// place of standard output; false when standard output was closed (it then leads nowhere).
[[nodiscard]] bool ReserveStandardStreams();

// The device a port name opens, for messages: "COM4 = /dev/ttyS3" on Linux, the name
// itself where it is the system's own.
[[nodiscard]] std::string DescribeDevice(const std::string& Name);

// Whether the user has named the device a COM name ("COM4") opens: on POSIX systems, the
// environment variable KIVO_COM<n> is set; never on Windows, whose COM names are its own.
[[nodiscard]] bool ComNameMapped(const std::string& Name);

// --force: from now on, a port whose exclusive flag another program set opens all the same
// where the system lets this user open it (POSIX: root; it sets KIVO_SHARE_HELD_PORT=1); on
// Windows, which lets no two programs open a port, nothing. Main thread, before any other
// thread starts.
void ShareHeldPorts();

// How many ports may be open at once within the descriptors the process may still open; 0
// where the system sets no such bound. Any thread; it does not block.
[[nodiscard]] std::size_t PortsAtOnce();

// The lines of --help that differ between systems: how ports are named, and the default.
[[nodiscard]] std::string PortHelp();
// A port as the example of --help names it.
[[nodiscard]] std::string_view ExamplePort();
