#pragma once
// A real ModemManager for tests, on buses of its own: it serves on a private session bus
// (--test-session) and asks a polkit stand-in on a second private bus, which it takes for
// the system bus. It runs in umockdev's test bed (the test program runs under
// umockdev-wrapper) and, with --filter-policy=ALLOWLIST-ONLY, looks at no port but those
// whose udev data allow it (ID_MM_DEVICE_PROCESS=1), so it never touches a real tty.

#include <chrono>
#include <string>
#include <vector>

namespace kivo::test {

class ModemManagerBed {
public:
    // Why ModemManager cannot run here (it or dbus-daemon is not installed); empty when it can.
    [[nodiscard]] static std::string Missing();

    // Starts the buses, the stand-in (refusing every request with DenyAll) and ModemManager,
    // and waits until ModemManager serves (a failure fails the test). Sets this process's
    // DBUS_SYSTEM_BUS_ADDRESS to ModemManager's bus, so that the code under test, and the
    // programs the test starts, find it there.
    explicit ModemManagerBed(bool DenyAll = false);
    // Ends ModemManager (waiting for it to let go of its ports), the stand-in and the buses.
    ~ModemManagerBed();
    ModemManagerBed(const ModemManagerBed&) = delete;
    ModemManagerBed& operator=(const ModemManagerBed&) = delete;
    ModemManagerBed(ModemManagerBed&&) = delete;
    ModemManagerBed& operator=(ModemManagerBed&&) = delete;

    // ModemManager's log so far (for a failure's message).
    [[nodiscard]] std::string Log() const;

private:
    void Start(bool DenyAll);

    std::string FDirectory;         // configuration and log
    std::vector<int> FProcesses;    // started, in order: buses, stand-in, ModemManager
    std::string FPreviousSystemBus; // DBUS_SYSTEM_BUS_ADDRESS before
    bool FHadSystemBus = false;
};

} // namespace kivo::test
