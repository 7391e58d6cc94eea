#include "platform/posix/NetworkPort.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace kivo::posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t ChunkSize = 4096;
constexpr std::size_t ToServerLimit =
    std::size_t{64} * 1024; // the pty is not read while this much waits

// A connection that dies without a word (a cable pulled, a router gone) is noticed within
// about half a minute by keep-alive probes.
constexpr int KeepIdleSeconds = 10;
constexpr int KeepIntervalSeconds = 5;
constexpr int KeepProbes = 3;
constexpr int UnansweredMs = (KeepIdleSeconds + KeepIntervalSeconds * KeepProbes) * 1000;

// Before hanging up the pty after the server closed, the device is given this long to take
// what the server sent last (a hang-up discards what the terminal still holds).
constexpr milliseconds DrainBound{1000};
constexpr milliseconds DrainStep{10};

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
    if (Text.size() < Prefix.size()) {
        return false;
    }
    for (std::size_t I = 0; I < Prefix.size(); ++I) {
        if (std::tolower(static_cast<unsigned char>(Text[I])) != Prefix[I]) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view TelnetScheme = "rfc2217://";
constexpr std::string_view SocketScheme = "socket://";

bool ValidPort(std::string_view Port) {
    if (Port.empty() || Port.size() > 5) {
        return false;
    }
    unsigned Number = 0;
    for (const char Digit : Port) {
        if (std::isdigit(static_cast<unsigned char>(Digit)) == 0) {
            return false;
        }
        Number = Number * 10 + static_cast<unsigned>(Digit - '0');
    }
    return Number >= 1 && Number <= 65535;
}

void CloseFd(int& Fd) {
    if (Fd >= 0) {
        // Nothing is left to do when close fails: the descriptor is gone either way.
        (void)::close(Fd);
        Fd = -1;
    }
}

void SetOption(int Fd, int Level, int Name, int Value) {
    // Tuning only: a socket that refuses one still carries the connection.
    (void)::setsockopt(Fd, Level, Name, &Value, sizeof Value);
}

// Waits until Fd is connected or the deadline passes: 0, or the errno why not.
int AwaitConnection(int Fd, Clock::time_point Deadline) {
    for (;;) {
        // Rounded up: a wait that ends before the deadline would cut the bound short.
        const auto Left = std::chrono::ceil<milliseconds>(Deadline - Clock::now()).count();
        if (Left <= 0) {
            return ETIMEDOUT;
        }
        pollfd Watched{.fd = Fd, .events = POLLOUT, .revents = 0};
        const int Ready = ::poll(&Watched, 1, static_cast<int>(Left));
        if (Ready == 0 || (Ready < 0 && errno == EINTR)) {
            continue; // the next round ends it once the deadline has passed
        }
        if (Ready < 0) {
            return errno;
        }
        int Error = 0;
        socklen_t Length = sizeof Error;
        if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0) {
            return errno;
        }
        return Error;
    }
}

DWORD LookUpError(int Code) {
    switch (Code) {
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_SYSTEM:
        return static_cast<DWORD>(errno);
    case EAI_MEMORY:
        return static_cast<DWORD>(ENOMEM);
    default:
        return WSAHOST_NOT_FOUND;
    }
}

struct AddressList {
    addrinfo* First = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (First != nullptr) {
            ::freeaddrinfo(First);
        }
    }
};

// The pty pair: master and terminal side, both non-blocking; the terminal side raw, so that
// nothing the server sends is changed before the device opens it. ERROR_SUCCESS or an errno.
DWORD OpenPtyPair(int& Master, int& Terminal, std::string& Path) {
    Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (Master < 0) {
        return static_cast<DWORD>(errno);
    }
    std::array<char, 128> Name{};
    if (::grantpt(Master) != 0 || ::unlockpt(Master) != 0 ||
        ::ptsname_r(Master, Name.data(), Name.size()) != 0) {
        const auto Error = static_cast<DWORD>(errno);
        CloseFd(Master);
        return Error;
    }
    Path = Name.data();
    Terminal = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios Raw{};
    if (Terminal < 0 || ::tcgetattr(Terminal, &Raw) != 0) {
        const auto Error = static_cast<DWORD>(errno);
        CloseFd(Terminal);
        CloseFd(Master);
        return Error;
    }
    ::cfmakeraw(&Raw);
    (void)::tcsetattr(Terminal, TCSANOW, &Raw); // the device sets its own mode on open
    return ERROR_SUCCESS;
}

