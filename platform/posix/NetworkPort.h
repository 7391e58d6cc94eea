#pragma once
// A serial port behind a network serial server, opened as a device name
// "rfc2217://host:port" (telnet with RFC 2217's COM-PORT-OPTION) or "socket://host:port"
// (raw TCP: bytes only).
//
// Design: a relay owns the TCP connection and a pseudo-terminal pair. The serial device opens
// the pty's terminal side like any other terminal, so every Windows semantic it keeps (events
// latch, EV_RXCHAR, time-outs, CancelIo and CloseHandle completing with 995, a hang-up as a
// lost device) holds for a network port with no second implementation of them. The relay's
// thread moves bytes between the pty's master side and the socket, speaking telnet on the
// socket for rfc2217. The relay is the device's LineSource (ModemLines.h): the line settings
// the device is given and DTR/RTS go to the server as COM-PORT-OPTION commands, and the
// server's NOTIFY-MODEMSTATE gives CTS, DSR, DCD and RI. The device holds the relay, so it
// lives exactly as long as the handle; a connection that ends hangs up the pty, which the
// device reports as a lost device.
//
// Weighed against it: a socket-backed device would have to implement the input queue, the
// events and the time-outs a second time, over a socket; and gensio (the library the server
// side is commonly built on) brings its own event loop, threads and a large dependency for
// what is telnet option negotiation plus a dozen COM-PORT-OPTION commands, which Telnet.h
// implements in a small codec that is tested byte by byte. Hence the relay and Telnet.h.

#include "platform/posix/ModemLines.h"
#include "platform/posix/Telnet.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kivo::posix {

// How long a connection (and for rfc2217 the server's first answers) may take.
inline constexpr std::chrono::milliseconds ConnectBound{10000};

struct NetworkAddress {
    bool Telnet = false; // rfc2217://; else socket://
    std::string Host;
    std::string Port;
    // "host:port", as messages name the server ("[::1]:2000" for IPv6).
    [[nodiscard]] std::string Text() const;
};

// True when Name uses a network scheme ("rfc2217://", "socket://", any case).
bool IsNetworkName(std::string_view Name);
// The server Name names; none when Name is no well-formed network name ("host:port" with a
// port number 1-65535; an IPv6 host in brackets).
std::optional<NetworkAddress> ParseNetworkName(std::string_view Name);

// A TCP connection to Address made within Bound: the connected socket (non-blocking,
// close-on-exec), or -1 with Error set (an errno such as ECONNREFUSED or ETIMEDOUT, or
// WSAHOST_NOT_FOUND or WSATRY_AGAIN). Bound covers the connection attempts, not the name
// look-up, which is the resolver's own. Any thread.
int ConnectWithin(const NetworkAddress& Address, std::chrono::milliseconds Bound, DWORD& Error);

class NetworkRelay final : public LineSource {
public:
    // Connects to the server Name names, opens the pty pair and starts the relay's thread;
    // a malformed name is ERROR_FILE_NOT_FOUND. For rfc2217, waits (within Bound) for the
    // server's answer to COM-PORT-OPTION and its first modem state. Null with Error set on
    // failure. Any thread.
    static std::shared_ptr<NetworkRelay> Open(const std::string& Name,
                                              std::chrono::milliseconds Bound, DWORD& Error);
    ~NetworkRelay() override;
    NetworkRelay(const NetworkRelay&) = delete;
    NetworkRelay& operator=(const NetworkRelay&) = delete;

    // Calls Ended with why once the connection has ended (ERROR_GRACEFUL_DISCONNECT when the
    // server closed it, else an errno such as ECONNRESET), before the pty hangs up; at once
    // when it has ended already. Interrupt disarms it. Ended runs on the relay's thread (or
    // the caller's), holding none of the relay's locks. Any thread.
    void WhenEnded(std::function<void(DWORD)> Ended);

    // The pty's terminal side, for the serial device to open. Any thread.
    [[nodiscard]] const std::string& TerminalPath() const { return FTerminalPath; }

    // LineSource, from any thread. Interrupt also disarms WhenEnded: the device closes.
    // Without COM-PORT-OPTION (socket://, or a server that refused it) there are no lines:
    // DTR and RTS are then a no-op, as on a pty.
    bool GetLines(int& Lines) override;
    bool SetLines(int Set, int Clear) override;
    bool GetCounters(LineCounters& Counters) override;
    bool WaitForChange() override;
    void Interrupt() override;
    void TakeSettings(const DCB& Dcb) override;

private:
    struct Descriptors {
        int Socket = -1;
        int Master = -1;
        int Terminal = -1; // kept open: the pty hangs up only when the relay lets it
        int WakeRead = -1;
        int WakeWrite = -1;
    };

    NetworkRelay(const NetworkAddress& Address, const Descriptors& Fds, std::string TerminalPath);

    void Run(); // the relay's thread
    bool Pump(DWORD& Why);
    void Queue(std::string_view Bytes); // under FLock
    void WaitForServer(std::chrono::milliseconds Bound);
    void EndLink(DWORD Why);
    void DrainToTerminal(std::unique_lock<std::mutex>& Lock);
    [[nodiscard]] bool HasLines() const;

    const NetworkAddress FAddress;
    const Descriptors FFds;
    const std::string FTerminalPath;

    mutable std::mutex FLock; // guards what follows
    std::condition_variable FChanged;
    telnet::Client FTelnet;                   // the thread's; under FLock for its state
    std::string FToServer;                    // waiting for the socket to take it
    std::string FToTerminal;                  // waiting for the pty to take it
    std::optional<unsigned char> FModemState; // CTS, DSR, DCD and RI as last reported
    unsigned FModemChanges = 0;               // how often CTS, DSR, DCD or RI moved
    unsigned FSeenChanges = 0;                // the count WaitForChange last returned on
    int FOutputLines = 0;                     // DTR and RTS as last set
    std::string FSentSettings;                // the line settings last sent
    bool FStop = false;
    bool FEnded = false;
    DWORD FEndError = ERROR_SUCCESS;
    bool FInterrupted = false;
    // Held while Ended runs, so that Interrupt waits for it; never taken with FLock held,
    // nor FLock with it (Ended takes the device's lock, which is held around FLock).
    std::mutex FEndLock;
    std::function<void(DWORD)> FOnEnd;
    bool FEndReported = false;
    DWORD FReportedWhy = ERROR_SUCCESS;
    std::thread FThread;
};

} // namespace kivo::posix
