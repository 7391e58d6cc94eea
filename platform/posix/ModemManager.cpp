// ModemManager through sd-bus (libsystemd) on the system bus, which DBUS_SYSTEM_BUS_ADDRESS
// may name.

#include "platform/ModemManager.h"

#include "platform/posix/ComName.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <libudev.h>
#include <sys/ioctl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kivo {
namespace {

constexpr const char* Service = "org.freedesktop.ModemManager1";
constexpr const char* ManagerObject = "/org/freedesktop/ModemManager1";
constexpr const char* ModemInterface = "org.freedesktop.ModemManager1.Modem";

using Clock = std::chrono::steady_clock;

// The text of an errno value.
std::string ErrnoText(int Error) {
    return std::strerror(Error); // NOLINT(concurrency-mt-unsafe): glibc's buffer is per thread
}

struct TBusCloser {
    void operator()(sd_bus* Bus) const { sd_bus_flush_close_unref(Bus); }
};
using TBus = std::unique_ptr<sd_bus, TBusCloser>;

struct TMessageUnref {
    void operator()(sd_bus_message* Message) const { sd_bus_message_unref(Message); }
};
using TMessage = std::unique_ptr<sd_bus_message, TMessageUnref>;

// An sd_bus_error freed when it goes.
class TBusError {
public:
    TBusError() = default;
    ~TBusError() { sd_bus_error_free(&FError); }
    TBusError(const TBusError&) = delete;
    TBusError& operator=(const TBusError&) = delete;
    TBusError(TBusError&&) = delete;
    TBusError& operator=(TBusError&&) = delete;
    sd_bus_error* Get() { return &FError; }
    // The error's text, or the errno's where the bus named none.
    [[nodiscard]] std::string Text(int Result) const {
        if (FError.message != nullptr) {
            return FError.message;
        }
        return ErrnoText(-Result);
    }
    [[nodiscard]] bool Named(const char* Part) const {
        return FError.name != nullptr && std::strstr(FError.name, Part) != nullptr;
    }

private:
    sd_bus_error FError{}; // SD_BUS_ERROR_NULL, which is C
};

std::uint64_t Microseconds(std::chrono::milliseconds Bound) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(Bound.count(), 1)) * 1000U;
}

// The system bus, or none with Problem saying why.
TBus OpenSystemBus(std::string& Problem) {
    sd_bus* Bus = nullptr;
    if (const int Result = sd_bus_open_system(&Bus); Result < 0) {
        Problem = "cannot reach the system bus: " + ErrnoText(-Result);
        return nullptr;
    }
    return TBus(Bus);
}

