#pragma once
// A mocked device tree for tests of port enumeration: umockdev's test bed, which libudev
// reads instead of the machine's sysfs and udev database when the test runs under
// umockdev-wrapper. Devices come from the .umockdev files in tests/data/umockdev/; adding
// and removing one sends the uevents a udev monitor receives.

#include <chrono>
#include <map>
#include <memory>
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
    // Plugs in the devices of File (parents first, as the kernel announces them), the node
    // DevNode leading to Target from the start, as Attach makes it: a program told of the
    // device by its "add" uevent reaches Target at its first open. DevNode may have been
    // plugged and removed before.
    void Plug(const std::string& File, const std::string& DevNode, const std::string& Target);
    // Removes the device at SysPath ("/sys/devices/...") and everything below it, after a
    // "remove" uevent for its tty TtySysPath.
    void Remove(const std::string& SysPath, const std::string& TtySysPath);

    // Makes the device node DevNode ("/dev/ttyUSB3") lead to Target (a pseudo-terminal
    // that plays the device), so that opening the mocked port reaches it, ioctls included.
    void Attach(const std::string& DevNode, const std::string& Target);
    // The same for a device whose open takes its time: its first request (the open's
    // tcgetattr) is held until Release, so opening DevNode blocks until then.
    void AttachHeld(const std::string& DevNode, const std::string& Target);
    // Blocks until a program is held opening DevNode, or Timeout passes; true when it is.
    bool WaitUntilHeld(const std::string& DevNode, std::chrono::milliseconds Timeout);
    // Lets the held open of DevNode, and every later one, go on.
    void Release(const std::string& DevNode);

    struct THold;

private:
    void AttachWith(const std::string& DevNode, const std::string& Target, THold* Hold);

    _UMockdevTestbed* FTestbed;
    std::map<std::string, std::unique_ptr<THold>> FHolds;
};

} // namespace kivo::test
