#include "tests/support/ModemManagerBed.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace kivo::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto Bound = std::chrono::seconds(30); // for what must come, not how soon

// A bus every user's process may join, which any of them may own names on.
constexpr std::string_view BusConfiguration = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=DIRECTORY</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)";

// The program Name in the directories of PATH and the system's sbin; empty when not found.
std::string FindProgram(const std::string& Name) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment does not change meanwhile
    const char* Path = std::getenv("PATH");
    std::stringstream Directories(std::string(Path != nullptr ? Path : "") + ":/usr/sbin:/sbin");
    for (std::string Directory; std::getline(Directories, Directory, ':');) {
        std::string Candidate = Directory;
        Candidate.append("/").append(Name);
        if (!Directory.empty() && ::access(Candidate.c_str(), X_OK) == 0) {
            return Candidate;
        }
    }
    return {};
}

// Starts Argv with this process's environment and the "NAME=VALUE" entries of Extra on top;
// its output goes to Log, and with AddressOut >= 0 descriptor 3 is the write end of that
// pipe. The process id, or -1.
pid_t Spawn(const std::vector<std::string>& Argv, const std::vector<std::string>& Extra,
            const std::string& Log, int AddressOut = -1) {
    std::vector<std::string> Environment;
    for (char** Each = environ; *Each != nullptr; ++Each) {
        const std::string Entry(*Each);
        const std::string Name = Entry.substr(0, Entry.find('='));
        bool Replaced = false;
        for (const std::string& New : Extra) {
            Replaced = Replaced || New.substr(0, New.find('=')) == Name;
        }
        if (!Replaced) {
            Environment.push_back(Entry);
        }
    }
    Environment.insert(Environment.end(), Extra.begin(), Extra.end());
    std::vector<char*> Args;
    std::vector<char*> Envp;
    std::vector<std::string> ArgCopy = Argv;
    Args.reserve(ArgCopy.size() + 1);
    Envp.reserve(Environment.size() + 1);
    for (std::string& Each : ArgCopy) {
        Args.push_back(Each.data());
    }
    Args.push_back(nullptr);
    for (std::string& Each : Environment) {
        Envp.push_back(Each.data());
    }
    Envp.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, Log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    if (AddressOut >= 0) {
        posix_spawn_file_actions_adddup2(&Actions, AddressOut, 3);
    }
    pid_t Pid = -1;
    if (::posix_spawn(&Pid, Args.front(), &Actions, nullptr, Args.data(), Envp.data()) != 0) {
        Pid = -1;
    }
    posix_spawn_file_actions_destroy(&Actions);
    return Pid;
}

// The first line read from Fd within Bound; empty when none came.
std::string ReadLine(int Fd) {
    std::string Line;
    const auto Deadline = Clock::now() + Bound;
    while (Line.find('\n') == std::string::npos) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        pollfd Wait{Fd, POLLIN, 0};
        if (Left.count() <= 0 || ::poll(&Wait, 1, static_cast<int>(Left.count())) <= 0) {
            return {};
        }
        std::array<char, 256> Buffer{};
        const ssize_t Got = ::read(Fd, Buffer.data(), Buffer.size());
        if (Got <= 0) {
            return {};
        }
        Line.append(Buffer.data(), static_cast<std::size_t>(Got));
    }
    return Line.substr(0, Line.find('\n'));
}

