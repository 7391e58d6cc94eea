// Port enumeration on Windows (run under Wine): the ports SetupAPI knows, with a device of
// the Ports class registered by the test as a USB modem's driver would register it; and the
// notice of ports that come and go.

#include "platform/SerialPorts.h"
#include "runtime/Thread.h"
#include "serial/SerialPortNotice.h"
#include "tests/windows/RegisteredPort.h"

#include <algorithm>
#include <chrono>
#include <dbt.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <string_view>
#include <thread>

namespace {

using kivo::test::RegisteredPort;

TEST(SerialPortsWin32, AUsbModemsPortIsListedByItsComNameAndFriendlyName) {
    for (const TSerialPortInfo& Port : ListSerialPorts()) {
        std::cout << "found before: " << Port.Name << " - " << Port.Description << '\n';
    }
    const RegisteredPort Modem("COM12", "USB\\VID_12D1&PID_1001&MI_02",
                               "HUAWEI Mobile Connect - PC UI Interface (COM12)");
    const RegisteredPort Adapter("COM3", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
                                 "USB Serial Port (COM3)");
    if (!Modem.Registered() || !Adapter.Registered()) {
        GTEST_SKIP() << "registering a device needs an administrator";
    }
    const auto Ports = ListSerialPorts();
    std::vector<std::string> Names;
    for (const TSerialPortInfo& Port : Ports) {
        Names.push_back(Port.Name);
    }
    const auto Modem12 = std::find(Names.begin(), Names.end(), "COM12");
    const auto Com3 = std::find(Names.begin(), Names.end(), "COM3");
    ASSERT_NE(Modem12, Names.end());
    ASSERT_NE(Com3, Names.end());
    EXPECT_LT(Com3, Modem12) << "COM3 before COM12";

    const TSerialPortInfo& Port = Ports.at(static_cast<std::size_t>(Modem12 - Names.begin()));
    EXPECT_EQ(Port.Path, "\\\\.\\COM12");
    EXPECT_EQ(Port.Description, "HUAWEI Mobile Connect - PC UI Interface");
    EXPECT_EQ(Port.VendorId, "12d1");
    EXPECT_EQ(Port.ProductId, "1001");
    EXPECT_EQ(Port.Interface, "02");
    EXPECT_EQ(Port.Driver, "usbser");
    EXPECT_EQ(Port.SerialNumber, "") << "an interface of a composite device: no USB node above";
    EXPECT_EQ(Port.Product, "");
    EXPECT_EQ(ComNumberOf(Port, 8), 0);
    EXPECT_EQ(ComNumberOf(Ports.at(static_cast<std::size_t>(Com3 - Names.begin())), 8), 3);
}

TEST(SerialPortsWin32, AUsbPortCarriesTheProductStringAndSerialNumberOfItsUsbDevice) {
    RegisteredPort Modem("COM14", "USB\\VID_2C7C&PID_0125", "USB Serial Device (COM14)",
                         "USB\\VID_2C7C&PID_0125\\EC25SN0042");
    if (!Modem.Registered()) {
        GTEST_SKIP() << "registering a device needs an administrator";
    }
    ASSERT_TRUE(Modem.SetBusReportedDescription(L"EC25 LTE modem"));
    const auto Ports = ListSerialPorts();
    const auto Found = std::find_if(Ports.begin(), Ports.end(), [](const TSerialPortInfo& Port) {
        return Port.Name == "COM14";
    });
    ASSERT_NE(Found, Ports.end());
    EXPECT_EQ(Found->VendorId + ":" + Found->ProductId, "2c7c:0125");
    EXPECT_EQ(Found->Product, "EC25 LTE modem");
    EXPECT_EQ(Found->SerialNumber, "EC25SN0042");
    EXPECT_EQ(Found->Description, "USB Serial Device");
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

// Sends Event as WM_DEVICECHANGE to the notice's window, as Windows does, from a thread of
// its own: a window procedure hands the notice over and waits for the main thread, which
// takes it meanwhile. (Windows refuses to post that message, whose parameter may be a
// pointer.) Wine sends none when a test registers a device.
void TellOfDeviceChange(HWND Window, WPARAM Event, const std::function<bool()>& Told) {
    std::thread Sender([Window, Event] { SendMessageA(Window, WM_DEVICECHANGE, Event, 0); });
    EXPECT_TRUE(HandOversUntil(Told));
    Sender.join();
}

TEST(SerialPortNoticeWin32, TellsTheMainThreadOfAPortThatCameAndOneThatWent) {
    std::vector<std::string> Seen;
    const TSerialPortNotice Notice([&](const std::string& Failure) {
        EXPECT_TRUE(IsMainThread());
        Seen.push_back(Failure);
    });
    ASSERT_EQ(Notice.Problem(), "");
    const HWND Window = FindWindowExA(HWND_MESSAGE, nullptr, "KivoSerialPortNotice", nullptr);
    ASSERT_NE(Window, nullptr);
    TellOfDeviceChange(Window, DBT_DEVICEARRIVAL, [&] { return Seen.size() == 1; });
    TellOfDeviceChange(Window, DBT_DEVICEREMOVECOMPLETE, [&] { return Seen.size() == 2; });
    EXPECT_EQ(Seen, (std::vector<std::string>{"", ""}));
}

} // namespace
