// kivo-read on a modem behind a network serial server: the real ser2net on 127.0.0.1 with the
// simulated phone on a pty behind it, over RFC 2217 and raw TCP; and the ways a network port
// fails (nothing listening, the server closing mid-read).

#include "tests/tools/DeviceClient.h"
#include "tests/tools/SimOptions.h"
#include "tools/PhoneSim.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ; // NOLINT: the process environment, handed to the server

namespace {

constexpr int NotifyFd = 3; // where the listen preload writes the server's port

TProcessResult Read(const std::vector<std::string>& Args) {
    return RunProcess(KIVO_READ_PATH, Args);
}

// ser2net serving Device on a port of 127.0.0.1 that the system picks, in the foreground,
// with the modem-line shim (its RFC 2217 side sets DTR) and the preload that reports the
// port once it listens.
class TSer2net {
public:
    TSer2net(const std::string& Device, bool Telnet) {
        FConfig = ::testing::TempDir() + "kivo-ser2net-" + std::to_string(::getpid()) + ".yaml";
        std::ofstream(FConfig) << "connection: &phone\n"
                               << "  accepter: " << (Telnet ? "telnet(rfc2217),tcp" : "tcp")
                               << ",127.0.0.1,0\n"
                               << "  connector: serialdev," << Device << ",9600n81,local\n";
        std::array<int, 2> Pipe{};
        if (::pipe2(Pipe.data(), O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> Env;
        for (char** Entry = environ; *Entry != nullptr; ++Entry) {
            Env.emplace_back(*Entry);
        }
        Env.push_back(std::string("LD_PRELOAD=") + KIVO_MODEM_LINES_SHIM + ":" +
                      KIVO_LISTEN_NOTIFY);
        Env.push_back("KIVO_LISTEN_NOTIFY_FD=" + std::to_string(NotifyFd));
        std::vector<char*> EnvPointers;
        EnvPointers.reserve(Env.size() + 1);
        for (auto& Entry : Env) {
            EnvPointers.push_back(Entry.data());
        }
        EnvPointers.push_back(nullptr);
        std::vector<std::string> Args{KIVO_SER2NET, "-n", "-d", "-c", FConfig};
        std::vector<char*> ArgPointers;
        ArgPointers.reserve(Args.size() + 1);
        for (auto& Arg : Args) {
            ArgPointers.push_back(Arg.data());
        }
        ArgPointers.push_back(nullptr);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, Pipe[1], NotifyFd);
        posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&FPid, KIVO_SER2NET, &Actions, nullptr, ArgPointers.data(),
                        EnvPointers.data()) != 0) {
            FPid = -1;
        }
        posix_spawn_file_actions_destroy(&Actions);
        ::close(Pipe[1]);
        FPort = ReadPort(Pipe[0]);
        ::close(Pipe[0]);
    }
    ~TSer2net() {
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            int Status = 0;
            ::waitpid(FPid, &Status, 0);
        }
        ::unlink(FConfig.c_str());
    }
    TSer2net(const TSer2net&) = delete;
    TSer2net& operator=(const TSer2net&) = delete;
    TSer2net(TSer2net&&) = delete;
    TSer2net& operator=(TSer2net&&) = delete;

    // The port it listens on; 0 when it did not start listening.
    [[nodiscard]] int Port() const { return FPort; }

private:
    static int ReadPort(int Fd) {
        std::string Line;
        pollfd Watched{.fd = Fd, .events = POLLIN, .revents = 0};
        while (Line.find('\n') == std::string::npos && ::poll(&Watched, 1, 20000) > 0) {
            std::array<char, 64> Buffer{};
            const ssize_t Got = ::read(Fd, Buffer.data(), Buffer.size());
            if (Got <= 0) {
                break;
            }
            Line.append(Buffer.data(), static_cast<std::size_t>(Got));
        }
        return std::atoi(Line.c_str());
    }

    std::string FConfig;
    pid_t FPid = -1;
    int FPort = 0;
};

bool HaveSer2net() {
    return !std::string_view(KIVO_SER2NET).empty();
}

#define SKIP_WITHOUT_SER2NET()                                                                     \
    if (!HaveSer2net()) {                                                                          \
        GTEST_SKIP() << "ser2net is not installed (Debian package ser2net; "                       \
                        "scripts/install-deps.sh installs it)";                                    \
    }

std::string Url(const char* Scheme, int Port) {
    return std::string(Scheme) + "://127.0.0.1:" + std::to_string(Port);
}