// Whether ModemManager holds its name on Bus.
bool ModemManagerRuns(sd_bus* Bus, std::chrono::milliseconds Bound, std::string& Problem) {
    sd_bus_message* Request = nullptr;
    if (sd_bus_message_new_method_call(Bus, &Request, "org.freedesktop.DBus",
                                       "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                       "NameHasOwner") < 0) {
        Problem = "cannot ask the system bus for ModemManager";
        return false;
    }
    const TMessage Call(Request);
    sd_bus_message_append(Call.get(), "s", Service);
    TBusError Error;
    sd_bus_message* Reply = nullptr;
    const int Result = sd_bus_call(Bus, Call.get(), Microseconds(Bound), Error.Get(), &Reply);
    const TMessage Answer(Reply);
    int Has = 0;
    if (Result < 0 || sd_bus_message_read(Answer.get(), "b", &Has) < 0) {
        Problem = "the system bus did not say whether ModemManager runs: " + Error.Text(Result);
        return false;
    }
    return Has != 0;
}

// A method call to ModemManager that never starts it.
TMessage NewCall(sd_bus* Bus, const char* Object, const char* Interface, const char* Method) {
    sd_bus_message* Request = nullptr;
    if (sd_bus_message_new_method_call(Bus, &Request, Service, Object, Interface, Method) < 0) {
        return nullptr;
    }
    sd_bus_message_set_auto_start(Request, 0);
    return TMessage(Request);
}

// Reads one property value (the "v" of an "a{sv}" entry) into Modem when it is one we
// keep, and whether its ports include Port; skips the others.
int ReadProperty(sd_bus_message* Reply, const std::string& Name,
                 const std::vector<std::string>& Port, TManagedModem& Modem, bool& HasPort) {
    std::string* Text = nullptr;
    if (Name == "Manufacturer") {
        Text = &Modem.Manufacturer;
    } else if (Name == "Model") {
        Text = &Modem.Model;
    } else if (Name == "Revision") {
        Text = &Modem.Revision;
    } else if (Name == "EquipmentIdentifier") {
        Text = &Modem.Imei;
    } else if (Name == "Device") {
        Text = &Modem.Device;
    }
    if (Text != nullptr) {
        const char* Value = nullptr;
        const int Result = sd_bus_message_read(Reply, "v", "s", &Value);
        *Text = Value != nullptr ? Value : "";
        return Result;
    }
    if (Name != "Ports") {
        return sd_bus_message_skip(Reply, "v");
    }
    int Result = sd_bus_message_enter_container(Reply, 'v', "a(su)");
    if (Result >= 0) {
        Result = sd_bus_message_enter_container(Reply, 'a', "(su)");
    }
    const char* PortName = nullptr;
    std::uint32_t Type = 0;
    while (Result >= 0 && (Result = sd_bus_message_read(Reply, "(su)", &PortName, &Type)) > 0) {
        HasPort = HasPort || (PortName != nullptr &&
                              std::find(Port.begin(), Port.end(), PortName) != Port.end());
    }
    if (Result >= 0) {
        Result = sd_bus_message_exit_container(Reply); // the array
    }
    return Result >= 0 ? sd_bus_message_exit_container(Reply) : Result; // the variant
}

// Reads an "a{sv}" of the modem interface's properties.
int ReadModemProperties(sd_bus_message* Reply, const std::vector<std::string>& Port,
                        TManagedModem& Modem, bool& HasPort) {
    int Result = sd_bus_message_enter_container(Reply, 'a', "{sv}");
    while (Result >= 0 && (Result = sd_bus_message_enter_container(Reply, 'e', "sv")) > 0) {
        const char* Name = nullptr;
        Result = sd_bus_message_read(Reply, "s", &Name);
        if (Result >= 0) {
            Result = ReadProperty(Reply, Name != nullptr ? Name : "", Port, Modem, HasPort);
        }
        if (Result >= 0) {
            Result = sd_bus_message_exit_container(Reply);
        }
    }
    return Result >= 0 ? sd_bus_message_exit_container(Reply) : Result;
}

// Reads one object of GetManagedObjects' answer ("{oa{sa{sv}}}" entered); Found when it is a
// modem with Port.
int ReadObject(sd_bus_message* Reply, const std::vector<std::string>& Port,
               std::optional<TManagedModem>& Found) {
    const char* Object = nullptr;
    int Result = sd_bus_message_read(Reply, "o", &Object);
    if (Result >= 0) {
        Result = sd_bus_message_enter_container(Reply, 'a', "{sa{sv}}");
    }
    TManagedModem Modem;
    Modem.Object = Object != nullptr ? Object : "";
    bool HasPort = false;
    while (Result >= 0 && (Result = sd_bus_message_enter_container(Reply, 'e', "sa{sv}")) > 0) {
        const char* Interface = nullptr;
        Result = sd_bus_message_read(Reply, "s", &Interface);
        if (Result >= 0 && Interface != nullptr && std::strcmp(Interface, ModemInterface) == 0) {
            Result = ReadModemProperties(Reply, Port, Modem, HasPort);
        } else if (Result >= 0) {
            Result = sd_bus_message_skip(Reply, "a{sv}");
        }
        if (Result >= 0) {
            Result = sd_bus_message_exit_container(Reply);
        }
    }
    if (Result >= 0 && HasPort) {
        Found = std::move(Modem);
    }
    return Result >= 0 ? sd_bus_message_exit_container(Reply) : Result;
}

// The modem on Port among ModemManager's objects.
std::optional<TManagedModem> ModemOnPort(sd_bus* Bus, const std::vector<std::string>& Port,
                                         std::chrono::milliseconds Bound, std::string& Problem) {
    const TMessage Call =
        NewCall(Bus, ManagerObject, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    TBusError Error;
    sd_bus_message* Reply = nullptr;
    const int Result =
        Call ? sd_bus_call(Bus, Call.get(), Microseconds(Bound), Error.Get(), &Reply) : -ENOMEM;
    const TMessage Answer(Reply);
    if (Result < 0) {
        Problem = "ModemManager did not list its modems: " + Error.Text(Result);
        return std::nullopt;
    }
    std::optional<TManagedModem> Found;
    int Read = sd_bus_message_enter_container(Answer.get(), 'a', "{oa{sa{sv}}}");
    while (Read >= 0 && !Found &&
           (Read = sd_bus_message_enter_container(Answer.get(), 'e', "oa{sa{sv}}")) > 0) {
        Read = ReadObject(Answer.get(), Port, Found);
        if (Read >= 0) {
            Read = sd_bus_message_exit_container(Answer.get());
        }
    }
    if (Read < 0) {
        Problem = std::string("ModemManager's list of modems cannot be read: ") + ErrnoText(-Read);
        return std::nullopt;
    }
    return Found;
}

// The names ModemManager may know the tty Name opens by ("ttyUSB2"): the node's own name,
// and those of the nodes the links on the way lead to (/dev/serial/by-id/...). The links are
// followed one by one, not through realpath: some preload libraries (umockdev's test bed)
// get its buffer wrong.
std::vector<std::string> PortNames(const std::string& Name) {
    std::filesystem::path Path = posix::DevicePathFor(Name).value_or(Name);
    std::vector<std::string> Names{Path.filename().string()};
    std::error_code Error;
    constexpr int MostLinks = 40; // as the kernel follows
    for (int Step = 0; Step < MostLinks && std::filesystem::is_symlink(Path, Error); ++Step) {
        const std::filesystem::path Target = std::filesystem::read_symlink(Path, Error);
        if (Error) {
            break;
        }
        Path = Target.is_absolute() ? Target : Path.parent_path() / Target;
        Names.push_back(Path.filename().string());
    }
    return Names;
}

// Whether ModemManager's udev rules make the tty Port a port it probes: a candidate that no
// rule tells it to ignore (on the port or the device it belongs to).
bool ProbedByModemManager(const std::string& Port) {
    udev* Context = udev_new();
    if (Context == nullptr) {
        return false;
    }
    udev_device* Device = udev_device_new_from_subsystem_sysname(Context, "tty", Port.c_str());
    bool Candidate = false;
    bool Ignored = false;
    for (udev_device* Each = Device; Each != nullptr; Each = udev_device_get_parent(Each)) {
        const char* Value = udev_device_get_property_value(Each, "ID_MM_CANDIDATE");
        Candidate = Candidate || (Value != nullptr && std::strcmp(Value, "1") == 0);
        Value = udev_device_get_property_value(Each, "ID_MM_DEVICE_IGNORE");
        Ignored = Ignored || (Value != nullptr && std::strcmp(Value, "1") == 0);
    }
    if (Device != nullptr) {
        udev_device_unref(Device);
    }
    udev_unref(Context);
    return Candidate && !Ignored;
}

// ModemManager has closed the port it let go of; a pseudo-terminal keeps the exclusive flag
// a program set while its other side is open (a real device's goes with its last close).
// Nobody holds the port now, so such a flag is cleared. Only root may open a port so marked.
void ClearLeftExclusiveFlag(const std::string& Name) {
    const std::string Path = posix::DevicePathFor(Name).value_or(Name);
    const int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) {
        return;
    }
    int Flag = 0;
    if (::ioctl(Fd, TIOCGEXCL, &Flag) == 0 && Flag != 0) {
        (void)::ioctl(Fd, TIOCNXCL);
    }
    ::close(Fd);
}

} // namespace

