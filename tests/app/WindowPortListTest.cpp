// The window's port list against mocked devices (umockdev, run under umockdev-wrapper) on
// Qt's offscreen platform: what it lists below "COM 1" to "COM 8", what it chooses, how it
// follows devices plugged in and pulled out while the window runs, and that a found port
// is the device a read opens.

#include "app/Start.h"
#include "tests/support/MockDevices.h"
#include "tools/PhoneSim.h"
#include "ui/Forms.h"

#include <QApplication>
#include <QComboBox>
#include <array>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string_view>

namespace {

using kivo::test::MockDevices;

constexpr std::array<std::string_view, 8> Stored{"COM 1", "COM 2", "COM 3", "COM 4",
                                                 "COM 5", "COM 6", "COM 7", "COM 8"};
constexpr const char* StickDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr const char* StickModemTty =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
constexpr const char* AdapterDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
constexpr const char* AdapterTty =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB3/tty/ttyUSB3";

std::vector<std::string> WithStored(const std::vector<std::string>& Found) {
    std::vector<std::string> Items(Stored.begin(), Stored.end());
    Items.insert(Items.end(), Found.begin(), Found.end());
    return Items;
}

// The same beside onboard-uarts.umockdev, whose ttyS0 (COM 1) the kernel's console writes to.
std::vector<std::string> WithStoredBesideConsole(const std::vector<std::string>& Found) {
    std::vector<std::string> Items = WithStored(Found);
    Items.front() = "COM 1 (system console)";
    return Items;
}

class WindowPortList : public testing::Test {
protected:
    void TearDown() override {
        Form.reset();
        Application().SetMessageBoxHook({});
        ::unsetenv("KIVO_COM4"); // NOLINT(concurrency-mt-unsafe)
        ::unsetenv("KIVO_COM5"); // NOLINT(concurrency-mt-unsafe)
    }
    void OpenWindow() {
        Form = std::make_unique<TfrmStart>(nullptr);
        Form->Show();
    }
    // The list as the toolkit shows it.
    [[nodiscard]] std::vector<std::string> Shown() const {
        std::vector<std::string> Items;
        auto* Combo = QApplication::activeWindow() == nullptr
                          ? nullptr
                          : QApplication::activeWindow()->findChild<QComboBox*>();
        for (int I = 0; Combo != nullptr && I < Combo->count(); ++I) {
            Items.push_back(Combo->itemText(I).toStdString());
        }
        return Combo == nullptr ? Form->cbPort->Items() : Items;
    }
    // Runs the message loop until the list holds Count items; false after a generous bound.
    bool WaitForItems(std::size_t Count) const {
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Form->cbPort->Items().size() != Count) {
            if (std::chrono::steady_clock::now() > Deadline) {
                return false;
            }
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        }
        return true;
    }

    MockDevices Devices;
    std::unique_ptr<TfrmStart> Form;
};

TEST_F(WindowPortList, FoundPortsFollowTheStoredOnesByNameAndDescription) {
    for (const char* File : {"huawei-stick.umockdev", "phone-acm.umockdev", "ftdi-adapter.umockdev",
                             "bluetooth-rfcomm.umockdev", "onboard-uarts.umockdev"}) {
        Devices.Add(File);
    }
    // ttyS0 and ttyS2 are COM 1 and COM 3; ttyUSB1 is mapped to COM 5 by its link.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    ::setenv("KIVO_COM5", "/dev/serial/by-id/usb-HUAWEI_Technology_HUAWEI_Mobile-if01-port0", 1);
    OpenWindow();
    EXPECT_EQ(Shown(),
              WithStoredBesideConsole(
                  {"rfcomm0 - Bluetooth serial port", "rfcomm1 - Bluetooth serial port",
                   "ttyACM0 - SAMSUNG_Android, interface 1", "ttyS10 - MCS9865 PCIe Serial Port",
                   "ttyUSB0 - HUAWEI Mobile, interface 0", "ttyUSB2 - HUAWEI Mobile, interface 2",
                   "ttyUSB3 - FT232R USB UART"}));
    EXPECT_EQ(Form->cbPort->Text(), "COM 4") << "several USB devices: the stored choice";
    EXPECT_EQ(Form->vaComm->DeviceName(), "COM%d");
}

