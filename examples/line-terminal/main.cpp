// A small line terminal on a serial port: each line typed is sent with a carriage return,
// what arrives is printed, and lines that begin with '~' control the port's lines:
//
//   ~dtr      raise or drop DTR (it starts raised)    ~rts     the same for RTS
//   ~break    hold the line in break for 250 ms       ~lines   show CTS, DSR, RI and DCD
//   ~quit     end (as does the end of the input)
//
//   line-terminal [--baud N] PORT
//
// A thread of its own reads the input and hands each line to the main thread, which also
// takes the port's events: every call on the port is made from that one thread. A call the
// device refuses prints the component's message and the terminal goes on. Status 2: bad
// arguments or the port would not open.

#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

std::optional<TVaBaudrate> BaudrateOf(std::string_view Text) {
    static constexpr std::pair<std::string_view, TVaBaudrate> Rates[] = {
        {"9600", br9600},   {"19200", br19200},   {"38400", br38400},
        {"57600", br57600}, {"115200", br115200},
    };
    for (const auto& [Name, Rate] : Rates) {
        if (Text == Name) {
            return Rate;
        }
    }
    return std::nullopt;
}

// Reads standard input line by line and hands each line to the main thread; an empty
// optional at the end of the input.
class TInputThread : public TThread {
public:
    // OnLine runs on the main thread with each line, and with none at the end of the input;
    // it returns whether to read on.
    explicit TInputThread(std::function<bool(std::optional<std::string>)> OnLine)
        : TThread(true), FOnLine(std::move(OnLine)) {}
    ~TInputThread() override { TerminateAndWait(); }
    TInputThread(const TInputThread&) = delete;
    TInputThread& operator=(const TInputThread&) = delete;
    TInputThread(TInputThread&&) = delete;
    TInputThread& operator=(TInputThread&&) = delete;

protected:
    // Stops reading as soon as a line ends the session, so that it never sits in a read
    // nobody waits for.
    void Execute() override {
        bool More = true;
        for (std::string Line; More && !Terminated() && std::getline(std::cin, Line);) {
            if (!Line.empty() && Line.back() == '\r') {
                Line.pop_back();
            }
            Synchronize([this, &Line, &More] { More = FOnLine(Line); });
        }
        if (More) {
            Synchronize([this] { FOnLine(std::nullopt); });
        }
    }

private:
    const std::function<bool(std::optional<std::string>)> FOnLine;
};

class TTerminal {
public:
    explicit TTerminal(TVaComm& Comm) : FComm(Comm) {}

    // Sends a line or carries out a '~' command; false for ~quit.
    bool Take(const std::string& Line) {
        try {
            return Command(Line);
        } catch (const std::exception& E) {
            std::printf("[%s]\n", E.what());
            std::fflush(stdout);
            return true;
        }
    }

private:
    bool Command(const std::string& Line) {
        if (Line == "~quit") {
            return false;
        }
        if (Line == "~dtr") {
            FDtr = !FDtr;
            FComm.SetDTR(FDtr);
            Say(FDtr ? "DTR raised" : "DTR dropped");
        } else if (Line == "~rts") {
            FRts = !FRts;
            FComm.SetRTS(FRts);
            Say(FRts ? "RTS raised" : "RTS dropped");
        } else if (Line == "~break") {
            FComm.SetBreak(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(250)); // the break's length
            FComm.SetBreak(false);
            Say("break sent");
        } else if (Line == "~lines") {
            const TVaModemStatus Lines = FComm.ModemStatus();
            const auto Level = [&](TVaModemLine Item) {
                return Lines.Contains(Item) ? "on" : "off";
            };
            std::printf("[CTS %s, DSR %s, RI %s, DCD %s]\n", Level(msCTS), Level(msDSR),
                        Level(msRing), Level(msRLSD));
        } else if (Line.starts_with("~")) {
            Say("commands: ~dtr ~rts ~break ~lines ~quit");
        } else {
            FComm.WriteText(Line + "\r");
        }
        std::fflush(stdout);
        return true;
    }

    static void Say(const char* Text) { std::printf("[%s]\n", Text); }

    TVaComm& FComm;
    bool FDtr = true;
    bool FRts = true;
};

} // namespace

int main(int Argc, char** Argv) {
    std::string Port;
    TVaBaudrate Baudrate = br115200;
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Arg = Argv[I];
        if (Arg == "--baud" && I + 1 < Argc && BaudrateOf(Argv[I + 1])) {
            Baudrate = *BaudrateOf(Argv[++I]);
        } else if (!Arg.starts_with("--") && Port.empty()) {
            Port = Arg;
        } else {
            Port.clear();
            break;
        }
    }
    if (Port.empty()) {
        std::fputs("usage: line-terminal [--baud N] PORT\n", stderr);
        return 2;
    }

    TVaComm Comm(nullptr);
    Comm.SetDevicePath(Port);
    Comm.SetBaudrate(Baudrate);
    Comm.OnRxChar = TVaCommRxCharEvent([&](TObject* /*Sender*/, int /*Count*/) {
        const std::string Text = Comm.ReadText();
        std::fwrite(Text.data(), 1, Text.size(), stdout);
        std::fflush(stdout);
    });
    try {
        Comm.Open();
        Comm.SetDTR(true);
        Comm.SetRTS(true);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "line-terminal: %s\n", E.what());
        return 2;
    }

    TTerminal Terminal(Comm);
    bool Running = true;
    auto Input = std::make_unique<TInputThread>([&](std::optional<std::string> Line) {
        Running = Running && Line && Terminal.Take(*Line);
        return Running;
    });
    Input->Resume();
    while (Running) {
        if (WaitForSynchronize(std::chrono::seconds(1))) {
            CheckSynchronize();
        }
    }
    // Only the input ends the session (~quit or its end), and the input thread reads no
    // further after handing that over: it ends by itself, and is joined here.
    Input.reset();
    // What the device still answers to the last line is shown before the port closes.
    Comm.Drain();
    const auto Settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < Settle) {
        if (WaitForSynchronize(std::chrono::milliseconds(50))) {
            CheckSynchronize();
        }
    }
    Comm.Close();
    return 0;
}
