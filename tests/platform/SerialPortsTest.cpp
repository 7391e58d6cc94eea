// Port enumeration against mocked udev data (umockdev): which ttys count as ports, what is
// said about each, and the notice of ports that come and go.

#include "platform/SerialPorts.h"

#include "platform/Win32Api.h"
#include "platform/posix/SerialPortMonitor.h"
#include "runtime/Thread.h"
#include "serial/SerialPortNotice.h"
#include "tests/support/MockDevices.h"
#include "tests/support/PtyPair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using kivo::test::MockDevices;

constexpr const char* FtdiDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
constexpr const char* FtdiTty =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB3/tty/ttyUSB3";

std::vector<std::string> Names(const std::vector<TSerialPortInfo>& Ports) {
    std::vector<std::string> Result;
    Result.reserve(Ports.size());
    for (const TSerialPortInfo& Port : Ports) {
        Result.push_back(Port.Name);
    }
    return Result;
}

TSerialPortInfo Find(const std::vector<TSerialPortInfo>& Ports, const std::string& Name) {
    const auto Found = std::find_if(Ports.begin(), Ports.end(),
                                    [&](const TSerialPortInfo& Port) { return Port.Name == Name; });
    return Found == Ports.end() ? TSerialPortInfo{} : *Found;
}

class SerialPorts : public testing::Test {
protected:
    void SetUp() override {
        for (const char* File :
             {"huawei-stick.umockdev", "phone-acm.umockdev", "ftdi-adapter.umockdev",
              "bluetooth-rfcomm.umockdev", "onboard-uarts.umockdev"}) {
            Devices.Add(File);
        }
    }
    MockDevices Devices;
};