TEST_F(WindowPortList, FollowsDevicesPluggedInAndPulledOutAndReadsTheOneChosen) {
    Devices.Add("onboard-uarts.umockdev");
    OpenWindow();
    EXPECT_EQ(Shown(), WithStoredBesideConsole({"ttyS10 - MCS9865 PCIe Serial Port"}));
    EXPECT_EQ(Form->cbPort->Text(), "COM 4");

    // One modem plugged in: its first port is chosen, as nobody chose anything yet.
    Devices.Add("huawei-stick.umockdev");
    ASSERT_TRUE(WaitForItems(12));
    EXPECT_EQ(Form->cbPort->Text(), "ttyUSB0 - HUAWEI Mobile, interface 0");

    // A second device leaves that choice alone.
    Devices.Add("ftdi-adapter.umockdev");
    ASSERT_TRUE(WaitForItems(13));
    EXPECT_EQ(Shown().back(), "ttyUSB3 - FT232R USB UART");
    EXPECT_EQ(Form->cbPort->Text(), "ttyUSB0 - HUAWEI Mobile, interface 0");

    // The user chooses the adapter, and a read goes to the phone behind it.
    TPhoneSim Phone;
    Devices.Attach("/dev/ttyUSB3", Phone.DevicePath());
    Form->cbPort->SetItemIndex(12);
    Form->btnRead->Click();
    EXPECT_EQ(Form->vaComm->DeviceName(), "/dev/ttyUSB3");
    EXPECT_EQ(Form->edCGMI->Text(), PhoneSimIdentity().at("+CGMI"));
    EXPECT_EQ(Form->edCGSN->Text(), PhoneSimIdentity().at("+CGSN"));

    // The stick pulled out: the user's choice stays.
    Devices.Remove(StickDevice, StickModemTty);
    ASSERT_TRUE(WaitForItems(10)) << "a remove event for one of its ports updates the list";
    EXPECT_EQ(Shown(), WithStoredBesideConsole(
                           {"ttyS10 - MCS9865 PCIe Serial Port", "ttyUSB3 - FT232R USB UART"}));
    EXPECT_EQ(Form->cbPort->Text(), "ttyUSB3 - FT232R USB UART");

    // The chosen adapter pulled out: back to the stored choice.
    Devices.Remove(AdapterDevice, AdapterTty);
    ASSERT_TRUE(WaitForItems(9));
    EXPECT_EQ(Form->cbPort->Text(), "COM 4");
    Form->vaComm->Close();
}

TEST_F(WindowPortList, AStoredPortWithADeviceBehindItStaysChosenAtStartAndWhenOneIsPlugged) {
    Devices.Add("onboard-uarts.umockdev");
    Devices.Add("huawei-stick.umockdev");
    ::setenv("KIVO_COM4", "/dev/ttyS10", 1); // NOLINT(concurrency-mt-unsafe)
    OpenWindow();
    EXPECT_EQ(Form->cbPort->Text(), "COM 4") << "one USB device, but COM 4 has a port too";

    Devices.Remove(StickDevice, StickModemTty);
    ASSERT_TRUE(WaitForItems(8));
    Devices.Add("ftdi-adapter.umockdev");
    ASSERT_TRUE(WaitForItems(9));
    EXPECT_EQ(Form->cbPort->Text(), "COM 4") << "a device plugged in leaves it chosen";
}

// scripts/run.sh maps COM 4 to the simulated phone's pseudo-terminal, a device udev lists as
// no port (here a node of the test bed that leads to one): a modem plugged in beside it takes
// not the choice, and Read reads the phone.
TEST_F(WindowPortList, ComFourMappedToADeviceUdevDoesNotListIsChosenBesideAUsbModem) {
    Devices.Add("huawei-stick.umockdev");
    const TPhoneSim Phone;
    Devices.Attach("/dev/kivo-phone", Phone.DevicePath());
    ::setenv("KIVO_COM4", "/dev/kivo-phone", 1); // NOLINT(concurrency-mt-unsafe)
    OpenWindow();
    EXPECT_EQ(Form->cbPort->Text(), "COM 4");
    Form->btnRead->Click();
    EXPECT_EQ(Form->edCGMI->Text(), PhoneSimIdentity().at("+CGMI"));
    Form->vaComm->Close();
}

// The kernel's console writes to ttyS0, which COM 1 opens: the item says so, and the first
// Read of it only warns, naming the device, and writes nothing to it; Read pressed again
// reads it.
TEST_F(WindowPortList, TheSystemConsoleIsMarkedAndReadOnlyWhenChosenAgainAfterAWarning) {
    Devices.Add("onboard-uarts.umockdev");
    const TPhoneSim Console;
    Devices.Attach("/dev/ttyS0", Console.DevicePath());
    std::vector<std::string> Boxes;
    Application().SetMessageBoxHook([&](const std::string& Text, const std::string& /*Caption*/,
                                        TMsgIcon /*Icon*/) { Boxes.push_back(Text); });
    OpenWindow();
    ASSERT_FALSE(Shown().empty());
    EXPECT_EQ(Shown().front(), "COM 1 (system console)");
    Form->cbPort->SetItemIndex(0);
    Form->btnRead->Click();
    ASSERT_EQ(Boxes.size(), 1U);
    EXPECT_EQ(Boxes[0].rfind("/dev/ttyS0 is the system console: ", 0), 0U) << Boxes[0];
    EXPECT_EQ(Console.CommandCount(), 0);
    EXPECT_FALSE(Form->vaComm->Active());

    Form->btnRead->Click();
    EXPECT_EQ(Boxes.size(), 1U);
    EXPECT_EQ(Form->edCGMI->Text(), PhoneSimIdentity().at("+CGMI"));
    Form->vaComm->Close();
}

TEST(PortChoice, APathReachesTheComponentAsItIsWhateverItHoldsOfAFormat) {
    TVaComm Comm(nullptr);
    for (const std::string Path :
         {"/dev/ttyUSB0", "/dev/serial/by-id/usb-100%_d%d%s-if00", "/dev/odd%"}) {
        Comm.SetDevicePath(Path);
        Comm.SetPortNum(4);
        EXPECT_EQ(Comm.GetPortName(), Path);
    }
}

} // namespace
