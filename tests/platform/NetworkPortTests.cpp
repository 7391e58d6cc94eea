// The pieces of a network port: the telnet / COM-PORT-OPTION codec byte by byte, the port
// names, the bound on a connection that is never answered, and a socket:// device handle
// against a loopback server (the end of the connection in both directions).

#include "platform/posix/NetworkPort.h"
#include "platform/posix/Telnet.h"
#include "tests/platform/SerialTestSupport.h"

#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace kivo::posix;
using namespace std::string_literals;

std::string Bytes(std::initializer_list<unsigned char> List) {
    return {List.begin(), List.end()};
}

// Feeds Input to Client one byte at a time, as a server whose every byte arrives apart would.
void ReceiveBytewise(telnet::Client& Client, std::string_view Input, std::string& Data,
                     std::string& Reply) {
    for (const char Byte : Input) {
        Client.Receive(std::string_view(&Byte, 1), Data, Reply);
    }
}

TEST(TelnetCodec, IacIsDoubledOnTheWayOutAndUndoubledAcrossEverySplitOnTheWayIn) {
    telnet::Client Client;
    std::string Wire;
    Client.Send("a\xff"
                "b\xff\xff",
                Wire);
    EXPECT_EQ(Wire, "a\xff\xff"
                    "b\xff\xff\xff\xff");
    for (std::size_t Split = 0; Split <= Wire.size(); ++Split) {
        telnet::Client Receiver;
        std::string Data;
        std::string Reply;
        Receiver.Receive(std::string_view(Wire).substr(0, Split), Data, Reply);
        Receiver.Receive(std::string_view(Wire).substr(Split), Data, Reply);
        EXPECT_EQ(Data, "a\xff"
                        "b\xff\xff")
            << "split at " << Split;
        EXPECT_EQ(Reply, "");
    }
}

TEST(TelnetCodec, NegotiatesWithASer2netServerAndAnswersOnlyWhatWasNotAsked) {
    using namespace telnet;
    Client Client;
    EXPECT_EQ(Client.Start(),
              Bytes({Iac, Will, OptionComPort, Iac, Will, OptionBinary, Iac, Do, OptionBinary, Iac,
                     Will, OptionSuppressGoAhead, Iac, Do, OptionSuppressGoAhead}));
    EXPECT_EQ(Client.ComPort(), ComPortStatus::Asked);
    // What ser2net 4.3 sends on a new RFC 2217 connection, a modem state among the answers
    // and serial data after them.
    const std::string Server = Bytes({Iac,
                                      Will,
                                      OptionSuppressGoAhead,
                                      Iac,
                                      Do,
                                      OptionSuppressGoAhead,
                                      Iac,
                                      Will,
                                      OptionEcho,
                                      Iac,
                                      Dont,
                                      OptionEcho,
                                      Iac,
                                      Do,
                                      OptionBinary,
                                      Iac,
                                      Will,
                                      OptionBinary,
                                      Iac,
                                      Do,
                                      OptionComPort,
                                      Iac,
                                      Sb,
                                      OptionComPort,
                                      107,
                                      0xbb,
                                      Iac,
                                      Se,
                                      Iac,
                                      Do,
                                      OptionSuppressGoAhead}) +
                               "OK\r\n";
    std::string Data;
    std::string Reply;
    ReceiveBytewise(Client, Server, Data, Reply);
    EXPECT_EQ(Client.ComPort(), ComPortStatus::Agreed);
    ASSERT_TRUE(Client.ModemState().has_value());
    EXPECT_EQ(*Client.ModemState(), 0xbb);
    EXPECT_EQ(Data, "OK\r\n");
    // Echo is refused; what we asked for and got is not answered again.
    EXPECT_EQ(Reply, Bytes({Iac, Dont, OptionEcho}));
    // Binary both ways: a CR goes out bare.
    std::string Wire;
    Client.Send("AT\r", Wire);
    EXPECT_EQ(Wire, "AT\r");
}

TEST(TelnetCodec, AServerThatRefusesComPortOrAsksForOtherOptionsIsAnsweredOnce) {
    using namespace telnet;
    Client Client;
    (void)Client.Start();
    std::string Data;
    std::string Reply;
    Client.Receive(Bytes({Iac, Dont, OptionComPort, Iac, Do, 24, Iac, Wont, OptionBinary}), Data,
                   Reply);
    EXPECT_EQ(Client.ComPort(), ComPortStatus::Refused);
    EXPECT_EQ(Reply, Bytes({Iac, Wont, 24})); // terminal type: not offered
    // Without binary from the server, CR NUL carries a bare CR; the NUL is no data.
    Client.Receive("A\r"s + '\0' + "B", Data, Reply);
    EXPECT_EQ(Data, "A\rB");
}

