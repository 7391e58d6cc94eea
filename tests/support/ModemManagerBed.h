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
    // and waits until ModemManager serves; what failed is then in Failure(), which the test
    // asserts empty before it goes on. Sets this process's DBUS_SYSTEM_BUS_ADDRESS to
    // ModemManager's bus, so that the code under test, and the programs the test starts, find
    // it there. All on the test's thread, as the other calls.
    explicit ModemManagerBed(bool DenyAll = false);
    // Ends ModemManager (waiting for it to let go of its ports), the stand-in and the buses.
    ~ModemManagerBed();
    ModemManagerBed(const ModemManagerBed&) = delete;
    ModemManagerBed& operator=(const ModemManagerBed&) = delete;
    ModemManagerBed(ModemManagerBed&&) = delete;
    ModemManagerBed& operator=(ModemManagerBed&&) = delete;

    // ModemManager's log so far (for a failure's message).
    [[nodiscard]] std::string Log() const;
    // Why the bed does not serve (which part did not start, how it ended, and its output);
    // empty when ModemManager serves.
    [[nodiscard]] const std::string& Failure() const;

private:
    void Start(bool DenyAll);
    [[nodiscard]] std::string Text(const std::string& File) const; // a file of FDirectory

    std::string FDirectory;         // configuration and log
    std::vector<int> FProcesses;    // started, in order: buses, stand-in, ModemManager
    std::string FPreviousSystemBus; // DBUS_SYSTEM_BUS_ADDRESS before
    bool FHadSystemBus = false;
    bool FServing = false; // DBUS_SYSTEM_BUS_ADDRESS is set to ModemManager's bus
    std::string FFailure;
};

} // namespace kivo::test