// The RFC 2217 commands for the framing, speed and flow control of Dcb.
std::string SettingsCommands(const DCB& Dcb) {
    using telnet::ComCommand;
    using telnet::ComPortCommand;
    static constexpr std::array<char, 5> Parities{1, 2, 3, 4, 5}; // none odd even mark space
    static constexpr std::array<char, 3> StopSizes{1, 3, 2};      // one, one and a half, two
    std::string Out = ComPortCommand(ComCommand::SetBaudrate, telnet::BigEndian32(Dcb.BaudRate));
    Out += ComPortCommand(ComCommand::SetDataSize, std::string(1, static_cast<char>(Dcb.ByteSize)));
    Out += ComPortCommand(ComCommand::SetParity,
                          std::string(1, Parities.at(std::min<std::size_t>(Dcb.Parity, 4))));
    Out += ComPortCommand(ComCommand::SetStopSize,
                          std::string(1, StopSizes.at(std::min<std::size_t>(Dcb.StopBits, 2))));
    unsigned char Flow = telnet::ControlNoFlow;
    if (Dcb.fOutxCtsFlow != 0 || Dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        Flow = telnet::ControlHardware;
    } else if (Dcb.fOutX != 0 || Dcb.fInX != 0) {
        Flow = telnet::ControlXonXoff;
    }
    Out += ComPortCommand(ComCommand::SetControl, std::string(1, static_cast<char>(Flow)));
    return Out;
}

DWORD SocketError(int Fd) {
    int Error = 0;
    socklen_t Length = sizeof Error;
    if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0 || Error == 0) {
        return ERROR_GRACEFUL_DISCONNECT;
    }
    return static_cast<DWORD>(Error);
}

int LinesOfModemState(unsigned char State) {
    int Lines = 0;
    Lines |= (State & telnet::ModemCts) != 0 ? LineCts : 0;
    Lines |= (State & telnet::ModemDsr) != 0 ? LineDsr : 0;
    Lines |= (State & telnet::ModemRing) != 0 ? LineRing : 0;
    Lines |= (State & telnet::ModemDcd) != 0 ? LineDcd : 0;
    return Lines;
}

} // namespace

std::string NetworkAddress::Text() const {
    return (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) + ":" + Port;
}

bool IsNetworkName(std::string_view Name) {
    return StartsWithNoCase(Name, TelnetScheme) || StartsWithNoCase(Name, SocketScheme);
}

std::optional<NetworkAddress> ParseNetworkName(std::string_view Name) {
    NetworkAddress Address;
    Address.Telnet = StartsWithNoCase(Name, TelnetScheme);
    if (!Address.Telnet && !StartsWithNoCase(Name, SocketScheme)) {
        return std::nullopt;
    }
    Name.remove_prefix(Address.Telnet ? TelnetScheme.size() : SocketScheme.size());
    std::string_view Host;
    std::string_view Port;
    if (Name.starts_with('[')) {
        const auto Close = Name.find(']');
        if (Close == std::string_view::npos || Name.substr(Close + 1, 1) != ":") {
            return std::nullopt;
        }
        Host = Name.substr(1, Close - 1);
        Port = Name.substr(Close + 2);
    } else {
        const auto Colon = Name.find(':');
        if (Colon == std::string_view::npos ||
            Name.find(':', Colon + 1) != std::string_view::npos) {
            return std::nullopt;
        }
        Host = Name.substr(0, Colon);
        Port = Name.substr(Colon + 1);
    }
    if (Host.empty() || Host.find_first_of("/?#@ ") != std::string_view::npos || !ValidPort(Port)) {
        return std::nullopt;
    }
    Address.Host = Host;
    Address.Port = Port;
    return Address;
}