// A loopback socket bound to a port the system chose and never listening: a connection to
// that port is refused, and no other program can take the port meanwhile.
class TClosedPort {
public:
    TClosedPort() : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        if (::bind(FFd, reinterpret_cast<sockaddr*>(&Address), Length) == 0 &&
            ::getsockname(FFd, reinterpret_cast<sockaddr*>(&Address), &Length) == 0) {
            FPort = ntohs(Address.sin_port);
        }
    }
    ~TClosedPort() { ::close(FFd); }
    TClosedPort(const TClosedPort&) = delete;
    TClosedPort& operator=(const TClosedPort&) = delete;
    TClosedPort(TClosedPort&&) = delete;
    TClosedPort& operator=(TClosedPort&&) = delete;

    [[nodiscard]] int Fd() const { return FFd; }
    [[nodiscard]] int Port() const { return FPort; }

private:
    int FFd;
    int FPort = 0;
};

TEST(NetworkPorts, Rfc2217ReadsWholeAtTheLineSpeedItForwardsToTheServer) {
    SKIP_WITHOUT_SER2NET();
    TPhoneSimOptions Options;
    Options.Baudrate = 57600; // ser2net opens the line at 9600: only a forwarded speed reads
    TPhoneSim Phone(Options);
    const TSer2net Server(Phone.DevicePath(), true);
    ASSERT_NE(Server.Port(), 0) << "ser2net did not start listening";
    const auto Result = Read({"--baud", "57600", "--port", Url("rfc2217", Server.Port())});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, AllFields);
    EXPECT_EQ(Result.Err, "");
}

TEST(NetworkPorts, RawTcpReadsWholeThroughAComNameMapping) {
    SKIP_WITHOUT_SER2NET();
    TPhoneSim Phone;
    const TSer2net Server(Phone.DevicePath(), false);
    ASSERT_NE(Server.Port(), 0) << "ser2net did not start listening";
    // As the window reads: COM4 (its port), mapped to the server.
    const auto Result = RunProcess(KIVO_READ_PATH, {"--port", "COM4"},
                                   {{"KIVO_COM4", Url("socket", Server.Port())}});
    EXPECT_EQ(Result.ExitCode, 0) << Result.Err;
    EXPECT_EQ(Result.Out, AllFields);
}

TEST(NetworkPorts, NothingListeningNamesHostAndPortAndTheRefusal) {
    const TClosedPort Closed;
    ASSERT_NE(Closed.Port(), 0);
    for (const char* Scheme : {"rfc2217", "socket"}) {
        const auto Result = Read({"--port", Url(Scheme, Closed.Port())});
        EXPECT_EQ(Result.ExitCode, 2);
        EXPECT_EQ(Result.Out + Result.Err, "kivo-read: Can't open specified device " +
                                               Url(Scheme, Closed.Port()) +
                                               " (Error 111, Connection refused)\n");
    }
}

TEST(NetworkPorts, AMalformedNetworkPortSaysHowOneIsNamed) {
    const auto Result = Read({"--port", "socket://127.0.0.1"});
    EXPECT_EQ(Result.ExitCode, 2);
    EXPECT_EQ(Result.Out + Result.Err,
              "kivo-read: Specified device not found (socket://127.0.0.1). A network port is "
              "named rfc2217://host:port or socket://host:port.\n");
}

// A server that answers the first three commands and closes the connection on the fourth,
// while the reader waits for its reply.
void AnswerThreeThenClose(int Listener) {
    const int Fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    std::string Pending;
    int Answered = 0;
    std::array<char, 256> Buffer{};
    for (;;) {
        const ssize_t Got = ::recv(Fd, Buffer.data(), Buffer.size(), 0);
        if (Got <= 0) {
            break;
        }
        Pending.append(Buffer.data(), static_cast<std::size_t>(Got));
        for (auto End = Pending.find('\r'); End != std::string::npos; End = Pending.find('\r')) {
            Pending.erase(0, End + 1);
            if (Answered == 3) {
                ::close(Fd);
                return;
            }
            const std::string Reply = "\r\nField" + std::to_string(++Answered) + "\r\n\r\nOK\r\n";
            (void)::send(Fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);
        }
    }
    ::close(Fd);
}

TEST(NetworkPorts, TheServerClosingMidReadIsALostDeviceNamingTheServer) {
    const TClosedPort Listening;
    ASSERT_EQ(::listen(Listening.Fd(), 1), 0);
    std::thread Server(AnswerThreeThenClose, Listening.Fd());
    const auto Result = Read({"--timeout", "60", "--port", Url("socket", Listening.Port())});
    Server.join();
    EXPECT_EQ(Result.ExitCode, 2);
    // Every label stays, empty where nothing was read; the system's text goes to the trace.
    const std::string Fields = "Phone Manufacturer: Field1\nPhone Model: Field2\n"
                               "Phone Revision: Field3\nModem Manufacturer:\nModem Model:\n"
                               "Modem Revision:\nSerial Number:\n";
    EXPECT_EQ(Result.Out, Fields);
    EXPECT_TRUE(Result.Err.starts_with("kivo-read: Lost the connection to " +
                                       Url("socket", Listening.Port()) +
                                       ": the server closed it or the network failed."))
        << Result.Err;
}

} // namespace
