#pragma once
// A mocked device tree for tests of port enumeration: umockdev's test bed, which libudev
// reads instead of the machine's sysfs and udev database when the test runs under
// umockdev-wrapper. Devices come from the .umockdev files in tests/data/umockdev/; adding
// and removing one sends the uevents a udev monitor receives.

#include <string>

struct _UMockdevTestbed; // NOLINT(bugprone-reserved-identifier): umockdev's own name

namespace kivo::test {

class MockDevices {
public:
    // An empty test bed. Fails the test when not run under umockdev-wrapper.
    MockDevices();
    ~MockDevices();
    MockDevices(const MockDevices&) = delete;
    MockDevices& operator=(const MockDevices&) = delete;
    MockDevices(MockDevices&&) = delete;
    MockDevices& operator=(MockDevices&&) = delete;

    // Adds the devices of tests/data/umockdev/<File>, with "add" uevents.
    void Add(const std::string& File);
    // Removes the device at SysPath ("/sys/devices/...") and everything below it, after a
    // "remove" uevent for its tty TtySysPath.
    void Remove(const std::string& SysPath, const std::string& TtySysPath);

    // Makes the device node DevNode ("/dev/ttyUSB3") lead to Target (a pseudo-terminal
    // that plays the device), so that opening the mocked port reaches it, ioctls included.
    void Attach(const std::string& DevNode, const std::string& Target);

private:
    _UMockdevTestbed* FTestbed;
};

} // namespace kivo::test
