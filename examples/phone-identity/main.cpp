// Asks a phone or modem on a serial port who it is: manufacturer, model, revision and serial
// number (IMEI), one AT command each, and prints the answers.
//
//   phone-identity [--baud N] PORT
//
// PORT is a COM name (COM4) or a device path (/dev/ttyACM0). Each command waits up to five
// seconds for its final "OK" or "ERROR"; a command the phone refuses prints "(refused)".
// Status 0 when every command was answered, 1 when one went unanswered, 2 when the port
// would not open or the arguments are wrong.

#include "runtime/Thread.h"
#include "serial/VaComm.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

struct TQuestion {
    const char* Label;
    const char* Command;
};

constexpr TQuestion Questions[] = {
    {"Manufacturer", "AT+CGMI"},
    {"Model", "AT+CGMM"},
    {"Revision", "AT+CGMR"},
    {"Serial number", "AT+CGSN"},
};

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

// The answer's first line that is not the command's echo, without a "+CGMI: " prefix;
// nullopt while the final result has not arrived, "(refused)" for ERROR.
std::optional<std::string> AnswerIn(const std::string& Reply, std::string_view Command) {
    const bool Ok = Reply.find("\r\nOK\r\n") != std::string::npos || Reply.starts_with("OK\r\n");
    if (!Ok) {
        return Reply.find("ERROR") != std::string::npos ? std::optional<std::string>("(refused)")
                                                        : std::nullopt;
    }
    std::size_t Start = 0;
    while (Start < Reply.size()) {
        std::size_t End = Reply.find_first_of("\r\n", Start);
        End = End == std::string::npos ? Reply.size() : End;
        std::string Line = Reply.substr(Start, End - Start);
        Start = End + 1;
        if (Line.empty() || Line == "OK" || Line.starts_with(Command)) {
            continue;
        }
        if (const auto Colon = Line.find(": ");
            Line.starts_with("+") && Colon != std::string::npos) {
            Line.erase(0, Colon + 2);
        }
        return Line;
    }
    return std::string();
}

// Sends one command and takes the port's events on this thread until its answer is complete
// or five seconds passed.
std::optional<std::string> Ask(TVaComm& Comm, std::string_view Command) {
    std::string Reply;
    std::optional<std::string> Answer;
    Comm.OnRxChar = TVaCommRxCharEvent([&](TObject* /*Sender*/, int /*Count*/) {
        Reply += Comm.ReadText();
        Answer = AnswerIn(Reply, Command);
    });
    Comm.WriteText(std::string(Command) + "\r");
    const auto Deadline = Clock::now() + std::chrono::seconds(5);
    while (!Answer && Clock::now() < Deadline) {
        if (WaitForSynchronize(std::chrono::milliseconds(250))) {
            CheckSynchronize();
        }
    }
    Comm.OnRxChar = {};
    return Answer;
}

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
        std::fputs("usage: phone-identity [--baud N] PORT\n", stderr);
        return 2;
    }

    TVaComm Comm(nullptr);
    Comm.SetDevicePath(Port);
    Comm.SetBaudrate(Baudrate);
    try {
        Comm.Open();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "phone-identity: %s\n", E.what());
        return 2;
    }
    int Status = 0;
    try {
        for (const TQuestion& Question : Questions) {
            const auto Answer = Ask(Comm, Question.Command);
            if (!Answer) {
                std::fprintf(stderr, "phone-identity: no answer to %s from %s\n", Question.Command,
                             Port.c_str());
                Status = 1;
                break;
            }
            std::printf("%s: %s\n", Question.Label, Answer->c_str());
        }
    } catch (const std::exception& E) { // the device went away, a write failed
        std::fprintf(stderr, "phone-identity: %s\n", E.what());
        Status = 2;
    }
    Comm.Close();
    return Status;
}