bool ModemManagerSupported() {
    return true;
}

std::optional<TManagedModem>
FindManagedModem(const std::string& Name, std::chrono::milliseconds Bound, std::string& Problem) {
    Problem.clear();
    const TBus Bus = OpenSystemBus(Problem);
    if (!Bus || !ModemManagerRuns(Bus.get(), Bound, Problem)) {
        return std::nullopt;
    }
    return ModemOnPort(Bus.get(), PortNames(Name), Bound, Problem);
}

struct TModemInhibition::TImpl {
    TBus Bus;
    std::string Device;
};

TModemInhibition::TModemInhibition(std::unique_ptr<TImpl> Impl) : FImpl(std::move(Impl)) {}

std::unique_ptr<TModemInhibition> TModemInhibition::Inhibit(const TManagedModem& Modem,
                                                            const std::string& Port,
                                                            std::chrono::milliseconds Bound,
                                                            std::string& Problem) {
    const std::string& Device = Modem.Device;
    Problem.clear();
    TBus Bus = OpenSystemBus(Problem);
    if (!Bus) {
        return nullptr;
    }
    const TMessage Call = NewCall(Bus.get(), ManagerObject, Service, "InhibitDevice");
    if (!Call || sd_bus_message_append(Call.get(), "sb", Device.c_str(), 1) < 0) {
        Problem = "cannot ask ModemManager to let go of the modem";
        return nullptr;
    }
    TBusError Error;
    sd_bus_message* Reply = nullptr;
    const int Result = sd_bus_call(Bus.get(), Call.get(), Microseconds(Bound), Error.Get(), &Reply);
    sd_bus_message_unref(Reply);
    if (Result < 0) {
        const bool Refused = Error.Named("Unauthorized") || Error.Named("AccessDenied") ||
                             Error.Named("NotAuthorized");
        Problem = Refused ? "ModemManager refused to let go of the modem: not authorised (polkit "
                            "allows this user no InhibitDevice; run as root, or from a desktop "
                            "session that may manage modems): " +
                                Error.Text(Result)
                          : "ModemManager did not let go of the modem: " + Error.Text(Result);
        return nullptr;
    }
    ClearLeftExclusiveFlag(Port);
    auto Impl = std::make_unique<TImpl>();
    Impl->Bus = std::move(Bus);
    Impl->Device = Device;
    return std::make_unique<TModemInhibition>(std::move(Impl));
}

