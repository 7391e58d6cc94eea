// What a failed open of a serial device means on Linux, and what a person can do about it.

#include "platform/OpenFailure.h"

#include "platform/posix/ComName.h"
#include "platform/posix/NetworkPort.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kivo {
namespace {

// The name of group Id, or its number where the group database has no name for it.
std::string GroupName(gid_t Id) {
    // getgrgid_r: the result lives in Buffer, not in storage another thread may reuse.
    group Entry{};
    group* Found = nullptr;
    std::string Buffer(4096, '\0');
    if (::getgrgid_r(Id, &Entry, Buffer.data(), Buffer.size(), &Found) == 0 && Found != nullptr &&
        Found->gr_name != nullptr) {
        return Found->gr_name;
    }
    return std::to_string(Id);
}

// The numbers of the processes running, as /proc lists them.
std::vector<std::string> ProcessIds() {
    std::vector<std::string> Ids;
    std::error_code Error;
    for (const auto& Entry : std::filesystem::directory_iterator("/proc", Error)) {
        std::string Name = Entry.path().filename().string();
        if (Name.find_first_not_of("0123456789") == std::string::npos) {
            Ids.push_back(std::move(Name));
        }
    }
    return Ids;
}

// A process's name (its comm), empty when it has gone.
std::string ProcessName(const std::string& Id) {
    std::ifstream In("/proc/" + Id + "/comm");
    std::string Name;
    std::getline(In, Name);
    return Name;
}

// Whether process Id has the character device Device open. Another user's descriptors are
// hidden from all but root: false then.
bool HasOpen(const std::string& Id, dev_t Device) {
    std::error_code Error;
    for (const auto& Fd : std::filesystem::directory_iterator("/proc/" + Id + "/fd", Error)) {
        struct stat Target {};
        if (::stat(Fd.path().c_str(), &Target) == 0 && S_ISCHR(Target.st_mode) &&
            Target.st_rdev == Device) {
            return true;
        }
    }
    return false;
}

} // namespace

std::errc DecodeSystemError(std::uint32_t Code) {
    switch (Code) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return std::errc::no_such_device;
    case EBUSY:
        return std::errc::device_or_resource_busy;
    case EACCES:
    case EPERM:
        return std::errc::permission_denied;
    case ENOTTY:
    case EISDIR:
        return std::errc::inappropriate_io_control_operation;
    default:
        return {};
    }
}

std::string MissingDeviceAdvice(const std::string& Name) {
    const std::string Variable = posix::ComPathVariable(Name);
    const auto Path = posix::DevicePathFor(Name);
    if (Path && posix::IsNetworkName(*Path)) {
        return "A network port is named rfc2217://host:port or socket://host:port.";
    }
    if (Variable.empty() || !Path) {
        return {};
    }
    return "Tried " + *Path + "; set " + Variable + " to the device's path to use another.";
}

std::string DeniedDeviceAdvice(const std::string& Name) {
    const auto Path = posix::DevicePathFor(Name);
    struct stat Node {};
    if (!Path || ::stat(Path->c_str(), &Node) != 0) {
        return {}; // gone meanwhile: the message says what the open met
    }
    const mode_t GroupReadWrite = S_IRGRP | S_IWGRP;
    if ((Node.st_mode & GroupReadWrite) != GroupReadWrite || Node.st_gid == 0) {
        return "Only the owner of " + *Path + " may open it; its permissions must change.";
    }
    const std::string Group = GroupName(Node.st_gid);
    return "The user must be in the group " + Group + ", which owns " + *Path +
           " (sudo usermod -aG " + Group + " $USER, then log in again).";
}

std::string BusyDeviceAdvice(const std::string& Name) {
    const auto Path = posix::DevicePathFor(Name);
    struct stat Node {};
    if (!Path || ::stat(Path->c_str(), &Node) != 0 || !S_ISCHR(Node.st_mode)) {
        return {};
    }
    const std::string Self = std::to_string(::getpid());
    std::string Holders;
    bool ModemManagerRuns = false;
    for (const std::string& Id : ProcessIds()) {
        const std::string Program = ProcessName(Id);
        ModemManagerRuns = ModemManagerRuns || Program == "ModemManager";
        if (Id != Self && HasOpen(Id, Node.st_rdev)) {
            Holders.append(Holders.empty() ? "" : ", ").append(Program);
            Holders.append(" (process ").append(Id).append(")");
        }
    }
    if (!Holders.empty()) {
        return "In use by " + Holders + ".";
    }
    return ModemManagerRuns ? "ModemManager runs and is likely to hold it." : std::string();
}

} // namespace kivo