TEST_F(SerialPorts, EveryTtyWithHardwareBehindItIsListedInNaturalOrder) {
    // Left out: the legacy ttyS1 and ttyS3 without a UART, the virtual tty0 and console.
    EXPECT_EQ(Names(ListSerialPorts()),
              (std::vector<std::string>{"rfcomm0", "rfcomm1", "ttyACM0", "ttyS0", "ttyS2", "ttyS10",
                                        "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}));
}

TEST_F(SerialPorts, EachPortIsDescribedByTheDeviceBehindIt) {
    const auto Ports = ListSerialPorts();

    const TSerialPortInfo PcUi = Find(Ports, "ttyUSB2");
    EXPECT_EQ(PcUi.Path, "/dev/ttyUSB2");
    EXPECT_EQ(PcUi.ById, "/dev/serial/by-id/usb-HUAWEI_Technology_HUAWEI_Mobile-if02-port0");
    EXPECT_EQ(PcUi.Description, "HUAWEI Mobile, interface 2");
    EXPECT_EQ(PcUi.Driver, "option");
    EXPECT_EQ(PcUi.VendorId, "12d1");
    EXPECT_EQ(PcUi.ProductId, "1001");
    EXPECT_EQ(PcUi.Manufacturer, "HUAWEI Technology");
    EXPECT_EQ(PcUi.Interface, "02");
    EXPECT_EQ(PcUi.DeviceId, Find(Ports, "ttyUSB0").DeviceId) << "one stick, one device";

    const TSerialPortInfo Phone = Find(Ports, "ttyACM0");
    EXPECT_EQ(Phone.Description, "SAMSUNG_Android, interface 1");
    EXPECT_EQ(Phone.Driver, "cdc_acm");
    EXPECT_EQ(Phone.SerialNumber, "R58M12ABCDE");
    EXPECT_EQ(Phone.ById, "/dev/serial/by-id/usb-SAMSUNG_SAMSUNG_Android_R58M12ABCDE-if01");

    const TSerialPortInfo Adapter = Find(Ports, "ttyUSB3");
    EXPECT_EQ(Adapter.Description, "FT232R USB UART") << "one interface: no number";
    EXPECT_EQ(Adapter.Driver, "ftdi_sio");
    EXPECT_EQ(Adapter.VendorId + ":" + Adapter.ProductId, "0403:6001");
    EXPECT_NE(Adapter.DeviceId, PcUi.DeviceId);

    const TSerialPortInfo Bluetooth = Find(Ports, "rfcomm0");
    EXPECT_EQ(Bluetooth.Description, "Bluetooth serial port");
    EXPECT_EQ(Bluetooth.Driver, "rfcomm");
    EXPECT_EQ(Bluetooth.ById, "");
    const TSerialPortInfo Connected = Find(Ports, "rfcomm1");
    EXPECT_EQ(Connected.Description, "Bluetooth serial port") << "not the adapter's";
    EXPECT_EQ(Connected.Driver, "rfcomm");
    EXPECT_EQ(Connected.VendorId, "");

    const TSerialPortInfo Card = Find(Ports, "ttyS10");
    EXPECT_EQ(Card.Description, "MCS9865 PCIe Serial Port");
    EXPECT_EQ(Card.Driver, "serial");
    EXPECT_EQ(Card.VendorId, "");
    EXPECT_EQ(Find(Ports, "ttyS0").Description, "Serial port");
    EXPECT_EQ(Find(Ports, "ttyS0").Driver, "serial") << "the UART's, not the serial core's";
}

TEST_F(SerialPorts, ComNamesThatAlreadyOpenAPortAreFound) {
    const auto Ports = ListSerialPorts();
    // NOLINTBEGIN(concurrency-mt-unsafe): the test's only thread sets the environment
    ASSERT_EQ(unsetenv("KIVO_COM1"), 0);
    // Named by its by-id link, through another link, and by its path.
    ASSERT_EQ(setenv("KIVO_COM5", Find(Ports, "ttyUSB2").ById.c_str(), 1), 0);
    ASSERT_EQ(setenv("KIVO_COM7", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.1-port0", 1), 0);
    ASSERT_EQ(setenv("KIVO_COM6", "/dev/ttyACM0", 1), 0);
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyS0"), 8), 1);
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyS2"), 8), 3);
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyUSB2"), 8), 5);
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyACM0"), 8), 6);
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyUSB1"), 8), 7);
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyS10"), 8), 0) << "COM 11 is beyond the list";
    EXPECT_EQ(ComNumberOf(Find(Ports, "ttyUSB0"), 8), 0);
    unsetenv("KIVO_COM5");
    unsetenv("KIVO_COM6");
    unsetenv("KIVO_COM7");
    // NOLINTEND(concurrency-mt-unsafe)
}

bool Readable(int Descriptor) {
    pollfd Watch{Descriptor, POLLIN, 0};
    return poll(&Watch, 1, 10000) == 1; // a bound, not an expected time
}

TEST(SerialPortMonitor, TellsOfAPortPluggedInAndPulledOut) {
    MockDevices Devices;
    TSerialPortMonitor Monitor;
    ASSERT_GE(Monitor.Descriptor(), 0);
    EXPECT_FALSE(Monitor.Acknowledge()) << "nothing happened yet";

    Devices.Add("ftdi-adapter.umockdev");
    ASSERT_TRUE(Readable(Monitor.Descriptor()));
    EXPECT_TRUE(Monitor.Acknowledge());
    EXPECT_EQ(Names(ListSerialPorts()), std::vector<std::string>{"ttyUSB3"});

    Devices.Remove(FtdiDevice, FtdiTty);
    ASSERT_TRUE(Readable(Monitor.Descriptor()));
    EXPECT_TRUE(Monitor.Acknowledge());
    EXPECT_TRUE(ListSerialPorts().empty());
}

// Takes the main thread's hand-overs until Done, or a generous bound passes; whether Done.
template <typename TDone> bool HandOversUntil(TDone Done) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Done() && std::chrono::steady_clock::now() < Deadline) {
        if (WaitForSynchronize(std::chrono::milliseconds(500))) {
            CheckSynchronize();
        }
    }
    return Done();
}

TEST(SerialPortNotice, TellsTheMainThreadOfAPortPluggedInAndPulledOut) {
    MockDevices Devices;
    std::vector<std::string> Seen; // the failures told, one per notice; empty ones for changes
    std::vector<std::string> PortsAtNotice;
    const TSerialPortNotice Notice([&](const std::string& Failure) {
        EXPECT_TRUE(IsMainThread());
        Seen.push_back(Failure);
        const auto Now = Names(ListSerialPorts());
        PortsAtNotice.push_back(Now.empty() ? "none" : Now.front());
    });
    ASSERT_EQ(Notice.Problem(), "");

    const PtyPair Adapter; // what the plugged port's node leads to
    Devices.Plug("ftdi-adapter.umockdev", "/dev/ttyUSB3", Adapter.DevicePath());
    ASSERT_TRUE(HandOversUntil([&] { return !Seen.empty(); }));
    Devices.Remove(FtdiDevice, FtdiTty);
    ASSERT_TRUE(HandOversUntil([&] { return Seen.size() == 2; }));
    EXPECT_EQ(Seen, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(PortsAtNotice, (std::vector<std::string>{"ttyUSB3", "none"}));
}

// A driver that knows no exclusive flag (the mocked tty refuses TIOCEXCL, as some drivers and
// emulated devices do): the port still opens, and its lock alone keeps a second opener out.
TEST(MockedPorts, ADeviceThatRefusesTheExclusiveFlagOpensForOneUserAtATime) {
    MockDevices Devices;
    Devices.Add("ftdi-adapter.umockdev");
    const int Probe = open("/dev/ttyUSB3", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(Probe, 0) << "the mocked device node";
    const int Refused = ioctl(Probe, TIOCEXCL);
    const int Reason = errno;
    close(Probe);
    ASSERT_EQ(Refused, -1) << "the mocked tty took the exclusive flag: nothing to show";
    EXPECT_EQ(Reason, ENOTTY);

    HANDLE First = CreateFileA("/dev/ttyUSB3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(First, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    HANDLE Second = CreateFileA("/dev/ttyUSB3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(Second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));
    if (Second != INVALID_HANDLE_VALUE) {
        CloseHandle(Second);
    }
    CloseHandle(First);
}

} // namespace