TEST(TelnetCodec, ComPortCommandsAreFramedWithTheirValuesIacDoubled) {
    using namespace telnet;
    EXPECT_EQ(ComPortCommand(ComCommand::SetBaudrate, BigEndian32(57600)),
              Bytes({Iac, Sb, OptionComPort, 1, 0, 0, 0xe1, 0x00, Iac, Se}));
    EXPECT_EQ(ComPortCommand(ComCommand::SetBaudrate, BigEndian32(0x1ffff)),
              Bytes({Iac, Sb, OptionComPort, 1, 0, 1, 0xff, 0xff, 0xff, 0xff, Iac, Se}));
    EXPECT_EQ(ComPortCommand(ComCommand::SetControl, Bytes({ControlDtrOn})),
              Bytes({Iac, Sb, OptionComPort, 5, 8, Iac, Se}));
}

TEST(NetworkNames, RecogniseBothSchemesAndRefuseWhatNamesNoServer) {
    const auto Telnet = ParseNetworkName("RFC2217://modems.lab:2001");
    ASSERT_TRUE(Telnet.has_value());
    EXPECT_TRUE(Telnet->Telnet);
    EXPECT_EQ(Telnet->Text(), "modems.lab:2001");
    const auto Raw = ParseNetworkName("socket://[::1]:4000");
    ASSERT_TRUE(Raw.has_value());
    EXPECT_FALSE(Raw->Telnet);
    EXPECT_EQ(Raw->Host, "::1");
    EXPECT_EQ(Raw->Text(), "[::1]:4000");
    for (const char* Bad : {"socket://host", "socket://:2000", "socket://host:0",
                            "socket://host:65536", "socket://host:20x0", "rfc2217://a:b:1",
                            "rfc2217://host:2000/path", "telnet://host:23", "/dev/ttyS0"}) {
        EXPECT_FALSE(ParseNetworkName(Bad).has_value()) << Bad;
    }
    EXPECT_TRUE(IsNetworkName("Socket://x"));
    EXPECT_FALSE(IsNetworkName("/dev/socket://x"));
}

TEST(NetworkConnect, AConnectionNeverAnsweredEndsAtItsBoundAsATimeOut) {
    // A listener whose backlog is full drops further connection requests unanswered, as an
    // unroutable address does.
    const int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Address;
    ASSERT_EQ(::bind(Listener, reinterpret_cast<sockaddr*>(&Address), Length), 0);
    ASSERT_EQ(::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length), 0);
    ASSERT_EQ(::listen(Listener, 0), 0);
    const NetworkAddress Server{
        .Telnet = false, .Host = "127.0.0.1", .Port = std::to_string(ntohs(Address.sin_port))};
    DWORD Error = ERROR_SUCCESS;
    const int Queued = ConnectWithin(Server, std::chrono::seconds(30), Error);
    ASSERT_GE(Queued, 0) << Error; // fills the backlog
    constexpr std::chrono::milliseconds Bound{300};
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectWithin(Server, Bound, Error), -1);
    EXPECT_EQ(Error, static_cast<DWORD>(ETIMEDOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - Start, Bound);
    ::close(Queued);
    ::close(Listener);
}

TEST(NetworkConnect, AHostNameThatResolvesToNothingIsNotFound) {
    DWORD Error = ERROR_SUCCESS;
    const NetworkAddress Nowhere{.Telnet = true, .Host = "kivo-no-such-host.invalid", .Port = "1"};
    EXPECT_EQ(ConnectWithin(Nowhere, std::chrono::seconds(30), Error), -1);
    EXPECT_TRUE(Error == WSAHOST_NOT_FOUND || Error == WSATRY_AGAIN) << Error;
}

// A loopback listener on a port the system chose, and the one connection it accepts.
class LoopbackServer {
public:
    LoopbackServer() : FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        if (::bind(FListener, reinterpret_cast<sockaddr*>(&Address), Length) == 0 &&
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&Address), &Length) == 0 &&
            ::listen(FListener, 1) == 0) {
            FName = "socket://127.0.0.1:" + std::to_string(ntohs(Address.sin_port));
        }
    }
    ~LoopbackServer() {
        CloseClient();
        ::close(FListener);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    [[nodiscard]] const std::string& Name() const { return FName; }
    void Accept() { FClient = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC); }
    void Send(std::string_view Bytes) const {
        ASSERT_EQ(::send(FClient, Bytes.data(), Bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(Bytes.size()));
    }
    // What the client sent until Count bytes came, or the connection's end ("" at once).
    [[nodiscard]] std::string Receive(std::size_t Count) const {
        std::string Got;
        pollfd Watched{.fd = FClient, .events = POLLIN, .revents = 0};
        while (Got.size() < Count && ::poll(&Watched, 1, kivo::test::Generous) > 0) {
            std::array<char, 256> Buffer{};
            const ssize_t Read = ::recv(FClient, Buffer.data(), Buffer.size(), 0);
            if (Read <= 0) {
                break;
            }
            Got.append(Buffer.data(), static_cast<std::size_t>(Read));
        }
        return Got;
    }
    // True when the client closed its side (within the generous bound).
    [[nodiscard]] bool ClientClosed() const {
        pollfd Watched{.fd = FClient, .events = POLLIN, .revents = 0};
        std::array<char, 16> Buffer{};
        return ::poll(&Watched, 1, kivo::test::Generous) > 0 &&
               ::recv(FClient, Buffer.data(), Buffer.size(), 0) == 0;
    }
    void CloseClient() {
        if (FClient >= 0) {
            ::close(FClient);
            FClient = -1;
        }
    }

private:
    int FListener;
    int FClient = -1;
    std::string FName;
};

