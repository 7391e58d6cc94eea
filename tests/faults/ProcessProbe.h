#pragma once
// What a test can observe of its own process and of programs it starts: descriptors,
// threads, processor time, peak memory, and a program run as an ordinary user.

#include <chrono>
#include <string>
#include <vector>

struct TResourceCount {
    int Descriptors = 0; // entries of /proc/self/fd
    int Threads = 0;     // entries of /proc/self/task
    bool operator==(const TResourceCount&) const = default;
};

[[nodiscard]] TResourceCount CountResources();

// The process's peak resident size so far (VmHWM), in KiB.
[[nodiscard]] long PeakResidentKiB();

// True in a build with AddressSanitizer or ThreadSanitizer.
[[nodiscard]] bool UnderSanitizer();

// Processor time of the whole process and wall time since construction.
class TCpuProbe {
public:
    TCpuProbe();
    [[nodiscard]] double CpuSeconds() const;
    [[nodiscard]] double WallSeconds() const;

private:
    double FCpuStart;
    std::chrono::steady_clock::time_point FWallStart;
};

struct TChildResult {
    int ExitCode = -1;     // -1 when it did not exit normally
    std::string Output;    // standard output and standard error together
    double CpuSeconds = 0; // user and system time the child used
};

// The uid an ordinary user's checks run under when the tests run as root.
inline constexpr unsigned NobodyUid = 65534;

// Program where an ordinary user can run it: as root a copy in a new directory open to all
// (the build tree may lie under a home only root may enter); otherwise Program itself.
class TReachableProgram {
public:
    explicit TReachableProgram(const std::string& Program);
    ~TReachableProgram();
    TReachableProgram(const TReachableProgram&) = delete;
    TReachableProgram& operator=(const TReachableProgram&) = delete;
    TReachableProgram(TReachableProgram&&) = delete;
    TReachableProgram& operator=(TReachableProgram&&) = delete;

    [[nodiscard]] const std::string& Path() const { return FPath; }

private:
    std::string FDirectory; // empty when no copy was made
    std::string FPath;
};

enum class TRunAs : unsigned char { raSelf, raOrdinaryUser };

// Runs Program with Args, in this process's environment with the "NAME=VALUE" entries of
// Environment set on top. With raOrdinaryUser and this process root, the child first drops
// to NobodyUid. Kills it if it has not ended after Timeout.
[[nodiscard]] TChildResult RunProgram(const std::string& Program,
                                      const std::vector<std::string>& Args,
                                      TRunAs As = TRunAs::raSelf,
                                      std::chrono::milliseconds Timeout = std::chrono::seconds(30),
                                      const std::vector<std::string>& Environment = {});
