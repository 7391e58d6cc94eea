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
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
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
// pipe. It inherits no other descriptor (a pipe left open in it would keep a test's reader
// waiting), and neither this thread's blocked signals nor handled ones. The process id, or -1.
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
    posix_spawn_file_actions_addclosefrom_np(&Actions, AddressOut >= 0 ? 4 : 3);
    posix_spawnattr_t Attributes;
    posix_spawnattr_init(&Attributes);
    sigset_t None;
    sigset_t All;
    sigemptyset(&None);
    sigfillset(&All);
    posix_spawnattr_setsigmask(&Attributes, &None);
    posix_spawnattr_setsigdefault(&Attributes, &All);
    posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t Pid = -1;
    if (::posix_spawn(&Pid, Args.front(), &Actions, &Attributes, Args.data(), Envp.data()) != 0) {
        Pid = -1;
    }
    posix_spawnattr_destroy(&Attributes);
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
        const int Ready = Left.count() > 0 ? ::poll(&Wait, 1, static_cast<int>(Left.count())) : 0;
        if (Ready < 0 && errno == EINTR) {
            continue;
        }
        if (Ready <= 0) {
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

// How Pid ended ("exit status 1", "signal 9"), once it has; it is reaped and Pid set to -1.
// Empty while it runs.
std::string Ended(pid_t& Pid) {
    int Status = 0;
    if (Pid <= 0 || ::waitpid(Pid, &Status, WNOHANG) != Pid) {
        return {};
    }
    Pid = -1;
    return WIFEXITED(Status) ? "exit status " + std::to_string(WEXITSTATUS(Status))
                             : "signal " + std::to_string(WTERMSIG(Status));
}

// A name waited for, and whether it has an owner.
struct TNameWait {
    const char* Name = nullptr;
    bool Owned = false;
};

// Notes an owner for Data's name (a TNameWait) from a NameOwnerChanged signal about it.
int NoteOwner(sd_bus_message* Signal, void* Data, sd_bus_error* /*Error*/) {
    auto* Wait = static_cast<TNameWait*>(Data);
    const char* Name = nullptr;
    const char* Old = nullptr;
    const char* New = nullptr;
    if (sd_bus_message_read(Signal, "sss", &Name, &Old, &New) >= 0 &&
        std::string_view(Name) == Wait->Name && New != nullptr && *New != '\0') {
        Wait->Owned = true;
    }
    return 0;
}

// Waits within Bound until Name has an owner on the bus at Address, which the process Owner
// is to become; empty when it has, else why not. The signal that an owner came is watched
// before the name is asked for, so one that comes between the two is not missed; and the
// wait ends as soon as Owner does.
std::string WaitForName(const std::string& Address, const char* Name, pid_t& Owner) {
    sd_bus* Bus = nullptr;
    TNameWait Wait{Name};
    const std::string Rule = "type='signal',sender='org.freedesktop.DBus',interface='org."
                             "freedesktop.DBus',member='NameOwnerChanged',arg0='" +
                             std::string(Name) + "'";
    int Result = sd_bus_new(&Bus);
    Result = Result < 0 ? Result : sd_bus_set_address(Bus, Address.c_str());
    Result = Result < 0 ? Result : sd_bus_set_bus_client(Bus, 1);
    Result = Result < 0 ? Result : sd_bus_start(Bus);
    Result = Result < 0 ? Result : sd_bus_add_match(Bus, nullptr, Rule.c_str(), NoteOwner, &Wait);
    if (Result >= 0) {
        sd_bus_error Error{}; // SD_BUS_ERROR_NULL, which is C
        sd_bus_message* Reply = nullptr;
        int Has = 0;
        Result =
            sd_bus_call_method(Bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &Error, &Reply, "s", Name);
        Result = Result < 0 ? Result : sd_bus_message_read(Reply, "b", &Has);
        Wait.Owned = Has != 0;
        sd_bus_message_unref(Reply);
        sd_bus_error_free(&Error);
    }
    std::string Why = Owner <= 0 ? std::string("it did not start")
                      : Result < 0
                          ? "the bus did not answer: " + std::generic_category().message(-Result)
                          : std::string();
    const int Handle = static_cast<int>(::syscall(SYS_pidfd_open, Owner, 0));
    const auto Deadline = Clock::now() + Bound;
    while (Why.empty() && !Wait.Owned) {
        Result = sd_bus_process(Bus, nullptr); // what came with or after the answer first
        if (Result > 0) {
            continue;
        }
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        std::array<pollfd, 2> Ready{
            {{sd_bus_get_fd(Bus), static_cast<short>(sd_bus_get_events(Bus)), 0},
             {Handle, POLLIN, 0}}};
        if (Result < 0) {
            Why = "the bus went away: " + std::generic_category().message(-Result);
        } else if (Left.count() <= 0) {
            Why = "not within " + std::to_string(Bound.count()) + " s";
        } else if (::poll(Ready.data(), Ready.size(), static_cast<int>(Left.count())) < 0 &&
                   errno != EINTR) {
            Why = "poll: " + std::generic_category().message(errno);
        } else if (Ready[1].revents != 0) {
            // It may have taken the name just before it ended: what the bus sent is taken.
            while (!Wait.Owned && sd_bus_process(Bus, nullptr) > 0) {
            }
            Why = Wait.Owned ? std::string() : "it ended (" + Ended(Owner) + ")";
        }
    }
    if (Handle >= 0) {
        ::close(Handle);
    }
    sd_bus_flush_close_unref(Bus);
    return Why;
}

// Ends Pid with SIGTERM, and with SIGKILL when it has not ended within Bound.
void End(pid_t Pid) {
    const int Handle = static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
    ::kill(Pid, SIGTERM);
    pollfd Wait{Handle, POLLIN, 0};
    const auto Deadline = Clock::now() + Bound;
    int Ready = -1;
    for (std::chrono::milliseconds Left = Bound; Handle >= 0 && Ready < 0 && Left.count() > 0;
         Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now())) {
        Ready = ::poll(&Wait, 1, static_cast<int>(Left.count()));
        Ready = Ready < 0 && errno != EINTR ? 0 : Ready;
    }
    if (Ready <= 0) {
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
        FFailure =
            "cannot make a directory " + Template + ": " + std::generic_category().message(errno);
        return;
    }
    FDirectory = Template;
    const std::string Session = StartBus(FDirectory, "session", FProcesses);
    const std::string System = StartBus(FDirectory, "system", FProcesses);
    if (Session.empty() || System.empty()) {
        FFailure = "the private buses did not start: " + Text("session.log") + Text("system.log");
        return;
    }
    std::vector<std::string> StandIn{KIVO_POLKIT_STANDIN_PATH};
    if (DenyAll) {
        StandIn.emplace_back("--deny");
    }
    FProcesses.push_back(
        Spawn(StandIn, {"DBUS_SYSTEM_BUS_ADDRESS=" + System}, FDirectory + "/polkit.log"));
    if (const std::string Why =
            WaitForName(System, "org.freedesktop.PolicyKit1", FProcesses.back());
        !Why.empty()) {
        FFailure = "no polkit stand-in at " + System + ": " + Why + "\n" + Text("polkit.log") +
                   Text("system.log");
        return;
    }
    // Under umockdev's preload, inherited with the test bed's directory: ModemManager sees the
    // mocked devices only.
    FProcesses.push_back(
        Spawn({FindProgram("ModemManager"), "--test-session", "--filter-policy=ALLOWLIST-ONLY",
               "--log-level=DEBUG"},
              {"DBUS_SESSION_BUS_ADDRESS=" + Session, "DBUS_SYSTEM_BUS_ADDRESS=" + System},
              FDirectory + "/ModemManager.log"));
    if (const std::string Why =
            WaitForName(Session, "org.freedesktop.ModemManager1", FProcesses.back());
        !Why.empty()) {
        FFailure = "ModemManager did not start: " + Why + "\n" + Log() + Text("session.log");
        return;
    }
    // NOLINTBEGIN(concurrency-mt-unsafe): the test's own threads do not read the environment
    if (const char* Previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        FHadSystemBus = true;
        FPreviousSystemBus = Previous;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Session.c_str(), 1);
    FServing = true;
    // NOLINTEND(concurrency-mt-unsafe)
}

ModemManagerBed::~ModemManagerBed() {
    for (auto Pid = FProcesses.rbegin(); Pid != FProcesses.rend(); ++Pid) {
        if (*Pid > 0) {
            End(*Pid);
        }
    }
    // NOLINTBEGIN(concurrency-mt-unsafe): as above
    if (FServing && FHadSystemBus) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", FPreviousSystemBus.c_str(), 1);
    } else if (FServing) {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    // NOLINTEND(concurrency-mt-unsafe)
    std::error_code Error;
    if (!FDirectory.empty()) {
        std::filesystem::remove_all(FDirectory, Error);
    }
}

std::string ModemManagerBed::Log() const {
    return Text("ModemManager.log");
}

const std::string& ModemManagerBed::Failure() const {
    return FFailure;
}

std::string ModemManagerBed::Text(const std::string& File) const {
    std::ifstream In(FDirectory + "/" + File);
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

} // namespace kivo::test