TEST(NetworkDevice, CarriesEveryByteAndFailsAPendingReadWhenTheServerCloses) {
    LoopbackServer Server;
    kivo::test::Port Device(Server.Name());
    ASSERT_TRUE(Device.IsOpen()) << Device.OpenError();
    Server.Accept();
    COMMTIMEOUTS Blocking{}; // no time-outs: a read ends when its bytes are there
    ASSERT_TRUE(SetCommTimeouts(Device.Handle(), &Blocking));
    kivo::test::Overlapped Write;
    DWORD Done = 0;
    const std::string Out("AT\r\xff\x00", 5);
    if (WriteFile(Device.Handle(), Out.data(), 5, &Done, &Write.Record) == FALSE) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(Server.Receive(5), Out);
    Server.Send(std::string("\xffOK", 3));
    std::array<char, 8> In{};
    kivo::test::Overlapped Read;
    if (ReadFile(Device.Handle(), In.data(), 3, &Done, &Read.Record) == FALSE) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(Device.Handle(), &Read.Record, &Done, TRUE));
    }
    EXPECT_EQ(std::string(In.data(), Done), std::string("\xffOK", 3));

    kivo::test::Overlapped Pending;
    ASSERT_FALSE(ReadFile(Device.Handle(), In.data(), 1, &Done, &Pending.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Server.CloseClient();
    ASSERT_TRUE(Pending.Completed());
    EXPECT_FALSE(GetOverlappedResult(Device.Handle(), &Pending.Record, &Done, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_GRACEFUL_DISCONNECT);
}

TEST(NetworkDevice, CloseHandleAbortsAPendingReadAndEndsTheConnection) {
    LoopbackServer Server;
    kivo::test::Port Device(Server.Name());
    ASSERT_TRUE(Device.IsOpen()) << Device.OpenError();
    Server.Accept();
    COMMTIMEOUTS Blocking{};
    ASSERT_TRUE(SetCommTimeouts(Device.Handle(), &Blocking));
    std::array<char, 8> In{};
    DWORD Done = 0;
    kivo::test::Overlapped Pending;
    ASSERT_FALSE(ReadFile(Device.Handle(), In.data(), 1, &Done, &Pending.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Device.Close();
    ASSERT_TRUE(Pending.Completed());
    EXPECT_EQ(Pending.Record.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(Server.ClientClosed()) << "the connection outlived its handle";
}

// The server's side of RFC 2217 as a test scripts it: it agrees to COM-PORT-OPTION at once
// and reports CTS and DSR on.
void AgreeToComPort(LoopbackServer& Server) {
    using namespace telnet;
    Server.Accept();
    Server.Send(
        Bytes({Iac, Do, OptionComPort, Iac, Sb, OptionComPort, 107, ModemCts | ModemDsr, Iac, Se}));
}

TEST(NetworkDevice, Rfc2217SendsTheLineSettingsAndDtrAndReportsTheServersModemLines) {
    using namespace telnet;
    LoopbackServer Server;
    std::thread Agreeing(AgreeToComPort, std::ref(Server));
    const std::string Name = "rfc2217" + Server.Name().substr(Server.Name().find(':'));
    kivo::test::Port Device(Name);
    Agreeing.join();
    ASSERT_TRUE(Device.IsOpen()) << Device.OpenError();
    DCB Dcb{};
    ASSERT_TRUE(GetCommState(Device.Handle(), &Dcb));
    Dcb.BaudRate = 57600;
    Dcb.ByteSize = 7;
    Dcb.Parity = EVENPARITY;
    Dcb.StopBits = TWOSTOPBITS;
    Dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(Device.Handle(), &Dcb));
    const std::string Expected = ComPortCommand(ComCommand::SetBaudrate, BigEndian32(57600)) +
                                 ComPortCommand(ComCommand::SetDataSize, "\x07") +
                                 ComPortCommand(ComCommand::SetParity, "\x03") +
                                 ComPortCommand(ComCommand::SetStopSize, "\x02") +
                                 ComPortCommand(ComCommand::SetControl, "\x01") +
                                 ComPortCommand(ComCommand::SetControl, "\x08");
    std::string Got;
    while (Got.find(Expected) == std::string::npos) {
        const std::string More = Server.Receive(1);
        if (More.empty()) {
            break;
        }
        Got += More;
    }
    EXPECT_NE(Got.find(Expected), std::string::npos) << "the server did not get the settings";

    // DSR drops at the server: the device's EV_DSR fires.
    ASSERT_TRUE(SetCommMask(Device.Handle(), EV_DSR));
    DWORD Events = 0;
    kivo::test::Overlapped Wait;
    ASSERT_FALSE(WaitCommEvent(Device.Handle(), &Events, &Wait.Record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Server.Send(Bytes({Iac, Sb, OptionComPort, 107, ModemCts, Iac, Se}));
    ASSERT_TRUE(Wait.Completed());
    EXPECT_EQ(Events, EV_DSR);
}

} // namespace
