#include "tests/tools/DeviceClient.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ; // NOLINT: the process environment, handed to children

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point Deadline) {
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
    return Left.count() < 0 ? 0 : static_cast<int>(Left.count());
}

// Appends what Fd has to Out; false at its end.
bool Drain(int Fd, std::string& Out) {
    std::array<char, 4096> Buffer{};
    const ssize_t Count = ::read(Fd, Buffer.data(), Buffer.size());
    if (Count > 0) {
        Out.append(Buffer.data(), static_cast<std::size_t>(Count));
        return true;
    }
    return Count < 0 && (errno == EAGAIN || errno == EINTR);
}

// The texts as a null-terminated array of C strings, for exec.
std::vector<char*> CStrings(std::vector<std::string>& Texts) {
    std::vector<char*> Result;
    Result.reserve(Texts.size() + 1);
    for (auto& Text : Texts) {
        Result.push_back(Text.data());
    }
    Result.push_back(nullptr);
    return Result;
}

} // namespace

TDeviceClient::TDeviceClient(const std::string& Path)
    : FFd(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (FFd < 0) {
        throw std::runtime_error("cannot open " + Path);
    }
    termios Settings{};
    ::tcgetattr(FFd, &Settings);
    ::cfmakeraw(&Settings);
    ::tcsetattr(FFd, TCSANOW, &Settings);
}

TDeviceClient::~TDeviceClient() {
    ::close(FFd);
}

bool TDeviceClient::Exclusive() const {
    int Exclusive = 0;
    return ::ioctl(FFd, TIOCGEXCL, &Exclusive) == 0 && Exclusive != 0;
}

void TDeviceClient::FlushInput() const {
    if (::tcflush(FFd, TCIFLUSH) != 0) {
        throw std::runtime_error("tcflush failed");
    }
}

void TDeviceClient::Send(std::string_view Data) const {
    while (!Data.empty()) {
        const ssize_t Written = ::write(FFd, Data.data(), Data.size());
        if (Written > 0) {
            Data.remove_prefix(static_cast<std::size_t>(Written));
        } else {
            pollfd P{FFd, POLLOUT, 0};
            ::poll(&P, 1, 1000);
        }
    }
}

std::string TDeviceClient::ReceiveUntil(std::string_view Suffix,
                                        std::chrono::milliseconds Timeout) const {
    const auto Deadline = Clock::now() + Timeout;
    std::string Out;
    while (!Out.ends_with(Suffix) && Clock::now() < Deadline) {
        pollfd P{FFd, POLLIN, 0};
        if (::poll(&P, 1, MillisecondsLeft(Deadline)) > 0 && !Drain(FFd, Out)) {
            break;
        }
    }
    return Out;
}

std::string TDeviceClient::Receive(std::size_t Count, std::chrono::milliseconds Timeout) const {
    const auto Deadline = Clock::now() + Timeout;
    std::string Out;
    while (Out.size() < Count && Clock::now() < Deadline) {
        pollfd P{FFd, POLLIN, 0};
        if (::poll(&P, 1, MillisecondsLeft(Deadline)) > 0 && !Drain(FFd, Out)) {
            break;
        }
    }
    return Out;
}