int ConnectWithin(const NetworkAddress& Address, milliseconds Bound, DWORD& Error) {
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_NUMERICSERV;
    AddressList List;
    if (const int Code =
            ::getaddrinfo(Address.Host.c_str(), Address.Port.c_str(), &Hints, &List.First);
        Code != 0) {
        Error = LookUpError(Code);
        return -1;
    }
    const auto Deadline = Clock::now() + Bound;
    Error = ETIMEDOUT;
    for (const addrinfo* Entry = List.First; Entry != nullptr; Entry = Entry->ai_next) {
        int Fd = ::socket(Entry->ai_family, Entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          Entry->ai_protocol);
        if (Fd < 0) {
            Error = static_cast<DWORD>(errno);
            continue;
        }
        int Result = ::connect(Fd, Entry->ai_addr, Entry->ai_addrlen) == 0 ? 0 : errno;
        if (Result == EINPROGRESS) {
            Result = AwaitConnection(Fd, Deadline);
        }
        if (Result == 0) {
            SetOption(Fd, IPPROTO_TCP, TCP_NODELAY, 1); // commands are short and wait for replies
            SetOption(Fd, SOL_SOCKET, SO_KEEPALIVE, 1);
            SetOption(Fd, IPPROTO_TCP, TCP_KEEPIDLE, KeepIdleSeconds);
            SetOption(Fd, IPPROTO_TCP, TCP_KEEPINTVL, KeepIntervalSeconds);
            SetOption(Fd, IPPROTO_TCP, TCP_KEEPCNT, KeepProbes);
            SetOption(Fd, IPPROTO_TCP, TCP_USER_TIMEOUT, UnansweredMs); // data sent, no reply
            return Fd;
        }
        CloseFd(Fd);
        Error = static_cast<DWORD>(Result);
        if (Result == ETIMEDOUT) {
            break; // the bound is spent
        }
    }
    return -1;
}

// --- The relay -----------------------------------------------------------------------------