// Starts a private bus; its address, empty when it did not start.
std::string StartBus(const std::string& Directory, const std::string& Name,
                     std::vector<int>& Processes) {
    std::string Configuration(BusConfiguration);
    Configuration.replace(Configuration.find("DIRECTORY"), std::string_view("DIRECTORY").size(),
                          Directory);
    const std::string File = Directory + "/" + Name + ".conf";
    std::ofstream(File) << Configuration;
    int Pipe[2] = {-1, -1};
    if (::pipe2(Pipe, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t Pid = Spawn(
        {FindProgram("dbus-daemon"), "--config-file=" + File, "--nofork", "--print-address=3"}, {},
        Directory + "/" + Name + ".log", Pipe[1]);
    ::close(Pipe[1]);
    if (Pid > 0) {
        Processes.push_back(Pid);
    }
    std::string Address = Pid > 0 ? ReadLine(Pipe[0]) : std::string();
    ::close(Pipe[0]);
    return Address;
}

// Waits within Bound until Name has an owner on the bus at Address.
bool WaitForName(const std::string& Address, const char* Name) {
    sd_bus* Bus = nullptr;
    if (sd_bus_new(&Bus) < 0) {
        return false;
    }
    bool Owned = false;
    if (sd_bus_set_address(Bus, Address.c_str()) >= 0 && sd_bus_set_bus_client(Bus, 1) >= 0 &&
        sd_bus_start(Bus) >= 0 &&
        sd_bus_match_signal(Bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr) >= 0) {
        const auto Deadline = Clock::now() + Bound;
        while (!Owned && Clock::now() < Deadline) {
            sd_bus_error Error{}; // SD_BUS_ERROR_NULL, which is C
            sd_bus_message* Reply = nullptr;
            int Has = 0;
            if (sd_bus_call_method(Bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", &Error, &Reply, "s",
                                   Name) >= 0 &&
                sd_bus_message_read(Reply, "b", &Has) >= 0) {
                Owned = Has != 0;
            }
            sd_bus_message_unref(Reply);
            sd_bus_error_free(&Error);
            while (!Owned && sd_bus_process(Bus, nullptr) > 0) {
            }
            const auto Left =
                std::chrono::duration_cast<std::chrono::microseconds>(Deadline - Clock::now());
            if (!Owned && (Left.count() <= 0 ||
                           sd_bus_wait(Bus, static_cast<std::uint64_t>(Left.count())) < 0)) {
                break;
            }
        }
    }
    sd_bus_flush_close_unref(Bus);
    return Owned;
}

// Ends Pid with SIGTERM, and with SIGKILL when it has not ended within Bound.
void End(pid_t Pid) {
    const int Handle = static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
    ::kill(Pid, SIGTERM);
    pollfd Wait{Handle, POLLIN, 0};
    if (Handle < 0 || ::poll(&Wait, 1, static_cast<int>(Bound.count() * 1000)) <= 0) {
        ADD_FAILURE() << "process " << Pid << " did not end on SIGTERM";
        ::kill(Pid, SIGKILL);
    }
    if (Handle >= 0) {
        ::close(Handle);
    }
    int Status = 0;
    while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::string ModemManagerBed::Missing() {
    if (FindProgram("ModemManager").empty()) {
        return "ModemManager is not installed (Debian: modemmanager; scripts/install-deps.sh)";
    }
    if (FindProgram("dbus-daemon").empty()) {
        return "dbus-daemon is not installed (Debian: dbus-daemon; scripts/install-deps.sh)";
    }
    return {};
}

ModemManagerBed::ModemManagerBed(bool DenyAll) {
    Start(DenyAll);
}

void ModemManagerBed::Start(bool DenyAll) {
    std::string Template = ::testing::TempDir() + "kivo-mm-XXXXXX";
    if (::mkdtemp(Template.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp";
        return;
    }
    FDirectory = Template;
    const std::string Session = StartBus(FDirectory, "session", FProcesses);
    const std::string System = StartBus(FDirectory, "system", FProcesses);
    if (Session.empty() || System.empty()) {
        ADD_FAILURE() << "the private buses did not start";
        return;
    }
    std::vector<std::string> StandIn{KIVO_POLKIT_STANDIN_PATH};
    if (DenyAll) {
        StandIn.emplace_back("--deny");
    }
    FProcesses.push_back(
        Spawn(StandIn, {"DBUS_SYSTEM_BUS_ADDRESS=" + System}, FDirectory + "/polkit.log"));
    if (!WaitForName(System, "org.freedesktop.PolicyKit1")) {
        ADD_FAILURE() << "no polkit stand-in at " << System << ": "
                      << std::ifstream(FDirectory + "/polkit.log").rdbuf();
        return;
    }
    // Under umockdev's preload, inherited with the test bed's directory: ModemManager sees the
    // mocked devices only.
    FProcesses.push_back(
        Spawn({FindProgram("ModemManager"), "--test-session", "--filter-policy=ALLOWLIST-ONLY",
               "--log-level=DEBUG"},
              {"DBUS_SESSION_BUS_ADDRESS=" + Session, "DBUS_SYSTEM_BUS_ADDRESS=" + System},
              FDirectory + "/ModemManager.log"));
    if (!WaitForName(Session, "org.freedesktop.ModemManager1")) {
        ADD_FAILURE() << "ModemManager did not start:\n" << Log();
        return;
    }
    // NOLINTBEGIN(concurrency-mt-unsafe): the test's own threads do not read the environment
    if (const char* Previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        FHadSystemBus = true;
        FPreviousSystemBus = Previous;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Session.c_str(), 1);
    // NOLINTEND(concurrency-mt-unsafe)
}

ModemManagerBed::~ModemManagerBed() {
    for (auto Pid = FProcesses.rbegin(); Pid != FProcesses.rend(); ++Pid) {
        if (*Pid > 0) {
            End(*Pid);
        }
    }
    // NOLINTBEGIN(concurrency-mt-unsafe): as above
    if (FHadSystemBus) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", FPreviousSystemBus.c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    // NOLINTEND(concurrency-mt-unsafe)
    std::error_code Error;
    if (!FDirectory.empty()) {
        std::filesystem::remove_all(FDirectory, Error);
    }
}

std::string ModemManagerBed::Log() const {
    std::ifstream In(FDirectory + "/ModemManager.log");
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

} // namespace kivo::test
