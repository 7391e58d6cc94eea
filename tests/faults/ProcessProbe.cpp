#include "tests/faults/ProcessProbe.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int CountEntries(const char* Directory) {
    int Count = 0;
    for ([[maybe_unused]] const auto& Entry : std::filesystem::directory_iterator(Directory)) {
        ++Count;
    }
    return Count;
}

double ProcessCpuSeconds() {
    timespec Now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

// Pointers to each string of Text, then a null pointer: an argument or environment vector.
std::vector<char*> PointersTo(std::vector<std::string>& Text) {
    std::vector<char*> Pointers;
    Pointers.reserve(Text.size() + 1);
    for (std::string& Each : Text) {
        Pointers.push_back(Each.data());
    }
    Pointers.push_back(nullptr);
    return Pointers;
}

// This process's environment with the entries of Extra ("NAME=VALUE") set on top.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& Extra) {
    std::vector<std::string> Entries;
    const auto NameOf = [](const std::string& Entry) { return Entry.substr(0, Entry.find('=')); };
    for (char** Each = environ; *Each != nullptr; ++Each) {
        const std::string Entry(*Each);
        const bool Replaced = std::any_of(Extra.begin(), Extra.end(), [&](const std::string& New) {
            return NameOf(New) == NameOf(Entry);
        });
        if (!Replaced) {
            Entries.push_back(Entry);
        }
    }
    Entries.insert(Entries.end(), Extra.begin(), Extra.end());
    return Entries;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecAs(TRunAs As, int Out, const std::vector<char*>& Argv,
                         const std::vector<char*>& Envp) {
    ::dup2(Out, 1);
    ::dup2(Out, 2);
    if (As == TRunAs::raOrdinaryUser && ::geteuid() == 0) {
        const gid_t Group = NobodyUid;
        if (::setgroups(1, &Group) != 0 || ::setgid(NobodyUid) != 0 || ::setuid(NobodyUid) != 0) {
            ::_exit(126);
        }
    }
    ::execve(Argv[0], Argv.data(), Envp.data());
    ::_exit(127);
}

double Seconds(const timeval& Time) {
    return static_cast<double>(Time.tv_sec) + static_cast<double>(Time.tv_usec) * 1e-6;
}

void WaitForChild(pid_t Pid, int Out, TChildResult& Result, std::chrono::milliseconds Timeout) {
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        pollfd Fd{Out, POLLIN, 0};
        if (Left.count() <= 0 || ::poll(&Fd, 1, static_cast<int>(Left.count())) == 0) {
            ::kill(Pid, SIGKILL);
            break;
        }
        std::array<char, 4096> Buffer{};
        const ssize_t Got = ::read(Out, Buffer.data(), Buffer.size());
        if (Got <= 0 && errno != EINTR) {
            break;
        }
        Result.Output.append(Buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(Got, 0)));
    }
    int Status = 0;
    rusage Usage{};
    while (::wait4(Pid, &Status, 0, &Usage) < 0 && errno == EINTR) {
    }
    Result.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    Result.CpuSeconds = Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

} // namespace

TResourceCount CountResources() {
    return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")};
}

long PeakResidentKiB() {
    std::ifstream Status("/proc/self/status");
    std::string Key;
    while (Status >> Key) {
        if (Key == "VmHWM:") {
            long KiB = 0;
            Status >> KiB;
            return KiB;
        }
        Status.ignore(4096, '\n');
    }
    return 0;
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

TCpuProbe::TCpuProbe()
    : FCpuStart(ProcessCpuSeconds()), FWallStart(std::chrono::steady_clock::now()) {}

double TCpuProbe::CpuSeconds() const {
    return ProcessCpuSeconds() - FCpuStart;
}

double TCpuProbe::WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - FWallStart).count();
}

TReachableProgram::TReachableProgram(const std::string& Program) : FPath(Program) {
    if (::geteuid() != 0) {
        return;
    }
    std::string Template = (std::filesystem::temp_directory_path() / "kivo-faults-XXXXXX").string();
    if (::mkdtemp(Template.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    FDirectory = Template;
    std::filesystem::permissions(FDirectory, std::filesystem::perms(0755));
    FPath = FDirectory + "/" + std::filesystem::path(Program).filename().string();
    std::filesystem::copy_file(Program, FPath);
    std::filesystem::permissions(FPath, std::filesystem::perms(0755));
}

TReachableProgram::~TReachableProgram() {
    if (!FDirectory.empty()) {
        std::error_code Ignored;
        std::filesystem::remove_all(FDirectory, Ignored);
    }
}

TChildResult RunProgram(const std::string& Program, const std::vector<std::string>& Args, TRunAs As,
                        std::chrono::milliseconds Timeout,
                        const std::vector<std::string>& Environment) {
    std::vector<std::string> Text{Program};
    Text.insert(Text.end(), Args.begin(), Args.end());
    const std::vector<char*> Argv = PointersTo(Text);
    std::vector<std::string> Variables = EnvironmentWith(Environment);
    const std::vector<char*> Envp = PointersTo(Variables);
    std::array<int, 2> Pipe{};
    if (::pipe2(Pipe.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        ExecAs(As, Pipe[1], Argv, Envp);
    }
    ::close(Pipe[1]);
    TChildResult Result;
    if (Pid < 0) {
        ::close(Pipe[0]);
        throw std::runtime_error("fork");
    }
    WaitForChild(Pid, Pipe[0], Result, Timeout);
    ::close(Pipe[0]);
    return Result;
}
