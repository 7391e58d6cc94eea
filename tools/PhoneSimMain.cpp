// kivo-phonesim: a simulated phone on a new pseudo-terminal, until interrupted.

#include "tools/PhoneSim.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view Usage =
    "usage: kivo-phonesim [options]\n"
    "  --echo off|cr|crlf     echo each command (default off) until ATE0 or ATE1\n"
    "  --multiline CMD        answer CMD (e.g. +CGMM) with two lines\n"
    "  --error CMD            answer CMD with ERROR: +CGMI, +CGMM, +CGMR, +GMI, +GMM,\n"
    "                         +GMR or +CGSN (the + may be left out), '*': every command\n"
    "  --cme CMD=CODE         answer CMD with +CME ERROR: CODE\n"
    "  --cme-verbose CMD=TEXT answer CMD with +CME ERROR: TEXT\n"
    "  --silent CMD           never answer CMD\n"
    "  --partial CMD          send CMD's answer line but no result code\n"
    "  --delay MS             wait MS milliseconds before each reply\n"
    "  --chunk N              send replies in pieces of N bytes\n"
    "  --gap MS               pause MS milliseconds between two pieces (default 5)\n"
    "  --stream               send unrelated text continuously, answer nothing\n"
    "  --urc LINE             send the unsolicited line LINE (e.g. ^RSSI:18) with each\n"
    "                         reply (repeatable)\n"
    "  --sms TEXT             send an SMS notice (+CMT: and the line TEXT) with each reply\n"
    "  --urc-at before|inside|after\n"
    "                         where those go: before the echo (default), between the\n"
    "                         answer and the result code, or after the result code\n"
    "  --tags                 answer with the command's tag: +CGMI: \"Kestrel Mobile\"\n"
    "  --boot LINE            send LINE in a burst whenever the device is opened\n"
    "                         (repeatable)\n"
    "  --baud N               answer only while the program's side of the line is set\n"
    "                         to N bits per second; garbled bytes at any other speed\n"
    "  --imei DIGITS          answer +CGSN with DIGITS (default 357421098765438)\n"
    "  --link PATH            also make PATH a symbolic link to the device\n"
    "  --help, --version      show this help, the version\n";

constexpr std::string_view Version = "kivo-phonesim " KIVO_VERSION "\n";

struct TArguments {
    TPhoneSimOptions Options;
    std::string Link;
};

