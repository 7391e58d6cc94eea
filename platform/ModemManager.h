#pragma once
// ModemManager, the service that manages mobile broadband modems on Linux desktops and
// routers, holds the port of every modem it manages with the exclusive flag. Through its
// D-Bus interface (on the system bus) a program can read the identity it read itself, ask
// it to let go of a modem for a while, and wait for it to finish probing a new port.
// Where this build has no D-Bus library (Windows; Linux without libsystemd), every call
// answers "ModemManager is not there".

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kivo {

// What ModemManager knows of a modem: the identity it read, empty where it has none.
struct TManagedModem {
    std::string Object;       // its D-Bus object ("/org/freedesktop/ModemManager1/Modem/0")
    std::string Device;       // its device's id, which InhibitDevice takes (a sysfs path)
    std::string Manufacturer; // Manufacturer
    std::string Model;        // Model
    std::string Revision;     // Revision
    std::string Imei;         // EquipmentIdentifier
};

// Whether this build talks to ModemManager at all.
[[nodiscard]] bool ModemManagerSupported();

// The modem ModemManager manages on the serial port Name (a COM name, a device node or a link
// to one), matched by the tty's name among the modem's ports. None when ModemManager does not run,
// manages no such modem, or does not answer within Bound; Problem then says why where
// something failed (empty when ModemManager is simply not there). Starts no service: a
// ModemManager that is not running stays so. Any thread; blocks at most about Bound.
[[nodiscard]] std::optional<TManagedModem>
FindManagedModem(const std::string& Name, std::chrono::milliseconds Bound, std::string& Problem);

// A modem ModemManager has let go of (InhibitDevice), given back when this is destroyed, and
// also when the process ends: ModemManager gives it back when our connection closes. While
// it lasts the modem's port is free; an active data connection was dropped, and the modem
// comes back disabled. Create and destroy on one thread.
class TModemInhibition {
public:
    // Asks ModemManager to let go of Modem, found on the port Port (as FindManagedModem was
    // given it). None, with Problem saying why (polkit's refusal named as such), when it did
    // not. Once it has let go, an exclusive flag it left on the port's terminal (a
    // pseudo-terminal keeps one while its other side is open) is cleared where this user may.
    [[nodiscard]] static std::unique_ptr<TModemInhibition> Inhibit(const TManagedModem& Modem,
                                                                   const std::string& Port,
                                                                   std::chrono::milliseconds Bound,
                                                                   std::string& Problem);
    ~TModemInhibition();
    TModemInhibition(const TModemInhibition&) = delete;
    TModemInhibition& operator=(const TModemInhibition&) = delete;
    TModemInhibition(TModemInhibition&&) = delete;
    TModemInhibition& operator=(TModemInhibition&&) = delete;

    struct TImpl;
    explicit TModemInhibition(std::unique_ptr<TImpl> Impl);

private:
    std::unique_ptr<TImpl> FImpl;
};

// For a port Name that has just appeared: when ModemManager runs and will probe it (the port is
// a candidate of its own udev rules and not ignored), waits until it has made a modem of the
// port, or until Bound passes (a port it probes and drops shows no sign on the bus), or until
// Stopped, asked at least every quarter of a second, says to stop. True when ModemManager
// now manages a modem on it. Returns at once where ModemManager is not there. Any thread.
[[nodiscard]] bool WaitForModemManagerProbe(const std::string& Name,
                                            std::chrono::milliseconds Bound,
                                            const std::function<bool()>& Stopped = {});

} // namespace kivo