TProcessResult RunProcess(const std::string& Program, const std::vector<std::string>& Args,
                          const std::map<std::string, std::string>& Env,
                          std::chrono::milliseconds Timeout) {
    std::array<int, 2> Out{};
    std::array<int, 2> Err{};
    if (::pipe2(Out.data(), O_CLOEXEC) != 0 || ::pipe2(Err.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
    posix_spawn_file_actions_adddup2(&Actions, Err[1], 2);

    std::vector<std::string> EnvText;
    for (char** E = environ; *E != nullptr; ++E) {
        const std::string Entry = *E;
        if (Env.find(Entry.substr(0, Entry.find('='))) == Env.end()) {
            EnvText.push_back(Entry);
        }
    }
    for (const auto& [Name, Value] : Env) {
        EnvText.push_back(Name);
        EnvText.back().append("=").append(Value);
    }
    std::vector<char*> EnvP = CStrings(EnvText);
    std::vector<std::string> ArgText{Program};
    ArgText.insert(ArgText.end(), Args.begin(), Args.end());
    std::vector<char*> ArgV = CStrings(ArgText);

    pid_t Pid = 0;
    const int Spawned =
        posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, ArgV.data(), EnvP.data());
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Out[1]);
    ::close(Err[1]);
    TProcessResult Result;
    if (Spawned != 0) {
        ::close(Out[0]);
        ::close(Err[0]);
        throw std::runtime_error("cannot start " + Program);
    }
    const auto Deadline = Clock::now() + Timeout;
    bool OutOpen = true;
    bool ErrOpen = true;
    while ((OutOpen || ErrOpen) && Clock::now() < Deadline) {
        std::array<pollfd, 2> P{
            {{OutOpen ? Out[0] : -1, POLLIN, 0}, {ErrOpen ? Err[0] : -1, POLLIN, 0}}};
        if (::poll(P.data(), P.size(), MillisecondsLeft(Deadline)) <= 0) {
            continue;
        }
        if (P[0].revents != 0) {
            OutOpen = Drain(Out[0], Result.Out);
        }
        if (P[1].revents != 0) {
            ErrOpen = Drain(Err[0], Result.Err);
        }
    }
    if (OutOpen || ErrOpen) {
        ::kill(Pid, SIGKILL);
    }
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    ::close(Out[0]);
    ::close(Err[0]);
    Result.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return Result;
}

TBackgroundProcess::TBackgroundProcess(const std::string& Program,
                                       const std::vector<std::string>& Args, bool ErrorsToo) {
    std::array<int, 2> Out{};
    if (::pipe2(Out.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
    if (ErrorsToo) {
        posix_spawn_file_actions_adddup2(&Actions, Out[1], 2);
    }
    std::vector<std::string> ArgText{Program};
    ArgText.insert(ArgText.end(), Args.begin(), Args.end());
    std::vector<char*> ArgV = CStrings(ArgText);
    pid_t Pid = 0;
    const int Spawned = posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, ArgV.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Out[1]);
    if (Spawned != 0) {
        ::close(Out[0]);
        throw std::runtime_error("cannot start " + Program);
    }
    FPid = Pid;
    FOut = Out[0];
}

TBackgroundProcess::~TBackgroundProcess() {
    if (FPid > 0) {
        Stop(SIGKILL);
    }
    ::close(FOut);
}

std::string TBackgroundProcess::ReadLine(std::chrono::milliseconds Timeout) {
    const auto Deadline = Clock::now() + Timeout;
    while (FPending.find('\n') == std::string::npos && Clock::now() < Deadline) {
        pollfd P{FOut, POLLIN, 0};
        if (::poll(&P, 1, MillisecondsLeft(Deadline)) > 0 && !Drain(FOut, FPending)) {
            break;
        }
    }
    const std::size_t End = FPending.find('\n');
    if (End == std::string::npos) {
        return {};
    }
    std::string Line = FPending.substr(0, End);
    FPending.erase(0, End + 1);
    return Line;
}

void TBackgroundProcess::Hold() {
    if (FPid > 0 && ::kill(FPid, SIGSTOP) == 0) {
        int Status = 0;
        while (::waitpid(FPid, &Status, WUNTRACED) < 0 && errno == EINTR) {
        }
    }
}

void TBackgroundProcess::Release() {
    if (FPid > 0) {
        ::kill(FPid, SIGCONT);
    }
}

int TBackgroundProcess::Stop(int Signal, std::chrono::milliseconds Timeout) {
    if (FPid <= 0) {
        return -1;
    }
    ::kill(FPid, Signal);
    const auto Deadline = Clock::now() + Timeout;
    int Status = 0;
    pid_t Done = 0;
    while ((Done = ::waitpid(FPid, &Status, WNOHANG)) == 0 && Clock::now() < Deadline) {
        pollfd P{FOut, POLLIN, 0};
        if (::poll(&P, 1, MillisecondsLeft(Deadline)) > 0 && !Drain(FOut, FPending)) {
            // Output closed: the process is ending; waitpid below collects it.
            Done = ::waitpid(FPid, &Status, 0);
            break;
        }
    }
    if (Done == 0) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &Status, 0);
    }
    FPid = -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}