std::shared_ptr<NetworkRelay> NetworkRelay::Open(const std::string& Name, milliseconds Bound,
                                                 DWORD& Error) {
    const auto Address = ParseNetworkName(Name);
    if (!Address) {
        Error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    Descriptors Fds;
    Fds.Socket = ConnectWithin(*Address, Bound, Error);
    if (Fds.Socket < 0) {
        return nullptr;
    }
    std::string Path;
    Error = OpenPtyPair(Fds.Master, Fds.Terminal, Path);
    std::array<int, 2> Wake{-1, -1};
    if (Error == ERROR_SUCCESS && ::pipe2(Wake.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        Error = static_cast<DWORD>(errno);
    }
    if (Error != ERROR_SUCCESS) {
        for (int* Fd : {&Fds.Socket, &Fds.Master, &Fds.Terminal}) {
            CloseFd(*Fd);
        }
        return nullptr;
    }
    Fds.WakeRead = Wake[0];
    Fds.WakeWrite = Wake[1];
    std::shared_ptr<NetworkRelay> Relay(new NetworkRelay(*Address, Fds, std::move(Path)));
    try {
        Relay->FThread = std::thread([Self = Relay.get()] { Self->Run(); });
    } catch (const std::system_error& E) {
        Error = static_cast<DWORD>(E.code().value());
        return nullptr;
    }
    if (Address->Telnet) {
        Relay->WaitForServer(Bound);
    }
    const std::lock_guard Guard(Relay->FLock);
    if (Relay->FEnded) {
        Error = Relay->FEndError; // the server closed at once
        return nullptr;
    }
    return Relay;
}

NetworkRelay::NetworkRelay(const NetworkAddress& Address, const Descriptors& Fds,
                           std::string TerminalPath)
    : FAddress(Address), FFds(Fds), FTerminalPath(std::move(TerminalPath)) {
    if (FAddress.Telnet) {
        FToServer = FTelnet.Start();
    }
}

NetworkRelay::~NetworkRelay() {
    {
        const std::lock_guard Guard(FLock);
        FStop = true;
    }
    const char Byte = 0;
    (void)::write(FFds.WakeWrite, &Byte, 1); // a full pipe wakes the thread all the same
    if (FThread.joinable()) {
        FThread.join();
    }
    Descriptors Fds = FFds;
    for (int* Fd : {&Fds.Socket, &Fds.Terminal, &Fds.WakeRead, &Fds.WakeWrite}) {
        CloseFd(*Fd);
    }
    const std::lock_guard Guard(FLock);
    if (!FEnded) {
        CloseFd(Fds.Master); // else EndLink closed it
    }
}

// The server answers the COM-PORT-OPTION request, and with it agreed, reports the modem
// lines; a server that says nothing within Bound is used without lines.
void NetworkRelay::WaitForServer(milliseconds Bound) {
    std::unique_lock Lock(FLock);
    (void)FChanged.wait_for(Lock, Bound, [this] {
        return FEnded || FTelnet.ComPort() == telnet::ComPortStatus::Refused ||
               (FTelnet.ComPort() == telnet::ComPortStatus::Agreed && FModemState.has_value());
    });
}

void NetworkRelay::Queue(std::string_view Bytes) {
    FToServer += Bytes;
    const char Byte = 0;
    (void)::write(FFds.WakeWrite, &Byte, 1); // a full pipe wakes the thread all the same
}

void NetworkRelay::Run() {
    DWORD Why = ERROR_SUCCESS;
    while (Pump(Why)) {
    }
    EndLink(Why);
}

// One round of the relay: waits for what can move and moves it. False once the connection
// ended (Why says how) or the relay stops.
bool NetworkRelay::Pump(DWORD& Why) {
    std::array<pollfd, 3> Watched{};
    {
        const std::lock_guard Guard(FLock);
        if (FStop) {
            return false;
        }
        Watched[0] = {.fd = FFds.WakeRead, .events = POLLIN, .revents = 0};
        Watched[1] = {.fd = FFds.Socket,
                      .events = static_cast<short>((FToTerminal.empty() ? POLLIN : 0) |
                                                   (FToServer.empty() ? 0 : POLLOUT)),
                      .revents = 0};
        Watched[2] = {.fd = FFds.Master,
                      .events = static_cast<short>((FToServer.size() < ToServerLimit ? POLLIN : 0) |
                                                   (FToTerminal.empty() ? 0 : POLLOUT)),
                      .revents = 0};
    }
    if (::poll(Watched.data(), Watched.size(), -1) < 0) {
        Why = static_cast<DWORD>(errno);
        return errno == EINTR;
    }
    std::array<char, ChunkSize> Buffer{};
    if ((Watched[0].revents & POLLIN) != 0) {
        while (::read(FFds.WakeRead, Buffer.data(), Buffer.size()) > 0) {
        }
    }
    const std::lock_guard Guard(FLock);
    if (FStop) {
        return false;
    }
    if ((Watched[1].revents & (POLLHUP | POLLERR)) != 0 && !FToTerminal.empty()) {
        Why = SocketError(FFds.Socket);
        return false; // what the connection brought goes to the device at the end
    }
    if ((Watched[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && FToTerminal.empty()) {
        const ssize_t Got = ::recv(FFds.Socket, Buffer.data(), Buffer.size(), 0);
        if (Got == 0) {
            Why = ERROR_GRACEFUL_DISCONNECT;
            return false;
        }
        if (Got < 0 && errno != EAGAIN && errno != EINTR) {
            Why = static_cast<DWORD>(errno);
            return false;
        }
        if (Got > 0) {
            const std::string_view Received(Buffer.data(), static_cast<std::size_t>(Got));
            if (!FAddress.Telnet) {
                FToTerminal.append(Received);
            } else {
                const auto Before = FTelnet.ComPort();
                FTelnet.Receive(Received, FToTerminal, FToServer);
                const auto State = FTelnet.ModemState();
                const bool LinesMoved =
                    State &&
                    (!FModemState || LinesOfModemState(*State) != LinesOfModemState(*FModemState));
                if (State) {
                    FModemState = State;
                }
                if (LinesMoved || Before != FTelnet.ComPort()) {
                    ++FModemChanges;
                    FChanged.notify_all();
                }
            }
        }
    }
    if ((Watched[2].revents & POLLIN) != 0 && FToServer.size() < ToServerLimit) {
        const ssize_t Got = ::read(FFds.Master, Buffer.data(), Buffer.size());
        if (Got > 0) {
            const std::string_view Sent(Buffer.data(), static_cast<std::size_t>(Got));
            if (FAddress.Telnet) {
                FTelnet.Send(Sent, FToServer);
            } else {
                FToServer.append(Sent);
            }
        }
    }
    if (!FToTerminal.empty()) {
        const ssize_t Put = ::write(FFds.Master, FToTerminal.data(), FToTerminal.size());
        if (Put > 0) {
            FToTerminal.erase(0, static_cast<std::size_t>(Put));
        }
    }
    if (!FToServer.empty()) {
        const ssize_t Put = ::send(FFds.Socket, FToServer.data(), FToServer.size(), MSG_NOSIGNAL);
        if (Put > 0) {
            FToServer.erase(0, static_cast<std::size_t>(Put));
        } else if (Put < 0 && errno != EAGAIN && errno != EINTR) {
            Why = errno == EPIPE ? ERROR_GRACEFUL_DISCONNECT : static_cast<DWORD>(errno);
            return false;
        }
    }
    return true;
}

// The connection ended: what the server sent last goes to the device, the device hears why,
// then the pty hangs up. On a stop the device is gone and nothing waits.
void NetworkRelay::EndLink(DWORD Why) {
    std::unique_lock Lock(FLock);
    const bool Stopped = FStop;
    if (!Stopped) {
        DrainToTerminal(Lock);
    }
    FEnded = true;
    FEndError = Why;
    FChanged.notify_all();
    Lock.unlock();
    if (!Stopped) {
        const std::lock_guard Ending(FEndLock);
        FEndReported = true;
        FReportedWhy = Why;
        if (FOnEnd) {
            FOnEnd(Why);
        }
    }
    int Master = FFds.Master;
    CloseFd(Master);
}

// Gives the device up to DrainBound to take in what the server sent (a hang-up discards what
// the terminal still holds). Under Lock, which it lets go while it waits.
void NetworkRelay::DrainToTerminal(std::unique_lock<std::mutex>& Lock) {
    const auto Deadline = Clock::now() + DrainBound;
    int Held = 0;
    while (Clock::now() < Deadline && !FStop) {
        if (!FToTerminal.empty()) {
            const ssize_t Put = ::write(FFds.Master, FToTerminal.data(), FToTerminal.size());
            if (Put > 0) {
                FToTerminal.erase(0, static_cast<std::size_t>(Put));
            }
        }
        if (FToTerminal.empty() && (::ioctl(FFds.Terminal, FIONREAD, &Held) != 0 || Held == 0)) {
            return;
        }
        // The device takes input in on its own thread: give it a moment, without spinning.
        Lock.unlock();
        std::this_thread::sleep_for(DrainStep);
        Lock.lock();
    }
}

void NetworkRelay::WhenEnded(std::function<void(DWORD)> Ended) {
    const std::lock_guard Ending(FEndLock);
    if (FEndReported) {
        Ended(FReportedWhy); // the connection ended before the device listened
        return;
    }
    FOnEnd = std::move(Ended);
}

bool NetworkRelay::HasLines() const {
    return FAddress.Telnet && FTelnet.ComPort() == telnet::ComPortStatus::Agreed &&
           FModemState.has_value();
}

bool NetworkRelay::GetLines(int& Lines) {
    const std::lock_guard Guard(FLock);
    if (!HasLines()) {
        return false;
    }
    Lines = FOutputLines | LinesOfModemState(*FModemState);
    return true;
}

bool NetworkRelay::SetLines(int Set, int Clear) {
    const std::lock_guard Guard(FLock);
    if (!HasLines() || FEnded) {
        return true; // nothing to set, as on a pty
    }
    using telnet::ComCommand;
    std::string Commands;
    const auto Control = [&](unsigned char Value) {
        Commands += telnet::ComPortCommand(ComCommand::SetControl,
                                           std::string(1, static_cast<char>(Value)));
    };
    if ((Set & LineDtr) != 0) {
        Control(telnet::ControlDtrOn);
    } else if ((Clear & LineDtr) != 0) {
        Control(telnet::ControlDtrOff);
    }
    if ((Set & LineRts) != 0) {
        Control(telnet::ControlRtsOn);
    } else if ((Clear & LineRts) != 0) {
        Control(telnet::ControlRtsOff);
    }
    FOutputLines = (FOutputLines | (Set & (LineDtr | LineRts))) & ~(Clear & (LineDtr | LineRts));
    Queue(Commands);
    return true;
}

bool NetworkRelay::GetCounters(LineCounters& /*Counters*/) {
    return false; // RFC 2217 reports line errors as events, not totals
}

bool NetworkRelay::WaitForChange() {
    std::unique_lock Lock(FLock);
    FChanged.wait(Lock, [this] { return FInterrupted || FEnded || FModemChanges != FSeenChanges; });
    FSeenChanges = FModemChanges;
    return !FInterrupted && !FEnded;
}

void NetworkRelay::Interrupt() {
    {
        const std::lock_guard Guard(FLock);
        FInterrupted = true;
        FChanged.notify_all();
    }
    const std::lock_guard Ending(FEndLock); // waits for an Ended that runs
    FOnEnd = nullptr;
}

void NetworkRelay::TakeSettings(const DCB& Dcb) {
    const std::lock_guard Guard(FLock);
    if (!FAddress.Telnet || FEnded || FTelnet.ComPort() != telnet::ComPortStatus::Agreed) {
        return;
    }
    std::string Commands = SettingsCommands(Dcb);
    if (Commands != FSentSettings) {
        Queue(Commands);
        FSentSettings = std::move(Commands);
    }
}

} // namespace kivo::posix
