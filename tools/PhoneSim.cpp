#include "tools/PhoneSim.h"

#include "platform/posix/BaudRate.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

[[noreturn]] void ThrowErrno(const char* What) {
    throw std::system_error(errno, std::generic_category(), What);
}

std::string Normalised(std::string_view Line) {
    while (!Line.empty() && static_cast<unsigned char>(Line.front()) <= ' ') {
        Line.remove_prefix(1);
    }
    while (!Line.empty() && static_cast<unsigned char>(Line.back()) <= ' ') {
        Line.remove_suffix(1);
    }
    std::string Upper(Line);
    std::transform(Upper.begin(), Upper.end(), Upper.begin(),
                   [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
    return Upper;
}

// Commands a program sends to bring a modem into a known state; each is accepted as it is
// (those that change what the simulator does are taken by TPhoneSim::ApplySetting).
bool IsSetUpCommand(std::string_view Command) {
    constexpr std::array<std::string_view, 11> SetUp{
        "&F",      "V1",      "Q0",      "&C1",           "&D2",     "X4",
        "+CMEE=0", "+CMEE=1", "+CMEE=2", "+CSCS=\"GSM\"", "+CFUN=1",
    };
    return std::find(SetUp.begin(), SetUp.end(), Command) != SetUp.end();
}

// Queries of fixed settings that phone programs ask before they read anything, with their
// answer line: the message services (SMS received, sent and broadcast all supported), the
// character set (the GSM alphabet and no other), the capabilities (GSM) and the SIM's state
// (ready, no PIN asked): a modem manager that probes the port gives up on a modem without
// the last two.
std::string_view SettingAnswer(std::string_view Command) {
    constexpr std::array<std::pair<std::string_view, std::string_view>, 5> Answers{{
        {"+CSMS?", "+CSMS: 0,1,1,1"},
        {"+CSCS?", "+CSCS: \"GSM\""},
        {"+CSCS=?", "+CSCS: (\"GSM\")"},
        {"+GCAP", "+GCAP: +CGSM"},
        {"+CPIN?", "+CPIN: READY"},
    }};
    const auto Found = std::find_if(Answers.begin(), Answers.end(),
                                    [&](const auto& Answer) { return Answer.first == Command; });
    return Found == Answers.end() ? std::string_view() : Found->second;
}

std::string Framed(std::string_view Line) {
    return "\r\n" + std::string(Line) + "\r\n";
}

// "+CGSN: 3574...", "+CGMI: \"Kestrel Mobile\"": the answer with its command's tag, a text
// quoted, digits not.
std::string TaggedAnswer(std::string_view Command, std::string_view Answer) {
    const bool Digits = std::all_of(Answer.begin(), Answer.end(), [](char C) {
        return std::isdigit(static_cast<unsigned char>(C)) != 0;
    });
    return std::string(Command) + ": " +
           (Digits ? std::string(Answer) : "\"" + std::string(Answer) + "\"");
}

// Where a framed reply's final result code starts: its last line.
std::size_t FinalLineStart(const std::string& Reply) {
    const std::size_t End = Reply.size() >= 2 ? Reply.size() - 2 : 0;
    const std::size_t Start = Reply.rfind("\r\n", End > 0 ? End - 1 : 0);
    return Start == std::string::npos ? Reply.size() : Start;
}

void CloseFd(int& Fd) {
    if (Fd >= 0) {
        ::close(Fd);
        Fd = -1;
    }
}

} // namespace

std::string SmsNotice(std::string_view Text) {
    return "+CMT: \"+15550100\",,\"26/03/14,09:30:00+04\"\r\n" + std::string(Text);
}

const std::map<std::string, std::string>& PhoneSimIdentity() {
    static const std::map<std::string, std::string> Identity{
        {"+CGMI", "Kestrel Mobile"},  {"+CGMM", "KM-310"},    {"+CGMR", "KM310_R2.14"},
        {"+GMI", "Kestrel Mobile"},   {"+GMM", "KM-310 GSM"}, {"+GMR", "R2.14 (modem 4.02)"},
        {"+CGSN", "357421098765438"},
    };
    return Identity;
}

TPhoneSim::TPhoneSim(TPhoneSimOptions Options)
    : FOptions(std::move(Options)), FEcho(FOptions.Echo) {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0) {
        ThrowErrno("posix_openpt");
    }
    std::array<char, 128> Name{};
    if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0 ||
        ::ptsname_r(FMaster, Name.data(), Name.size()) != 0) {
        const int Error = errno;
        CloseFd(FMaster);
        throw std::system_error(Error, std::generic_category(), "pseudo-terminal");
    }
    FDevicePath = Name.data();
    FSlave = ::open(FDevicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::array<int, 2> Wake{};
    if (FSlave < 0 || ::pipe2(Wake.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        const int Error = errno;
        CloseFd(FSlave);
        CloseFd(FMaster);
        throw std::system_error(Error, std::generic_category(), FDevicePath);
    }
    FWakeRead = Wake[0];
    FWakeWrite = Wake[1];
    termios Settings{};
    if (::tcgetattr(FSlave, &Settings) == 0) {
        ::cfmakeraw(&Settings);
        ::tcsetattr(FSlave, TCSANOW, &Settings);
    }
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    // Packet mode: each read says whether the other side flushed its input (opened the port).
    int Packet = 1;
    if (::ioctl(FMaster, TIOCPKT, &Packet) != 0) {
        const int Error = errno;
        CloseFd(FWakeRead);
        CloseFd(FWakeWrite);
        CloseFd(FSlave);
        CloseFd(FMaster);
        throw std::system_error(Error, std::generic_category(), "TIOCPKT");
    }
    FThread = std::thread([this] { Run(); });
}

TPhoneSim::~TPhoneSim() {
    Stop();
    CloseFd(FWakeRead);
    CloseFd(FWakeWrite);
}

void TPhoneSim::Stop() {
    if (!FStopping.exchange(true)) {
        const char Byte = 1;
        [[maybe_unused]] const auto Written = ::write(FWakeWrite, &Byte, 1);
    }
    if (FThread.joinable()) {
        FThread.join();
    }
    CloseFd(FSlave);
    CloseFd(FMaster);
}

void TPhoneSim::SetOnCommand(std::function<void(const std::string&)> Handler) {
    const std::lock_guard Guard(FLock);
    FOnCommand = std::move(Handler);
}

bool TPhoneSim::WaitForCommands(int Count, std::chrono::milliseconds Timeout) const {
    std::unique_lock Guard(FLock);
    return FCommandSeen.wait_for(Guard, Timeout, [&] { return FCommandCount.load() >= Count; });
}

void TPhoneSim::Run() {
    constexpr int StreamGapMs = 20;
    std::array<char, 512> Buffer{};
    while (!FStopping) {
        std::array<pollfd, 2> Fds{{{FMaster, POLLIN, 0}, {FWakeRead, POLLIN, 0}}};
        const int Ready = ::poll(Fds.data(), Fds.size(), FOptions.Stream ? StreamGapMs : -1);
        if (Ready < 0 && errno != EINTR) {
            return;
        }
        if (FStopping || (Fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((Fds[0].revents & POLLIN) != 0) {
            const ssize_t Count = ::read(FMaster, Buffer.data(), Buffer.size());
            if (Count > 0) {
                HandlePacket(std::string_view(Buffer.data(), static_cast<std::size_t>(Count)));
            }
        }
        if (FOptions.Stream) {
            SendStreamLine();
        }
    }
}

void TPhoneSim::HandlePacket(std::string_view Packet) {
    const auto Status = static_cast<unsigned char>(Packet.front());
    if (Status == TIOCPKT_DATA) {
        HandleInput(Packet.substr(1));
        return;
    }
    if ((Status & TIOCPKT_FLUSHREAD) != 0 && !FOptions.Boot.empty()) {
        std::string Burst;
        for (const std::string& Line : FOptions.Boot) {
            Burst += Framed(Line);
        }
        Send(Burst);
    }
}

bool TPhoneSim::SpeedMatches() const {
    unsigned Rate = 0;
    // A speed that cannot be read is taken as no match: the test sees garbled bytes.
    return FOptions.Baudrate == 0 ||
           (kivo::posix::GetLineSpeed(FSlave, Rate) == 0 && Rate == FOptions.Baudrate);
}

void TPhoneSim::HandleInput(std::string_view Data) {
    if (!SpeedMatches()) {
        // Characters sent at another speed arrive as other bytes, framing errors among them:
        // a command is lost, and what the phone sends back is no text to the program.
        constexpr std::string_view Garbled("\xf8\x00\x86\xfe\x1e\x80\xe0", 7);
        FLine.clear();
        Send(Garbled);
        return;
    }
    for (const char C : Data) {
        if (C != '\r' && C != '\n') {
            FLine += C;
            continue;
        }
        if (!FLine.empty()) {
            const std::string Line = std::exchange(FLine, {});
            Answer(Line);
        }
    }
}

void TPhoneSim::Answer(const std::string& Line) {
    {
        const std::lock_guard Guard(FLock);
        ++FCommandCount;
        if (FOnCommand) {
            FOnCommand(Line);
        }
    }
    FCommandSeen.notify_all();
    if (FOptions.Stream) {
        return;
    }
    std::string Echo;
    // A command that switches echo is itself echoed as echo was before it.
    if (FEcho == TEchoMode::emCR) {
        Echo = Line + "\r";
    } else if (FEcho == TEchoMode::emCRLF) {
        Echo = Line + "\r\n";
    }
    const std::string Reply = ReplyTo(Line);
    if (FOptions.ReplyDelayMs > 0 && !Pause(FOptions.ReplyDelayMs)) {
        return;
    }
    if (FOptions.UrcPlace == TUrcPlace::upBefore && !SendNotices()) {
        return;
    }
    if (FOptions.UrcPlace != TUrcPlace::upInside) {
        if (SendInPieces(Echo + Reply) && FOptions.UrcPlace == TUrcPlace::upAfter) {
            SendNotices();
        }
        return;
    }
    const std::size_t Final = FinalLineStart(Reply);
    if (SendInPieces(Echo + Reply.substr(0, Final)) && SendNotices()) {
        SendInPieces(Reply.substr(Final));
    }
}

bool TPhoneSim::SendInPieces(std::string_view Out) {
    if (FOptions.ChunkSize == 0) {
        Send(Out);
        return !FStopping;
    }
    for (std::size_t At = 0; At < Out.size(); At += FOptions.ChunkSize) {
        if (At > 0 && !Pause(FOptions.ChunkGapMs)) {
            return false;
        }
        Send(Out.substr(At, FOptions.ChunkSize));
    }
    return !FStopping;
}

bool TPhoneSim::SendNotices() {
    for (const std::string& Notice : FOptions.Urcs) {
        if (!SendInPieces(Framed(Notice))) {
            return false;
        }
    }
    return true;
}

bool TPhoneSim::ApplySetting(const std::string& Command) {
    if (Command == "Z") { // back to the settings the simulator started with
        FEcho = FOptions.Echo;
        FMessageFormat = '0';
        return true;
    }
    if (Command == "E0" || Command == "E1") {
        const TEchoMode On = FOptions.Echo == TEchoMode::emOff ? TEchoMode::emCR : FOptions.Echo;
        FEcho = Command == "E1" ? On : TEchoMode::emOff;
        return true;
    }
    if (Command == "+CMGF=0" || Command == "+CMGF=1") {
        FMessageFormat = Command.back();
        return true;
    }
    return false;
}

std::string TPhoneSim::ReplyTo(const std::string& Line) {
    const std::string Text = Normalised(Line);
    if (!Text.starts_with("AT")) {
        return {};
    }
    const std::string Command = Text.substr(2);
    if (Command.empty() || ApplySetting(Command)) {
        return Framed("OK");
    }
    if (Command == "+CMGF?") {
        return Framed(std::string("+CMGF: ") + FMessageFormat) + Framed("OK");
    }
    if (const std::string_view Setting = SettingAnswer(Command); !Setting.empty()) {
        return Framed(Setting) + Framed("OK");
    }
    const auto& Identity = PhoneSimIdentity();
    const auto Found = Identity.find(Command);
    const bool Fails = FOptions.FailCommand == "*" || Normalised(FOptions.FailCommand) == Command;
    if (Found == Identity.end()) {
        return IsSetUpCommand(Command) ? Framed("OK") : Framed("ERROR");
    }
    const std::string& Own =
        Command == "+CGSN" && !FOptions.Serial.empty() ? FOptions.Serial : Found->second;
    if (Fails) {
        switch (FOptions.Failure) {
        case TFailure::fError:
            return Framed("ERROR");
        case TFailure::fCmeNumeric:
        case TFailure::fCmeVerbose:
            return Framed("+CME ERROR: " + FOptions.FailDetail);
        case TFailure::fSilent:
            return {};
        case TFailure::fPartial:
            return Framed(Own);
        case TFailure::fNone:
            break;
        }
    }
    std::string Answer = Framed(FOptions.Tagged ? TaggedAnswer(Command, Own) : Own);
    if (!FOptions.MultiLineCommand.empty() && Normalised(FOptions.MultiLineCommand) == Command) {
        Answer += "Build 2026-03-14\r\n";
    }
    return Answer + Framed("OK");
}

void TPhoneSim::Send(std::string_view Data) {
    while (!Data.empty() && !FStopping) {
        const ssize_t Written = ::write(FMaster, Data.data(), Data.size());
        if (Written > 0) {
            Data.remove_prefix(static_cast<std::size_t>(Written));
            continue;
        }
        if (Written < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        std::array<pollfd, 2> Fds{{{FMaster, POLLOUT, 0}, {FWakeRead, POLLIN, 0}}};
        ::poll(Fds.data(), Fds.size(), -1);
    }
}

void TPhoneSim::SendStreamLine() {
    std::array<char, 96> Line{};
    const unsigned Second = FStreamCounter++;
    std::snprintf(Line.data(), Line.size(),
                  "$GPGGA,%06u,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n",
                  Second % 240000U);
    Send(Line.data());
}

bool TPhoneSim::Pause(int Ms) {
    pollfd Wake{FWakeRead, POLLIN, 0};
    ::poll(&Wake, 1, Ms);
    return !FStopping;
}