// The identity command Text names ("+CGMM", "CGMM", "at+cgmm": "+CGMM"), "*" for every one;
// empty for none.
std::string FailingCommand(std::string_view Text) {
    std::string Upper(Text);
    std::transform(Upper.begin(), Upper.end(), Upper.begin(),
                   [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
    if (Upper == "*") {
        return Upper;
    }
    if (Upper.starts_with("AT")) {
        Upper.erase(0, 2);
    }
    if (!Upper.starts_with('+')) {
        Upper.insert(0, "+");
    }
    return PhoneSimIdentity().contains(Upper) ? Upper : std::string();
}

// Problem: what is wrong with Value, when something is.
bool SetFailure(TPhoneSimOptions& Options, TFailure Failure, std::string_view Value,
                bool WithDetail, std::string& Problem) {
    Options.Failure = Failure;
    const std::size_t Equals = Value.find('=');
    if (WithDetail && Equals == std::string_view::npos) {
        Problem = "'" + std::string(Value) + "' names no detail: give CMD=DETAIL (+CGMI=10)";
        return false;
    }
    Options.FailCommand = FailingCommand(Value.substr(0, Equals));
    if (Options.FailCommand.empty()) {
        Problem = "'" + std::string(Value.substr(0, Equals)) +
                  "' is no command the phone answers: give +CGMI, +CGMM, +CGMR, +GMI, +GMM, "
                  "+GMR, +CGSN or *";
        return false;
    }
    if (WithDetail) {
        Options.FailDetail = std::string(Value.substr(Equals + 1));
    }
    return true;
}

bool ParseNumber(std::string_view Text, long& Value) {
    const std::string Copy(Text);
    char* End = nullptr;
    Value = std::strtol(Copy.c_str(), &End, 10);
    return !Copy.empty() && *End == '\0' && Value >= 0;
}

bool ParsePlace(std::string_view Text, TUrcPlace& Place) {
    constexpr std::array<std::pair<std::string_view, TUrcPlace>, 3> Places{{
        {"before", TUrcPlace::upBefore},
        {"inside", TUrcPlace::upInside},
        {"after", TUrcPlace::upAfter},
    }};
    const auto* Found = std::find_if(Places.begin(), Places.end(),
                                     [Text](const auto& P) { return P.first == Text; });
    if (Found == Places.end()) {
        return false;
    }
    Place = Found->second;
    return true;
}

// Problem: what is wrong with Value, when the option has more to say than that it is wrong.
bool ApplyOption(TArguments& Args, std::string_view Name, std::string_view Value,
                 std::string& Problem) {
    TPhoneSimOptions& O = Args.Options;
    long Number = 0;
    if (Name == "--echo") {
        if (Value == "off" || Value == "cr" || Value == "crlf") {
            O.Echo = Value == "off" ? TEchoMode::emOff
                                    : (Value == "cr" ? TEchoMode::emCR : TEchoMode::emCRLF);
            return true;
        }
        return false;
    }
    if (Name == "--multiline") {
        O.MultiLineCommand = std::string(Value);
        return true;
    }
    if (Name == "--error") {
        return SetFailure(O, TFailure::fError, Value, false, Problem);
    }
    if (Name == "--cme") {
        return SetFailure(O, TFailure::fCmeNumeric, Value, true, Problem);
    }
    if (Name == "--cme-verbose") {
        return SetFailure(O, TFailure::fCmeVerbose, Value, true, Problem);
    }
    if (Name == "--silent") {
        return SetFailure(O, TFailure::fSilent, Value, false, Problem);
    }
    if (Name == "--partial") {
        return SetFailure(O, TFailure::fPartial, Value, false, Problem);
    }
    if (Name == "--delay" && ParseNumber(Value, Number)) {
        O.ReplyDelayMs = static_cast<int>(Number);
        return true;
    }
    if (Name == "--chunk" && ParseNumber(Value, Number)) {
        O.ChunkSize = static_cast<std::size_t>(Number);
        return true;
    }
    if (Name == "--gap" && ParseNumber(Value, Number)) {
        O.ChunkGapMs = static_cast<int>(Number);
        return true;
    }
    if (Name == "--urc" || Name == "--sms") {
        O.Urcs.push_back(Name == "--urc" ? std::string(Value) : SmsNotice(Value));
        return true;
    }
    if (Name == "--urc-at") {
        return ParsePlace(Value, O.UrcPlace);
    }
    if (Name == "--boot") {
        O.Boot.emplace_back(Value);
        return true;
    }
    if (Name == "--baud" && ParseNumber(Value, Number) && Number > 0) {
        O.Baudrate = static_cast<unsigned>(Number);
        return true;
    }
    if (Name == "--imei") {
        O.Serial = std::string(Value);
        return true;
    }
    if (Name == "--link") {
        Args.Link = std::string(Value);
        return true;
    }
    return false;
}

constexpr auto ValueOptions = std::to_array<std::string_view>(
    {"--echo", "--multiline", "--error", "--cme", "--cme-verbose", "--silent", "--partial",
     "--delay", "--chunk", "--gap", "--urc", "--sms", "--urc-at", "--boot", "--baud", "--imei",
     "--link"});

// The arguments; none, with Problem saying what is wrong, when they are wrong.
std::optional<TArguments> ParseArguments(int Argc, char** Argv, std::string& Problem) {
    TArguments Args;
    for (int I = 1; I < Argc; ++I) {
        const std::string_view Name = Argv[I];
        if (Name == "--stream" || Name == "--tags") {
            (Name == "--stream" ? Args.Options.Stream : Args.Options.Tagged) = true;
            continue;
        }
        if (std::find(ValueOptions.begin(), ValueOptions.end(), Name) == ValueOptions.end()) {
            Problem = "unknown option '" + std::string(Name) + "'";
            return std::nullopt;
        }
        if (I + 1 >= Argc) {
            Problem = "option " + std::string(Name) + " needs a value";
            return std::nullopt;
        }
        if (!ApplyOption(Args, Name, Argv[I + 1], Problem)) {
            if (Problem.empty()) {
                Problem = "'" + std::string(Argv[I + 1]) + "' is no value for " + std::string(Name);
            }
            return std::nullopt;
        }
        ++I;
    }
    return Args;
}

// Blocks until SIGINT, SIGTERM or SIGHUP.
void WaitForSignal() {
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    sigaddset(&Signals, SIGHUP);
    int Received = 0;
    sigwait(&Signals, &Received);
}

} // namespace

int main(int Argc, char** Argv) {
    if (Argc == 2 && std::string_view(Argv[1]) == "--help") {
        std::cout << Usage;
        return 0;
    }
    if (Argc == 2 && std::string_view(Argv[1]) == "--version") {
        std::cout << Version;
        return 0;
    }
    std::string Problem;
    const auto Args = ParseArguments(Argc, Argv, Problem);
    if (!Args) {
        std::cerr << "kivo-phonesim: " << Problem << "\n"
                  << "Try 'kivo-phonesim --help' for the options.\n";
        return 2;
    }
    // Block the stop signals in every thread, so that sigwait takes them.
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    sigaddset(&Signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
    try {
        TPhoneSim Phone(Args->Options);
        if (!Args->Link.empty()) {
            ::unlink(Args->Link.c_str());
            if (::symlink(Phone.DevicePath().c_str(), Args->Link.c_str()) != 0) {
                std::perror(("kivo-phonesim: " + Args->Link).c_str());
                return 1;
            }
        }
        std::cout << Phone.DevicePath() << std::endl;
        WaitForSignal();
        Phone.Stop();
        if (!Args->Link.empty()) {
            ::unlink(Args->Link.c_str());
        }
        return 0;
    } catch (const std::exception& E) {
        std::cerr << "kivo-phonesim: " << E.what() << '\n';
        return 1;
    }
}
