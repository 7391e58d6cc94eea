// Port enumeration on Windows (run under Wine): the ports SetupAPI knows, with a device of
// the Ports class registered by the test as a USB modem's driver would register it.

#include "platform/SerialPorts.h"
#include "tests/windows/RegisteredPort.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iostream>
#include <string_view>

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
    EXPECT_EQ(ComNumberOf(Port, 8), 0);
    EXPECT_EQ(ComNumberOf(Ports.at(static_cast<std::size_t>(Com3 - Names.begin())), 8), 3);
}

} // namespace