// Gives the modem back at once; closing the connection would too, a little later.
TModemInhibition::~TModemInhibition() {
    const TMessage Call = NewCall(FImpl->Bus.get(), ManagerObject, Service, "InhibitDevice");
    if (Call && sd_bus_message_append(Call.get(), "sb", FImpl->Device.c_str(), 0) >= 0) {
        TBusError Error;
        sd_bus_message* Reply = nullptr;
        (void)sd_bus_call(FImpl->Bus.get(), Call.get(), Microseconds(std::chrono::seconds(5)),
                          Error.Get(), &Reply);
        sd_bus_message_unref(Reply);
    }
}

bool WaitForModemManagerProbe(const std::string& Name, std::chrono::milliseconds Bound,
                              const std::function<bool()>& Stopped) {
    const std::vector<std::string> Port = PortNames(Name);
    std::string Problem;
    const TBus Bus = OpenSystemBus(Problem);
    const auto Deadline = Clock::now() + Bound;
    if (!Bus || std::none_of(Port.begin(), Port.end(), ProbedByModemManager) ||
        !ModemManagerRuns(Bus.get(), Bound, Problem)) {
        return false;
    }
    // Every new modem is announced; the list is read again after each announcement.
    if (sd_bus_match_signal(Bus.get(), nullptr, Service, ManagerObject,
                            "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", nullptr,
                            nullptr) < 0) {
        return false;
    }
    constexpr std::chrono::milliseconds StopAsked{250};
    bool Look = true; // at the start, and after each message
    for (;;) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        if (Left.count() <= 0 || (Stopped && Stopped())) {
            return false;
        }
        if (Look && ModemOnPort(Bus.get(), Port, Left, Problem)) {
            return true;
        }
        if (!Problem.empty()) {
            return false;
        }
        // Takes what came meanwhile (the list's answer is taken by its call); waits for more.
        Look = false;
        int Processed = 0;
        while ((Processed = sd_bus_process(Bus.get(), nullptr)) > 0) {
            Look = true;
        }
        if (Processed < 0 ||
            (!Look && sd_bus_wait(Bus.get(), Microseconds(std::min(Left, StopAsked))) < 0)) {
            return false;
        }
    }
}

} // namespace kivo
