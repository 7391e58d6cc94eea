#pragma once
// The read run without a window: opens ports with the window's stored settings, sends the
// seven commands and collects the answers, waiting on the ports' events (no polling).
// Several ports are read at once, each at its own pace: their opens each on a thread of its
// own, everything else on the main thread.

#include "app/ReadResult.h"

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class TExchangeTrace;
class TVaComm;

// The line speeds a search tries, in turn: the first at which "AT" is answered is read. The
// common ones first, fastest first; then those modules are often set to (AT+IPR: 230400 to
// 921600) and old phones' 4800 and 2400. Each is given TReadOptions::SearchBound.
inline constexpr std::array<int, 10> SearchedBaudrates{115200, 57600,  38400,  19200, 9600,
                                                       230400, 460800, 921600, 4800,  2400};

// Where to read: a COM name ("COM4", any case) or a device path (containing "/").
struct TPortChoice {
    int PortNum = 4;
    // The component's DeviceName: a format filled with PortNum. A path is kept as data, its
    // "%" doubled, so "/tmp/50%phone" opens that file.
    std::string DeviceName = "COM%d";
    // Search the line speed: "AT" at each of SearchedBaudrates in turn, each within
    // TReadOptions::SearchBound, and the seven commands at the first speed answered.
    bool SearchBaudrate = false;
};

// Gives Comm the stored settings of the window's vaComm (without its handlers).
void ApplyWindowPortSettings(TVaComm& Comm);

struct TReadOptions {
    // The longest a phone may stay silent: from a command's write to the first character
    // of its reply, and between two pieces of the reply (TPhoneExchange).
    std::chrono::milliseconds ReplyTimeout{ReplyTimeoutMs};
    // The line speed in bits per second; 0 keeps the window's stored speed (19200).
    int Baudrate = 0;
    // The size of the port's input queue in bytes; 0 keeps the window's stored size.
    int InputQueue = 0;
    // When positive: "AT" is sent first and must be answered within this time, before the
    // seven commands follow (the scan's probe of a port that may be no phone at all).
    std::chrono::milliseconds Handshake{0};
    // The most ports open or being opened at once (what the process's descriptors allow);
    // 0: no bound. The others wait for their turn, in the order given, and open as ports
    // close.
    std::size_t PortsAtOnce = 0;
    // How long "AT" waits for its answer at each speed a search tries.
    std::chrono::milliseconds SearchBound{300};
    // Where every byte written and received is recorded, each line naming its port; none:
    // nowhere. It must outlive the read.
    TExchangeTrace* Trace = nullptr;
};

// Reads every port at once and returns one result per port, in the order given. Every
// command is asked: one refused is recorded in the result's Errors and the next follows. Must
// run on the main thread, which it uses to take the ports' events; while it runs it takes the
// application's report of failed hand-overs (there is no window in such a process). Each
// exchange's time starts when its port is open, and the replies handed over are taken before
// any deadline is judged. Stopped is asked whenever a hand-over ran: once it is true, the
// ports are closed and the reads not ended yet end with roStopped, keeping the answers read;
// it returns at once, also while ports are still being opened: each is closed by its
// opening thread when its open returns.
[[nodiscard]] std::vector<TReadResult> ReadPhones(const std::vector<TPortChoice>& Ports,
                                                  const TReadOptions& Options,
                                                  const std::function<bool()>& Stopped = {});

// Reads the identity on Port (one port of ReadPhones).
[[nodiscard]] TReadResult ReadPhoneIdentity(
    const TPortChoice& Port,
    std::chrono::milliseconds ReplyTimeout = std::chrono::milliseconds(ReplyTimeoutMs));
